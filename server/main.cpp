// Process entry: the command line, the one SafeTcpServer and its thread.
// Started by the user, ./run.sh or the service manager.
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>

#include "platform/Os.h"
#include "room/History.h"
#include "server/ExitStatus.h"
#include "server/SafeTcpServer.h"
#include "server/ServerArgs.h"

namespace saferoom {

namespace {

// Runs the server; once it has stopped in order, ends the process at once.
// Sessions may still run on detached threads: static destructors and library
// clean-up would pull objects from under them, so they are skipped.
void ServeThenExit(SafeTcpServer* server) {
  ServerThread(server);
  fflush(stdout);
  fflush(stderr);
  std::_Exit(ServerExit::kStopped);
}

}  // namespace

}  // namespace saferoom

using namespace saferoom;

int main(int argc, char** argv) {
  // Notices must reach pipes and logs as they happen.
  setvbuf(stdout, nullptr, _IOLBF, 0);

  ServerArgs args;
  std::string problem;
  switch (ParseServerArgs(argc, argv, args, problem)) {
    case ArgsOutcome::kServe:
      break;
    case ArgsOutcome::kHelp:
      fputs(ServerHelp(ProgramName(argv[0])).c_str(), stdout);
      return 0;
    case ArgsOutcome::kVersion:
      printf("%s (saferoom) %s\n", ProgramName(argv[0]).c_str(), SAFEROOM_VERSION);
      return 0;
    case ArgsOutcome::kUsage:
      if (!problem.empty())
        fprintf(stderr, "%s: %s\n", ProgramName(argv[0]).c_str(), problem.c_str());
      printf("Usage:\n\tserver.exe [port]\n");
      fflush(stdout);  // the usage text first, where both streams go to one terminal
      fprintf(stderr, "Try '%s --help'.\n", ProgramName(argv[0]).c_str());
      exit(ServerExit::kUsage);
    case ArgsOutcome::kBadPort:
      printf("Invalid port.\n");
      exit(ServerExit::kBadPort);
  }
  IgnoreSigpipe();
  // The connection caps, not a failing accept, are to govern.
  RaiseOpenFileLimit();

  auto server = std::make_unique<SafeTcpServer>(args.port);
  server->program = ProgramName(argv[0]);
  server->requireClientCert = args.requireClientCert;
  server->forwardSecrecy = args.forwardSecrecy;
  server->endpoints.push_back(Endpoint{&kChatTransport, args.port, args.listen, nullptr});
  if (args.webPort >= 0)
    server->endpoints.push_back(Endpoint{&kWebTransport, args.webPort, args.webListen, nullptr});
  StartHistory(server->room.history, static_cast<size_t>(args.historyLength));
  server->state.path = args.statePath;
  // Never destroyed: detached threads use it to the end.
  SafeTcpServer* record = server.release();
  bool started = StartDetachedThread([record] { ServeThenExit(record); });
  if (!started) {
    perror("pthread_create");
    exit(ServerExit::kSetup);
  }

  // The main thread only keeps the process alive; ServerThread ends it. It
  // waits without a timer, so an idle server never wakes.
  BlockForever();
}
