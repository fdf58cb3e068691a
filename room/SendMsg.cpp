// SendMsg: batches off the queue, frames built once, writes cut at frame
// boundaries, memory given back after a burst.
#include "room/SendMsg.h"

#include <array>
#include <chrono>
#include <mutex>
#include <thread>

#include "platform/Os.h"
#include "room/Link.h"
#include "room/Room.h"

namespace {

// Items taken off the queue in one go. Bounds the memory held outside the
// queue and the time userLock is held for one batch.
constexpr size_t kMaxBatch = 256;
// Bytes of frames in one write to a member, and the most in a batch beyond
// its first item (so a member gets one write a batch, and userLock is
// released between batches). Each write has the whole send budget: a member
// reading 64 KiB/s takes one in about a second, a fifth of it, which leaves
// room for a loaded machine; only one reading far slower, below about
// 24 KiB/s over loopback (whose window opens in 64 KiB steps), misses it
// while more is sent to it.
constexpr size_t kMaxWriteBytes = 64 * 1024;
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

template <typename T>
void ClearBounded(std::vector<T>& v) {
  if (v.capacity() * sizeof(T) > kKeptCapacity) {
    std::vector<T>().swap(v);
  } else {
    v.clear();
  }
}

// Writes frames [0, numFrames), frame i ending at ends[i] in `data`, in
// writes of at most kMaxWriteBytes that never split a frame, each with the
// whole send budget. Stops at a failed write (the link is shut down then) or
// once the queue is stopped.
void WriteFrames(Link& link, const uint8_t* data, const size_t* ends, size_t numFrames,
                 const DeliveryQueue& queue) {
  size_t at = 0, frame = 0;
  while (frame < numFrames && !queue.Stopped()) {
    size_t end = ends[frame++];
    while (frame < numFrames && ends[frame] - at <= kMaxWriteBytes)
      end = ends[frame++];
    if (end > at && !link.Write(data + at, end - at, Deadline::In(kSendTimeoutMs))) return;
    at = end;
  }
}

}  // namespace

// What one connection gets from a batch, in order. While it gets frames 0,
// 1, 2... of the batch in turn (everyone, for public chat) it shares the
// batch's buffer; the first gap or repeat makes it a copy.
struct Outgoing {
  Link* link = nullptr;  // kept alive by its ClientSession while it holds a slot
  bool shared = true;
  size_t next = 0;             // while shared: frames [0, next) are its own
  std::vector<uint8_t> bytes;  // when not shared
  std::vector<size_t> ends;    // where each frame in `bytes` ends
};

// At most one entry per slot, since only members receive.
struct Recipients {
  std::array<Outgoing, kNumSlots> entries;
  size_t used = 0;

  void Add(Link* link, const FrameBatch& batch, size_t frame) {
    size_t i = 0;
    while (i < used && entries[i].link != link)
      ++i;
    if (i == used) entries[used++].link = link;
    Outgoing& o = entries[i];
    // Empty frames (a history request's place, a frame not built) hold no
    // bytes, so passing over them keeps the buffer shared.
    while (o.shared && o.next < frame && batch.End(o.next) == batch.Begin(o.next))
      ++o.next;
    if (o.shared && frame == o.next) {
      ++o.next;
      return;
    }
    if (o.shared) {
      o.shared = false;
      o.bytes.assign(batch.Data(), batch.Data() + batch.Begin(o.next));
      o.ends.assign(batch.Ends().begin(), batch.Ends().begin() + o.next);
    }
    o.bytes.insert(o.bytes.end(), batch.Data() + batch.Begin(frame), batch.Data() + batch.End(frame));
    o.ends.push_back(o.bytes.size());
  }

  void Write(const FrameBatch& batch, const DeliveryQueue& queue) {
    for (size_t i = 0; i < used; ++i) {
      const Outgoing& o = entries[i];
      if (o.shared) {
        WriteFrames(*o.link, batch.Data(), batch.Ends().data(), o.next, queue);
      } else {
        WriteFrames(*o.link, o.bytes.data(), o.ends.data(), o.ends.size(), queue);
      }
    }
  }

  void Clear() {
    for (size_t i = 0; i < used; ++i) {
      entries[i].shared = true;
      entries[i].next = 0;
      ClearBounded(entries[i].bytes);
      ClearBounded(entries[i].ends);
    }
    used = 0;
  }
};

namespace {

// Under userLock: the answer to a member still in the room, in the order of
// delivery. Once it is on its way the member may ask again.
void AnswerHistory(Room& room, const ChatItem& request, FrameBatch& frames, Recipients& out) {
  UserRecord* member = nullptr;
  for (const auto& record : room.users) {
    if (record && record->joinId == request.joinId) member = record.get();
  }
  if (!member) return;  // it left; its request went with it
  member->historyPending = false;
  const size_t first = frames.Count();
  AppendHistoryAnswer(room.history, request.since, member->joined, frames);
  frames.Encrypt();  // before Add, which may copy the bytes
  for (size_t j = first; j < frames.Count(); ++j) {
    if (frames.End(j) > frames.Begin(j)) out.Add(member->link, frames, j);
  }
}

}  // namespace

Relay::Relay() : out(std::make_unique<Recipients>()) {}
Relay::~Relay() = default;

void Relay::ReleaseBuffers() {
  std::vector<ChatItemPtr>().swap(items);
  frames.Clear(0);
  out = std::make_unique<Recipients>();
  builtBytes = 0;
}

// Builds every frame first, then takes userLock once: recipients are looked
// up and written to while no member can come or go; history answers are
// built in that hold, public chat recorded in it. A connection holding two
// slots gets each frame twice in a row, as it would one frame at a time.
bool RelayBatch(Room& room, Relay& relay) {
  if (room.queue.TakeBatch(relay.items, kMaxBatch, kMaxWriteBytes) == 0) return false;
  FrameBatch& frames = relay.frames;
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
  Recipients& out = *relay.out;
  {
    std::lock_guard<std::mutex> lock(room.userLock);
    const uint64_t now = WallClockMicros();
    for (size_t i = 0; i < relay.items.size(); ++i) {
      const ChatItem& item = *relay.items[i];
      if (item.historyRequest) {
        AnswerHistory(room, item, frames, out);
        continue;
      }
      if (frames.End(i) == frames.Begin(i)) continue;
      if (item.recipient[0] == 0) {
        // In the hold that writes it: a member that joins is either among
        // its recipients or has it in its history, never both or neither.
        RecordPublic(room.history, item.lengthWord, item.payload, item.sender, now);
        for (const auto& record : room.users) {
          if (record) out.Add(record->link, frames, i);
        }
      } else {
        int slot = FindUserByName(room.users, item.recipient);
        if (slot >= 0) out.Add(room.users[slot]->link, frames, i);
      }
    }
    out.Write(frames, room.queue);
  }
  out.Clear();
  relay.builtBytes += frames.Size();
  frames.Clear(kKeptCapacity);
  relay.items.clear();
  return true;
}

void SendMsg(Room& room) {
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
