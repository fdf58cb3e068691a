// Command-line parsing and help for the chat command.
#include "client/ChatArgs.h"

#include <getopt.h>

#include <cstring>
#include <vector>

#include "client/ChatSession.h"
#include "platform/Net.h"
#include "protect/SafeText.h"

namespace saferoom {

namespace {

// -h and -V: the ids of --help and --version are their short names.
enum OptionId {
  kCa = 1,
  kInsecure,
  kCert,
  kKey,
  kTimestamps,
  kReconnect,
  kHistory,
  kHelp = 'h',
  kVersion = 'V'
};

struct OptionDoc {
  option longOption;
  const char* value;  // the value's name in the help, or null
  std::string help;
};

std::string Seconds(int ms) {
  return std::to_string(ms / 1000) + " s";
}

// getopt's table and the help text both come from here.
const std::vector<OptionDoc>& Options() {
  static const std::vector<OptionDoc> kOptions = {
      {{"ca", required_argument, nullptr, kCa},
       "FILE",
       "verify the server, host name or IP address included, against\n"
       "the CA certificates in FILE (default: " +
           std::string(kDefaultCaFile) + " when it exists,\nelse the system's trusted CAs)"},
      {{"insecure", no_argument, nullptr, kInsecure},
       nullptr,
       "do not verify the server (not with --ca)"},
      {{"cert", required_argument, nullptr, kCert}, "FILE", "present this client certificate"},
      {{"key", required_argument, nullptr, kKey},
       "FILE",
       "its private key (default: in the --cert FILE)"},
      {{"timestamps", no_argument, nullptr, kTimestamps},
       nullptr,
       "from a pipe, begin each line from the room with the\n"
       "local time in ISO 8601 (a terminal always shows HH:MM)"},
      {{"reconnect", no_argument, nullptr, kReconnect},
       nullptr,
       "from a pipe, dial again when the connection is lost\n"
       "(a terminal always does)"},
      {{"history", no_argument, nullptr, kHistory},
       nullptr,
       "from a pipe, show what the room said before each login,\n"
       "when the server keeps it (a terminal always does)"},
      {{"help", no_argument, nullptr, kHelp}, nullptr, "this text"},
      {{"version", no_argument, nullptr, kVersion}, nullptr, "the version"},
  };
  return kOptions;
}

struct ExitDoc {
  int code;
  std::string text;
};

const std::vector<ExitDoc>& ExitStatuses() {
  static const std::vector<ExitDoc> kStatuses = {
      {ChatExit::kOk, "logged out normally"},
      {ChatExit::kUsage, "bad usage, or unusable CA, certificate or key file"},
      {ChatExit::kConnect,
       "the host name does not resolve, or no connection within " + Seconds(kConnectTimeoutMs)},
      {ChatExit::kTls,
       "TLS failed: the peer does not speak TLS, its certificate\n"
       "is not trusted, or it refused ours"},
      {ChatExit::kNameInUse, "the name is in use (from a pipe)"},
      {ChatExit::kNoAnswer, "no answer to the login within " + Seconds(kLoginAnswerMs) +
                                ": the room is full (" + std::to_string(kRoomSize) +
                                " members)\nor not answering (on a terminal, when Esc, Ctrl-C or\n"
                                "/quit stopped the waiting for a place)"},
      {ChatExit::kLost,
       "connection lost (from a pipe without --reconnect; on a\n"
       "terminal, when Esc, Ctrl-C or /quit stopped the reconnecting)"},
      {ChatExit::kNotSent,
       "from a pipe: everything else was sent, but some input\n"
       "lines were not (each said on standard error)"},
  };
  return kStatuses;
}

// "  NAME" padded to `column`, then `help`, its further lines indented too.
std::string Entry(const std::string& name, const std::string& help, size_t column) {
  std::string text = name + std::string(name.size() < column ? column - name.size() : 1, ' ');
  for (char c : help) {
    text += c;
    if (c == '\n') text += std::string(column, ' ');
  }
  return text + "\n";
}

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

// Reads the options; false with `problem` set.
bool ReadOptions(int argc, char** argv, ChatArgs& args, ChatArgsOutcome& outcome, bool& caGiven,
                 std::string& problem) {
  std::vector<option> specs;
  for (const OptionDoc& o : Options())
    specs.push_back(o.longOption);
  specs.push_back(option{});
  optind = 0;  // a fresh scan, also when called again
  opterr = 0;  // our own messages instead of getopt's
  TlsClientConfig& tls = args.options.tls;
  for (int id; (id = getopt_long(argc, argv, ":hV", specs.data(), nullptr)) != -1;) {
    switch (id) {
      case kCa:
        tls.caFile = optarg;
        caGiven = true;
        break;
      case kInsecure:
        tls.verify = false;
        break;
      case kCert:
        tls.certFile = optarg;
        break;
      case kKey:
        tls.keyFile = optarg;
        break;
      case kTimestamps:
        args.timestamps = true;
        break;
      case kReconnect:
        args.reconnect = true;
        break;
      case kHistory:
        args.history = true;
        break;
      case kHelp:
        outcome = ChatArgsOutcome::kHelp;
        break;
      case kVersion:
        if (outcome != ChatArgsOutcome::kHelp) outcome = ChatArgsOutcome::kVersion;
        break;
      case ':':
        problem = std::string(argv[optind - 1]) + " needs a FILE";
        return false;
      default:
        for (const OptionDoc& o : Options()) {
          if (optopt == o.longOption.val)
            problem = "--" + std::string(o.longOption.name) + " takes no value";
        }
        if (!problem.empty()) return false;
        if (optopt != 0) {
          problem = std::string("unknown option -") + static_cast<char>(optopt);
        } else {
          problem = std::string("unknown option ") + argv[optind - 1];
        }
        return false;
    }
  }
  return true;
}

}  // namespace

ChatArgsOutcome ParseChatArgs(int argc, char** argv, ChatArgs& args, std::string& problem,
                              bool defaultCaExists) {
  ChatArgsOutcome outcome = ChatArgsOutcome::kRun;
  bool caGiven = false;
  if (!ReadOptions(argc, argv, args, outcome, caGiven, problem)) return ChatArgsOutcome::kUsage;
  if (outcome != ChatArgsOutcome::kRun) return outcome;
  TlsClientConfig& tls = args.options.tls;
  if (argc - optind != 3) {
    problem = "expected HOST PORT NAME";
  } else if (caGiven && !tls.verify) {
    problem = "--ca and --insecure contradict each other";
  } else if (!tls.keyFile.empty() && tls.certFile.empty()) {
    problem = "--key needs --cert";
    // The resolver and the certificate check take an IPv6 address bare.
  } else if ((args.options.target.host = WithoutBrackets(argv[optind])).empty()) {
    problem = "HOST is empty";
  } else if (!ParsePort(argv[optind + 1], args.options.target.port)) {
    problem = "PORT must be a number from 1 to 65535";
  } else if ((args.name = argv[optind + 2]).empty() || args.name.size() > kNameSize) {
    problem = "NAME must be 1 to " + std::to_string(kNameSize) + " bytes";
  } else if (const char* fault = NameFault(args.name)) {
    // The server would answer "in use", which would say nothing of why.
    problem = "NAME " + SafeName(args.name) + " is no name a server takes: " + fault;
  }
  if (!problem.empty()) return ChatArgsOutcome::kUsage;
  if (!caGiven && tls.verify && defaultCaExists) tls.caFile = kDefaultCaFile;
  return ChatArgsOutcome::kRun;
}

std::string ChatHelp(const std::string& program) {
  constexpr size_t kColumn = 20;
  std::string text = "Usage: " + program +
                     " [OPTIONS] HOST PORT NAME\n"
                     "Joins the chat room at HOST:PORT over TLS 1.2 as NAME (1 to " +
                     std::to_string(kNameSize) +
                     " bytes).\n"
                     "HOST is a name (every address it has is tried), an IPv4 address or an IPv6\n"
                     "address (::1 or [::1]).\n"
                     "Put -- before HOST when NAME begins with -.\n"
                     "\n"
                     "Options:\n";
  for (const OptionDoc& o : Options()) {
    const bool hasShort = o.longOption.val == kHelp || o.longOption.val == kVersion;
    std::string name = (hasShort ? std::string("  -") + static_cast<char>(o.longOption.val) + ", --"
                                 : std::string("  --")) +
                       o.longOption.name + (o.value ? std::string(" ") + o.value : "");
    text += Entry(name, o.help, kColumn);
  }
  text += "\nOn a terminal, type to chat; each line from the room shows its time (HH:MM).\n";
  for (const std::string& line : CommandHelp())
    text += (line[0] == ' ' ? "" : "\n") + line + "\n";  // a blank line before each heading
  text +=
      "A paste is text: each pasted line is a message, also one that begins with /.\n"
      "A private message, or one that names you, rings the bell and is highlighted.\n"
      "Names and notices are in colour unless NO_COLOR is set; white space at either\n"
      "end of a name shows as \\x20 (and the like). A lost connection is dialled\n"
      "again after " +
      Seconds(kRetryFirstMs) + ", then twice as long each time up to " + Seconds(kRetryMaxMs) +
      " (from " + Seconds(kRetryFirstMs) +
      " again\n"
      "only once a connection stayed " +
      Seconds(kStayedMs) +
      "), logging in under the same name; a full\n"
      "room is waited for the same way. Lines typed meanwhile are held (up to " +
      std::to_string(kMaxHeldLines) +
      ")\n"
      "and sent once back in the room; Esc stops the waiting. Ctrl-C clears the\n"
      "line, or on an empty line leaves; Ctrl-Z suspends, as in a shell. After each\n"
      "login the client asks for what the room said before (a server started with\n"
      "--history keeps it) and shows it dimmed, with its times, above a separator\n"
      "line; after a reconnect, only what it had not shown yet.\n"
      "\n"
      "From a pipe, each input line is a message or a command; what the room says\n"
      "goes to standard output, one line each (the member list on joining as\n"
      "\"In the room (N): NAME, ...\", then messages, joins and leaves). At the\n"
      "end of input the client sends itself an empty private message and waits (at\n"
      "most " +
      Seconds(kEchoWaitMs) +
      ") until it comes back: the server relays in order, so everything\n"
      "sent before has been delivered. Then it logs out. A name in use ends it.\n"
      "A line that cannot be sent (longer than " +
      std::to_string(kMaxTextLen) +
      " bytes, a /msg to a name not in\n"
      "the room) is said on standard error and skipped.\n"
      "\n"
      "Exit status:\n";
  for (const ExitDoc& e : ExitStatuses())
    text += Entry("  " + std::to_string(e.code), e.text, 5);
  return text;
}

}  // namespace saferoom
