// The chat frame: 48-byte header plus SM4-CBC payload under FrameKey. Builds
// outgoing frames and reads incoming ones; shared by server, client and tests.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "protect/Sm4.h"

namespace saferoom {

constexpr size_t kHeaderSize = 48;
constexpr size_t kNameSize = 20;
// Largest payload a reader accepts; a header asking for more ends the session.
constexpr uint32_t kMaxPayload = 65536;
// Members at most: the member table's slots, the names a UserList holds.
constexpr int kRoomSize = 5;
// The most public messages a server keeps for its history (--history N),
// and so the most items one answer holds.
constexpr int kHistoryMaxLength = 1000;

// FrameType codes. Requests and replies share numbers.
namespace FrameType {
constexpr uint32_t Login = 0;          // client -> server
constexpr uint32_t LoginAccepted = 0;  // server -> client
constexpr uint32_t Logout = 1;         // client -> server
constexpr uint32_t NameInUse = 1;      // server -> client
constexpr uint32_t Chat = 2;           // both ways
constexpr uint32_t UserList = 4;       // server -> client
// The history extension, far from the original codes: peers that predate
// it ignore them (and never send them).
constexpr uint32_t HistoryRequest = 16;  // client -> server
constexpr uint32_t HistoryItem = 16;     // server -> client: one kept message
constexpr uint32_t HistoryEnd = 17;      // server -> client: the answer is complete
// The reclaim extension: a member that asked holds a key, with which a new
// connection of its own takes its name back from its stale one.
constexpr uint32_t ReclaimKeyRequest = 18;  // client -> server: a key for this membership
constexpr uint32_t ReclaimKey = 18;         // server -> client: the key
constexpr uint32_t Reclaim = 19;            // client -> server: in place of a Login
constexpr uint32_t Reclaimed = 19;          // server -> client: the name is this connection's now
// The device extension: on a private room's web port only, before the room
// sees the connection. Each code has one direction.
constexpr uint32_t DeviceHello = 32;      // client -> server: "how do I get in?"
constexpr uint32_t DeviceChallenge = 33;  // server -> client: a fresh challenge to sign
constexpr uint32_t DeviceEnrol = 34;      // client -> server: invitation, new key, signature
constexpr uint32_t DeviceProof = 35;      // client -> server: enrolled key's id, signature
constexpr uint32_t DeviceAccepted = 36;   // server -> client: in, under the name in UserName
constexpr uint32_t DeviceRefused = 37;    // server -> client: not in, and why
}  // namespace FrameType

// The history extension's payloads; every number is a u64, little-endian,
// times in microseconds since the Unix epoch.
// HistoryRequest: `since` (0: all), then 8 zero bytes.
constexpr uint32_t kHistoryRequestSize = 16;
// HistoryItem: relay time, ordinal (the server run's count of public
// messages, from 1), then the message's bytes as the live Chat carried them.
constexpr uint32_t kHistoryItemPrefix = 16;
// HistoryEnd: run id (the server's start time), boundary time and ordinal
// (the last public message before the asker joined), then 8 zero bytes.
constexpr uint32_t kHistoryEndSize = 32;

// The reclaim extension's payloads; numbers are u64, little-endian. The key
// is random bytes; ReclaimKey carries it alone.
constexpr uint32_t kReclaimKeySize = 32;
// Reclaim: the name (20 bytes), 4 zero bytes, `received` (the bytes of whole
// frames the stale connection brought, or kReclaimFresh), then the key.
constexpr uint32_t kReclaimSize = 64;
// As `received`: a client that kept nothing of the stale connection (a
// reloaded page) takes the slot alone, nothing given back.
constexpr uint64_t kReclaimFresh = ~uint64_t{0};
// Reclaimed: the stale connection's Chat frames relayed, the bytes written
// to it after `received` that do not follow (0: what follows is the rest of
// its stream), then the next key.
constexpr uint32_t kReclaimedSize = 48;

struct ReclaimFields {
  uint8_t name[kNameSize] = {};
  uint64_t received = 0;
  uint8_t key[kReclaimKeySize] = {};
};
struct ReclaimedFields {
  uint64_t chatsRelayed = 0;
  uint64_t lost = 0;
  uint8_t key[kReclaimKeySize] = {};
};
// Payloads as laid out above; a shorter payload reads as zero-filled.
void PutReclaim(const ReclaimFields& fields, uint8_t out[kReclaimSize]);
ReclaimFields ReadReclaim(const uint8_t* plain, size_t size);
void PutReclaimed(const ReclaimedFields& fields, uint8_t out[kReclaimedSize]);
ReclaimedFields ReadReclaimed(const uint8_t* plain, size_t size);
// The device extension's payloads. Keys are ECDSA P-256: a public key is
// the uncompressed point (0x04, X, Y), a key id its SHA-256, a signature
// the raw r || s that WebCrypto makes, over a label and the challenge.
constexpr uint32_t kChallengeSize = 32;
constexpr uint32_t kInviteTokenSize = 32;
constexpr uint32_t kDevicePublicKeySize = 65;
constexpr uint32_t kDeviceKeyIdSize = 32;
constexpr uint32_t kDeviceSignatureSize = 64;
// DeviceEnrol: token, public key, signature over kEnrolLabel || challenge.
constexpr uint32_t kDeviceEnrolSize =
    kInviteTokenSize + kDevicePublicKeySize + kDeviceSignatureSize;
// DeviceProof: key id, signature over kProofLabel || challenge.
constexpr uint32_t kDeviceProofSize = kDeviceKeyIdSize + kDeviceSignatureSize;
// The 16 ASCII bytes signed before the challenge: a signature made for one
// purpose never passes for the other.
constexpr char kEnrolLabel[] = "saferoom-enrol-1";
constexpr char kProofLabel[] = "saferoom-proof-1";
constexpr size_t kDeviceLabelSize = 16;
// DeviceAccepted: u32 how (DeviceVia), 12 zero bytes; DeviceRefused: u32
// why (DeviceRefusal), 12 zero bytes.
constexpr uint32_t kDeviceVerdictSize = 16;
enum class DeviceVia : uint32_t { kCertificate = 1, kEnrolled = 2, kProven = 3 };
enum class DeviceRefusal : uint32_t {
  kInvitationUnknown = 1,  // used, expired, or never made
  kDeviceUnknown = 2,      // removed from the room, or never enrolled
  kBadSignature = 3,       // the key did not sign this challenge
  kBadAnswer = 4,          // not an answer to the challenge, or a malformed one
  kKeyTaken = 5,           // the key is enrolled for another member
  kUnavailable = 6,        // the server could not read or write its state: try later
};

// The low two bits of LengthWord.
namespace PayloadKind {
constexpr uint32_t Binary = 0;
constexpr uint32_t Text = 1;  // plaintext is a NUL-terminated string
}  // namespace PayloadKind

namespace Scope {
constexpr uint32_t None = 0;
constexpr uint32_t Public = 1;
constexpr uint32_t Private = 2;
}  // namespace Scope

constexpr uint32_t IvMaskStep = 4020763;
extern const uint8_t FrameKey[16];

// A parsed header. `name` is the raw 20-byte field; `iv` is as on the wire,
// still masked.
struct FrameHeader {
  uint32_t type = 0;
  uint32_t lengthWord = 0;
  uint32_t scope = 0;
  uint8_t name[kNameSize] = {};
  uint8_t iv[16] = {};
};

inline uint32_t PayloadLength(uint32_t lengthWord) {
  return lengthWord >> 2;
}
inline uint32_t KindOf(uint32_t lengthWord) {
  return lengthWord & 3;
}

inline uint64_t LoadLe64(const uint8_t* p) {
  uint64_t v = 0;
  for (int i = 7; i >= 0; --i)
    v = (v << 8) | p[i];
  return v;
}
inline void StoreLe64(uint8_t* p, uint64_t v) {
  for (int i = 0; i < 8; ++i)
    p[i] = static_cast<uint8_t>(v >> (8 * i));
}

// A whole frame ready to write. Empty means "null": no frame was built.
using Frame = std::vector<uint8_t>;

// BuildFrame makes one frame. kind 1 (Text) shortens `length` to the string
// before the first NUL; the plaintext is zero-filled to a multiple of 16 and
// encrypted under a fresh random IV. `name` (20 bytes) is read only for Chat,
// HistoryItem and DeviceAccepted frames and may be null otherwise. Returns an empty Frame when no
// frame could be built (random generator failure, or a padded length of 2^30 or more, which
// LengthWord cannot carry and which covers 48 + P overflowing 32 bits). A null `data` gives a zero
// payload of the padded length.
Frame BuildFrame(uint32_t type, uint32_t kind, const void* data, uint32_t length,
                 const uint8_t* name, uint32_t scope);

// BuildFrame's work with the IV given: appends one frame to `out` (which
// keeps what it held). `iv` must be fresh random bytes for every frame.
// False, with `out` unchanged, when the size does not fit. With `encrypt`
// false the payload is left as zero-filled plaintext, for FrameBatch to
// encrypt together with others.
bool AppendFrame(Frame& out, uint32_t type, uint32_t kind, const void* data, uint32_t length,
                 const uint8_t* name, uint32_t scope, const uint8_t iv[16], bool encrypt = true);

// FrameKey's schedule in encryption order, made once.
const Sm4Context& FrameEncryptKeys();

// Reads 48 header bytes.
FrameHeader ParseHeader(const uint8_t bytes[kHeaderSize]);

// True when a reader may go on to read the payload: its length is a multiple
// of 16 and at most kMaxPayload.
bool HeaderAcceptable(const FrameHeader& header);

// XORs a 16-byte IV with IvMask; masking and unmasking are the same.
void ApplyIvMask(uint8_t iv[16]);

// Decrypts the `length`-byte payload of a frame with `header` into `plain`
// (resized to `length`; the zero fill stays). `length` should be a multiple of
// 16; bytes of a partial last block are not read and come out zero.
// `cipher` and plain.data() may not overlap.
void DecryptPayload(const FrameHeader& header, const uint8_t* cipher, size_t length,
                    std::vector<uint8_t>& plain);

// The string in a 20-byte name field: bytes up to the first NUL, at most 20.
std::string NameString(const uint8_t name[kNameSize]);

}  // namespace saferoom
