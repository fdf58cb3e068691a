// What the room said: the last public messages as relayed, kept in memory
// only, for members who ask (late joiners, clients back after an outage).
// Part of the Room; SendMsg records and answers, ClientSession marks joins.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <vector>

#include "protect/Frame.h"
#include "protect/FrameBatch.h"

namespace saferoom {

// The bytes of the messages --history keeps (kHistoryMaxLength of them at
// most: protect/Frame.h), payloads as relayed.
constexpr size_t kHistoryMaxBytes = 192 * 1024;
// The most bytes of one whole answer, every header included.
constexpr size_t kHistoryMaxAnswerBytes = kHistoryMaxBytes +
                                          kHistoryMaxLength * (kHeaderSize + kHistoryItemPrefix) +
                                          kHeaderSize + kHistoryEndSize;
// A kept message's HistoryItem is one frame, so a public message whose
// payload and the item's prefix do not fit one is relayed but not kept.
constexpr size_t kHistoryMaxKeptPayload = kMaxPayload - kHistoryItemPrefix;
// What answers one member may be sent in a minute: a few whole histories,
// enough for any client that reconnects now and then; one that asks for
// more gets the end marker alone until the minute is up.
constexpr size_t kHistoryBudgetBytes = 1024 * 1024;
constexpr int kHistoryBudgetMs = 60000;

struct HistoryEntry {
  uint64_t time = 0;     // relay time, µs since the epoch
  uint64_t ordinal = 0;  // this run's count of public messages, from 1
  uint32_t kind = 0;     // the sender's PayloadKind
  uint8_t sender[kNameSize] = {};
  std::vector<uint8_t> data;  // the payload exactly as the live Chat carried it
};

// A point in what was relayed: the last public message before it (0 and 0
// when there was none).
struct HistoryMark {
  uint64_t time = 0;
  uint64_t ordinal = 0;
};

struct RoomHistory {
  // Set by StartHistory before any session starts, only read afterwards.
  size_t length = 0;   // messages kept; 0 keeps none and answers an empty end
  uint64_t runId = 0;  // the start time: another run, another history

  // The rest is guarded by the room's userLock.
  std::deque<HistoryEntry> entries;  // oldest first
  size_t bytes = 0;                  // of every entry's data
  HistoryMark last;                  // the last public message relayed
  uint64_t joins = 0;                // members added so far, to name each one
};

// Microseconds since the Unix epoch, on the system's clock.
uint64_t WallClockMicros();

// Keeps the last `length` public messages (at most kHistoryMaxLength) from now.
void StartHistory(RoomHistory& history, size_t length);

// The caller holds userLock, the same hold in which the frame is written to
// the members, so that a join is either before a message (which it then gets
// live) or after it (which is then in its history).
// Records a public Chat relayed at `nowUs` from a ChatItem's payload; its time
// is later than every earlier one's. Forgets the oldest beyond the bounds.
// One too long to keep still counts (its ordinal is taken), so that clients'
// counts of what they saw live stay right.
void RecordPublic(RoomHistory& history, uint32_t lengthWord, const std::vector<uint8_t>& payload,
                  const uint8_t sender[kNameSize], uint64_t nowUs);

// The caller holds userLock. Appends the answer to a member that joined at
// `joined`: a HistoryItem for every kept message relayed before it joined and
// after `since`, in order, then the HistoryEnd. Payloads still need Encrypt.
void AppendHistoryAnswer(const RoomHistory& history, uint64_t since, HistoryMark joined,
                         FrameBatch& frames);

}  // namespace saferoom
