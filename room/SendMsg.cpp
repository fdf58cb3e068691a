// SendMsg: batches off the queue, frames built once into a buffer that every
// recipient's send queue shares, memory given back after a burst.
#include "room/SendMsg.h"

#include <array>
#include <chrono>
#include <limits>
#include <mutex>
#include <thread>
#include <utility>

#include "platform/Os.h"
#include "room/Link.h"
#include "room/Room.h"
#include "room/SendQueue.h"

namespace saferoom {

namespace {

// Items taken off the queue in one go. Bounds the memory held outside the
// queue and the time userLock is held for one batch.
constexpr size_t kMaxBatch = 256;
// Buffer capacity kept from one batch to the next; big messages have their
// buffers made afresh, so a burst of them leaves none behind.
constexpr size_t kKeptCapacity = 64 * 1024;
// After this many bytes of frames, SendMsg gives free memory back to the
// system once the queue has stayed empty for kTrimDelayMs: the allocator
// keeps what a burst of big messages freed in many threads' arenas.
constexpr size_t kTrimAfterBytes = 1024 * 1024;
constexpr int kTrimDelayMs = 500;
// A wake this soon after SendMsg went to sleep still counts as busy.
constexpr std::chrono::microseconds kBusyWake(200);

static_assert(kHistoryMaxAnswerBytes + 4 * kSendChunkBytes <= kSendQueueBytes,
              "a whole history answer and a burst of chat fit one send queue");

template <typename T>
void ClearBounded(std::vector<T>& v) {
  if (v.capacity() * sizeof(T) > kKeptCapacity) {
    std::vector<T>().swap(v);
  } else {
    v.clear();
  }
}

}  // namespace

// What each connection gets of a batch, in order: stretches of consecutive
// frames of the batch's shared buffer, one run each (a connection holding
// two slots gets each frame twice, as two runs).
struct Recipients {
  struct Entry {
    SendQueuePtr queue;
    std::vector<std::pair<size_t, size_t>> ranges;
  };
  std::array<Entry, kRoomSize> entries;  // only members receive: one per slot at most
  size_t used = 0;

  Entry& For(const SendQueuePtr& queue) {
    for (size_t i = 0; i < used; ++i) {
      if (entries[i].queue == queue) return entries[i];
    }
    entries[used].queue = queue;
    return entries[used++];
  }

  void Add(const SendQueuePtr& queue, size_t begin, size_t end) {
    auto& ranges = For(queue).ranges;
    if (!ranges.empty() && ranges.back().second == begin) {
      ranges.back().second = end;
    } else {
      ranges.emplace_back(begin, end);
    }
  }

  // Puts what `entry` has gathered so far, in order.
  static void Put(Entry& entry, const SharedBytes& bytes, Touched& touched) {
    for (const auto& range : entry.ranges)
      touched.Put(entry.queue, FrameRun{bytes, range.first, range.second, false});
    entry.ranges.clear();
  }

  void PutAll(const SharedBytes& bytes, Touched& touched) {
    for (size_t i = 0; i < used; ++i)
      Put(entries[i], bytes, touched);
  }

  void Clear() {
    for (size_t i = 0; i < used; ++i) {
      entries[i].queue.reset();
      ClearBounded(entries[i].ranges);
    }
    used = 0;
  }
};

namespace {

// Under userLock: the answer to a member still in the room, put after what
// the batch gave it before the request. Within the member's budget, the
// kept messages and the end; beyond it, the end alone.
void AnswerHistory(Room& room, const ChatItem& request, const SharedBytes& batchBytes,
                   Relay& relay) {
  UserRecord* member = nullptr;
  for (const auto& record : room.users) {
    if (record && record->joinId == request.joinId) member = record.get();
  }
  if (!member) return;  // it left; its request went with it
  member->historyPending = false;
  FrameBatch& answer = relay.answers;
  AppendHistoryAnswer(room.history, request.since, member->joined, answer);
  const int64_t now = MonotonicMs();
  if (now - member->answersSinceMs >= kHistoryBudgetMs) {
    member->answersSinceMs = now;
    member->answersBytes = 0;
  }
  if (member->answersBytes + answer.Size() > kHistoryBudgetBytes) {
    answer.Clear(kKeptCapacity);
    AppendHistoryAnswer(room.history, std::numeric_limits<uint64_t>::max(), member->joined, answer);
  }
  member->answersBytes += answer.Size();
  answer.Encrypt();
  auto bytes = std::make_shared<std::vector<uint8_t>>();
  answer.SwapBytes(*bytes);
  Recipients::Entry& entry = relay.out->For(member->out);
  Recipients::Put(entry, batchBytes, relay.touched);
  // Runs of whole frames, none longer than one send unless a frame is.
  for (size_t first = 0, j = 0; j < answer.Count(); ++j) {
    const bool last = j + 1 == answer.Count();
    if (last || answer.End(j + 1) - answer.Begin(first) > kSendChunkBytes) {
      relay.touched.Put(member->out, FrameRun{bytes, answer.Begin(first), answer.End(j), false});
      first = j + 1;
    }
  }
  member->answerInFlight = bytes;
  answer.Clear(kKeptCapacity);
}

}  // namespace

Relay::Relay() : out(std::make_unique<Recipients>()) {}
Relay::~Relay() = default;

void Relay::ReleaseBuffers() {
  std::vector<ChatItemPtr>().swap(items);
  frames.Clear(0);
  answers.Clear(0);
  out = std::make_unique<Recipients>();
  std::vector<uint8_t>().swap(scratch);
  builtBytes = 0;
}

// Builds every frame first, then takes userLock once: recipients are looked
// up and their send queues put into while no member can come or go; history
// answers are built in that hold, public chat recorded in it. The writes
// come after it, to each connection alone, and none waits.
bool RelayBatch(Room& room, Relay& relay) {
  if (room.queue.TakeBatch(relay.items, kMaxBatch, kSendChunkBytes) == 0) return false;
  FrameBatch& frames = relay.frames;
  size_t most = 0;  // the frames' bytes, texts not yet cut at their NUL
  for (const ChatItemPtr& item : relay.items)
    most += item->historyRequest ? 0 : item->FrameSize();
  frames.Reserve(most);
  for (const ChatItemPtr& item : relay.items) {
    if (item->historyRequest) {
      frames.Skip();  // answered under userLock, from what is kept then
      continue;
    }
    // A frame that cannot be built is dropped: it stays empty.
    frames.Add(FrameType::Chat, KindOf(item->lengthWord), item->payload.data(),
               PayloadLength(item->lengthWord), item->sender,
               item->recipient[0] == 0 ? Scope::Public : Scope::Private);
  }
  frames.Encrypt();
  // A buffer of its own for each batch, handed to the send queues and freed
  // by the last of them to write it: no copy, and nothing to reuse that a
  // queue might still be reading.
  auto buffer = std::make_shared<std::vector<uint8_t>>();
  frames.SwapBytes(*buffer);
  const SharedBytes bytes = buffer;
  Recipients& out = *relay.out;
  {
    std::lock_guard<std::mutex> lock(room.userLock);
    const uint64_t now = WallClockMicros();
    for (size_t i = 0; i < relay.items.size(); ++i) {
      const ChatItem& item = *relay.items[i];
      if (item.from) {
        // After a reclaim its client sends again what was not counted here.
        if (item.from->link().replaced) continue;
        for (const auto& record : room.users) {
          if (record && record->out == item.from && !item.historyRequest) ++record->chatsRelayed;
        }
      }
      if (item.historyRequest) {
        AnswerHistory(room, item, bytes, relay);
        continue;
      }
      const size_t begin = frames.Begin(i), end = frames.End(i);
      if (end == begin) continue;
      if (item.recipient[0] == 0) {
        // In the hold that puts it: a member that joins is either among its
        // recipients or has it in its history, never both or neither.
        RecordPublic(room.history, item.lengthWord, item.payload, item.sender, now);
        for (const auto& record : room.users) {
          if (record) out.Add(record->out, begin, end);
        }
      } else {
        int slot = FindUserByName(room.users, item.recipient);
        if (slot >= 0) out.Add(room.users[slot]->out, begin, end);
      }
    }
    out.PutAll(bytes, relay.touched);
  }
  relay.touched.Flush(room.backlog, relay.scratch);
  out.Clear();
  relay.builtBytes += buffer->size();
  frames.Clear(kKeptCapacity);
  relay.items.clear();
  return true;
}

void RunSendMsg(Room& room) {
  Relay relay;
  for (;;) {
    // Waking once after a burst is all: an idle room waits without a timer.
    const Deadline trimAt =
        relay.builtBytes >= kTrimAfterBytes ? Deadline::In(kTrimDelayMs) : Deadline::Never();
    const auto slept = std::chrono::steady_clock::now();
    const DeliveryQueue::WaitResult woke = room.queue.WaitForItems(trimAt);
    if (woke == DeliveryQueue::WaitResult::kStopped) break;
    if (woke == DeliveryQueue::WaitResult::kTimeout) {
      relay.ReleaseBuffers();
      ReleaseFreeMemory();
      continue;
    }
    // Busy (texts coming in faster than rounds go out): the sessions are
    // likely still reading. Letting them append first makes one round of
    // several reads, and one write to each member for them all. A wake after
    // a quiet spell goes straight on, for latency.
    if (std::chrono::steady_clock::now() - slept < kBusyWake) std::this_thread::yield();
    RelayBatch(room, relay);
  }
  room.console.Out("[-] SendMsg thread stop\n");
}

}  // namespace saferoom
