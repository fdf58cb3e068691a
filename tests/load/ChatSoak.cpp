// The soak's load: steady members, churners, a flooder, a staller and
// garbage, then the checks. Called by chat-bench --soak.
#include "tests/load/ChatSoak.h"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "platform/Net.h"
#include "platform/Os.h"
#include "platform/ProcStats.h"
#include "platform/Term.h"

namespace saferoom {

namespace {

constexpr int kSteady = 2;
constexpr int kChurners = 3;
// A full room does not answer a login: this long, then the next try.
constexpr int kLoginMs = 1000;
// Leftover connections close on the server's own schedule; its handshake
// timeout is the longest.
constexpr int kFdsBackMs = 15000;
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr int64_t kRssSlackKib = int64_t{1} << 30;  // allocators that keep freed memory
constexpr int64_t kRssPeakKib = int64_t{1} << 30;
#else
// Freed memory is not always returned to the system; a leak of every message
// or connection would be far above this.
constexpr int64_t kRssSlackKib = 16 * 1024;
// While the flood goes on: the send queues' bounds, not the flood, set it.
constexpr int64_t kRssPeakKib = 32 * 1024;
#endif

// What the load threads share.
struct Chaos {
  explicit Chaos(const SoakOptions& o) : options(o) {}
  const SoakOptions& options;
  std::atomic<bool> running{true};
  std::atomic<int64_t> dialled{0};  // connections tried besides the steady members
  std::atomic<int64_t> faults{0};   // found by the load itself, each said on stderr

  // The next connection's options, from a source address of its own turn.
  ClientOptions Next() { return SpreadClientOptions(options.target, dialled++); }
  std::string Name(const std::string& role) const { return options.namePrefix + "-" + role; }
};

// Steady member i sends stream 2i, public texts of varied length, and now
// and then one of stream 2i + 1, privately to the other.
void SteadySender(StampedRun& run, int index, const std::atomic<bool>& running) {
  Member& member = *run.members[index];
  std::mt19937 random(index + 1);
  std::string text;
  while (running) {
    text.assign(kStampLen + random() % 200, '.');
    bool sent = SendStamped(run, 2 * index, text, NowNs(), PayloadKind::Binary);
    if (sent && random() % 3 == 0) {
      text.assign(kStampLen + 10, '.');
      sent = SendStamped(run, 2 * index + 1, text, NowNs(), PayloadKind::Text);
    }
    if (!sent) {
      member.sendError = "a write failed";
      break;
    }
    SleepMs(5);
  }
}

// Joins (or finds the room full, and chats as a stranger, under the empty
// name), chats publicly and privately to a steady member, then logs out or
// just goes.
void Churner(Chaos& chaos, int id, std::string steadyName) {
  std::mt19937 random(id);
  ReceivedFrame frame;
  for (int round = 0; chaos.running; ++round) {
    ChatClient client;
    std::string name = chaos.Name("c" + std::to_string(id) + "." + std::to_string(round % 50));
    std::string error;
    JoinRoom(client, chaos.Next(), name, error, kLoginMs);
    if (!client.conn) SleepMs(100);  // no server to talk to: no busy loop
    for (int i = 0; i < 5 && client.conn; ++i)
      client.SendChat("hello from " + name, random() % 2 ? "" : steadyName);
    client.Receive(frame, Deadline::In(20));
    if (random() % 2 == 0) continue;
    client.Logout();
    while (chaos.running && client.Receive(frame, Deadline::In(2000)) == RecvStatus::kFrame) {
    }
  }
}

// What the slowest steady member has heard of chat that is not the run's
// (the flood, mostly).
int64_t SlowestForeign(const StampedRun& run) {
  int64_t slowest = INT64_MAX;
  for (const auto& member : run.members)
    slowest = std::min(slowest, member->foreign.load(std::memory_order_relaxed));
  return slowest;
}

// Sends as fast as the server reads, but never more than about half a
// megabyte ahead of the slowest steady member's reading: the server drops a
// member that falls 1 MiB behind, and a busy machine may starve a reader
// for a while.
void Flooder(Chaos& chaos, const StampedRun& run) {
  constexpr int64_t kAhead = 500;  // texts of 1000 bytes
  while (chaos.running) {
    ChatClient client;
    std::string error;
    if (!JoinRoom(client, chaos.Next(), chaos.Name("flood"), error, kLoginMs)) {
      SleepMs(100);
      continue;
    }
    // Drained so that the server never stalls on it.
    std::thread drain([&] {
      ReceivedFrame frame;
      while (client.Receive(frame, Deadline::In(200)) != RecvStatus::kClosed && chaos.running) {
      }
    });
    const int64_t heardBefore = SlowestForeign(run);
    for (int64_t sent = 0; chaos.running; ++sent) {
      const Deadline patience = Deadline::In(2000);  // what the server dropped never comes
      while (chaos.running && heardBefore + sent > SlowestForeign(run) + kAhead && !patience.Passed())
        SleepMs(1);
      if (!client.SendChat(std::string(1000, 'x'), "", PayloadKind::Binary)) break;
    }
    ShutdownBoth(client.Fd());  // wakes the drain; the connection is freed after it
    drain.join();
  }
}

// Goes at every stage of a frame, logged in or not: inside a header, inside
// a chat's payload (a text stamped as the first steady member's, so that
// one relayed after all shows as misrouted), or after a logout or a length
// no client sends, which the server must answer by closing.
void Ghost(Chaos& chaos, const StampedRun& run) {
  std::mt19937 random(11);
  std::string text(kStampLen, '.');
  StampText(run, 0, kMaxSequence - 1, text);
  const Frame chat = BuildFrame(FrameType::Chat, PayloadKind::Text, text.c_str(),
                                static_cast<uint32_t>(text.size() + 1), nullptr, Scope::Public);
  Frame bad = BuildFrame(FrameType::Chat, 0, nullptr, 0, nullptr, Scope::Public);
  const uint32_t badLengths[] = {(65536u + 16) << 2, 20u << 2, 0xfffffffcu};
  for (uint32_t round = 0; chaos.running; ++round, SleepMs(10)) {
    ChatClient client;
    if (!client.Connect(chaos.Next()).Ok()) continue;
    if (round % 2 == 0) client.Login(chaos.Name("ghost"));
    const uint32_t stage = round / 2 % 4;
    if (stage < 2) {
      const size_t cut = stage == 0 ? random() % kHeaderSize
                                    : kHeaderSize + random() % (chat.size() - kHeaderSize);
      client.SendRaw(chat.data(), cut);
      continue;
    }
    std::memcpy(&bad[4], &badLengths[round % 3], 4);  // LengthWord
    if (stage == 2 ? !client.Logout() : !client.SendRaw(bad.data(), bad.size())) continue;
    ReceivedFrame frame;
    RecvStatus status;
    while ((status = client.Receive(frame, Deadline::In(5000))) == RecvStatus::kFrame) {
    }
    if (status == RecvStatus::kTimeout) {
      ++chaos.faults;
      std::fprintf(stderr, "chat-bench: the server kept a connection open after %s\n",
                   stage == 2 ? "its logout" : "a length no client sends");
    }
  }
}

// Logs in and never reads; the server must drop it after its send timeout.
void Staller(Chaos& chaos) {
  while (chaos.running) {
    ChatClient client;
    std::string error;
    bool member = JoinRoom(client, chaos.Next(), chaos.Name("stall"), error, kLoginMs);
    for (int i = 0; i < (member ? 150 : 2) && chaos.running; ++i)
      SleepMs(100);
  }
}

void Garbage(Chaos& chaos) {
  std::mt19937 random(7);
  for (; chaos.running; SleepMs(20)) {
    std::string junk(48 + random() % 200, '\0');
    for (char& b : junk)
      b = static_cast<char>(random());
    ClientOptions clientOptions = chaos.Next();
    // Half of it as frames after a handshake, half instead of one.
    if (random() % 2 == 0) {
      ChatClient client;
      if (client.Connect(clientOptions).Ok()) client.SendRaw(junk.data(), junk.size());
      continue;
    }
    const DialTarget& target = clientOptions.target;
    UniqueFd bare = ConnectTcp(target.host, target.port, Deadline::In(target.connectTimeoutMs),
                               nullptr, target.sourceIp);
    if (bare.Valid()) WriteFd(bare.Get(), junk.data(), junk.size());
  }
}

// The server's descriptors, threads and resident memory.
struct ServerUse {
  int fds = -1;
  int threads = -1;
  int64_t rssKib = -1;
};

bool ReadUse(int pid, ServerUse& use) {
  use.fds = ReadProcEntries(pid, "fd");
  use.threads = ReadProcEntries(pid, "task");
  use.rssKib = ReadStatusKib(pid, "VmRSS");
  if (use.fds >= 0 && use.threads >= 0 && use.rssKib >= 0) return true;
  std::fprintf(stderr, "chat-bench: cannot read /proc/%d: is the server gone?\n", pid);
  return false;
}

// Waits until the server holds no more descriptors and threads than
// `before` (session threads linger a while for the next connection), then
// says whether its use came back; faults on stderr.
bool UseCameBack(int pid, const ServerUse& before, ServerUse& after) {
  for (int64_t end = MonotonicMs() + kFdsBackMs;; SleepMs(100)) {
    if (!ReadUse(pid, after)) return false;
    if ((after.fds <= before.fds && after.threads <= before.threads) || MonotonicMs() >= end) break;
  }
  bool back = after.fds <= before.fds && after.threads <= before.threads &&
              after.rssKib <= before.rssKib + kRssSlackKib;
  if (!back) {
    std::fprintf(stderr,
                 "chat-bench: the server kept descriptors, threads or memory: %d -> %d fds, "
                 "%d -> %d threads, %lld -> %lld KiB\n",
                 before.fds, after.fds, before.threads, after.threads,
                 static_cast<long long>(before.rssKib), static_cast<long long>(after.rssKib));
  }
  return back;
}

// Once the load has gone, the room holds the steady members only: nobody
// who left at whatever stage kept a slot. Joins to see the list.
bool OnlySteadyMembersLeft(const StampedRun& run, Chaos& chaos) {
  std::vector<std::string> want = {chaos.Name("check")};
  for (const auto& member : run.members)
    want.push_back(member->name);
  std::sort(want.begin(), want.end());
  std::vector<std::string> names;
  for (int64_t end = MonotonicMs() + kFdsBackMs; MonotonicMs() < end; SleepMs(200)) {
    ChatClient client;
    std::string error;
    if (!JoinRoom(client, chaos.Next(), want.front(), error, kLoginMs)) continue;
    ReceivedFrame frame;
    while (client.Receive(frame, Deadline::In(kLoginMs)) == RecvStatus::kFrame &&
           frame.type != FrameType::UserList) {
    }
    names = frame.Names();
    std::sort(names.begin(), names.end());
    if (names == want) return true;
  }
  std::string held;
  for (const std::string& name : names)
    held += " " + name;
  std::fprintf(stderr, "chat-bench: after the load the room still holds:%s\n", held.c_str());
  return false;
}

// The load besides the steady members' receivers, until `chaos` stops.
std::vector<std::thread> StartLoad(StampedRun& run, Chaos& chaos) {
  std::vector<std::thread> load;
  for (int i = 0; i < kSteady; ++i)
    load.emplace_back(SteadySender, std::ref(run), i, std::cref(chaos.running));
  for (int i = 0; i < kChurners; ++i)
    load.emplace_back(Churner, std::ref(chaos), i, run.members[0]->name);
  load.emplace_back(Flooder, std::ref(chaos), std::cref(run));
  load.emplace_back(Ghost, std::ref(chaos), std::cref(run));
  load.emplace_back(Staller, std::ref(chaos));
  load.emplace_back(Garbage, std::ref(chaos));
  return load;
}

}  // namespace

SoakResult RunSoak(const SoakOptions& options) {
  SoakResult result;
  // The server's figures before any connection of ours.
  ServerUse before, after;
  if (options.serverPid > 0 && !ReadUse(options.serverPid, before)) {
    result.setupFailed = true;
    return result;
  }
  StampedRun run;
  run.othersWelcome = true;
  const LoadTarget& target = options.target;
  MemberJoin join = [&target](const std::string& name, std::string& error) {
    return JoinFrameMember(target, name, error);
  };
  if (!JoinMembers(run, options.namePrefix, kSteady, {{0, -1}, {0, 1}, {1, -1}, {1, 0}}, join)) {
    result.setupFailed = true;
    return result;
  }
  StartReceivers(run);

  Chaos chaos(options);
  std::vector<std::thread> load = StartLoad(run, chaos);
  int64_t rssPeakKib = before.rssKib;
  for (const int64_t end = MonotonicMs() + static_cast<int64_t>(options.seconds * 1000);
       MonotonicMs() < end; SleepMs(100)) {
    if (options.serverPid > 0)
      rssPeakKib = std::max(rssPeakKib, ReadStatusKib(options.serverPid, "VmRSS"));
  }
  chaos.running = false;
  for (std::thread& t : load)
    t.join();
  Drain(run, options.drainSec);
  const bool vacated = OnlySteadyMembersLeft(run, chaos);
  StopReceivers(run);
  result.tally = Verify(run);
  bool back = options.serverPid <= 0 || UseCameBack(options.serverPid, before, after);
  if (options.serverPid > 0 && rssPeakKib > before.rssKib + kRssPeakKib) {
    std::fprintf(stderr, "chat-bench: the server's memory followed the load: %lld -> %lld KiB\n",
                 static_cast<long long>(before.rssKib), static_cast<long long>(rssPeakKib));
    back = false;
  }

  result.connections = chaos.dialled.load() + kSteady;
  result.sentPublic = run.sent[0] + run.sent[2];
  result.sentPrivate = run.sent[1] + run.sent[3];
  for (const auto& member : run.members)
    result.deliveries += member->delivered.load();
  if (options.serverPid > 0) {
    result.fdsBefore = before.fds;
    result.fdsAfter = after.fds;
    result.rssBeforeKib = before.rssKib;
    result.rssAfterKib = after.rssKib;
  }
  result.passed = result.tally.faults == 0 && back && vacated && chaos.faults == 0;
  return result;
}

}  // namespace saferoom
