// Serves one client's connection: opening, then requests until logout or
// disconnect. Run by the server's pooled session threads; the requests alone
// are driven by tests and fuzzing without a connection.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "protect/Frame.h"
#include "room/DeliveryQueue.h"
#include "room/Link.h"
#include "room/SendQueue.h"

namespace saferoom {

struct Room;

// The whole opening of a connection (the TLS handshake) must end within this.
constexpr int kHandshakeTimeoutMs = 10000;
// A connection that holds no slot and completes no frame for this long is
// closed: idle strangers cannot keep the server's places. Members never are.
constexpr int kIdleTimeoutMs = 60000;

// What a session remembers between frames.
struct ClientState {
  explicit ClientState(SendQueuePtr queue) : out(std::move(queue)) {}

  SendQueuePtr out;              // the connection's send queue, which holds its link
  std::vector<uint8_t> scratch;  // for gathering small frames into one write
  // The name its chat goes out under: that of the highest slot it holds
  // (empty when it holds none). Only this session adds or removes its own
  // slots, so the copy stays right without asking the table under userLock.
  int senderSlot = -1;
  uint8_t senderName[kNameSize] = {};
  // In a private room: the only name this connection may log in under, its
  // certificate's subject CN cut to kNameSize bytes. A certificate without
  // one allows no login at all.
  bool nameFromCert = false;
  bool certHasName = false;
  uint8_t certName[kNameSize] = {};
  // Chat read but not yet queued: what one read brought goes to the queue
  // together, so SendMsg wakes once for it and relays it in one write.
  std::vector<ChatItemPtr> chats;
  // It was given a reclaim key: its chat is counted as relayed, and its
  // queue keeps a replay, for a reclaim by the member's next connection.
  bool reclaimable = false;
  // The stack pages its handshake touched were given back.
  bool stackTrimmed = false;
};

// Serves `link` and lets go of it at the end, when no slot names it any more.
void RunClientSession(Room& room, LinkPtr link);

// Acts on one complete, acceptable frame read from the connection of
// `state`, and writes what it put into send queues. False when the session
// must end (Logout). `plain` may be taken (moved from).
bool HandleRequest(Room& room, ClientState& state, const FrameHeader& header,
                   std::vector<uint8_t>& plain);

// Puts the session's pending chat in the delivery queue.
void QueueChats(Room& room, ClientState& state);

// The disconnect path: offline notices, every slot of the connection removed,
// connection shut down, member list to the rest.
void EndSession(Room& room, Link* link);

}  // namespace saferoom
