// chat-bench's command line: one table gives getopt_long its options and
// --help its lines, with each default read from BenchOptions.
#include <getopt.h>

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "bench/ChatBench.h"

namespace saferoom {

namespace {

// One line of the help: a paragraph (name null) or an option and where its
// value goes. A default outside [low, high] means "off" and is not shown.
struct OptionDoc {
  const char* name = nullptr;
  const char* value = nullptr;  // the value's name in the help; null: a flag
  const char* help = nullptr;
  int BenchOptions::*whole = nullptr;
  double BenchOptions::*real = nullptr;
  std::string BenchOptions::*text = nullptr;
  bool BenchOptions::*flag = nullptr;  // null on a flag: --help
  double low = 0;
  double high = 0;
};

OptionDoc Para(const char* text) {
  OptionDoc o;
  o.help = text;
  return o;
}

OptionDoc Flag(const char* name, bool BenchOptions::*field, const char* help) {
  OptionDoc o;
  o.name = name;
  o.help = help;
  o.flag = field;
  return o;
}

void Bind(OptionDoc& o, int BenchOptions::*field) {
  o.whole = field;
}
void Bind(OptionDoc& o, double BenchOptions::*field) {
  o.real = field;
}
void Bind(OptionDoc& o, std::string BenchOptions::*field) {
  o.text = field;
}

// An option with a value of the field's type, within [low, high] for numbers.
template <typename T>
OptionDoc Value(const char* name, const char* value, T BenchOptions::*field, double low,
                double high, const char* help) {
  OptionDoc o = Flag(name, nullptr, help);
  o.value = value;
  o.low = low;
  o.high = high;
  Bind(o, field);
  return o;
}

OptionDoc Text(const char* name, const char* value, std::string BenchOptions::*field,
               const char* help) {
  return Value(name, value, field, 0, 0, help);
}

using O = BenchOptions;
const OptionDoc kOptions[] = {
    Para("Usage: chat-bench --port P [--host H] [--ca FILE | --insecure] [--server-pid PID]\n"
         "                  [--json] [MODE OPTIONS]\n"
         "Measures a chat server on this machine; every run stops by itself. Prints one\n"
         "line of key=value figures, or one JSON object with --json.\n\nCommon:\n"),
    Value("port", "P", &O::port, 1, 65535, "the server's port (required)"),
    Text("host", "H", &O::host, "server address"),
    Text("ca", "FILE", &O::caFile, "verify the server against this CA"),
    Flag("insecure", &O::insecure, "do not verify the server"),
    Flag("web", &O::web,
         "the port is the server's web listener: members join\nover a WebSocket (chat load only)"),
    Flag("irc", &O::irc,
         "the port is an IRC server's TLS port: members register,\njoin CHANNEL and send PRIVMSG "
         "(chat load, idle; texts\nover 400 bytes go as several lines)"),
    Text("channel", "CHANNEL", &O::channel, "with --irc: the channel"),
    Text("oper", "NAME:PASS", &O::oper,
         "with --irc: each member becomes an IRC operator and\nsets user mode +F (no flood "
         "throttling)"),
    Value("server-pid", "PID", &O::serverPid, 1, INT32_MAX,
          "also report the server's CPU time and memory from /proc"),
    Flag("json", &O::json, "print one JSON object"),
    Flag("help", nullptr, "this text"),
    Para("\nChat load (the default mode): N members log in as NAME0..NAME(N-1); the first\n"
         "S send texts of B bytes to the room (or to the next member, with --private),\n"
         "stamped with a sequence number and the send time; every member the server\n"
         "sends them to checks that it gets each text once, in order per sender.\n"),
    Value("members", "N", &O::members, 0, 10000, "members"),
    Value("senders", "S", &O::senders, 1, 10000, "sending members"),
    Value("messages", "M", &O::messages, 1, 1 << 27,
          "texts per sender;\nno limit when --duration comes alone"),
    Value("size", "B", &O::size, 1, kMaxPayload, "bytes per text, 30 or more"),
    Value("kind", "K", &O::kind, 0, 1,
          "PayloadKind: 0 binary, payload B rounded up to 16;\n1 text, B bytes plus the NUL"),
    Value("window", "W", &O::window, 1, 1 << 20, "closed loop: texts in flight per sender"),
    Flag("private", &O::privately,
         "each sender writes privately to the next member\ninstead of to the room"),
    Value("rate", "R", &O::rate, 0.001, 1e7,
          "open loop instead: R texts/s over all senders, paced;\n"
          "latency counts from each text's due time"),
    Value("duration", "SECS", &O::durationSec, 0.001, 86400, "longest send phase"),
    Value("drain", "SECS", &O::drainSec, 0, 3600, "longest wait for the last deliveries"),
    Text("name", "NAME", &O::namePrefix, "member name prefix"),
    Para("  Reports sent_per_s, deliveries_per_s (all members together), p50/p99/max\n"
         "  delivery latency, and with --server-pid server_cpu_s_per_1000 deliveries and\n"
         "  server_peak_rss_kib (VmHWM).\n\nHandshakes: --handshakes K [--parallel P]\n"),
    Value("handshakes", "K", &O::handshakes, 1, 10000000,
          "K full TLS handshakes (no session resumption)"),
    Value("parallel", "P", &O::parallel, 1, 256, "from P threads"),
    Para("  Reports handshakes_per_s, and server CPU ms per handshake with --server-pid.\n"
         "\nIdle: --idle SECS [--members N] [--connections C]   (needs --server-pid)\n"),
    Value("idle", "SECS", &O::idleSec, 0.001, 86400, "how long to measure"),
    Value("connections", "C", &O::connections, 0, 100000,
          "connections that only complete the handshake"),
    Para("  N members log in besides; after a 1 s settle, reports the server's CPU ms over\n"
         "  SECS (and per minute) and rss_per_conn_kib, the VmRSS growth over N + C.\n"
         "\nSoak: --soak SECS [--server-pid PID] [--drain SECS] [--name NAME]\n"),
    Value("soak", "SECS", &O::soakSec, 0.001, 86400, "how long to keep the load on"),
    Para("  Two members (NAME0, NAME1) chat publicly and privately, stamped as in the\n"
         "  load, while others join and leave, one floods, one stops reading and\n"
         "  garbage arrives instead of handshakes and frames. Then each of the two must\n"
         "  have got all that was meant for it, once and in order, and nothing else of\n"
         "  theirs; with --server-pid the server's descriptors and memory must be back.\n"
         "\nExit status: 0 ok; 1 deliveries missing, repeated, out of order or misrouted,\n"
         "handshakes failed, or the server kept descriptors or memory; 2 usage; 3 could\n"
         "not connect, log in or read /proc.\n"),
};

bool ParseWhole(const char* text, double low, double high, int& value) {
  char* end = nullptr;
  errno = 0;
  long long parsed = std::strtoll(text, &end, 10);
  if (errno != 0 || end == text || *end != '\0' || parsed < low || parsed > high) return false;
  value = static_cast<int>(parsed);
  return true;
}

bool ParseReal(const char* text, double low, double high, double& value) {
  char* end = nullptr;
  errno = 0;
  double parsed = std::strtod(text, &end);
  if (errno != 0 || end == text || *end != '\0' || !std::isfinite(parsed) || parsed < low ||
      parsed > high) {
    return false;
  }
  value = parsed;
  return true;
}

// Stores one option's value; false when it is out of range or no number.
bool Store(const OptionDoc& o, const char* value, BenchOptions& options) {
  if (o.whole != nullptr) return ParseWhole(value, o.low, o.high, options.*o.whole);
  if (o.real != nullptr) return ParseReal(value, o.low, o.high, options.*o.real);
  options.*o.text = value;
  return true;
}

// "(default X)" from a fresh BenchOptions, or "" when the option is off by default.
std::string DefaultText(const OptionDoc& o) {
  const BenchOptions defaults;
  char text[64] = "";
  if (o.whole != nullptr && defaults.*o.whole >= o.low && defaults.*o.whole <= o.high) {
    std::snprintf(text, sizeof text, "%d", defaults.*o.whole);
  } else if (o.real != nullptr && defaults.*o.real >= o.low && defaults.*o.real <= o.high) {
    std::snprintf(text, sizeof text, "%g", defaults.*o.real);
  } else if (o.text != nullptr) {
    return (defaults.*o.text).empty() ? "" : " (default " + defaults.*o.text + ")";
  }
  return text[0] == '\0' ? "" : std::string(" (default ") + text + ")";
}

bool Given(const std::vector<const OptionDoc*>& given, const char* name) {
  for (const OptionDoc* o : given)
    if (std::strcmp(o->name, name) == 0) return true;
  return false;
}

// The checks across options; false after a message on stderr.
bool CheckTogether(const std::vector<const OptionDoc*>& given, BenchOptions& options) {
  if (!Given(given, "port")) {
    std::fprintf(stderr, "chat-bench: --port is required\n");
    return false;
  }
  if (options.insecure && Given(given, "ca")) {
    std::fprintf(stderr, "chat-bench: --ca and --insecure exclude each other\n");
    return false;
  }
  if (options.irc && (options.web || Given(given, "soak"))) {
    std::fprintf(stderr, "chat-bench: --irc goes with neither --web nor --soak\n");
    return false;
  }
  if (Given(given, "handshakes") + Given(given, "idle") + Given(given, "soak") > 1) {
    std::fprintf(stderr, "chat-bench: choose one of --handshakes, --idle and --soak\n");
    return false;
  }
  if (Given(given, "duration") && !Given(given, "messages")) options.messages = -1;
  return true;
}

}  // namespace

BenchArgs ParseBenchArgs(int argc, char** argv, BenchOptions& options) {
  std::vector<option> specs;
  for (const OptionDoc& o : kOptions) {
    // getopt hands back the table index, past the values of short options.
    int id = 256 + static_cast<int>(&o - kOptions);
    if (o.name != nullptr)
      specs.push_back({o.name, o.value ? required_argument : no_argument, nullptr, id});
  }
  specs.push_back({});
  optind = 0;  // a fresh scan, also when called again
  opterr = 0;  // our own messages instead of getopt's
  std::vector<const OptionDoc*> given;
  for (int id; (id = getopt_long(argc, argv, "+:h", specs.data(), nullptr)) != -1;) {
    if (id == 'h') return BenchArgs::kHelp;
    if (id < 256) {
      std::fprintf(stderr, "chat-bench: %s %s\n", argv[optind - 1],
                   id == ':' ? "needs a value" : "is no option");
      return BenchArgs::kUsage;
    }
    const OptionDoc& o = kOptions[id - 256];
    if (o.value == nullptr && o.flag == nullptr) return BenchArgs::kHelp;
    if (o.flag != nullptr) {
      options.*o.flag = true;
    } else if (!Store(o, optarg, options)) {
      std::fprintf(stderr, "chat-bench: bad value for --%s: %s\n", o.name, optarg);
      return BenchArgs::kUsage;
    }
    given.push_back(&o);
  }
  if (optind < argc) {
    std::fprintf(stderr, "chat-bench: unexpected argument %s\n", argv[optind]);
    return BenchArgs::kUsage;
  }
  return CheckTogether(given, options) ? BenchArgs::kRun : BenchArgs::kUsage;
}

std::string BenchHelp() {
  std::string text;
  constexpr size_t kColumn = 21;
  for (const OptionDoc& o : kOptions) {
    if (o.name == nullptr) {
      text += o.help;
      continue;
    }
    std::string head = std::string("  --") + o.name + (o.value ? std::string(" ") + o.value : "");
    text += head + std::string(kColumn > head.size() ? kColumn - head.size() : 1, ' ');
    for (const char* c = o.help; *c != '\0'; ++c) {
      text += *c;
      if (*c == '\n') text += std::string(kColumn, ' ');
    }
    text += DefaultText(o) + "\n";
  }
  return text;
}

}  // namespace saferoom
