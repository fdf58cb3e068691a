// The delivery queue and the SendMsg thread that relays chat messages.
#include "room/DeliveryQueue.h"

#include <array>
#include <cstdio>
#include <mutex>

#include "server/SafeTcpServer.h"
#include "server/TlsConn.h"

namespace {

// Items taken off the queue in one go. Bounds the memory held outside the
// queue and the time userLock is held for one batch.
constexpr size_t kMaxBatch = 256;

// Everything one connection gets from a batch, in order, sent in one write.
struct Outgoing {
  TlsConn* session = nullptr;  // kept alive by its ClientSession while it holds a slot
  std::vector<uint8_t> bytes;  // capacity kept from batch to batch
};

// At most one entry per slot, since only members receive.
struct Recipients {
  std::array<Outgoing, kNumSlots> entries;
  size_t used = 0;

  void Clear() {
    for (size_t i = 0; i < used; ++i)
      entries[i].bytes.clear();
    used = 0;
  }
  void Add(TlsConn* session, const Frame& frame) {
    size_t i = 0;
    while (i < used && entries[i].session != session)
      ++i;
    if (i == used) entries[used++].session = session;
    entries[i].bytes.insert(entries[i].bytes.end(), frame.begin(), frame.end());
  }
};

// Builds every frame first, then takes userLock once: recipients are looked
// up and written to while no member can come or go. A connection holding two
// slots gets each frame twice in a row, as it would one frame at a time.
void Deliver(const std::vector<std::unique_ptr<ChatItem>>& items, std::vector<Frame>& frames,
             Recipients& out) {
  frames.clear();
  for (const auto& item : items) {
    bool isPublic = item->recipient[0] == 0;
    frames.push_back(BuildFrame(FrameType::Chat, KindOf(item->lengthWord), item->payload.data(),
                                PayloadLength(item->lengthWord), item->sender,
                                isPublic ? Scope::Public : Scope::Private));
  }
  std::lock_guard<std::mutex> lock(gServer->userLock);
  out.Clear();
  for (size_t i = 0; i < items.size(); ++i) {
    if (frames[i].empty()) continue;  // dropped: nothing could be built
    if (items[i]->recipient[0] == 0) {
      for (const auto& record : gServer->users) {
        if (record) out.Add(record->session, frames[i]);
      }
    } else {
      int slot = gServer->FindUserByName(items[i]->recipient);
      if (slot >= 0) out.Add(gServer->users[slot]->session, frames[i]);
    }
  }
  for (size_t i = 0; i < out.used; ++i) {
    TlsWrite(*out.entries[i].session, out.entries[i].bytes.data(), out.entries[i].bytes.size());
  }
}

}  // namespace

void AppendChatItem(std::unique_ptr<ChatItem> item) {
  DeliveryQueue& queue = gServer->queue;
  std::unique_lock<std::mutex> lock(gServer->queueLock);
  queue.notFull.wait(lock, [&] { return queue.items.size() < kQueueCapacity; });
  queue.items.push_back(std::move(item));
  queue.notEmpty.notify_one();
}

bool DeliverQueued() {
  // Kept from call to call so that a busy room reuses its buffers.
  thread_local std::vector<std::unique_ptr<ChatItem>> batch;
  thread_local std::vector<Frame> frames;
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
