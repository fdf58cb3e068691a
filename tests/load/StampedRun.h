// Members that send stamped texts and check what arrives: the part of
// chat-bench's load and soak modes that joins, receives, drains and
// verifies, over whatever protocol a MemberConn speaks. Each text carries
// its stream, sequence number and send time.
// Test code (library loadcheck), linked into chat-bench: a load run checks
// what it measures.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "client/ChatClient.h"

namespace saferoom {

// A stamp takes this many bytes at the start of a text.
constexpr int kStampLen = 30;

int64_t NowNs();

// A chat message as a member received it, in any protocol.
struct Heard {
  std::string from;              // the sender's name
  uint32_t scope = Scope::None;  // Public or Private, as the frames say it
  std::vector<uint8_t> text;     // may go on with zero fill after the text
};

// One member's connection to the room: the chat frames (FrameMember.h) or
// IRC (bench/IrcMember.h). The member's receiver thread calls Next while
// its sender thread calls Send; both may run at once.
class MemberConn {
 public:
  virtual ~MemberConn() = default;
  // Sends `text` to the room, or privately to the member named `to`; `kind`
  // is the PayloadKind where the protocol has one. False when the write
  // failed.
  virtual bool Send(const std::string& text, const std::string& to, uint32_t kind) = 0;
  // The next chat message, waiting until `deadline`: kFrame with `heard`
  // filled in, kTimeout, or how the connection ended.
  virtual RecvStatus Next(Heard& heard, Deadline deadline) = 0;
  // Leaves the room, once the receiver has stopped.
  virtual void Leave() = 0;
};

// Opens a connection and logs in as `name`; null with `error` (one line).
using MemberJoin =
    std::function<std::unique_ptr<MemberConn>(const std::string& name, std::string& error)>;

// One numbered sequence of texts: from one member to the room, or privately
// to one other member.
struct Stream {
  int from = 0;
  int to = -1;  // a member's index; -1: public
  // The member whose receipt counts as the sender's text coming back (for
  // a closed loop): the recipient of a private stream. -1: every member the
  // stream reaches must have it, the sender's own copy not enough: one fast
  // reader would let the senders run ahead of a slow one, whom the server
  // (like an IRC server) drops once its queue overflows. Set by JoinMembers.
  int witness = -1;
};

// What one member learnt about one stream.
struct StreamTrack {
  int64_t next = 0;  // the sequence number expected next
  int64_t received = 0;
  int64_t repeated = 0;
  int64_t outOfOrder = 0;
  int64_t firstOutOfOrder = -1;
  std::vector<bool> seen;
};

struct Member {
  int index = 0;
  std::string name;
  std::unique_ptr<MemberConn> conn;

  // Owned by the receiver thread until it is joined.
  std::vector<StreamTrack> tracks;
  std::vector<int64_t> latenciesNs;
  std::atomic<int64_t> foreign{0};  // chat that is no text of this run (read meanwhile too)
  int64_t misrouted = 0;  // texts of this run not meant for it, or with a wrong name or scope
  RecvStatus endStatus = RecvStatus::kTimeout;

  // Watched while the run goes on.
  std::atomic<bool> ended{false};  // the connection closed or sent a bad frame
  std::atomic<int64_t> delivered{0};
  std::atomic<int64_t> lastDeliveryNs{0};
  std::unique_ptr<std::atomic<int64_t>[]> received;  // per stream: tracks[s].received, for others
  std::mutex echoLock;
  std::condition_variable echoed;
  int64_t ownBack = 0;  // guarded by echoLock: own texts that came back

  // Owned by the sender thread until it is joined.
  int64_t sendEndNs = 0;
  std::string sendError;
};

// The members of one run, the streams they send and their receivers.
struct StampedRun {
  unsigned tag = 0;  // random: tells another run's texts in the same room apart
  std::vector<Stream> streams;
  std::vector<int64_t> sent;  // per stream, written by its sender until that is joined
  std::vector<std::unique_ptr<Member>> members;
  bool echo = false;           // receivers wake senders waiting for their own texts
  bool ownCopies = true;       // the server sends a sender its own public texts
  bool othersWelcome = false;  // chat that is no text of this run is no fault
  std::atomic<bool> stop{false};
  std::vector<std::thread> receivers;
};

// Faults found by Verify.
struct Tally {
  int64_t missing = 0;
  int64_t repeated = 0;
  int64_t outOfOrder = 0;
  int64_t misrouted = 0;
  int64_t foreign = 0;
  int64_t faults = 0;  // lines of complaint, the ones not printed included
};

// Logs in `count` members as PREFIX0.. through `join`, with a new tag and
// the streams given; false after a line on stderr.
bool JoinMembers(StampedRun& run, const std::string& namePrefix, int count,
                 std::vector<Stream> streams, const MemberJoin& join);
void StartReceivers(StampedRun& run);

// Larger sequence numbers cannot be ours: no run sends that many.
constexpr int64_t kMaxSequence = int64_t{1} << 28;

// Stamps `text` (kStampLen bytes or more) as text `sequence` of the stream,
// sent now, without sending it: a text the run's members take for one of
// its own.
void StampText(const StampedRun& run, int stream, int64_t sequence, std::string& text);

// Stamps `text` (kStampLen bytes or more) as the stream's next text, sent at
// sentNs, and sends it. False when the write failed.
bool SendStamped(StampedRun& run, int stream, std::string& text, int64_t sentNs, uint32_t kind);

// Waits until every member whose connection lives has every text sent to
// it, for at most `seconds`.
void Drain(StampedRun& run, double seconds);
// Ends and joins the receivers, then logs out the members still connected.
void StopReceivers(StampedRun& run);

// Says what went wrong on stderr, after StopReceivers.
Tally Verify(const StampedRun& run);

}  // namespace saferoom
