// Serves one accepted connection: handshake, then frames until logout or
// disconnect. Started by the accept loop on its own thread.
#pragma once

#include <cstdint>
#include <vector>

#include "protect/Frame.h"
#include "server/TlsConn.h"

// Thread entry. Owns the connection and frees it when the session ends.
void ClientSession(TlsConnPtr conn);

// Acts on one complete, acceptable frame read from `session`. False when the
// session must end (Logout). Separate from the reading so that fuzzing can
// drive it without sockets.
bool HandleFrame(TlsConn* session, const FrameHeader& header, std::vector<uint8_t>& plain);

// The disconnect path: offline notices, every slot of the connection removed,
// connection shut down, member list to the rest.
void EndSession(TlsConn* session);
