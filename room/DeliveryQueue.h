// Chat messages waiting for delivery: a bounded blocking queue that the
// sessions put into and SendMsg takes batches from. Part of the Room.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <vector>

#include "platform/Deadline.h"
#include "protect/Frame.h"

namespace saferoom {

// Puts wait while this many items are queued: a flooding client is slowed
// down, nothing is dropped.
constexpr size_t kQueueCapacity = 1024;

class SendQueue;

struct ChatItem {
  uint32_t lengthWord = 0;       // payload length << 2 | sender's PayloadKind
  std::vector<uint8_t> payload;  // decrypted plaintext
  uint8_t sender[kNameSize] = {};
  uint8_t recipient[kNameSize] = {};  // empty: public
  // A member's request for the history instead of chat: answered to the
  // member whose record has this joinId, in the order of delivery.
  bool historyRequest = false;
  uint64_t since = 0;  // µs since the epoch: kept messages after this
  uint64_t joinId = 0;
  // From a member that may be reclaimed: its connection's queue, by which
  // the relay counts what it relayed from there, and drops what comes after
  // a reclaim took the slot away. Null for everyone else.
  std::shared_ptr<SendQueue> from;

  // The bytes of the frame SendMsg builds from it.
  size_t FrameSize() const { return kHeaderSize + PayloadLength(lengthWord); }
};
using ChatItemPtr = std::unique_ptr<ChatItem>;

class DeliveryQueue {
 public:
  explicit DeliveryQueue(size_t capacity = kQueueCapacity) : capacity_(capacity) {}

  // Appends `items` at the back in order under one hold of queueLock, waiting
  // for room while the queue is full, and empties `items`. Once stopped it
  // drops them instead.
  void Put(std::vector<ChatItemPtr>& items);

  enum class WaitResult { kReady, kTimeout, kStopped };
  // Waits until an item is queued, the queue is stopped or `deadline`.
  WaitResult WaitForItems(Deadline deadline);

  // Moves items from the front to the back of `batch`, never waiting: at
  // most maxItems, and no more frame bytes than maxBytes unless the first
  // alone has more. The number taken.
  size_t TakeBatch(std::vector<ChatItemPtr>& batch, size_t maxItems, size_t maxBytes);

  // Ends waiting for good: WaitForItems says kStopped, Put drops.
  void Stop();
  bool Stopped() const { return stopped_.load(); }

  size_t Size();

 private:
  const size_t capacity_;
  std::mutex queueLock;
  std::condition_variable notEmpty_;  // SendMsg waits here
  std::condition_variable notFull_;   // sessions wait here while it is full
  std::deque<ChatItemPtr> items_;     // guarded by queueLock
  std::atomic<bool> stopped_{false};  // set under queueLock, read anywhere
};

}  // namespace saferoom
