// The delivery queue and the SendMsg thread that relays chat messages.
#include "room/DeliveryQueue.h"

#include <openssl/rand.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <thread>

#include "platform/Os.h"
#include "server/SafeTcpServer.h"
#include "tls/TlsConn.h"

namespace {

// Items taken off the queue in one go. Bounds the memory held outside the
// queue and the time userLock is held for one batch.
constexpr size_t kMaxBatch = 256;
// Bytes of frames in one write to a member, and the most in a batch beyond
// its first item. Each write has the send timeout, so a member reading
// 64 KiB/s keeps up, and userLock is released between batches.
constexpr size_t kMaxWriteBytes = 256 * 1024;
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

// Empties `v`, keeping its capacity only when that is small.
template <typename T>
void ClearBounded(std::vector<T>& v) {
  if (v.capacity() * sizeof(T) > kKeptCapacity) {
    std::vector<T>().swap(v);
  } else {
    v.clear();
  }
}

// Writes the whole frames in `bytes` to one member, in writes of at most
// kMaxWriteBytes that never split a frame, each with the send timeout. Stops
// at a failed write (the connection is shut down then) or once `running`
// (if given) reads false.
void WriteFrames(TlsConn& session, const uint8_t* bytes, size_t len,
                 const std::atomic<bool>* running) {
  size_t at = 0;
  while (at < len && (running == nullptr || *running)) {
    size_t end = at;
    while (end < len) {
      size_t frame = kHeaderSize + PayloadLength(ParseHeader(bytes + end).lengthWord);
      if (end > at && end - at + frame > kMaxWriteBytes) break;
      end += frame;
    }
    if (!TlsWrite(session, bytes + at, end - at)) return;
    at = end;
  }
}

// Fresh random bytes, drawn from the generator 4 KiB at a time: one draw
// costs about as much as encrypting a small frame, whatever its size.
struct RandomPool {
  std::array<uint8_t, 4096> bytes;
  size_t used = bytes.size();

  // Fills `out` with `len` bytes never handed out before. False when the
  // generator fails.
  bool Take(uint8_t* out, size_t len) {
    while (len > 0) {
      if (used == bytes.size()) {
        if (RAND_bytes(bytes.data(), static_cast<int>(bytes.size())) != 1) return false;
        used = 0;
      }
      const size_t n = std::min(len, bytes.size() - used);
      std::memcpy(out, &bytes[used], n);
      used += n;
      out += n;
      len -= n;
    }
    return true;
  }
};

// A batch's frames, built back to back into one buffer.
struct BatchFrames {
  Frame bytes;
  std::vector<size_t> ends;  // ends[i]: end of frame i in `bytes`; 0-length frames are dropped
  std::vector<uint8_t> ivs;
  RandomPool random;

  size_t Begin(size_t i) const { return i == 0 ? 0 : ends[i - 1]; }
};

// What one connection gets from a batch, in order (written by WriteFrames).
// While it gets frames 0, 1, 2... of the batch in turn (everyone, for public
// chat) it shares the batch buffer; the first gap or repeat makes it a copy.
struct Outgoing {
  TlsConn* session = nullptr;  // kept alive by its ClientSession while it holds a slot
  bool shared = true;
  size_t next = 0;             // while shared: frames [0, next) are its own
  std::vector<uint8_t> bytes;  // when not shared; a small capacity is kept for the next batch
};

// At most one entry per slot, since only members receive.
struct Recipients {
  std::array<Outgoing, kNumSlots> entries;
  size_t used = 0;

  void Clear() {
    for (size_t i = 0; i < used; ++i) {
      entries[i].shared = true;
      entries[i].next = 0;
      ClearBounded(entries[i].bytes);
    }
    used = 0;
  }
  void Add(TlsConn* session, const BatchFrames& batch, size_t frame) {
    size_t i = 0;
    while (i < used && entries[i].session != session)
      ++i;
    if (i == used) entries[used++].session = session;
    Outgoing& o = entries[i];
    if (o.shared && frame == o.next) {
      ++o.next;
      return;
    }
    if (o.shared) {
      o.shared = false;
      o.bytes.assign(batch.bytes.begin(), batch.bytes.begin() + batch.Begin(o.next));
    }
    o.bytes.insert(o.bytes.end(), batch.bytes.begin() + batch.Begin(frame),
                   batch.bytes.begin() + batch.ends[frame]);
  }
};

// Builds every frame first, then takes userLock once: recipients are looked
// up and written to while no member can come or go. A connection holding two
// slots gets each frame twice in a row, as it would one frame at a time.
// Returns the bytes of frames built.
size_t Deliver(const std::vector<std::unique_ptr<ChatItem>>& items, BatchFrames& batch,
               Recipients& out, const std::atomic<bool>* running) {
  batch.bytes.clear();
  batch.ends.clear();
  batch.ivs.resize(16 * items.size());
  if (!batch.random.Take(batch.ivs.data(), batch.ivs.size())) return 0;
  for (size_t i = 0; i < items.size(); ++i) {
    const ChatItem& item = *items[i];
    bool isPublic = item.recipient[0] == 0;
    // A frame that cannot be built is dropped: its end equals its begin.
    AppendFrame(batch.bytes, FrameType::Chat, KindOf(item.lengthWord), item.payload.data(),
                PayloadLength(item.lengthWord), item.sender,
                isPublic ? Scope::Public : Scope::Private, &batch.ivs[16 * i], false);
    batch.ends.push_back(batch.bytes.size());
  }
  EncryptFramePayloads(batch.bytes.data(), batch.bytes.size());
  std::lock_guard<std::mutex> lock(gServer->userLock);
  for (size_t i = 0; i < items.size(); ++i) {
    if (batch.ends[i] == batch.Begin(i)) continue;
    if (items[i]->recipient[0] == 0) {
      for (const auto& record : gServer->users) {
        if (record) out.Add(record->session, batch, i);
      }
    } else {
      int slot = gServer->FindUserByName(items[i]->recipient);
      if (slot >= 0) out.Add(gServer->users[slot]->session, batch, i);
    }
  }
  for (size_t i = 0; i < out.used; ++i) {
    const Outgoing& o = out.entries[i];
    if (o.shared) {
      WriteFrames(*o.session, batch.bytes.data(), batch.Begin(o.next), running);
    } else {
      WriteFrames(*o.session, o.bytes.data(), o.bytes.size(), running);
    }
  }
  out.Clear();
  const size_t built = batch.bytes.size();
  ClearBounded(batch.bytes);
  return built;
}

}  // namespace

void AppendChatItems(std::vector<std::unique_ptr<ChatItem>>& items) {
  if (items.empty()) return;  // a session that read no chat must not wake SendMsg
  DeliveryQueue& queue = gServer->queue;
  std::unique_lock<std::mutex> lock(gServer->queueLock);
  for (auto& item : items) {
    if (queue.items.size() >= kQueueCapacity) {
      // SendMsg may not have heard of what this call queued so far.
      queue.notEmpty.notify_one();
      queue.notFull.wait(lock, [&] { return queue.items.size() < kQueueCapacity; });
    }
    queue.items.push_back(std::move(item));
  }
  lock.unlock();
  // After the unlock, so that SendMsg does not wake only to wait for the lock.
  queue.notEmpty.notify_one();
  items.clear();
}

bool DeliverQueued(size_t* frameBytes, const std::atomic<bool>* running) {
  // Kept from call to call so that a busy room reuses its buffers.
  thread_local std::vector<std::unique_ptr<ChatItem>> batch;
  thread_local BatchFrames frames;
  thread_local Recipients out;
  DeliveryQueue& queue = gServer->queue;
  {
    std::lock_guard<std::mutex> lock(gServer->queueLock);
    size_t bytes = 0;
    while (!queue.items.empty() && batch.size() < kMaxBatch) {
      size_t size = kHeaderSize + PayloadLength(queue.items.front()->lengthWord);
      if (!batch.empty() && bytes + size > kMaxWriteBytes) break;
      bytes += size;
      batch.push_back(std::move(queue.items.front()));
      queue.items.pop_front();
    }
    queue.notFull.notify_all();
  }
  if (batch.empty()) return false;
  size_t built = Deliver(batch, frames, out, running);
  if (frameBytes != nullptr) *frameBytes = built;
  batch.clear();
  return true;
}

void SendMsg() {
  DeliveryQueue& queue = gServer->queue;
  size_t sinceTrim = 0;  // bytes of frames built since memory was given back
  for (;;) {
    bool busy = true;  // texts are coming in faster than rounds go out
    {
      std::unique_lock<std::mutex> lock(gServer->queueLock);
      auto ready = [&] { return !queue.items.empty() || !gServer->sendRunning; };
      // Waking once after a burst is all: an idle room waits without a timer.
      if (sinceTrim >= kTrimAfterBytes &&
          !queue.notEmpty.wait_for(lock, std::chrono::milliseconds(kTrimDelayMs), ready)) {
        lock.unlock();
        ReleaseFreeMemory();
        sinceTrim = 0;
        continue;
      }
      if (!ready()) {
        const auto slept = std::chrono::steady_clock::now();
        queue.notEmpty.wait(lock, ready);
        busy = std::chrono::steady_clock::now() - slept < kBusyWake;
      }
      if (!gServer->sendRunning) break;
    }
    // Busy: the sessions are likely still reading. Letting them append first
    // makes one round of several reads, and one write to each member for
    // them all. A wake after a quiet spell goes straight on, for latency.
    if (busy) std::this_thread::yield();
    size_t bytes = 0;
    DeliverQueued(&bytes, &gServer->sendRunning);
    sinceTrim += bytes;
  }
  printf("[-] SendMsg thread stop\n");
  gServer->sendStopped = true;
}

void WakeSendMsg() {
  std::lock_guard<std::mutex> lock(gServer->queueLock);
  gServer->queue.notEmpty.notify_all();
}
