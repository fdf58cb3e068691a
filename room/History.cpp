// The room's history: recording public messages, and the answer to a member.
#include "room/History.h"

#include <algorithm>
#include <chrono>
#include <cstring>

namespace saferoom {

uint64_t WallClockMicros() {
  const auto now = std::chrono::system_clock::now().time_since_epoch();
  return static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::microseconds>(now).count());
}

void StartHistory(RoomHistory& history, size_t length) {
  history.length = std::min<size_t>(length, kHistoryMaxLength);
  // Without history the end marker is all zero: nothing to tell apart.
  history.runId = history.length > 0 ? WallClockMicros() : 0;
}

void RecordPublic(RoomHistory& history, uint32_t lengthWord, const std::vector<uint8_t>& payload,
                  const uint8_t sender[kNameSize], uint64_t nowUs) {
  if (history.length == 0) return;
  HistoryEntry entry;
  entry.kind = KindOf(lengthWord);
  size_t len = std::min<size_t>(PayloadLength(lengthWord), payload.size());
  if (entry.kind == PayloadKind::Text) {
    // As BuildFrame relays it: the text up to its NUL, zero-filled again.
    const void* nul = std::memchr(payload.data(), 0, len);
    if (nul) len = static_cast<size_t>(static_cast<const uint8_t*>(nul) - payload.data());
  }
  const size_t padded = (len + 15) & ~size_t{15};
  // Strictly later than the last, so that `since` parts exactly: the clock
  // may stand still or step back.
  const HistoryMark mark{std::max(nowUs, history.last.time + 1), history.last.ordinal + 1};
  history.last = mark;
  // Kept, its item would not fit a frame, and every client would refuse the
  // answer: relayed live only.
  if (padded > kHistoryMaxKeptPayload) return;
  entry.data.assign(padded, 0);
  std::copy(payload.begin(), payload.begin() + static_cast<std::ptrdiff_t>(len),
            entry.data.begin());
  std::memcpy(entry.sender, sender, kNameSize);
  entry.time = mark.time;
  entry.ordinal = mark.ordinal;
  history.bytes += entry.data.size();
  history.entries.push_back(std::move(entry));
  while (history.entries.size() > history.length || history.bytes > kHistoryMaxBytes) {
    history.bytes -= history.entries.front().data.size();
    history.entries.pop_front();
  }
}

void AppendHistoryAnswer(const RoomHistory& history, uint64_t since, HistoryMark joined,
                         FrameBatch& frames) {
  std::vector<uint8_t> plain;
  for (const HistoryEntry& entry : history.entries) {
    if (entry.ordinal > joined.ordinal) break;  // it got those live
    if (entry.time <= since) continue;
    plain.assign(kHistoryItemPrefix, 0);
    StoreLe64(plain.data(), entry.time);
    StoreLe64(plain.data() + 8, entry.ordinal);
    plain.insert(plain.end(), entry.data.begin(), entry.data.end());
    // Built as binary, so that the prefix's zero bytes do not cut a text.
    if (frames.Add(FrameType::HistoryItem, PayloadKind::Binary, plain.data(),
                   static_cast<uint32_t>(plain.size()), entry.sender, Scope::Public)) {
      frames.SetKind(frames.Count() - 1, entry.kind);
    }
  }
  uint8_t end[kHistoryEndSize] = {};
  StoreLe64(end, history.runId);
  StoreLe64(end + 8, joined.time);
  StoreLe64(end + 16, joined.ordinal);
  frames.Add(FrameType::HistoryEnd, PayloadKind::Binary, end, sizeof end, nullptr, Scope::None);
}

}  // namespace saferoom
