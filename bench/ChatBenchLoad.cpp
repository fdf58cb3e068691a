// The chat load of chat-bench: members log in, senders send public texts that
// carry their sequence number and send time, every member's receiver thread
// checks and times what arrives. Called by main in ChatBench.cpp.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "bench/ChatBench.h"
#include "bench/ChatBenchProc.h"
#include "platform/Os.h"

namespace {

// A text opens with 30 hex digits: run tag (4), sender index (2), sequence
// number (8) and send time in monotonic nanoseconds (16); dots fill the
// rest. Hex keeps it free of NULs, so Text kind texts travel whole. The tag
// tells another run's texts in the same room apart from ours.
constexpr int kStampLen = 30;
constexpr int kMaxMembers = 255;
constexpr int kReceivePollMs = 50;
constexpr int kLoginTimeoutMs = 5000;
// Closed loop: a sender whose own texts stop coming back gives up after this.
constexpr int64_t kStallNs = 10'000'000'000;
// Larger sequence numbers cannot be ours: no run sends that many.
constexpr int64_t kMaxSequence = int64_t{1} << 28;
constexpr int kMaxComplaints = 20;

int64_t NowNs() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

void SleepUntilNs(int64_t due) {
  std::this_thread::sleep_until(
      std::chrono::steady_clock::time_point(std::chrono::nanoseconds(due)));
}

// What one member learnt about one sender's texts.
struct SenderTrack {
  int64_t next = 0;  // the sequence number expected next
  int64_t received = 0;
  int64_t repeated = 0;
  int64_t outOfOrder = 0;
  int64_t firstOutOfOrder = -1;
  std::vector<bool> seen;
};

struct Member {
  int index = 0;
  std::string name;
  ChatClient client;

  // Owned by the receiver thread until it is joined.
  std::vector<SenderTrack> tracks;
  std::vector<int64_t> latenciesNs;
  int64_t foreign = 0;  // chat frames that are no text of this run
  RecvStatus endStatus = RecvStatus::kTimeout;

  // Watched while the run goes on.
  std::atomic<bool> ended{false};  // the connection closed or sent a bad frame
  std::atomic<int64_t> delivered{0};
  std::atomic<int64_t> lastDeliveryNs{0};
  std::mutex echoLock;
  std::condition_variable echoed;
  int64_t ownBack = 0;  // guarded by echoLock: own texts received back

  // Owned by the sender thread until it is joined.
  int64_t sent = 0;
  int64_t sendEndNs = 0;
  std::string sendError;
};

void StampText(std::string& text, unsigned runTag, int sender, int64_t sequence, int64_t sentNs) {
  char stamp[64];  // room for any int, though the fields fit kStampLen
  std::snprintf(stamp, sizeof stamp, "%04x%02x%08llx%016llx", runTag, sender,
                static_cast<unsigned long long>(sequence), static_cast<unsigned long long>(sentNs));
  std::memcpy(&text[0], stamp, kStampLen);
}

bool ParseHex(const uint8_t* at, int digits, uint64_t& value) {
  value = 0;
  for (int i = 0; i < digits; ++i) {
    uint8_t c = at[i];
    uint64_t digit;
    if (c >= '0' && c <= '9') {
      digit = c - '0';
    } else if (c >= 'a' && c <= 'f') {
      digit = c - 'a' + 10;
    } else {
      return false;
    }
    value = value << 4 | digit;
  }
  return true;
}

bool ParseStamp(const std::vector<uint8_t>& payload, unsigned runTag, int& sender,
                int64_t& sequence, int64_t& sentNs) {
  if (payload.size() < static_cast<size_t>(kStampLen)) return false;
  uint64_t tag, s, q, t;
  if (!ParseHex(payload.data(), 4, tag) || tag != runTag || !ParseHex(payload.data() + 4, 2, s) ||
      !ParseHex(payload.data() + 6, 8, q) || !ParseHex(payload.data() + 14, 16, t)) {
    return false;
  }
  sender = static_cast<int>(s);
  sequence = static_cast<int64_t>(q);
  sentNs = static_cast<int64_t>(t);
  return true;
}

void MarkEnded(Member& member, RecvStatus status) {
  member.endStatus = status;
  std::lock_guard<std::mutex> hold(member.echoLock);
  member.ended = true;
  member.echoed.notify_all();
}

void ReceiveLoop(Member& member, const std::atomic<bool>& stop, unsigned runTag, int numSenders,
                 bool echoWanted) {
  ReceivedFrame frame;
  while (!stop.load(std::memory_order_relaxed)) {
    RecvStatus status = member.client.Receive(frame, kReceivePollMs);
    if (status == RecvStatus::kTimeout) continue;
    if (status != RecvStatus::kFrame) {
      MarkEnded(member, status);
      return;
    }
    if (frame.type != FrameType::Chat) continue;  // member lists
    int64_t now = NowNs();
    int sender;
    int64_t sequence, sentNs;
    if (!ParseStamp(frame.payload, runTag, sender, sequence, sentNs) || sender >= numSenders ||
        sequence >= kMaxSequence) {
      ++member.foreign;
      continue;
    }
    SenderTrack& track = member.tracks[sender];
    if (static_cast<size_t>(sequence) >= track.seen.size()) {
      track.seen.resize(std::max<size_t>(sequence + 1, track.seen.size() * 2));
    }
    if (track.seen[sequence]) {
      ++track.repeated;
      continue;
    }
    track.seen[sequence] = true;
    ++track.received;
    if (sequence != track.next) {
      if (track.outOfOrder++ == 0) track.firstOutOfOrder = sequence;
    }
    track.next = std::max(track.next, sequence + 1);
    member.latenciesNs.push_back(now - sentNs);
    member.delivered.fetch_add(1, std::memory_order_relaxed);
    member.lastDeliveryNs.store(now, std::memory_order_relaxed);
    if (echoWanted && sender == member.index) {
      std::lock_guard<std::mutex> hold(member.echoLock);
      member.ownBack = track.received;
      member.echoed.notify_one();
    }
  }
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
    member.echoed.wait_for(hold, std::chrono::milliseconds(kReceivePollMs));
  }
  return true;
}

void SendLoop(Member& member, const BenchOptions& options, unsigned runTag, int64_t startNs,
              int64_t endNs) {
  std::string text(options.size, '.');
  bool paced = options.rate > 0;
  // Paced senders take turns: sender i sends at start + (i + k * senders) / rate.
  double intervalNs = paced ? 1e9 * options.senders / options.rate : 0;
  double offsetNs = paced ? 1e9 * member.index / options.rate : 0;
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
    StampText(text, runTag, member.index, k, stampNs);
    if (!member.client.SendChat(text, "", options.kind)) {
      member.sendError = "a write failed";
      break;
    }
    member.sent = k + 1;
  }
  member.sendEndNs = NowNs();
}

bool ReadCpu(const BenchOptions& options, ServerCpu& cpu) {
  if (ReadServerCpu(options.serverPid, cpu)) return true;
  std::fprintf(stderr, "chat-bench: cannot read /proc/%d/stat\n", options.serverPid);
  return false;
}

const char* EndText(RecvStatus status) {
  return status == RecvStatus::kBadFrame ? "sent a frame it could not read" : "closed";
}

// Tells what went wrong on stderr; returns the number of faults.
int64_t Verify(const std::vector<std::unique_ptr<Member>>& members, int numSenders,
               int64_t& missing, int64_t& repeated, int64_t& outOfOrder) {
  int complaints = 0;
  auto complain = [&complaints](const std::string& line) {
    if (complaints++ < kMaxComplaints) std::fprintf(stderr, "chat-bench: %s\n", line.c_str());
  };
  missing = repeated = outOfOrder = 0;
  for (const auto& member : members) {
    if (member->ended) complain(member->name + "'s connection " + EndText(member->endStatus));
    if (member->foreign > 0) {
      complain(member->name + " received " + std::to_string(member->foreign) +
               " chat frames that are no text of this run");
    }
    for (int s = 0; s < numSenders; ++s) {
      const SenderTrack& track = member->tracks[s];
      const std::string& from = members[s]->name;
      int64_t sent = members[s]->sent;
      if (track.received < sent) {
        int64_t first = 0;
        while (first < sent && static_cast<size_t>(first) < track.seen.size() &&
               track.seen[first]) {
          ++first;
        }
        missing += sent - track.received;
        complain(member->name + " is missing " + std::to_string(sent - track.received) + " of " +
                 std::to_string(sent) + " texts from " + from + " (first #" +
                 std::to_string(first) + ")");
      }
      if (track.repeated > 0) {
        repeated += track.repeated;
        complain(member->name + " received " + std::to_string(track.repeated) + " texts from " +
                 from + " more than once");
      }
      if (track.outOfOrder > 0) {
        outOfOrder += track.outOfOrder;
        complain(member->name + " received " + std::to_string(track.outOfOrder) + " texts from " +
                 from + " out of order (first #" + std::to_string(track.firstOutOfOrder) + ")");
      }
    }
  }
  return complaints;
}

// The q-th quantile of `values` in microseconds (reorders them).
double QuantileUs(std::vector<int64_t>& values, double q) {
  if (values.empty()) return 0;
  size_t at =
      std::min(values.size() - 1, static_cast<size_t>(q * static_cast<double>(values.size())));
  std::nth_element(values.begin(), values.begin() + at, values.end());
  return static_cast<double>(values[at]) / 1000.0;
}

}  // namespace

bool JoinRoom(ChatClient& client, const ClientOptions& clientOptions, const std::string& name,
              std::string& error) {
  ConnectResult connected = client.Connect(clientOptions);
  if (!connected.Ok()) {
    error = connected.message;
    return false;
  }
  if (!client.Login(name)) {
    error = "cannot send Login for " + name;
    return false;
  }
  int64_t deadline = MonotonicMs() + kLoginTimeoutMs;
  ReceivedFrame frame;
  for (;;) {
    int64_t left = deadline - MonotonicMs();
    RecvStatus status =
        left > 0 ? client.Receive(frame, static_cast<int>(left)) : RecvStatus::kTimeout;
    if (status == RecvStatus::kTimeout) {
      error = "no answer to Login for " + name + " (room full?)";
      return false;
    }
    if (status != RecvStatus::kFrame) {
      error = "connection ended before Login for " + name + " was answered";
      return false;
    }
    if (frame.type == FrameType::LoginAccepted) return true;
    if (frame.type == FrameType::NameInUse) {
      error = "name " + name + " is in use";
      return false;
    }
    // Member lists and chat of others may come first.
  }
}

int RunChatLoad(const BenchOptions& options) {
  if (options.members < 1 || options.members > kMaxMembers || options.senders < 1 ||
      options.senders > options.members) {
    std::fprintf(stderr, "chat-bench: need 1 <= senders <= members <= %d\n", kMaxMembers);
    return kExitUsage;
  }
  if (options.size < kStampLen || options.size > static_cast<int>(kMaxPayload) - 16) {
    std::fprintf(stderr, "chat-bench: --size must be %d to %u\n", kStampLen, kMaxPayload - 16);
    return kExitUsage;
  }

  ClientOptions clientOptions = MakeClientOptions(options);
  std::vector<std::unique_ptr<Member>> members;
  for (int i = 0; i < options.members; ++i) {
    auto member = std::make_unique<Member>();
    member->index = i;
    member->name = options.namePrefix + std::to_string(i);
    member->tracks.resize(options.senders);
    std::string error;
    if (!JoinRoom(member->client, clientOptions, member->name, error)) {
      std::fprintf(stderr, "chat-bench: %s\n", error.c_str());
      return kExitSetup;
    }
    members.push_back(std::move(member));
  }

  bool closedLoop = options.rate <= 0;
  unsigned runTag = std::random_device()() & 0xffff;
  std::atomic<bool> stop{false};
  std::vector<std::thread> receivers;
  for (auto& member : members) {
    member->latenciesNs.reserve(1 << 16);
    receivers.emplace_back(ReceiveLoop, std::ref(*member), std::cref(stop), runTag, options.senders,
                           closedLoop);
  }
  // The member lists of the last logins pass before the server is timed.
  SleepMs(200);

  ServerCpu cpuBefore;
  bool haveCpu = options.serverPid > 0 && ReadCpu(options, cpuBefore);
  int64_t readsBefore = 0, writesBefore = 0;
  bool haveIo = haveCpu && ReadIoCalls(options.serverPid, readsBefore, writesBefore);
  int64_t startNs = NowNs();
  int64_t endNs = startNs + static_cast<int64_t>(options.durationSec * 1e9);
  std::vector<std::thread> senders;
  for (int s = 0; s < options.senders; ++s) {
    senders.emplace_back(SendLoop, std::ref(*members[s]), std::cref(options), runTag, startNs,
                         endNs);
  }
  for (std::thread& sender : senders)
    sender.join();

  int64_t totalSent = 0;
  int64_t sendEndNs = startNs;
  for (int s = 0; s < options.senders; ++s) {
    totalSent += members[s]->sent;
    sendEndNs = std::max(sendEndNs, members[s]->sendEndNs);
    if (!members[s]->sendError.empty()) {
      std::fprintf(stderr, "chat-bench: %s stopped sending: %s\n", members[s]->name.c_str(),
                   members[s]->sendError.c_str());
    }
  }
  // Every member, the senders included, gets every public text.
  int64_t drainEndMs = MonotonicMs() + static_cast<int64_t>(options.drainSec * 1000);
  for (;;) {
    bool complete = true;
    for (const auto& member : members) {
      if (!member->ended && member->delivered.load() < totalSent) complete = false;
    }
    if (complete || MonotonicMs() >= drainEndMs) break;
    SleepMs(2);
  }
  ServerCpu cpuAfter;
  if (haveCpu) haveCpu = ReadCpu(options, cpuAfter);
  int64_t readsAfter = 0, writesAfter = 0;
  if (haveIo) haveIo = ReadIoCalls(options.serverPid, readsAfter, writesAfter);
  int64_t peakKib = options.serverPid > 0 ? ReadStatusKib(options.serverPid, "VmHWM") : -1;

  stop = true;
  for (std::thread& receiver : receivers)
    receiver.join();
  for (auto& member : members) {
    if (!member->ended) member->client.Logout();
  }

  int64_t delivered = 0;
  int64_t foreign = 0;
  int64_t lastNs = startNs;
  std::vector<int64_t> latencies;
  for (const auto& member : members) {
    delivered += member->delivered.load();
    foreign += member->foreign;
    lastNs = std::max(lastNs, member->lastDeliveryNs.load());
    latencies.insert(latencies.end(), member->latenciesNs.begin(), member->latenciesNs.end());
  }
  int64_t missing, repeated, outOfOrder;
  int64_t faults = Verify(members, options.senders, missing, repeated, outOfOrder);
  for (int s = 0; s < options.senders; ++s) {
    if (!members[s]->sendError.empty()) ++faults;
  }
  if (totalSent == 0) {
    std::fprintf(stderr, "chat-bench: no text was sent\n");
    ++faults;
  }

  double sendSeconds = static_cast<double>(sendEndNs - startNs) / 1e9;
  double deliverSeconds = static_cast<double>(lastNs - startNs) / 1e9;
  Report report;
  report.AddText("mode", "chat");
  report.AddInt("members", options.members);
  report.AddInt("senders", options.senders);
  report.AddInt("size", options.size);
  report.AddInt("kind", options.kind);
  report.AddText("loop", closedLoop ? "closed" : "open");
  if (closedLoop) {
    report.AddInt("window", options.window);
  } else {
    report.Add("rate", options.rate);
  }
  report.AddInt("sent", totalSent);
  report.Add("sent_per_s", sendSeconds > 0 ? static_cast<double>(totalSent) / sendSeconds : 0);
  report.AddInt("deliveries", delivered);
  report.Add("deliveries_per_s",
             deliverSeconds > 0 ? static_cast<double>(delivered) / deliverSeconds : 0);
  double maxUs = QuantileUs(latencies, 1.0);
  double p99Us = QuantileUs(latencies, 0.99);
  double p50Us = QuantileUs(latencies, 0.5);
  report.Add("p50_us", p50Us);
  report.Add("p99_us", p99Us);
  report.Add("max_us", maxUs);
  if (haveCpu && delivered > 0) {
    double cpuSeconds = cpuAfter.statSeconds - cpuBefore.statSeconds;
    report.Add("server_cpu_s", cpuSeconds, 2);
    report.Add("server_cpu_s_per_1000", cpuSeconds * 1000 / static_cast<double>(delivered), 5);
    report.Add("server_cpu_us_per_delivery", cpuSeconds * 1e6 / static_cast<double>(delivered), 2);
  }
  if (haveIo && delivered > 0 && totalSent > 0) {
    // Where the system calls go: reading requests, and writing deliveries.
    report.Add("server_reads_per_text",
               static_cast<double>(readsAfter - readsBefore) / static_cast<double>(totalSent), 2);
    report.Add("server_writes_per_delivery",
               static_cast<double>(writesAfter - writesBefore) / static_cast<double>(delivered), 3);
  }
  if (peakKib >= 0) report.AddInt("server_peak_rss_kib", peakKib);
  report.AddInt("missing", missing);
  report.AddInt("repeated", repeated);
  report.AddInt("out_of_order", outOfOrder);
  report.AddInt("foreign", foreign);
  report.AddText("verified", faults == 0 ? "yes" : "no");
  report.Print(options.json);
  return faults == 0 ? kExitOk : kExitMismatch;
}
