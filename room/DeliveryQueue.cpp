// The delivery queue and the SendMsg thread that relays chat messages.
#include "room/DeliveryQueue.h"

#include <openssl/rand.h>

#include <array>
#include <cstdio>
#include <mutex>

#include "server/SafeTcpServer.h"
#include "tls/TlsConn.h"

namespace {

// Items taken off the queue in one go. Bounds the memory held outside the
// queue and the time userLock is held for one batch.
constexpr size_t kMaxBatch = 256;

// A batch's frames, built back to back into one buffer.
struct BatchFrames {
  Frame bytes;
  std::vector<size_t> ends;  // ends[i]: end of frame i in `bytes`; 0-length frames are dropped
  std::vector<uint8_t> ivs;

  size_t Begin(size_t i) const { return i == 0 ? 0 : ends[i - 1]; }
};

// What one connection gets from a batch, in order, sent in one write. While
// it gets frames 0, 1, 2... of the batch in turn (everyone, for public chat)
// it shares the batch buffer; the first gap or repeat makes it a copy.
struct Outgoing {
  TlsConn* session = nullptr;  // kept alive by its ClientSession while it holds a slot
  bool shared = true;
  size_t next = 0;             // while shared: frames [0, next) are its own
  std::vector<uint8_t> bytes;  // when not shared; capacity kept from batch to batch
};

// At most one entry per slot, since only members receive.
struct Recipients {
  std::array<Outgoing, kNumSlots> entries;
  size_t used = 0;

  void Clear() {
    for (size_t i = 0; i < used; ++i) {
      entries[i].shared = true;
      entries[i].next = 0;
      entries[i].bytes.clear();
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
void Deliver(const std::vector<std::unique_ptr<ChatItem>>& items, BatchFrames& batch,
             Recipients& out) {
  batch.bytes.clear();
  batch.ends.clear();
  // One draw from the generator for the whole batch: fresh bytes all the same.
  batch.ivs.resize(16 * items.size());
  if (RAND_bytes(batch.ivs.data(), static_cast<int>(batch.ivs.size())) != 1) return;
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
  out.Clear();
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
      TlsWrite(*o.session, batch.bytes.data(), batch.Begin(o.next));
    } else {
      TlsWrite(*o.session, o.bytes.data(), o.bytes.size());
    }
  }
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
  queue.notEmpty.notify_one();
  items.clear();
}

bool DeliverQueued() {
  // Kept from call to call so that a busy room reuses its buffers.
  thread_local std::vector<std::unique_ptr<ChatItem>> batch;
  thread_local BatchFrames frames;
  thread_local Recipients out;
  DeliveryQueue& queue = gServer->queue;
  {
    std::lock_guard<std::mutex> lock(gServer->queueLock);
    while (!queue.items.empty() && batch.size() < kMaxBatch) {
      batch.push_back(std::move(queue.items.front()));
      queue.items.pop_front();
    }
    queue.notFull.notify_all();
  }
  if (batch.empty()) return false;
  Deliver(batch, frames, out);
  batch.clear();
  return true;
}

void SendMsg() {
  DeliveryQueue& queue = gServer->queue;
  for (;;) {
    {
      std::unique_lock<std::mutex> lock(gServer->queueLock);
      queue.notEmpty.wait(lock, [&] { return !queue.items.empty() || !gServer->sendRunning; });
      if (!gServer->sendRunning) break;
    }
    DeliverQueued();
  }
  printf("[-] SendMsg thread stop\n");
  gServer->sendStopped = true;
}

void WakeSendMsg() {
  std::lock_guard<std::mutex> lock(gServer->queueLock);
  gServer->queue.notEmpty.notify_all();
}
