// The delivery queue: sessions put, SendMsg takes.
#include "room/DeliveryQueue.h"

namespace saferoom {

void DeliveryQueue::Put(std::vector<ChatItemPtr>& items) {
  if (items.empty()) return;  // a session that read no chat must not wake SendMsg
  std::unique_lock<std::mutex> lock(queueLock);
  for (auto& item : items) {
    if (items_.size() >= capacity_ && !stopped_) {
      // SendMsg may not have heard of what this call queued so far.
      notEmpty_.notify_one();
      notFull_.wait(lock, [&] { return items_.size() < capacity_ || stopped_; });
    }
    if (stopped_) break;
    items_.push_back(std::move(item));
  }
  lock.unlock();
  // After the unlock, so that SendMsg does not wake only to wait for the lock.
  notEmpty_.notify_one();
  items.clear();
}

DeliveryQueue::WaitResult DeliveryQueue::WaitForItems(Deadline deadline) {
  std::unique_lock<std::mutex> lock(queueLock);
  auto ready = [&] { return !items_.empty() || stopped_; };
  if (deadline.IsNever()) {
    notEmpty_.wait(lock, ready);
  } else if (!notEmpty_.wait_until(lock, deadline.TimePoint(), ready)) {
    return WaitResult::kTimeout;
  }
  return stopped_ ? WaitResult::kStopped : WaitResult::kReady;
}

size_t DeliveryQueue::TakeBatch(std::vector<ChatItemPtr>& batch, size_t maxItems, size_t maxBytes) {
  size_t taken = 0, bytes = 0;
  {
    std::lock_guard<std::mutex> lock(queueLock);
    while (!items_.empty() && taken < maxItems) {
      const size_t size = items_.front()->FrameSize();
      if (taken > 0 && bytes + size > maxBytes) break;
      bytes += size;
      batch.push_back(std::move(items_.front()));
      items_.pop_front();
      ++taken;
    }
  }
  if (taken > 0) notFull_.notify_all();
  return taken;
}

void DeliveryQueue::Stop() {
  {
    std::lock_guard<std::mutex> lock(queueLock);
    stopped_ = true;
  }
  notEmpty_.notify_all();
  notFull_.notify_all();
}

size_t DeliveryQueue::Size() {
  std::lock_guard<std::mutex> lock(queueLock);
  return items_.size();
}

}  // namespace saferoom
