// Each connection's send queue: the frames accepted for it and not yet
// written, as runs of buffers shared with the other queues, written to that
// connection alone and never while a room-wide lock is held. The room puts
// (replies, member lists, relayed chat, history answers); whoever put writes
// what the socket takes at once, and the backlog writer the rest as the
// socket drains. A connection that falls too far behind, or takes nothing
// for too long, is dropped, and nobody else notices.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <vector>

#include "platform/Deadline.h"
#include "platform/Net.h"
#include "protect/Frame.h"
#include "room/Link.h"

namespace saferoom {

// The bytes a member's connection may have waiting. More than a whole
// history answer (256 KiB) and a burst of the room's chat besides; a member
// that falls this far behind what the room says is dropped.
constexpr size_t kSendQueueBytes = 1024 * 1024;
// The same for a connection without a slot, which is sent only replies
// (48 bytes each): over a thousand refusals it never read.
constexpr size_t kStrangerQueueBytes = 64 * 1024;
// A connection with bytes waiting that takes none of them for this long is
// dropped.
constexpr int kSendStallMs = 5000;
// Bytes handed to the link in one send: whole frames, runs gathered into
// one TLS write up to this, a bigger frame alone.
constexpr size_t kSendChunkBytes = 64 * 1024;
// What a reclaimable member's queue keeps of the bytes its link took, for a
// reclaim to give again what the stale connection took and never delivered:
// more than its socket holds unsent (128 KiB), a web link's own buffer (one
// send) and what an ordinary line has in flight.
constexpr size_t kReplayBytes = 256 * 1024;
// What a reclaim puts besides what it hands over (its answer, a member
// list), and the replies that may wait already.
constexpr size_t kReclaimHeadroom = 4096;
// What one run costs beside its bytes (its place in the queue and its share
// of a buffer), counted against the bound: a flood of small replies is
// bounded by the memory it takes, not only by its bytes.
constexpr size_t kRunCostBytes = 64;

using SharedBytes = std::shared_ptr<const std::vector<uint8_t>>;

// Whole frames [begin, end) of a shared buffer.
struct FrameRun {
  SharedBytes bytes;
  size_t begin = 0;
  size_t end = 0;
  bool memberList = false;  // a UserList: a newer one replaces it while unsent
  size_t Size() const { return end - begin; }
};

// A run of one whole frame, which it takes over.
inline FrameRun WholeFrameRun(std::vector<uint8_t> frame, bool memberList = false) {
  const size_t size = frame.size();
  return FrameRun{std::make_shared<const std::vector<uint8_t>>(std::move(frame)), 0, size,
                  memberList};
}

class SendQueue {
 public:
  explicit SendQueue(LinkPtr link) : link_(std::move(link)) {}

  // Under userLock: the bound on what may wait (kSendQueueBytes for a
  // member, kStrangerQueueBytes, the first, for a stranger).
  void SetBound(size_t bytes);

  Link& link() const { return *link_; }

  // Under any lock, userLock included: puts `run` after what waits. A
  // member list replaces one that waits unsent, so that a flood of logins
  // costs each connection one list. False, putting nothing, when the queue
  // is dropped, or is dropped now because it would pass kSendQueueBytes:
  // the caller then calls Flush after its locks, which shuts the link down.
  bool Put(FrameRun run);

  enum class State { kIdle, kBacklog, kDropped };
  // Never under userLock, and never waiting: writes what the link takes
  // now, in order. kBacklog: bytes wait for the socket to drain (hand the
  // queue to the BacklogWriter). kDropped: the queue was dropped, or the
  // link failed; the link is shut down. `scratch` is the caller's, for
  // gathering small runs into one write.
  State Flush(std::vector<uint8_t>& scratch);

  // Drops the queue once its bytes have waited kSendStallMs without any of
  // them taken; true when it is dropped (now or before).
  bool DropIfStalled();
  // When DropIfStalled would drop it, if nothing is taken before.
  Deadline StallDeadline();
  // Bytes waiting, each run's cost included.
  size_t Bytes();

  // Under userLock, for a member that may be reclaimed: from the end of what
  // waits now, keeps the last kReplayBytes the link takes, in whole frames.
  void StartReplay();
  // Under userLock, when a new connection reclaims this queue's member:
  // drops the queue (the caller then calls Flush after its locks, which
  // shuts the link down) and puts into `rest` what its client has not had
  // after the first `received` bytes of the stream: the bytes the link took
  // since, from the replay, then what waits unwritten. True then. False,
  // with `rest` empty, when that cannot be given whole (the replay does not
  // reach back so far, or it would not fit a queue); `lost` is then the
  // bytes after `received` that the client will not get.
  bool HandOver(uint64_t received, std::vector<FrameRun>& rest, uint64_t& lost);

 private:
  // The caller holds lock_.
  void MarkDropped();
  // The caller holds lock_: `len` bytes just taken, at takenBytes_, into the replay.
  void Record(const uint8_t* data, size_t len);
  size_t CostLocked() const { return bytes_ + runs_.size() * kRunCostBytes; }

  const LinkPtr link_;
  std::mutex lock_;  // lock order: userLock, then this; never held across a Send
  std::deque<FrameRun> runs_;
  size_t bytes_ = 0;       // in runs_, less frontTaken_
  size_t frontTaken_ = 0;  // of runs_.front(), taken by the link
  size_t pinned_ =
      0;  // bytes from the head offered to a send in flight or blocked: kept as they are
  bool linkHolds_ = false;  // the link reported bytes of its own still to go out
  bool flushing_ = false;   // one Flush at a time; another finds it busy and leaves it
  bool dropped_ = false;
  bool shut_ = false;           // the link was shut down for the drop
  int64_t waitingSinceMs_ = 0;  // bytes waiting and none taken since
  uint64_t takenBytes_ = 0;     // bytes the link took since the queue was made
  // The replay: the stream's bytes [takenBytes_ - replay_.size(), takenBytes_), whole
  // frames from its start, once takenBytes_ passed replayFrom_.
  bool replaying_ = false;
  uint64_t replayFrom_ = 0;
  std::deque<uint8_t> replay_;
  size_t bound_ = kStrangerQueueBytes;
};
using SendQueuePtr = std::shared_ptr<SendQueue>;

// The queues whose sockets are full: one thread waits until each can take
// more and writes it then, drops those stalled past kSendStallMs, and wakes
// only for those. Part of the Room.
class BacklogWriter {
 public:
  // Hands over a queue that Flush left in kBacklog. Any thread.
  void Add(SendQueuePtr queue);
  // Thread body: until Stop.
  void Run();
  void Stop();
  // One round without a thread of its own (tests): flushes every queue
  // handed over whose link is writable or has no descriptor, drops the
  // stalled; true while queues are left.
  bool RunOnce(Deadline wait);

 private:
  std::mutex lock_;
  std::vector<SendQueuePtr> added_;  // guarded by lock_: handed over since the last round
  bool stopped_ = false;             // guarded by lock_
  WakeEvent wake_;
  std::vector<SendQueuePtr> waiting_;  // the writer's own
  std::vector<uint8_t> scratch_;       // the writer's own
};

// The queues one hold of userLock put into; flushed once it is released.
class Touched {
 public:
  // Under userLock: puts `run` into `queue` and remembers the queue.
  void Put(const SendQueuePtr& queue, FrameRun run);
  // After userLock: flushes each queue put into, hands those with a backlog
  // to `backlog`, and forgets them.
  void Flush(BacklogWriter& backlog, std::vector<uint8_t>& scratch);

 private:
  std::vector<SendQueuePtr> queues_;
};

}  // namespace saferoom
