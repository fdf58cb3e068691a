// Command-line parsing for the server.
#include "server/ServerArgs.h"

#include <getopt.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>

#include "room/History.h"

namespace {

enum OptionId { kRequireClientCert = 1, kForwardSecrecy, kHistory, kHelp, kVersion };

struct OptionDoc {
  option longOption;
  const char* value;  // the value's name in the help, or null
  const char* help;
};

// getopt's table and the help text both come from here.
const OptionDoc kOptions[] = {
    {{"require-client-cert", no_argument, nullptr, kRequireClientCert},
     nullptr,
     "only clients with a certificate from certs/ca.crt get in,\n"
     "each under the name in its certificate (subject CN)"},
    {{"forward-secrecy", no_argument, nullptr, kForwardSecrecy},
     nullptr,
     "offer ECDHE suites first (RSA or ECDSA certificate);\n"
     "AES128-SHA stays, last"},
    {{"history", required_argument, nullptr, kHistory},
     "N",
     "keep the last N public messages in memory (default 0;\n"
     "at most 1000 and 192 KiB), for members who ask for them"},
    {{"help", no_argument, nullptr, kHelp}, nullptr, "this text"},
    {{"version", no_argument, nullptr, kVersion}, nullptr, "the version"},
};
constexpr size_t kNumOptions = sizeof kOptions / sizeof kOptions[0];

// A value given as the next word ("--history 100") rather than after '='.
bool TakesSeparateValue(const char* word) {
  for (const OptionDoc& o : kOptions) {
    if (o.longOption.has_arg == required_argument && std::strcmp(word + 2, o.longOption.name) == 0)
      return true;
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
  // Options are long ones before the port, so "-1" stays a (refused) port
  // instead of becoming an unknown option: getopt sees only the options.
  int optionsEnd = 1;
  while (optionsEnd < argc && std::strncmp(argv[optionsEnd], "--", 2) == 0) {
    if (std::strcmp(argv[optionsEnd], "--") == 0) {
      ++optionsEnd;
      break;
    }
    if (TakesSeparateValue(argv[optionsEnd++]) && optionsEnd < argc) ++optionsEnd;
  }
  option specs[kNumOptions + 1] = {};
  for (size_t i = 0; i < kNumOptions; ++i)
    specs[i] = kOptions[i].longOption;
  optind = 0;  // a fresh scan, also when called again
  opterr = 0;  // our own message instead of getopt's
  bool help = false;
  bool version = false;
  for (int id; (id = getopt_long(optionsEnd, argv, "+:", specs, nullptr)) != -1;) {
    switch (id) {
      case kRequireClientCert:
        args.requireClientCert = true;
        break;
      case kForwardSecrecy:
        args.forwardSecrecy = true;
        break;
      case kHistory:
        if (!ReadHistoryLength(optarg, args.historyLength)) {
          problem =
              "--history takes a number of messages from 0 to " + std::to_string(kHistoryMaxLength);
          return ArgsOutcome::kUsage;
        }
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
        problem = std::string("unknown option ") + argv[optind - 1];
        return ArgsOutcome::kUsage;
    }
  }
  if (help) return ArgsOutcome::kHelp;
  if (version) return ArgsOutcome::kVersion;
  if (argc - optind != 1) return ArgsOutcome::kUsage;
  args.port = PortFromText(argv[optind]);
  // Unsigned, so that every negative number is refused too.
  if (static_cast<unsigned>(args.port) > 65535u) return ArgsOutcome::kBadPort;
  return ArgsOutcome::kServe;
}

std::string ServerHelp() {
  std::string text =
      "Usage: server [OPTIONS] PORT\n"
      "Serves the chat room on TCP port PORT (0: the system picks one) over TLS 1.2,\n"
      "with certs/ca.crt, certs/server.crt and certs/server.key read from the working\n"
      "directory. SIGHUP reads the three files again for new connections (members stay;\n"
      "if they cannot be used, the old ones stay). SIGINT or SIGTERM stops it.\n"
      "\n"
      "Options:\n";
  constexpr size_t kColumn = 25;
  for (const OptionDoc& o : kOptions) {
    std::string name =
        std::string("  --") + o.longOption.name + (o.value ? std::string(" ") + o.value : "");
    text += name + std::string(kColumn - name.size(), ' ');
    for (const char* line = o.help; *line != '\0';) {
      const char* end = std::strchr(line, '\n');
      size_t len = end ? static_cast<size_t>(end - line) : std::strlen(line);
      if (line != o.help) text += std::string(kColumn, ' ');
      text.append(line, len);
      text += '\n';
      line += len + (end ? 1 : 0);
    }
  }
  return text;
}
