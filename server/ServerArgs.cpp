// Command-line parsing for the server.
#include "server/ServerArgs.h"

#include <getopt.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "room/History.h"
#include "server/ExitStatus.h"

namespace saferoom {

namespace {

// The short options' ids are their letters.
enum OptionId {
  kRequireClientCert = 1,
  kForwardSecrecy,
  kListen,
  kWeb,
  kWebListen,
  kHistory,
  kState,
  kHelp = 'h',
  kVersion = 'V'
};

struct OptionDoc {
  option longOption;
  char shortName;     // or 0
  const char* value;  // the value's name in the help, or null
  const char* help;
};

// getopt's table and the help text both come from here.
const OptionDoc kOptions[] = {
    {{"require-client-cert", no_argument, nullptr, kRequireClientCert},
     0,
     nullptr,
     "only clients with a certificate from certs/ca.crt get in,\n"
     "each under the name in its certificate (subject CN)"},
    {{"forward-secrecy", no_argument, nullptr, kForwardSecrecy},
     0,
     nullptr,
     "offer ECDHE suites first (RSA or ECDSA certificate);\n"
     "AES128-SHA stays, last"},
    {{"listen", required_argument, nullptr, kListen},
     0,
     "ADDRESS",
     "serve on this IPv4 or IPv6 address only (repeatable);\n"
     ":: or [::] is every IPv6 address, and IPv4 too unless\n"
     "an IPv4 address is also given (default: 0.0.0.0)"},
    {{"web", required_argument, nullptr, kWeb},
     0,
     "PORT",
     "also serve the room to browsers on TCP port PORT\n"
     "(https://HOST:PORT/, TLS 1.2 and 1.3)"},
    {{"web-listen", required_argument, nullptr, kWebListen},
     0,
     "ADDRESS",
     "the same for the web listener (repeatable)"},
    {{"history", required_argument, nullptr, kHistory},
     0,
     "N",
     "keep the last N public messages in memory (default 0;\n"
     "at most 1000 and 192 KiB), for members who ask for them"},
    {{"state", required_argument, nullptr, kState},
     0,
     "DIR",
     "the membership state of a private room's web page:\n"
     "invitations and enrolled devices (default: state)"},
    {{"help", no_argument, nullptr, kHelp}, 'h', nullptr, "this text"},
    {{"version", no_argument, nullptr, kVersion}, 'V', nullptr, "the version"},
};
constexpr size_t kNumOptions = sizeof kOptions / sizeof kOptions[0];

// The exit statuses for --help, and from it the man page; each as a shell
// reads it (-2 is 254).
struct ExitDoc {
  int status;
  const char* help;
};
const ExitDoc kExitDocs[] = {
    {ServerExit::kStopped, "stopped by SIGINT or SIGTERM"},
    {ServerExit::kSetup,
     "no TLS context (none of its cipher suites, or with\n"
     "--require-client-cert an unusable certs/ca.crt); socket, bind or\n"
     "listen failed; a --listen ADDRESS is no IPv4 or IPv6 address; a\n"
     "socket from systemd is no listening TCP socket, or is named web\n"
     "without --web; a thread cannot start"},
    {ServerExit::kCert, "certs/server.crt cannot be used"},
    {ServerExit::kKey,
     "certs/server.key cannot be used, or serves none of the cipher\n"
     "suites offered (without --forward-secrecy: any key but RSA)"},
    {ServerExit::kMismatch, "the key does not match the certificate"},
    {ServerExit::kBadPort, "the port is negative or above 65535"},
    {ServerExit::kUsage, "not exactly one port, or an unknown option"},
};

// `name` padded to `column`, then `help`, each further line of it indented
// to the column too.
std::string Entry(std::string name, const char* help, size_t column) {
  std::string text = name + std::string(name.size() < column ? column - name.size() : 1, ' ');
  for (const char* c = help; *c != '\0'; ++c) {
    text += *c;
    if (*c == '\n') text += std::string(column, ' ');
  }
  return text + "\n";
}

// "--name" of an option that takes a value.
bool TakesValue(const char* arg) {
  for (const OptionDoc& o : kOptions) {
    if (o.longOption.has_arg == required_argument && std::strncmp(arg, "--", 2) == 0 &&
        std::strcmp(arg + 2, o.longOption.name) == 0) {
      return true;
    }
  }
  return false;
}

// A count from 0 to kHistoryMaxLength, in plain digits.
bool ReadHistoryLength(const char* text, int& length) {
  const size_t len = std::strlen(text);
  if (len == 0 || len > 4 || std::strspn(text, "0123456789") != len) return false;
  length = std::atoi(text);
  return length <= kHistoryMaxLength;
}

}  // namespace

int PortFromText(const char* text) {
  errno = 0;
  long value = std::strtol(text, nullptr, 10);
  // strtol saturates at the 64-bit limits; the port check wants 32 bits.
  if (value > INT_MAX) return INT_MAX;
  if (value < INT_MIN) return INT_MIN;
  return static_cast<int>(value);
}

ArgsOutcome ParseServerArgs(int argc, char** argv, ServerArgs& args, std::string& problem) {
  // getopt sees the options only, so that "-1" stays a (refused) port
  // instead of becoming an unknown option.
  std::vector<char*> options = {argv[0]};
  std::vector<char*> words;
  bool ended = false;
  for (int i = 1; i < argc; ++i) {
    const char* a = argv[i];
    if (!ended && std::strcmp(a, "--") == 0) {
      ended = true;
    } else if (!ended && a[0] == '-' && a[1] != '\0' && !(a[1] >= '0' && a[1] <= '9')) {
      options.push_back(argv[i]);
      // An option's value is the next argument, unless given as --name=value.
      if (TakesValue(a) && i + 1 < argc) options.push_back(argv[++i]);
    } else {
      words.push_back(argv[i]);
    }
  }
  options.push_back(nullptr);
  option specs[kNumOptions + 1] = {};
  std::string shortNames = "+";
  for (size_t i = 0; i < kNumOptions; ++i) {
    specs[i] = kOptions[i].longOption;
    if (kOptions[i].shortName != 0) shortNames += kOptions[i].shortName;
  }
  optind = 0;  // a fresh scan, also when called again
  opterr = 0;  // our own message instead of getopt's
  bool help = false;
  bool version = false;
  const int numOptions = static_cast<int>(options.size()) - 1;
  for (int id;
       (id = getopt_long(numOptions, options.data(), shortNames.c_str(), specs, nullptr)) != -1;) {
    switch (id) {
      case kRequireClientCert:
        args.requireClientCert = true;
        break;
      case kForwardSecrecy:
        args.forwardSecrecy = true;
        break;
      case kWeb:
        // Read like the port, but a mistake is named: there is no usage
        // line of old to keep for it.
        args.webPort = PortFromText(optarg);
        if (static_cast<unsigned>(args.webPort) > 65535u || optarg[0] == '\0') {
          problem = std::string("--web: not a port: ") + optarg;
          return ArgsOutcome::kUsage;
        }
        break;
      case kHistory:
        if (!ReadHistoryLength(optarg, args.historyLength)) {
          problem =
              "--history takes a number of messages from 0 to " + std::to_string(kHistoryMaxLength);
          return ArgsOutcome::kUsage;
        }
        break;
      case kListen:
        args.listen.push_back(optarg);
        break;
      case kState:
        if (optarg[0] == '\0') {
          problem = "--state needs a directory";
          return ArgsOutcome::kUsage;
        }
        args.statePath = optarg;
        break;
      case kWebListen:
        args.webListen.push_back(optarg);
        break;
      case kHelp:
        help = true;
        break;
      case kVersion:
        version = true;
        break;
      case ':':
        problem = std::string(argv[optind - 1]) + " needs a value";
        return ArgsOutcome::kUsage;
      default:
        problem = optopt != 0 ? std::string("unknown option -") + static_cast<char>(optopt)
                              : std::string("unknown option ") + options[optind - 1];
        return ArgsOutcome::kUsage;
    }
  }
  if (help) return ArgsOutcome::kHelp;
  if (version) return ArgsOutcome::kVersion;
  if (words.size() != 1) return ArgsOutcome::kUsage;
  args.port = PortFromText(words[0]);
  // Unsigned, so that every negative number is refused too.
  if (static_cast<unsigned>(args.port) > 65535u) return ArgsOutcome::kBadPort;
  return ArgsOutcome::kServe;
}

std::string ProgramName(const char* argv0) {
  const char* slash = argv0 != nullptr ? std::strrchr(argv0, '/') : nullptr;
  const char* name = slash != nullptr ? slash + 1 : argv0;
  return name != nullptr && *name != '\0' ? name : "server";
}

std::string ServerHelp(const std::string& program) {
  std::string text =
      "Usage: " + program +
      " [OPTIONS] PORT\n"
      "Serves the chat room on TCP port PORT (0: the system picks one) over TLS 1.2,\n"
      "with certs/ca.crt, certs/server.crt and certs/server.key read from the working\n"
      "directory. SIGHUP reads the three files again for new connections (members stay;\n"
      "if they cannot be used, the old ones stay). SIGINT or SIGTERM stops it.\n"
      "\n"
      "Options:\n";
  constexpr size_t kColumn = 29;
  for (const OptionDoc& o : kOptions) {
    std::string name = o.shortName != 0 ? std::string("  -") + o.shortName + ", --" : "      --";
    name += o.longOption.name;
    if (o.value != nullptr) name += std::string(" ") + o.value;
    text += Entry(name, o.help, kColumn);
  }
  text += "\nExit status:\n";
  for (const ExitDoc& e : kExitDocs)
    text += Entry("  " + std::to_string(e.status & 0xff), e.help, 7);
  return text;
}

}  // namespace saferoom
