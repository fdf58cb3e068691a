// The chat command: options, connection, then the session on a pipe or a
// terminal. Run by people and scripts as `chat [options] HOST PORT NAME`.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "client/ChatArgs.h"
#include "client/ChatPipe.h"
#include "client/ChatSession.h"
#include "client/ChatTerm.h"
#include "platform/Os.h"
#include "platform/Term.h"
#include "protect/SafeText.h"

namespace saferoom {

namespace {

int ExitFor(DialError error) {
  switch (error) {
    case DialError::kResolve:
    case DialError::kConnect:
      return ChatExit::kConnect;
    case DialError::kHandshake:
    case DialError::kVerify:
      return ChatExit::kTls;
    case DialError::kSetup:
    case DialError::kNone:
      break;
  }
  return ChatExit::kUsage;
}

bool FileExists(const char* path) {
  std::FILE* f = std::fopen(path, "r");
  if (f == nullptr) return false;
  std::fclose(f);
  return true;
}

// The name it was started as, without its directory: chat in the build
// tree, saferoom installed.
std::string ProgramName(const char* argv0) {
  const char* slash = argv0 != nullptr ? std::strrchr(argv0, '/') : nullptr;
  const char* name = slash != nullptr ? slash + 1 : argv0;
  return name != nullptr && *name != '\0' ? name : "chat";
}

// NO_COLOR set and not empty turns colours off.
bool NoColour() {
  const char* value = std::getenv("NO_COLOR");
  return value != nullptr && value[0] != '\0';
}

}  // namespace

}  // namespace saferoom

using namespace saferoom;

int main(int argc, char** argv) {
  const std::string program = ProgramName(argv[0]);
  ChatArgs args;
  std::string problem;
  switch (ParseChatArgs(argc, argv, args, problem, FileExists(kDefaultCaFile))) {
    case ChatArgsOutcome::kUsage:
      std::fprintf(stderr, "%s: %s; try %s --help\n", program.c_str(), problem.c_str(),
                   program.c_str());
      return ChatExit::kUsage;
    case ChatArgsOutcome::kHelp:
      std::fputs(ChatHelp(program).c_str(), stdout);
      return ChatExit::kOk;
    case ChatArgsOutcome::kVersion:
      std::printf("%s (saferoom) %s\n", program.c_str(), SAFEROOM_VERSION);
      return ChatExit::kOk;
    case ChatArgsOutcome::kRun:
      break;
  }
  IgnoreSigpipe();
  if (!args.options.tls.verify) {
    std::fprintf(stderr, "%s: --insecure: the server's certificate is not verified\n",
                 program.c_str());
  }

  ChatClient client;
  DialResult connected = client.Connect(args.options);
  if (!connected.Ok()) {
    std::string why = connected.message;
    if (!connected.advice.empty()) why += "; " + connected.advice;
    if (connected.error == DialError::kVerify && args.options.tls.caFile.empty()) {
      why += std::string(" (there is no ") + kDefaultCaFile +
             " in the working directory, so the system's trusted CAs were asked; --ca FILE "
             "names the CA file)";
    }
    std::fprintf(stderr, "%s: %s\n", program.c_str(), why.c_str());
    return ExitFor(connected.error);
  }
  ChatSession session;
  session.name = args.name;
  session.presentedCert = !args.options.tls.certFile.empty();
  // Cut as the server cuts it.
  session.certName = std::string(WholeCharactersPrefix(OwnCommonName(client.ctx.get()), kNameSize));
  session.terminal = IsTerminal(0) && IsTerminal(1);
  session.reconnect = session.terminal || args.reconnect;
  session.history = session.terminal || args.history;
  PipeFront pipe(args.timestamps, program);
  TermFront term(NoColour());
  FrontEnd* front = &pipe;
  if (session.terminal && term.Start(session, MonotonicMs())) front = &term;
  int status = RunChat(client, args.options, session, *front);
  if (status != ChatExit::kOk)
    std::fprintf(stderr, "%s: %s\n", program.c_str(), session.failure.c_str());
  return status;
}
