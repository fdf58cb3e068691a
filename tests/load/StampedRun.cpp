// Stamped texts and their checks: every text once, in order, to the right
// members, whatever the protocol. Shared by chat-bench's load and soak.
#include "tests/load/StampedRun.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <functional>
#include <random>

#include "platform/Os.h"

namespace saferoom {

namespace {

// A stamp is 30 hex digits: run tag (4), stream (2), sequence number (8)
// and send time in monotonic nanoseconds (16); dots fill the rest of the
// text. Hex keeps it free of NULs, so Text kind texts travel whole.
constexpr int kMaxStreams = 255;
constexpr int kReceivePollMs = 50;
constexpr int kMaxComplaints = 20;

void StampText(std::string& text, unsigned tag, int stream, int64_t sequence, int64_t sentNs) {
  char stamp[64];  // room for any int, though the fields fit kStampLen
  std::snprintf(stamp, sizeof stamp, "%04x%02x%08llx%016llx", tag, stream,
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

bool ParseStamp(const std::vector<uint8_t>& payload, unsigned tag, int& stream, int64_t& sequence,
                int64_t& sentNs) {
  if (payload.size() < static_cast<size_t>(kStampLen)) return false;
  uint64_t t, s, q, n;
  if (!ParseHex(payload.data(), 4, t) || t != tag || !ParseHex(payload.data() + 4, 2, s) ||
      !ParseHex(payload.data() + 6, 8, q) || !ParseHex(payload.data() + 14, 16, n)) {
    return false;
  }
  stream = static_cast<int>(s);
  sequence = static_cast<int64_t>(q);
  sentNs = static_cast<int64_t>(n);
  return true;
}

// Whether the server sends the stream's texts to `member`.
bool Reaches(const StampedRun& run, const Stream& stream, int member) {
  if (stream.to >= 0) return stream.to == member;
  return run.ownCopies || stream.from != member;
}

// The texts sent to `member` so far, over every stream that reaches it.
int64_t SentTo(const StampedRun& run, int member) {
  int64_t total = 0;
  for (size_t s = 0; s < run.streams.size(); ++s)
    if (Reaches(run, run.streams[s], member)) total += run.sent[s];
  return total;
}

void MarkEnded(Member& member, RecvStatus status) {
  member.endStatus = status;
  std::lock_guard<std::mutex> hold(member.echoLock);
  member.ended = true;
  member.echoed.notify_all();
}

// Notes text `sequence` of a stream; false when it came before.
bool Track(StreamTrack& track, int64_t sequence) {
  if (static_cast<size_t>(sequence) >= track.seen.size()) {
    track.seen.resize(std::max<size_t>(sequence + 1, track.seen.size() * 2));
  }
  if (track.seen[sequence]) {
    ++track.repeated;
    return false;
  }
  track.seen[sequence] = true;
  ++track.received;
  if (sequence != track.next && track.outOfOrder++ == 0) track.firstOutOfOrder = sequence;
  track.next = std::max(track.next, sequence + 1);
  return true;
}

// Tells a closed loop's sender how many of its texts came back: those its
// witness has, or with none, those that every member the stream reaches has.
void Acknowledge(StampedRun& run, int s, Member& member) {
  const Stream& stream = run.streams[s];
  int64_t back = member.tracks[s].received;
  if (stream.witness >= 0) {
    if (stream.witness != member.index) return;
  } else {
    member.received[s].store(back, std::memory_order_relaxed);
    for (const auto& other : run.members) {
      if (Reaches(run, stream, other->index))
        back = std::min(back, other->received[s].load(std::memory_order_relaxed));
    }
  }
  Member& sender = *run.members[stream.from];
  std::lock_guard<std::mutex> hold(sender.echoLock);
  if (back <= sender.ownBack) return;
  sender.ownBack = back;
  sender.echoed.notify_one();
}

void ReceiveLoop(StampedRun& run, Member& member) {
  Heard heard;
  while (!run.stop.load(std::memory_order_relaxed)) {
    RecvStatus status = member.conn->Next(heard, Deadline::In(kReceivePollMs));
    if (status == RecvStatus::kTimeout) continue;
    if (status != RecvStatus::kFrame) {
      MarkEnded(member, status);
      return;
    }
    int64_t now = NowNs();
    int s;
    int64_t sequence, sentNs;
    if (!ParseStamp(heard.text, run.tag, s, sequence, sentNs) ||
        s >= static_cast<int>(run.streams.size()) || sequence >= kMaxSequence) {
      member.foreign.fetch_add(1, std::memory_order_relaxed);
      continue;
    }
    const Stream& stream = run.streams[s];
    uint32_t scope = stream.to < 0 ? Scope::Public : Scope::Private;
    if (!Reaches(run, stream, member.index) || heard.scope != scope ||
        heard.from != run.members[stream.from]->name.substr(0, kNameSize)) {
      ++member.misrouted;
      continue;
    }
    if (!Track(member.tracks[s], sequence)) continue;
    member.latenciesNs.push_back(now - sentNs);
    member.delivered.fetch_add(1, std::memory_order_relaxed);
    member.lastDeliveryNs.store(now, std::memory_order_relaxed);
    if (run.echo) Acknowledge(run, s, member);
  }
}

const char* EndText(RecvStatus status) {
  return status == RecvStatus::kBadFrame ? "sent a frame it could not read" : "closed";
}

// Complaints about one member's view of one stream.
void VerifyTrack(const StampedRun& run, const Member& member, int s, Tally& tally,
                 const std::function<void(const std::string&)>& complain) {
  const StreamTrack& track = member.tracks[s];
  const Stream& stream = run.streams[s];
  std::string from = run.members[stream.from]->name + (stream.to < 0 ? "" : " in private");
  int64_t sent = run.sent[s];
  if (track.received < sent) {
    int64_t first = 0;
    while (first < sent && static_cast<size_t>(first) < track.seen.size() && track.seen[first])
      ++first;
    tally.missing += sent - track.received;
    complain(member.name + " is missing " + std::to_string(sent - track.received) + " of " +
             std::to_string(sent) + " texts from " + from + " (first #" + std::to_string(first) +
             ")");
  }
  if (track.repeated > 0) {
    tally.repeated += track.repeated;
    complain(member.name + " received " + std::to_string(track.repeated) + " texts from " + from +
             " more than once");
  }
  if (track.outOfOrder > 0) {
    tally.outOfOrder += track.outOfOrder;
    complain(member.name + " received " + std::to_string(track.outOfOrder) + " texts from " + from +
             " out of order (first #" + std::to_string(track.firstOutOfOrder) + ")");
  }
}

}  // namespace

int64_t NowNs() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

bool JoinMembers(StampedRun& run, const std::string& namePrefix, int count,
                 std::vector<Stream> streams, const MemberJoin& join) {
  if (streams.size() > static_cast<size_t>(kMaxStreams)) {
    std::fprintf(stderr, "chat-bench: at most %d streams of texts\n", kMaxStreams);
    return false;
  }
  run.tag = std::random_device()() & 0xffff;
  run.streams = std::move(streams);
  for (Stream& stream : run.streams) stream.witness = stream.to;
  run.sent.assign(run.streams.size(), 0);
  for (int i = 0; i < count; ++i) {
    auto member = std::make_unique<Member>();
    member->index = i;
    member->name = namePrefix + std::to_string(i);
    member->tracks.resize(run.streams.size());
    member->received = std::make_unique<std::atomic<int64_t>[]>(run.streams.size());
    member->latenciesNs.reserve(1 << 16);
    std::string error;
    member->conn = join(member->name, error);
    if (!member->conn) {
      std::fprintf(stderr, "chat-bench: %s\n", error.c_str());
      return false;
    }
    run.members.push_back(std::move(member));
  }
  return true;
}

void StartReceivers(StampedRun& run) {
  for (auto& member : run.members)
    run.receivers.emplace_back(ReceiveLoop, std::ref(run), std::ref(*member));
}

void StampText(const StampedRun& run, int stream, int64_t sequence, std::string& text) {
  StampText(text, run.tag, stream, sequence, NowNs());
}

bool SendStamped(StampedRun& run, int stream, std::string& text, int64_t sentNs, uint32_t kind) {
  const Stream& s = run.streams[stream];
  StampText(text, run.tag, stream, run.sent[stream], sentNs);
  const std::string& to = s.to < 0 ? std::string() : run.members[s.to]->name;
  if (!run.members[s.from]->conn->Send(text, to, kind)) return false;
  ++run.sent[stream];
  return true;
}

void Drain(StampedRun& run, double seconds) {
  int64_t endMs = MonotonicMs() + static_cast<int64_t>(seconds * 1000);
  for (;;) {
    bool complete = true;
    for (const auto& member : run.members) {
      if (!member->ended && member->delivered.load() < SentTo(run, member->index)) complete = false;
    }
    if (complete || MonotonicMs() >= endMs) return;
    SleepMs(2);
  }
}

void StopReceivers(StampedRun& run) {
  run.stop = true;
  for (std::thread& receiver : run.receivers)
    receiver.join();
  run.receivers.clear();
  for (auto& member : run.members) {
    if (!member->ended) member->conn->Leave();
  }
}

Tally Verify(const StampedRun& run) {
  Tally tally;
  auto complain = [&tally](const std::string& line) {
    if (tally.faults++ < kMaxComplaints) std::fprintf(stderr, "chat-bench: %s\n", line.c_str());
  };
  for (const auto& member : run.members) {
    if (!member->sendError.empty())
      complain(member->name + " stopped sending: " + member->sendError);
    if (member->ended) complain(member->name + "'s connection " + EndText(member->endStatus));
    const int64_t foreign = member->foreign.load();
    tally.foreign += foreign;
    if (foreign > 0 && !run.othersWelcome) {
      complain(member->name + " received " + std::to_string(foreign) +
               " chat frames that are no text of this run");
    }
    tally.misrouted += member->misrouted;
    if (member->misrouted > 0) {
      complain(member->name + " received " + std::to_string(member->misrouted) +
               " texts not meant for it, or under a wrong name or scope");
    }
    for (size_t s = 0; s < run.streams.size(); ++s)
      if (Reaches(run, run.streams[s], member->index))
        VerifyTrack(run, *member, s, tally, complain);
  }
  int64_t total = 0;
  for (int64_t sent : run.sent)
    total += sent;
  if (total == 0) complain("no text was sent");
  return tally;
}

}  // namespace saferoom
