// Command-line parsing for the server.
#include "server/ServerArgs.h"

#include <getopt.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>

namespace {

enum OptionId { kRequireClientCert = 1, kForwardSecrecy, kListen, kHelp, kVersion };

struct OptionDoc {
  option longOption;
  const char* help;
  const char* value = nullptr;  // the value's name in the help, for an option that takes one
};

// getopt's table and the help text both come from here.
const OptionDoc kOptions[] = {
    {{"require-client-cert", no_argument, nullptr, kRequireClientCert},
     "only clients with a certificate from certs/ca.crt get in,\n"
     "each under the name in its certificate (subject CN)"},
    {{"forward-secrecy", no_argument, nullptr, kForwardSecrecy},
     "offer ECDHE suites first (RSA or ECDSA certificate);\n"
     "AES128-SHA stays, last"},
    {{"listen", required_argument, nullptr, kListen},
     "serve on this IPv4 or IPv6 address only (repeatable);\n"
     ":: or [::] is every IPv6 address, and IPv4 too unless\n"
     "an IPv4 address is also given (default: 0.0.0.0)",
     "ADDRESS"},
    {{"help", no_argument, nullptr, kHelp}, "this text"},
    {{"version", no_argument, nullptr, kVersion}, "the version"},
};
constexpr size_t kNumOptions = sizeof kOptions / sizeof kOptions[0];

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
    const char* word = argv[optionsEnd++];
    if (std::strcmp(word, "--") == 0) break;
    // A value in the next word belongs to the options too.
    for (const OptionDoc& o : kOptions) {
      if (o.longOption.has_arg == required_argument && std::strcmp(word + 2, o.longOption.name) == 0 &&
          optionsEnd < argc) {
        ++optionsEnd;
      }
    }
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
      case kListen:
        args.listen.push_back(optarg);
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
    std::string name = std::string("  --") + o.longOption.name + (o.value ? std::string(" ") + o.value : "");
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
