// The chat command: options, connection, then the session on a pipe or a
// terminal. Run by people and scripts as `chat [options] HOST PORT NAME`.
#include <cstdio>
#include <cstdlib>
#include <string>

#include "client/ChatArgs.h"
#include "client/ChatPipe.h"
#include "client/ChatSession.h"
#include "client/ChatTerm.h"
#include "platform/Os.h"
#include "platform/Term.h"

namespace {

constexpr const char* kVersion = "chat (saferoom) " SAFEROOM_VERSION;

int ExitFor(DialError error) {
  switch (error) {
    case DialError::kResolve:
    case DialError::kConnect:
      return kExitConnect;
    case DialError::kHandshake:
    case DialError::kVerify:
      return kExitTls;
    case DialError::kSetup:
    case DialError::kNone:
      break;
  }
  return kExitUsage;
}

bool FileExists(const char* path) {
  std::FILE* f = std::fopen(path, "r");
  if (f == nullptr) return false;
  std::fclose(f);
  return true;
}

// NO_COLOR set and not empty turns colours off.
bool NoColour() {
  const char* value = std::getenv("NO_COLOR");
  return value != nullptr && value[0] != '\0';
}

}  // namespace

int main(int argc, char** argv) {
  ChatArgs args;
  std::string problem;
  switch (ParseChatArgs(argc, argv, args, problem, FileExists(kDefaultCaFile))) {
    case ChatArgsOutcome::kUsage:
      std::fprintf(stderr, "chat: %s; try chat --help\n", problem.c_str());
      return kExitUsage;
    case ChatArgsOutcome::kHelp:
      std::fputs(ChatHelp().c_str(), stdout);
      return kExitOk;
    case ChatArgsOutcome::kVersion:
      std::printf("%s\n", kVersion);
      return kExitOk;
    case ChatArgsOutcome::kRun:
      break;
  }
  IgnoreSigpipe();
  if (!args.options.tls.verify) {
    std::fprintf(stderr, "chat: --insecure: the server's certificate is not verified\n");
  }

  ChatClient client;
  DialResult connected = client.Connect(args.options);
  if (!connected.Ok()) {
    std::fprintf(stderr, "chat: %s\n", connected.message.c_str());
    return ExitFor(connected.error);
  }
  ChatSession session;
  session.name = args.name;
  session.terminal = IsTerminal(0) && IsTerminal(1);
  session.reconnect = session.terminal || args.reconnect;
  session.history = session.terminal || args.history;
  PipeFront pipe(args.timestamps);
  TermFront term(NoColour());
  FrontEnd* front = &pipe;
  if (session.terminal && term.Start(session, MonotonicMs())) front = &term;
  int status = RunChat(client, args.options, session, *front);
  if (status != kExitOk) std::fprintf(stderr, "chat: %s\n", session.failure.c_str());
  return status;
}
