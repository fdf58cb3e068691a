// chat-bench: load, latency, handshake and idle figures for a running chat
// server on this machine. The command line and the result line live here.
#include "bench/ChatBench.h"

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "platform/Os.h"

namespace {

constexpr char kUsage[] =
    "Usage: chat-bench --port P [--host H] [--ca FILE | --insecure] [--server-pid PID]\n"
    "                  [--json] [MODE OPTIONS]\n"
    "Measures a chat server on this machine; every run stops by itself. Prints one\n"
    "line of key=value figures, or one JSON object with --json.\n"
    "\n"
    "Common:\n"
    "  --host H          server address (default 127.0.0.1)\n"
    "  --ca FILE         verify the server against this CA (default certs/ca.crt)\n"
    "  --insecure        do not verify the server\n"
    "  --server-pid PID  also report the server's CPU time and memory from /proc\n"
    "  --json            print one JSON object\n"
    "\n"
    "Chat load (the default mode): N members log in as NAME0..NAME(N-1); the first\n"
    "S send public texts of B bytes stamped with a sequence number and the send\n"
    "time; every member checks that it gets each text once, in order per sender.\n"
    "  --members N       members (default 5)\n"
    "  --senders S       sending members (default 1)\n"
    "  --messages M      texts per sender (default 20000; no limit with --duration)\n"
    "  --size B          bytes per text, 30 or more (default 64)\n"
    "  --kind K          PayloadKind: 0 binary, payload B rounded up to 16 (default);\n"
    "                    1 text, B bytes plus the NUL\n"
    "  --window W        closed loop: texts in flight per sender (default 16)\n"
    "  --rate R          open loop instead: R texts/s over all senders, paced;\n"
    "                    latency counts from each text's due time\n"
    "  --duration SECS   longest send phase (default 60)\n"
    "  --drain SECS      longest wait for the last deliveries (default 5)\n"
    "  --name NAME       member name prefix (default bench)\n"
    "  Reports sent_per_s, deliveries_per_s (all members together), p50/p99/max\n"
    "  delivery latency, and with --server-pid server_cpu_s_per_1000 deliveries and\n"
    "  server_peak_rss_kib (VmHWM).\n"
    "\n"
    "Handshakes: --handshakes K [--parallel P]\n"
    "  K full TLS handshakes (no session resumption) from P threads (default 4);\n"
    "  reports handshakes_per_s, and server CPU ms per handshake with --server-pid.\n"
    "\n"
    "Idle: --idle SECS [--members N] [--connections C]   (needs --server-pid)\n"
    "  N members log in (default 5) and C more connections only complete the\n"
    "  handshake; after a 1 s settle, reports the server's CPU ms over SECS (and\n"
    "  per minute) and rss_per_conn_kib, the VmRSS growth over N + C.\n"
    "\n"
    "Exit status: 0 ok; 1 deliveries missing, repeated or out of order, or\n"
    "handshakes failed; 2 usage; 3 could not connect, log in or read /proc.\n";

bool ParseInt(const char* text, int64_t low, int64_t high, int64_t& value) {
  char* end = nullptr;
  errno = 0;
  long long parsed = std::strtoll(text, &end, 10);
  if (errno != 0 || end == text || *end != '\0' || parsed < low || parsed > high) return false;
  value = parsed;
  return true;
}

bool ParseDouble(const char* text, double low, double high, double& value) {
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

std::string JsonString(const std::string& text) {
  std::string out = "\"";
  for (char c : text) {
    if (c == '"' || c == '\\') {
      out += '\\';
      out += c;
    } else if (static_cast<unsigned char>(c) < 0x20) {
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, "\\u%04x", c);
      out += escaped;
    } else {
      out += c;
    }
  }
  return out + "\"";
}

// Fills `options` from the command line. False with a message on stderr.
bool ParseArgs(int argc, char** argv, BenchOptions& options, bool& help) {
  bool messagesGiven = false;
  bool durationGiven = false;
  bool caGiven = false;
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    if (arg == "--help" || arg == "-h") {
      help = true;
      return true;
    }
    if (arg == "--json") {
      options.json = true;
      continue;
    }
    if (arg == "--insecure") {
      options.verify = false;
      continue;
    }
    if (i + 1 >= argc) {
      std::fprintf(stderr, "chat-bench: %s needs a value (or unknown option)\n", arg.c_str());
      return false;
    }
    const char* value = argv[++i];
    int64_t number = 0;
    bool ok = true;
    if (arg == "--host") {
      options.host = value;
    } else if (arg == "--port") {
      ok = ParseInt(value, 1, 65535, number);
      options.port = static_cast<uint16_t>(number);
    } else if (arg == "--ca") {
      options.caFile = value;
      caGiven = true;
    } else if (arg == "--server-pid") {
      ok = ParseInt(value, 1, INT32_MAX, number);
      options.serverPid = static_cast<int>(number);
    } else if (arg == "--members") {
      ok = ParseInt(value, 0, 10000, number);
      options.members = static_cast<int>(number);
    } else if (arg == "--senders") {
      ok = ParseInt(value, 1, 10000, number);
      options.senders = static_cast<int>(number);
    } else if (arg == "--messages") {
      ok = ParseInt(value, 1, int64_t{1} << 27, number);
      options.messages = number;
      messagesGiven = true;
    } else if (arg == "--size") {
      ok = ParseInt(value, 1, kMaxPayload, number);
      options.size = static_cast<int>(number);
    } else if (arg == "--kind") {
      ok = ParseInt(value, 0, 1, number);
      options.kind = static_cast<uint32_t>(number);
    } else if (arg == "--window") {
      ok = ParseInt(value, 1, 1 << 20, number);
      options.window = static_cast<int>(number);
    } else if (arg == "--rate") {
      ok = ParseDouble(value, 0.001, 1e7, options.rate);
    } else if (arg == "--duration") {
      ok = ParseDouble(value, 0.001, 86400, options.durationSec);
      durationGiven = true;
    } else if (arg == "--drain") {
      ok = ParseDouble(value, 0, 3600, options.drainSec);
    } else if (arg == "--name") {
      options.namePrefix = value;
    } else if (arg == "--handshakes") {
      ok = ParseInt(value, 1, 10000000, number);
      options.handshakes = static_cast<int>(number);
    } else if (arg == "--parallel") {
      ok = ParseInt(value, 1, 256, number);
      options.parallel = static_cast<int>(number);
    } else if (arg == "--idle") {
      ok = ParseDouble(value, 0.001, 86400, options.idleSec);
    } else if (arg == "--connections") {
      ok = ParseInt(value, 0, 100000, number);
      options.connections = static_cast<int>(number);
    } else {
      std::fprintf(stderr, "chat-bench: unknown option %s\n", arg.c_str());
      return false;
    }
    if (!ok) {
      std::fprintf(stderr, "chat-bench: bad value for %s: %s\n", arg.c_str(), value);
      return false;
    }
  }
  if (options.port == 0) {
    std::fprintf(stderr, "chat-bench: --port is required\n");
    return false;
  }
  if (!options.verify && caGiven) {
    std::fprintf(stderr, "chat-bench: --ca and --insecure exclude each other\n");
    return false;
  }
  if (options.verify && !caGiven) options.caFile = "certs/ca.crt";
  if (options.handshakes > 0 && options.idleSec > 0) {
    std::fprintf(stderr, "chat-bench: choose one of --handshakes and --idle\n");
    return false;
  }
  if (!messagesGiven) options.messages = durationGiven ? -1 : 20000;
  return true;
}

}  // namespace

void Report::Add(const std::string& key, double value, int decimals) {
  char text[64];
  std::snprintf(text, sizeof text, "%.*f", decimals, value);
  fields.emplace_back(key, text);
}

void Report::AddInt(const std::string& key, int64_t value) {
  fields.emplace_back(key, std::to_string(value));
}

void Report::AddText(const std::string& key, const std::string& value) {
  fields.emplace_back(key, JsonString(value));
}

void Report::Print(bool json) const {
  std::string line = json ? "{" : "chat-bench:";
  bool first = true;
  for (const auto& field : fields) {
    if (json) {
      if (!first) line += ",";
      line += JsonString(field.first) + ":" + field.second;
    } else {
      // Text values lose their quotes for people.
      const std::string& value = field.second;
      bool quoted = value.size() >= 2 && value.front() == '"';
      line += " " + field.first + "=" + (quoted ? value.substr(1, value.size() - 2) : value);
    }
    first = false;
  }
  if (json) line += "}";
  std::printf("%s\n", line.c_str());
  std::fflush(stdout);
}

ClientOptions MakeClientOptions(const BenchOptions& options) {
  ClientOptions clientOptions;
  clientOptions.target.host = options.host;
  clientOptions.target.port = options.port;
  clientOptions.tls.verify = options.verify;
  clientOptions.tls.caFile = options.caFile;
  return clientOptions;
}

int main(int argc, char** argv) {
  BenchOptions options;
  bool help = false;
  if (!ParseArgs(argc, argv, options, help)) {
    std::fprintf(stderr, "Try chat-bench --help\n");
    return kExitUsage;
  }
  if (help) {
    std::printf("%s", kUsage);
    return kExitOk;
  }
  // A server that closes a connection must not end the bench by SIGPIPE.
  IgnoreSigpipe();
  if (options.handshakes > 0) return RunHandshakes(options);
  if (options.idleSec > 0) return RunIdle(options);
  return RunChatLoad(options);
}
