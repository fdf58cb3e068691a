// chat-bench: load, latency, handshake, idle and soak runs against a chat
// server on this machine. The entry, the result line and how members join
// live here.
#include "bench/ChatBench.h"

#include <cstdio>
#include <string>

#include "bench/IrcMember.h"
#include "platform/Os.h"
#include "tests/load/ChatSoak.h"

namespace saferoom {

namespace {

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

LoadTarget TargetOf(const BenchOptions& options) {
  LoadTarget target;
  target.host = options.host;
  target.port = options.port;
  target.insecure = options.insecure;
  target.caFile = options.caFile;
  target.web = options.web;
  return target;
}

MemberJoin MemberJoinFor(const BenchOptions& options) {
  LoadTarget target = TargetOf(options);
  if (options.irc) {
    IrcTarget irc;
    irc.server = target;
    irc.channel = options.channel;
    irc.oper = options.oper;
    return [irc](const std::string& name, std::string& error) {
      return JoinIrcMember(irc, name, error);
    };
  }
  return [target](const std::string& name, std::string& error) {
    return JoinFrameMember(target, name, error);
  };
}

int RunSoakMode(const BenchOptions& options) {
  SoakOptions soak;
  soak.target = TargetOf(options);
  soak.namePrefix = options.namePrefix;
  soak.serverPid = options.serverPid;
  soak.seconds = options.soakSec;
  soak.drainSec = options.drainSec;
  SoakResult result = RunSoak(soak);
  if (result.setupFailed) return BenchExit::kSetup;

  Report report;
  report.AddText("mode", "soak");
  report.Add("seconds", options.soakSec);
  report.AddInt("connections", result.connections);
  report.AddInt("sent_public", result.sentPublic);
  report.AddInt("sent_private", result.sentPrivate);
  report.AddInt("deliveries", result.deliveries);
  report.AddInt("missing", result.tally.missing);
  report.AddInt("repeated", result.tally.repeated);
  report.AddInt("out_of_order", result.tally.outOfOrder);
  report.AddInt("misrouted", result.tally.misrouted);
  if (options.serverPid > 0) {
    report.AddInt("fds_before", result.fdsBefore);
    report.AddInt("fds_after", result.fdsAfter);
    report.AddInt("rss_before_kib", result.rssBeforeKib);
    report.AddInt("rss_after_kib", result.rssAfterKib);
  }
  report.AddText("verified", result.passed ? "yes" : "no");
  report.Print(options.json);
  return result.passed ? BenchExit::kOk : BenchExit::kMismatch;
}

}  // namespace saferoom

using namespace saferoom;

int main(int argc, char** argv) {
  BenchOptions options;
  BenchArgs args = ParseBenchArgs(argc, argv, options);
  if (args == BenchArgs::kUsage) {
    std::fprintf(stderr, "Try chat-bench --help\n");
    return BenchExit::kUsage;
  }
  if (args == BenchArgs::kHelp) {
    std::printf("%s", BenchHelp().c_str());
    return BenchExit::kOk;
  }
  // A server that closes a connection must not end the bench by SIGPIPE.
  IgnoreSigpipe();
  if (options.handshakes > 0) return RunHandshakes(options);
  if (options.idleSec > 0) return RunIdle(options);
  if (options.soakSec > 0) return RunSoakMode(options);
  return RunChatLoad(options);
}
