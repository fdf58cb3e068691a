// Serves one accepted connection: handshake, then frames until logout or
// disconnect. Started by the accept loop on its own thread.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "protect/Frame.h"
#include "room/DeliveryQueue.h"
#include "tls/TlsConn.h"

// A connection that holds no slot and completes no frame for this long is
// closed: idle strangers cannot keep the server's places. Members never are.
constexpr int kIdleTimeoutMs = 60000;

// What a session remembers between frames.
struct SessionState {
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
  std::vector<std::unique_ptr<ChatItem>> chats;
  int64_t lastFrameMs = 0;  // when the last frame completed, or the handshake ended
};

// Thread entry. Owns the connection and frees it when the session ends.
// `peer` ("ADDRESS, port PORT") names the client in a failed handshake's
// line, before the TLS error dump.
void ClientSession(TlsConnPtr conn, const std::string& peer);

// Acts on one complete, acceptable frame read from `session`. False when the
// session must end (Logout). Separate from the reading so that fuzzing can
// drive it without sockets. `plain` may be taken (moved from).
bool HandleFrame(TlsConn* session, SessionState& state, const FrameHeader& header,
                 std::vector<uint8_t>& plain);

// Appends the session's pending chat to the delivery queue.
void QueueChats(SessionState& state);

// The disconnect path: offline notices, every slot of the connection removed,
// connection shut down, member list to the rest.
void EndSession(TlsConn* session);
