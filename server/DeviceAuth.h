// The device exchange of a private room's web port: before the room sees a
// browser's connection, it proves an enrolled device key, or enrols a new
// one with an invitation, or goes in with a member certificate as before.
// No I/O: the web link (server/WebLink) feeds it the client's frames and
// sends what it answers; tests drive it the same way.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "protect/Frame.h"

namespace saferoom {

struct StateDir;

// The exchange must be over within this, counted from the WebSocket's
// opening: signing takes a browser milliseconds.
constexpr int kDeviceExchangeMs = 10000;
// A frame of the exchange is never longer; anything longer ends it.
constexpr uint32_t kMaxExchangePayload = 256;

// One connection's exchange.
struct DeviceExchange {
  // Set by the link before the first frame: a member certificate the TLS
  // handshake verified, and its subject CN.
  bool hasCertificate = false;
  std::string certName;

  // Set by the exchange.
  bool challenged = false;
  uint8_t challenge[kChallengeSize] = {};
  std::string name;   // the name the room is to bind, once admitted
  std::string keyId;  // the device's key id (hex), when admitted by one
};

enum class ExchangeStep {
  kMore,    // send what was written, then read the next frame
  kAdmit,   // send what was written; the room takes the connection
  kRefuse,  // send what was written, then close
};

// Acts on one frame from the client (its decrypted payload in `plain`) at
// `now` (Unix seconds), appending the frames to send to `out`. A client
// that did not ask (its first frame is no DeviceHello) is refused without a
// word; the link hands a certificate holder's such frame to the room
// instead, as the room always took it.
ExchangeStep OnExchangeFrame(DeviceExchange& exchange, StateDir& state, const FrameHeader& header,
                             const std::vector<uint8_t>& plain, int64_t now, Frame& out);

// True when `signature` (raw r || s, 64 bytes) is `publicKey`'s (an
// uncompressed P-256 point, 65 bytes) ECDSA signature with SHA-256 over
// `label` (kDeviceLabelSize bytes) followed by the challenge.
bool VerifyDeviceSignature(const uint8_t* publicKey, const char* label, const uint8_t* challenge,
                           const uint8_t* signature);

// The hex SHA-256 of `len` bytes: a key id, or an invitation token's hash.
std::string Sha256Hex(const uint8_t* bytes, size_t len);

}  // namespace saferoom
