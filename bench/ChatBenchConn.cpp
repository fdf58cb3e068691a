// chat-bench's connection modes: full TLS handshakes per second, and the
// server's CPU and memory while connections sit idle. Called by main in
// ChatBench.cpp.
#include <atomic>
#include <chrono>
#include <cstdio>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "bench/ChatBench.h"
#include "platform/Os.h"
#include "platform/ProcStats.h"

namespace saferoom {

namespace {

// Lets the server finish with connections just closed before it is read.
constexpr int kSettleMs = 200;
// Idle: time for the last handshakes and member lists to pass before timing.
constexpr int kIdleSettleMs = 1000;

double Seconds(std::chrono::steady_clock::duration d) {
  return std::chrono::duration<double>(d).count();
}

// One context for every handshake-only connection: no session can be
// resumed, so each connection makes a full handshake.
SslCtxPtr MakeBareContext(const BenchOptions& options) {
  ClientOptions clientOptions = MakeClientOptions(TargetOf(options));
  clientOptions.tls.resume = false;
  std::string error;
  SslCtxPtr ctx = NewClientContext(clientOptions.tls, error);
  if (!ctx) std::fprintf(stderr, "chat-bench: %s\n", error.c_str());
  return ctx;
}

// Connects as the n-th of many connections and completes a handshake; null
// with `error` on failure.
TlsConnPtr BareConnect(SSL_CTX* ctx, const BenchOptions& options, int n, std::string& error) {
  TlsConnPtr conn;
  error = DialTls(ctx, SpreadClientOptions(TargetOf(options), n).target, conn).message;
  return conn;
}

// What the handshake workers share.
struct Handshakes {
  std::atomic<int> next{0};
  std::atomic<int> done{0};
  std::atomic<int> failed{0};
  std::atomic<int> resumed{0};
  std::mutex errorLock;
  std::string firstError;  // guarded by errorLock
};

void HandshakeWorker(SSL_CTX* ctx, const BenchOptions& options, Handshakes& h) {
  for (int n; (n = h.next.fetch_add(1)) < options.handshakes;) {
    std::string error;
    TlsConnPtr conn = BareConnect(ctx, options, n, error);
    if (!conn) {
      if (h.failed.fetch_add(1) == 0) {
        std::lock_guard<std::mutex> hold(h.errorLock);
        h.firstError = error;
      }
      continue;
    }
    if (SSL_session_reused(conn->ssl.get())) h.resumed.fetch_add(1);
    h.done.fetch_add(1);
    TlsClose(*conn);
  }
}

// The idle mode's connections: members that log in, and bare ones that only
// complete the handshake. False after a line on stderr.
bool OpenIdle(const BenchOptions& options, std::vector<std::unique_ptr<MemberConn>>& members,
              SslCtxPtr& ctx, std::vector<TlsConnPtr>& bare) {
  MemberJoin join = MemberJoinFor(options);
  for (int i = 0; i < options.members; ++i) {
    std::string error;
    std::unique_ptr<MemberConn> member = join(options.namePrefix + std::to_string(i), error);
    if (!member) {
      std::fprintf(stderr, "chat-bench: %s\n", error.c_str());
      return false;
    }
    members.push_back(std::move(member));
  }
  ctx = MakeBareContext(options);
  if (!ctx) return false;
  for (int i = 0; i < options.connections; ++i) {
    std::string error;
    TlsConnPtr conn = BareConnect(ctx.get(), options, i, error);
    if (!conn) {
      std::fprintf(stderr, "chat-bench: connection %d: %s\n", i + 1, error.c_str());
      return false;
    }
    bare.push_back(std::move(conn));
  }
  return true;
}

bool IdleOptionsFit(const BenchOptions& options) {
  if (options.serverPid <= 0) {
    std::fprintf(stderr, "chat-bench: --idle needs --server-pid\n");
    return false;
  }
  if (options.members < 0 || options.connections < 0 || options.members + options.connections < 1) {
    std::fprintf(stderr, "chat-bench: --idle needs at least one member or connection\n");
    return false;
  }
  return true;
}

}  // namespace

int RunHandshakes(const BenchOptions& options) {
  if (options.parallel < 1) {
    std::fprintf(stderr, "chat-bench: --parallel must be at least 1\n");
    return BenchExit::kUsage;
  }
  SslCtxPtr ctx = MakeBareContext(options);
  if (!ctx) return BenchExit::kSetup;

  Handshakes h;
  ProcessCpu cpuBefore;
  bool haveCpu = options.serverPid > 0 && ReadProcessCpu(options.serverPid, cpuBefore);
  auto start = std::chrono::steady_clock::now();
  std::vector<std::thread> workers;
  for (int i = 0; i < options.parallel; ++i)
    workers.emplace_back(HandshakeWorker, ctx.get(), std::cref(options), std::ref(h));
  for (std::thread& w : workers)
    w.join();
  double elapsed = Seconds(std::chrono::steady_clock::now() - start);
  SleepMs(kSettleMs);
  ProcessCpu cpuAfter;
  if (haveCpu) haveCpu = ReadProcessCpu(options.serverPid, cpuAfter);

  int done = h.done.load();
  Report report;
  report.AddText("mode", "handshakes");
  report.AddInt("parallel", options.parallel);
  report.AddInt("handshakes", done);
  report.AddInt("failed", h.failed.load());
  report.AddInt("resumed", h.resumed.load());
  report.Add("seconds", elapsed, 3);
  report.Add("handshakes_per_s", elapsed > 0 ? done / elapsed : 0);
  if (haveCpu && done > 0) {
    double cpuSeconds = cpuAfter.statSeconds - cpuBefore.statSeconds;
    report.Add("server_cpu_ms_per_handshake", cpuSeconds * 1000 / done, 3);
  }
  report.Print(options.json);
  if (h.failed.load() > 0) {
    std::fprintf(stderr, "chat-bench: %d handshakes failed, the first: %s\n", h.failed.load(),
                 h.firstError.c_str());
    return BenchExit::kMismatch;
  }
  if (h.resumed.load() > 0) {
    std::fprintf(stderr, "chat-bench: %d handshakes resumed a session\n", h.resumed.load());
    return BenchExit::kMismatch;
  }
  return BenchExit::kOk;
}

int RunIdle(const BenchOptions& options) {
  if (!IdleOptionsFit(options)) return BenchExit::kUsage;
  int64_t rssBefore = ReadStatusKib(options.serverPid, "VmRSS");
  if (rssBefore < 0) {
    std::fprintf(stderr, "chat-bench: cannot read /proc/%d/status\n", options.serverPid);
    return BenchExit::kSetup;
  }
  std::vector<std::unique_ptr<MemberConn>> members;
  SslCtxPtr ctx;
  std::vector<TlsConnPtr> bare;
  if (!OpenIdle(options, members, ctx, bare)) return BenchExit::kSetup;

  SleepMs(kIdleSettleMs);
  int64_t rssAfter = ReadStatusKib(options.serverPid, "VmRSS");
  ProcessCpu cpuBefore, cpuAfter;
  if (!ReadProcessCpu(options.serverPid, cpuBefore)) {
    std::fprintf(stderr, "chat-bench: cannot read /proc/%d/stat\n", options.serverPid);
    return BenchExit::kSetup;
  }
  SleepMs(static_cast<int>(options.idleSec * 1000));
  if (!ReadProcessCpu(options.serverPid, cpuAfter)) {
    std::fprintf(stderr, "chat-bench: the server went away while idle\n");
    return BenchExit::kSetup;
  }
  int64_t peakKib = ReadStatusKib(options.serverPid, "VmHWM");

  // Per-thread times have nanosecond resolution; the process total only
  // ticks, too coarse for a few milliseconds a minute. Threads of earlier
  // connections may still end here: the sum is over the ones alive throughout.
  bool fine = !cpuBefore.taskNs.empty() && !cpuAfter.taskNs.empty();
  double cpuSeconds =
      fine ? TaskSecondsBetween(cpuBefore, cpuAfter) : cpuAfter.statSeconds - cpuBefore.statSeconds;
  int total = options.members + options.connections;
  Report report;
  report.AddText("mode", "idle");
  report.AddInt("members", options.members);
  report.AddInt("connections", total);
  report.Add("idle_s", options.idleSec);
  report.AddText("cpu_source", fine ? "schedstat" : "stat");
  report.Add("server_cpu_ms", cpuSeconds * 1000, 3);
  report.Add("server_cpu_ms_per_min",
             options.idleSec > 0 ? cpuSeconds * 1000 * 60 / options.idleSec : 0, 3);
  report.AddInt("rss_before_kib", rssBefore);
  report.AddInt("rss_after_kib", rssAfter);
  report.Add("rss_per_conn_kib", static_cast<double>(rssAfter - rssBefore) / total);
  report.AddInt("server_peak_rss_kib", peakKib);
  report.Print(options.json);

  for (auto& member : members)
    member->Leave();
  for (TlsConnPtr& conn : bare)
    TlsClose(*conn);
  return BenchExit::kOk;
}

}  // namespace saferoom
