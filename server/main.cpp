// Process entry: the command line, the one SafeTcpServer and its thread.
// Started by the user or ./run.sh.
#include <cstdio>
#include <cstdlib>
#include <memory>

#include "platform/Os.h"
#include "server/SafeTcpServer.h"

namespace {

// Runs the server; once it has stopped in order, ends the process at once.
// Sessions may still run on detached threads: static destructors and library
// clean-up would pull objects from under them, so they are skipped.
void ServeThenExit() {
  ServerThread(gServer);
  fflush(stdout);
  fflush(stderr);
  std::_Exit(0);
}

}  // namespace

int main(int argc, char** argv) {
  // Notices must reach pipes and logs as they happen.
  setvbuf(stdout, nullptr, _IOLBF, 0);

  if (argc != 2) {
    printf("Usage:\n\tserver.exe [port]\n");
    exit(-2);
  }
  int port = atoi(argv[1]);
  // Unsigned, so that every negative number is refused too.
  if (static_cast<unsigned>(port) > 65535u) {
    printf("Invalid port.\n");
    exit(-3);
  }
  IgnoreSigpipe();

  auto server = std::make_unique<SafeTcpServer>(port);
  gServer = server.release();  // never destroyed: detached threads use it to the end

  bool started = StartDetachedThread(ServeThenExit);
  if (!started) {
    perror("pthread_create");
    exit(1);
  }

  // The main thread only keeps the process alive; ServerThread ends it. It
  // waits without a timer, so an idle server never wakes.
  BlockForever();
}
