// The chat load of chat-bench: members join, senders send stamped public
// texts (closed loop in a window, or paced at a rate), every member's
// receiver checks and times what arrives; then the last deliveries drain and
// one line reports. Called by main in ChatBench.cpp.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "bench/ChatBench.h"
#include "platform/Os.h"
#include "platform/ProcStats.h"
#include "tests/load/StampedRun.h"

namespace saferoom {

namespace {

constexpr int kMaxMembers = 255;
// Closed loop: a sender whose own texts stop coming back gives up after this.
constexpr int64_t kStallNs = 10'000'000'000;
// Lets the member lists of the last logins pass before the server is timed.
constexpr int kSettleMs = 200;

void SleepUntilNs(int64_t due) {
  std::this_thread::sleep_until(
      std::chrono::steady_clock::time_point(std::chrono::nanoseconds(due)));
}

// Closed loop: waits until text `sequence` fits in the window. False when the
// send phase ends (sendError says why, unless it was the deadline).
bool WaitForWindow(Member& member, int64_t sequence, int window, int64_t endNs) {
  std::unique_lock<std::mutex> hold(member.echoLock);
  int64_t progressNs = NowNs();
  int64_t lastBack = member.ownBack;
  while (sequence - member.ownBack >= window) {
    if (member.ended) {
      member.sendError = "its connection ended";
      return false;
    }
    int64_t now = NowNs();
    if (now >= endNs) return false;
    if (member.ownBack != lastBack) {
      lastBack = member.ownBack;
      progressNs = now;
    } else if (now - progressNs > kStallNs) {
      member.sendError = "none of its own texts came back for 10 s";
      return false;
    }
    member.echoed.wait_for(hold, std::chrono::milliseconds(50));
  }
  return true;
}

// Sender i sends stream i, its public texts.
void SendLoop(StampedRun& run, int sender, const BenchOptions& options, int64_t startNs,
              int64_t endNs) {
  Member& member = *run.members[sender];
  std::string text(options.size, '.');
  bool paced = options.rate > 0;
  // Paced senders take turns: sender i sends at start + (i + k * senders) / rate.
  double intervalNs = paced ? 1e9 * options.senders / options.rate : 0;
  double offsetNs = paced ? 1e9 * sender / options.rate : 0;
  for (int64_t k = 0; options.messages < 0 || k < options.messages; ++k) {
    int64_t stampNs;
    if (paced) {
      // Stamped with the due time, so a sender that falls behind shows up
      // as latency instead of hiding it.
      stampNs = startNs + static_cast<int64_t>(offsetNs + intervalNs * static_cast<double>(k));
      if (stampNs >= endNs) break;
      SleepUntilNs(stampNs);
      if (member.ended) {
        member.sendError = "its connection ended";
        break;
      }
    } else {
      if (!WaitForWindow(member, k, options.window, endNs)) break;
      stampNs = NowNs();
      if (stampNs >= endNs) break;
    }
    if (!SendStamped(run, sender, text, stampNs, options.kind)) {
      member.sendError = "a write failed";
      break;
    }
  }
  member.sendEndNs = NowNs();
}

// What the server spent over the send and drain phases, with --server-pid.
struct ServerFigures {
  bool haveCpu = false;
  bool haveIo = false;
  ProcessCpu cpuBefore, cpuAfter;
  int64_t readsBefore = 0, writesBefore = 0, readsAfter = 0, writesAfter = 0;
  int64_t peakKib = -1;
};

bool ReadCpu(const BenchOptions& options, ProcessCpu& cpu) {
  if (ReadProcessCpu(options.serverPid, cpu)) return true;
  std::fprintf(stderr, "chat-bench: cannot read /proc/%d/stat\n", options.serverPid);
  return false;
}

void ReadFiguresBefore(const BenchOptions& options, ServerFigures& f) {
  f.haveCpu = options.serverPid > 0 && ReadCpu(options, f.cpuBefore);
  f.haveIo = f.haveCpu && ReadIoCalls(options.serverPid, f.readsBefore, f.writesBefore);
}

void ReadFiguresAfter(const BenchOptions& options, ServerFigures& f) {
  if (f.haveCpu) f.haveCpu = ReadCpu(options, f.cpuAfter);
  if (f.haveIo) f.haveIo = ReadIoCalls(options.serverPid, f.readsAfter, f.writesAfter);
  if (options.serverPid > 0) f.peakKib = ReadStatusKib(options.serverPid, "VmHWM");
}

// The join: members log in, stream i being sender i's public texts.
int JoinLoad(StampedRun& run, const BenchOptions& options) {
  if (options.members < 1 || options.members > kMaxMembers || options.senders < 1 ||
      options.senders > options.members) {
    std::fprintf(stderr, "chat-bench: need 1 <= senders <= members <= %d\n", kMaxMembers);
    return BenchExit::kUsage;
  }
  if (options.size < kStampLen || options.size > static_cast<int>(kMaxPayload) - 16) {
    std::fprintf(stderr, "chat-bench: --size must be %d to %u\n", kStampLen, kMaxPayload - 16);
    return BenchExit::kUsage;
  }
  // IRC sends nobody their own texts: a closed loop counts a text back once
  // every other member has it.
  if ((options.irc || options.privately) && options.members < 2) {
    std::fprintf(stderr, "chat-bench: --irc and --private need 2 members or more\n");
    return BenchExit::kUsage;
  }
  std::vector<Stream> streams(options.senders);
  for (int s = 0; s < options.senders; ++s) {
    streams[s].from = s;
    if (options.privately) streams[s].to = (s + 1) % options.members;
  }
  run.echo = options.rate <= 0;
  run.ownCopies = !options.irc;
  return JoinMembers(run, options.namePrefix, options.members, streams, MemberJoinFor(options))
             ? BenchExit::kOk
             : BenchExit::kSetup;
}

// The send phase; returns when the last sender stopped.
int64_t SendLoad(StampedRun& run, const BenchOptions& options, int64_t startNs) {
  int64_t endNs = startNs + static_cast<int64_t>(options.durationSec * 1e9);
  std::vector<std::thread> senders;
  for (int s = 0; s < options.senders; ++s)
    senders.emplace_back(SendLoop, std::ref(run), s, std::cref(options), startNs, endNs);
  int64_t sendEndNs = startNs;
  for (int s = 0; s < options.senders; ++s) {
    senders[s].join();
    sendEndNs = std::max(sendEndNs, run.members[s]->sendEndNs);
  }
  return sendEndNs;
}

// The q-th quantile of `values` in microseconds (reorders them).
double QuantileUs(std::vector<int64_t>& values, double q) {
  if (values.empty()) return 0;
  size_t at =
      std::min(values.size() - 1, static_cast<size_t>(q * static_cast<double>(values.size())));
  std::nth_element(values.begin(), values.begin() + at, values.end());
  return static_cast<double>(values[at]) / 1000.0;
}

void AddServerFigures(Report& report, const ServerFigures& f, int64_t sent, int64_t delivered) {
  if (f.haveCpu && delivered > 0) {
    double cpuSeconds = f.cpuAfter.statSeconds - f.cpuBefore.statSeconds;
    report.Add("server_cpu_s", cpuSeconds, 2);
    report.Add("server_cpu_s_per_1000", cpuSeconds * 1000 / static_cast<double>(delivered), 5);
    report.Add("server_cpu_us_per_delivery", cpuSeconds * 1e6 / static_cast<double>(delivered), 2);
  }
  if (f.haveIo && delivered > 0 && sent > 0) {
    // Where the system calls go: reading requests, and writing deliveries.
    report.Add("server_reads_per_text",
               static_cast<double>(f.readsAfter - f.readsBefore) / static_cast<double>(sent), 2);
    report.Add("server_writes_per_delivery",
               static_cast<double>(f.writesAfter - f.writesBefore) / static_cast<double>(delivered),
               3);
  }
  if (f.peakKib >= 0) report.AddInt("server_peak_rss_kib", f.peakKib);
}

// The report: rates, latencies, server figures and the verification.
int ReportLoad(const StampedRun& run, const BenchOptions& options, const ServerFigures& figures,
               int64_t startNs, int64_t sendEndNs) {
  int64_t sent = 0, delivered = 0, lastNs = startNs;
  for (int64_t n : run.sent)
    sent += n;
  std::vector<int64_t> latencies;
  for (const auto& member : run.members) {
    delivered += member->delivered.load();
    lastNs = std::max(lastNs, member->lastDeliveryNs.load());
    latencies.insert(latencies.end(), member->latenciesNs.begin(), member->latenciesNs.end());
  }
  Tally tally = Verify(run);
  double sendSeconds = static_cast<double>(sendEndNs - startNs) / 1e9;
  double deliverSeconds = static_cast<double>(lastNs - startNs) / 1e9;
  Report report;
  report.AddText("mode", "chat");
  report.AddText("protocol", options.irc ? "irc" : options.web ? "web" : "frames");
  if (options.privately) report.AddText("to", "next member");
  report.AddInt("members", options.members);
  report.AddInt("senders", options.senders);
  report.AddInt("size", options.size);
  report.AddInt("kind", options.kind);
  report.AddText("loop", run.echo ? "closed" : "open");
  if (run.echo) {
    report.AddInt("window", options.window);
  } else {
    report.Add("rate", options.rate);
  }
  report.AddInt("sent", sent);
  report.Add("sent_per_s", sendSeconds > 0 ? static_cast<double>(sent) / sendSeconds : 0);
  report.AddInt("deliveries", delivered);
  report.Add("deliveries_per_s",
             deliverSeconds > 0 ? static_cast<double>(delivered) / deliverSeconds : 0);
  double maxUs = QuantileUs(latencies, 1.0);
  double p99Us = QuantileUs(latencies, 0.99);
  report.Add("p50_us", QuantileUs(latencies, 0.5));
  report.Add("p99_us", p99Us);
  report.Add("max_us", maxUs);
  AddServerFigures(report, figures, sent, delivered);
  report.AddInt("missing", tally.missing);
  report.AddInt("repeated", tally.repeated);
  report.AddInt("out_of_order", tally.outOfOrder);
  report.AddInt("misrouted", tally.misrouted);
  report.AddInt("foreign", tally.foreign);
  report.AddText("verified", tally.faults == 0 ? "yes" : "no");
  report.Print(options.json);
  return tally.faults == 0 ? BenchExit::kOk : BenchExit::kMismatch;
}

}  // namespace

int RunChatLoad(const BenchOptions& options) {
  StampedRun run;
  int joined = JoinLoad(run, options);
  if (joined != BenchExit::kOk) return joined;
  StartReceivers(run);
  SleepMs(kSettleMs);

  ServerFigures figures;
  ReadFiguresBefore(options, figures);
  int64_t startNs = NowNs();
  int64_t sendEndNs = SendLoad(run, options, startNs);
  // Every member, the senders included, gets every public text.
  Drain(run, options.drainSec);
  ReadFiguresAfter(options, figures);
  StopReceivers(run);
  return ReportLoad(run, options, figures, startNs, sendEndNs);
}

}  // namespace saferoom
