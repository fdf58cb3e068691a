// The chat command: options, connection, then the session in ChatRun.
// Run by people and scripts as `chat [options] HOST PORT NAME`.
#include <cstdio>
#include <string>
#include <vector>

#include "client/ChatClient.h"
#include "client/ChatRun.h"
#include "client/ChatUi.h"
#include "platform/Os.h"
#include "platform/Term.h"

namespace {

constexpr const char* kVersion = "chat (saferoom) " SAFEROOM_VERSION;

constexpr const char* kUsage =
    "Usage: chat [options] HOST PORT NAME\n"
    "Joins the chat room at HOST:PORT over TLS 1.2 as NAME (1 to 20 bytes).\n"
    "\n"
    "Options:\n"
    "  --ca FILE     CA certificate the server is verified against, host name or\n"
    "                IP address included (default certs/ca.crt)\n"
    "  --insecure    do not verify the server\n"
    "  --cert FILE   present this client certificate\n"
    "  --key FILE    its private key (default: the --cert file)\n"
    "  --help        this text\n"
    "  --version     the version\n"
    "\n";

// After the command list, which is the one /help shows.
constexpr const char* kUsageEnd =
    "\n"
    "From a pipe, each input line is a message or a command; what the room says\n"
    "goes to standard output, one line each (messages, joins and leaves). At the\n"
    "end of input the client sends itself an empty private message and waits (at\n"
    "most 10 s) until it comes back: the server relays in order, so everything\n"
    "sent before has been delivered. Then it logs out. A name in use ends it.\n"
    "Messages hold at most 65535 bytes; longer lines are not sent (said on\n"
    "standard error).\n"
    "\n"
    "Exit status:\n"
    "  0  logged out normally\n"
    "  2  bad usage, or unusable CA, certificate or key file\n"
    "  3  cannot connect\n"
    "  4  TLS handshake or certificate verification failed\n"
    "  5  name in use (not on a terminal)\n"
    "  6  no answer to the login within 5 s: the room may be full\n"
    "  7  connection lost\n";

struct Args {
  ClientOptions options;
  std::string name;
  bool help = false;
  bool version = false;
};

bool ParsePort(const std::string& text, uint16_t& port) {
  if (text.empty() || text.size() > 5) return false;
  unsigned long value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    value = value * 10 + static_cast<unsigned long>(c - '0');
  }
  if (value == 0 || value > 65535) return false;
  port = static_cast<uint16_t>(value);
  return true;
}

// False with `problem` set when the command line is not usable.
bool ParseArgs(int argc, char** argv, Args& args, std::string& problem) {
  args.options.tls.caFile = "certs/ca.crt";
  std::vector<std::string> positional;
  bool optionsEnded = false;
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    if (optionsEnded || arg.size() < 2 || arg.compare(0, 2, "--") != 0) {
      positional.push_back(arg);
      continue;
    }
    if (arg == "--") {
      optionsEnded = true;
      continue;
    }
    std::string value;
    bool hasValue = false;
    size_t equals = arg.find('=');
    if (equals != std::string::npos) {
      value = arg.substr(equals + 1);
      arg.erase(equals);
      hasValue = true;
    }
    bool takesValue = arg == "--ca" || arg == "--cert" || arg == "--key";
    if (takesValue && !hasValue) {
      if (i + 1 >= argc) {
        problem = arg + " needs a FILE";
        return false;
      }
      value = argv[++i];
    } else if (!takesValue && hasValue) {
      problem = arg + " takes no value";
      return false;
    }
    if (arg == "--ca") {
      args.options.tls.caFile = value;
    } else if (arg == "--cert") {
      args.options.tls.certFile = value;
    } else if (arg == "--key") {
      args.options.tls.keyFile = value;
    } else if (arg == "--insecure") {
      args.options.tls.verify = false;
    } else if (arg == "--help") {
      args.help = true;
    } else if (arg == "--version") {
      args.version = true;
    } else {
      problem = "unknown option " + arg;
      return false;
    }
  }
  if (args.help || args.version) return true;
  if (positional.size() != 3) {
    problem = "expected HOST PORT NAME";
    return false;
  }
  if (!args.options.tls.keyFile.empty() && args.options.tls.certFile.empty()) {
    problem = "--key needs --cert";
    return false;
  }
  args.options.target.host = positional[0];
  if (args.options.target.host.empty()) {
    problem = "HOST is empty";
    return false;
  }
  if (!ParsePort(positional[1], args.options.target.port)) {
    problem = "PORT must be a number from 1 to 65535";
    return false;
  }
  args.name = positional[2];
  if (args.name.empty() || args.name.size() > kNameSize) {
    problem = "NAME must be 1 to " + std::to_string(kNameSize) + " bytes";
    return false;
  }
  return true;
}

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

}  // namespace

int main(int argc, char** argv) {
  Args args;
  std::string problem;
  if (!ParseArgs(argc, argv, args, problem)) {
    std::fprintf(stderr, "chat: %s; try chat --help\n", problem.c_str());
    return kExitUsage;
  }
  if (args.help) {
    std::fputs(kUsage, stdout);
    std::puts("On a terminal, type to chat.");
    for (const std::string& line : CommandHelp())
      std::puts(line.c_str());
    std::fputs(kUsageEnd, stdout);
    return kExitOk;
  }
  if (args.version) {
    std::printf("%s\n", kVersion);
    return kExitOk;
  }
  IgnoreSigpipe();
  if (!args.options.tls.verify) {
    std::fprintf(stderr, "chat: --insecure: the server's certificate is not verified\n");
  }

  ChatClient client;
  ConnectResult connected = client.Connect(args.options);
  if (!connected.Ok()) {
    std::fprintf(stderr, "chat: %s\n", connected.message.c_str());
    return ExitFor(connected.error);
  }
  bool terminal = IsTerminal(0) && IsTerminal(1);
  std::string failure;
  int status = RunChat(client, args.name, terminal, failure);
  if (status != kExitOk) std::fprintf(stderr, "chat: %s\n", failure.c_str());
  return status;
}
