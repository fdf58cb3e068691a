// Send queues: put under the room's locks, written after them, the rest
// written by the backlog writer as each socket drains.
#include "room/SendQueue.h"

#include <algorithm>

#include "platform/Os.h"

namespace saferoom {

bool SendQueue::Put(FrameRun run) {
  std::lock_guard<std::mutex> hold(lock_);
  if (dropped_) return false;
  if (run.memberList) {
    // Only a list no send has offered yet may go: what a blocked send
    // offered must be offered again as it was.
    size_t at = 0;  // where runs_[i] starts, from the first byte not taken
    for (auto it = runs_.begin(); it != runs_.end(); ++it) {
      const bool whole = it != runs_.begin() || frontTaken_ == 0;
      // The same list again (a connection in two slots) is not newer.
      if (it->memberList && whole && at >= pinned_ && it->bytes != run.bytes) {
        bytes_ -= it->Size();
        runs_.erase(it);
        break;
      }
      at += it->Size() - (it == runs_.begin() ? frontTaken_ : 0);
    }
  }
  if (CostLocked() + run.Size() + kRunCostBytes > bound_) {
    MarkDropped();
    return false;
  }
  if (bytes_ == 0 && !linkHolds_) waitingSinceMs_ = MonotonicMs();
  bytes_ += run.Size();
  runs_.push_back(std::move(run));
  return true;
}

void SendQueue::MarkDropped() {
  dropped_ = true;
  // A send in flight still reads the runs it was offered: they go after it.
  if (!flushing_) {
    runs_.clear();
    bytes_ = frontTaken_ = pinned_ = 0;
    linkHolds_ = false;
  }
}

SendQueue::State SendQueue::Flush(std::vector<uint8_t>& scratch) {
  std::unique_lock<std::mutex> hold(lock_);
  // The one flushing writes what was put meanwhile too, and answers for it.
  if (flushing_) return State::kIdle;
  if (dropped_) {
    const bool shut = !shut_;
    shut_ = true;
    hold.unlock();
    if (shut) link_->Shutdown();
    return State::kDropped;
  }
  flushing_ = true;
  for (;;) {
    const uint8_t* data = nullptr;
    size_t len = 0;
    if (!runs_.empty()) {
      const FrameRun& front = runs_.front();
      data = front.bytes->data() + front.begin + frontTaken_;
      len = front.Size() - frontTaken_;
      // Small runs (a member list, replies, a backlog of batches) go out
      // gathered in one write: one TLS record, not one each. A member list
      // ends the gathering, so that what a blocked send holds has one at
      // most and a newer list can still replace the next.
      if (runs_.size() > 1 && !front.memberList && len + runs_[1].Size() <= kSendChunkBytes) {
        scratch.assign(data, data + len);
        for (size_t i = 1; i < runs_.size() && scratch.size() + runs_[i].Size() <= kSendChunkBytes;
             ++i) {
          const FrameRun& r = runs_[i];
          scratch.insert(scratch.end(), r.bytes->data() + r.begin, r.bytes->data() + r.end);
          if (r.memberList) break;
        }
        data = scratch.data();
        len = scratch.size();
      }
    } else if (!linkHolds_) {
      flushing_ = false;
      return State::kIdle;
    }
    // What is offered stays as it is, and alive, until the send is over.
    pinned_ = std::max(pinned_, len);
    hold.unlock();
    const LinkSend sent = link_->Send(data, len);
    hold.lock();
    if (sent.ended || dropped_) {
      flushing_ = false;
      MarkDropped();
      shut_ = true;
      hold.unlock();
      link_->Shutdown();  // a failed link is down already; a dropped one goes now
      return State::kDropped;
    }
    if (sent.taken > 0 || sent.wrote) waitingSinceMs_ = MonotonicMs();
    if (replaying_) Record(data, std::min(sent.taken, len));
    takenBytes_ += std::min(sent.taken, len);
    for (size_t left = std::min(sent.taken, len); left > 0;) {
      const size_t n = std::min(left, runs_.front().Size() - frontTaken_);
      frontTaken_ += n;
      bytes_ -= n;
      left -= n;
      if (frontTaken_ == runs_.front().Size()) {
        runs_.pop_front();
        frontTaken_ = 0;
      }
    }
    linkHolds_ = sent.blocked;
    pinned_ = sent.blocked ? std::min(sent.held, len - std::min(sent.taken, len)) : 0;
    if (sent.blocked || sent.taken < len) {
      flushing_ = false;
      return State::kBacklog;
    }
  }
}

void SendQueue::Record(const uint8_t* data, size_t len) {
  // Only from replayFrom_ on, the start of a frame.
  const size_t skip =
      takenBytes_ >= replayFrom_ ? 0 : std::min<uint64_t>(len, replayFrom_ - takenBytes_);
  replay_.insert(replay_.end(), data + skip, data + len);
  // Whole frames go from the front, so that it always starts with one.
  while (replay_.size() > kReplayBytes) {
    uint32_t lengthWord = 0;
    for (int i = 7; i >= 4; --i)
      lengthWord = (lengthWord << 8) | replay_[static_cast<size_t>(i)];
    const size_t frame = kHeaderSize + PayloadLength(lengthWord);
    if (frame > replay_.size()) break;
    replay_.erase(replay_.begin(), replay_.begin() + static_cast<std::ptrdiff_t>(frame));
  }
}

void SendQueue::StartReplay() {
  std::lock_guard<std::mutex> hold(lock_);
  if (replaying_) return;
  replaying_ = true;
  replayFrom_ = takenBytes_ + bytes_;
}

bool SendQueue::HandOver(uint64_t received, std::vector<FrameRun>& rest, uint64_t& lost) {
  std::lock_guard<std::mutex> hold(lock_);
  rest.clear();
  const uint64_t end = takenBytes_ + bytes_;
  const uint64_t kept = takenBytes_ - replay_.size();
  // What it hands over costs as much in the new queue, a run for the replay included.
  const bool whole =
      replaying_ && !dropped_ && received >= kept && received <= takenBytes_ &&
      end - received + (runs_.size() + 1) * kRunCostBytes <= kSendQueueBytes - kReclaimHeadroom;
  // A queue dropped before kept nothing of what it held: "at least one".
  lost = whole ? 0 : std::max<uint64_t>(1, end > received ? end - received : 0);
  if (whole) {
    if (received < takenBytes_) {
      const auto from = replay_.begin() + static_cast<std::ptrdiff_t>(received - kept);
      auto bytes = std::make_shared<const std::vector<uint8_t>>(from, replay_.end());
      rest.push_back(FrameRun{bytes, 0, bytes->size(), false});
    }
    for (size_t i = 0; i < runs_.size(); ++i) {
      rest.push_back(runs_[i]);
      // The rest of a frame begun is no list that a newer one may replace.
      if (i == 0 && frontTaken_ > 0) {
        rest.back().begin += frontTaken_;
        rest.back().memberList = false;
      }
    }
  }
  MarkDropped();
  return whole;
}

bool SendQueue::DropIfStalled() {
  std::lock_guard<std::mutex> hold(lock_);
  if (dropped_) return true;
  if ((bytes_ > 0 || linkHolds_) && MonotonicMs() - waitingSinceMs_ >= kSendStallMs) {
    MarkDropped();
    return true;
  }
  return false;
}

Deadline SendQueue::StallDeadline() {
  std::lock_guard<std::mutex> hold(lock_);
  if (bytes_ == 0 && !linkHolds_) return Deadline::Never();
  return Deadline::In(waitingSinceMs_ + kSendStallMs - MonotonicMs());
}

size_t SendQueue::Bytes() {
  std::lock_guard<std::mutex> hold(lock_);
  return CostLocked();
}

void SendQueue::SetBound(size_t bytes) {
  std::lock_guard<std::mutex> hold(lock_);
  bound_ = bytes;
}

void BacklogWriter::Add(SendQueuePtr queue) {
  {
    std::lock_guard<std::mutex> hold(lock_);
    added_.push_back(std::move(queue));
  }
  wake_.Signal();
}

void BacklogWriter::Stop() {
  {
    std::lock_guard<std::mutex> hold(lock_);
    stopped_ = true;
  }
  wake_.Signal();
}

bool BacklogWriter::RunOnce(Deadline wait) {
  {
    std::lock_guard<std::mutex> hold(lock_);
    if (stopped_) {
      waiting_.clear();
      added_.clear();
      return false;
    }
    for (SendQueuePtr& q : added_) {
      if (std::find(waiting_.begin(), waiting_.end(), q) == waiting_.end())
        waiting_.push_back(std::move(q));
    }
    added_.clear();
  }
  // Without a wake-up descriptor, a look every so often finds new queues.
  constexpr int kNoWakeFdPollMs = 100;
  std::vector<PollItem> items(waiting_.size() + 1);
  items[0].fd = wake_.Fd();
  Deadline until = wake_.Valid() ? wait : wait.Sooner(Deadline::In(kNoWakeFdPollMs));
  bool noFd = false;
  for (size_t i = 0; i < waiting_.size(); ++i) {
    items[i + 1].fd = waiting_[i]->link().WritableFd();
    items[i + 1].forWrite = true;
    noFd = noFd || items[i + 1].fd < 0;
    until = until.Sooner(waiting_[i]->StallDeadline());
  }
  if (noFd) until = Deadline::In(0);
  if (PollFds(items.data(), items.size(), until) == PollResult::kError) SleepMs(10);
  if (items[0].ready) wake_.Clear();
  size_t kept = 0;
  for (size_t i = 0; i < waiting_.size(); ++i) {
    SendQueuePtr& q = waiting_[i];
    bool left = false;
    if (items[i + 1].ready || items[i + 1].fd < 0)
      left = q->Flush(scratch_) != SendQueue::State::kBacklog;
    if (!left && q->DropIfStalled()) {
      q->Flush(scratch_);  // shuts the link down
      left = true;
    }
    if (!left) waiting_[kept++] = std::move(q);
  }
  waiting_.resize(kept);
  if (scratch_.capacity() > kSendChunkBytes) std::vector<uint8_t>().swap(scratch_);
  return !waiting_.empty();
}

void BacklogWriter::Run() {
  for (;;) {
    {
      std::lock_guard<std::mutex> hold(lock_);
      if (stopped_) return;
    }
    RunOnce(Deadline::Never());
  }
}

void Touched::Put(const SendQueuePtr& queue, FrameRun run) {
  queue->Put(std::move(run));
  if (std::find(queues_.begin(), queues_.end(), queue) == queues_.end()) queues_.push_back(queue);
}

void Touched::Flush(BacklogWriter& backlog, std::vector<uint8_t>& scratch) {
  for (SendQueuePtr& q : queues_) {
    if (q->Flush(scratch) == SendQueue::State::kBacklog) backlog.Add(std::move(q));
  }
  queues_.clear();
}

}  // namespace saferoom
