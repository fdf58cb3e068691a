// Frame building and reading: header layout, IV mask, payload encryption.
// Called by the server's room code, the chat client and the tests.
#include "protect/Frame.h"

#include <openssl/crypto.h>
#include <openssl/rand.h>

#include <algorithm>
#include <cstring>

#include "protect/Sm4.h"

namespace saferoom {

const uint8_t FrameKey[16] = {'Q', 'u', 'i', 'l', 'l', '7', '_', 'm',
                              'e', 'a', 'd', 'o', 'w', '_', 'R', 'x'};

namespace {

constexpr size_t kIvOffset = 32;
constexpr size_t kNameOffset = 12;

const Sm4Context& DecryptKeys() {
  static const Sm4Context keys = [] {
    Sm4Context c = Sm4ExpandKey(FrameKey);
    Sm4ReverseKeys(c);
    return c;
  }();
  return keys;
}

uint32_t LoadLe(const uint8_t* p) {
  return uint32_t{p[0]} | (uint32_t{p[1]} << 8) | (uint32_t{p[2]} << 16) | (uint32_t{p[3]} << 24);
}

void StoreLe(uint8_t* p, uint32_t v) {
  p[0] = static_cast<uint8_t>(v);
  p[1] = static_cast<uint8_t>(v >> 8);
  p[2] = static_cast<uint8_t>(v >> 16);
  p[3] = static_cast<uint8_t>(v >> 24);
}

}  // namespace

// The key never changes, so its two schedules are made once (thread-safe
// static initialisation) and only read afterwards.
const Sm4Context& FrameEncryptKeys() {
  static const Sm4Context keys = Sm4ExpandKey(FrameKey);
  return keys;
}

void ApplyIvMask(uint8_t iv[16]) {
  for (uint32_t k = 1; k <= 4; ++k) {
    uint8_t* word = iv + 4 * (k - 1);
    StoreLe(word, LoadLe(word) ^ (k * IvMaskStep));
  }
}

bool AppendFrame(Frame& out, uint32_t type, uint32_t kind, const void* data, uint32_t length,
                 const uint8_t* name, uint32_t scope, const uint8_t iv[16], bool encrypt) {
  const auto* bytes = static_cast<const uint8_t*>(data);
  if (kind == PayloadKind::Text) {
    // The string ends at the first NUL within `length`; no data, no string.
    const void* nul = bytes ? std::memchr(bytes, 0, length) : nullptr;
    if (!bytes) {
      length = 0;
    } else if (nul) {
      length = static_cast<uint32_t>(static_cast<const uint8_t*>(nul) - bytes);
    }
  }
  // Sizes in 64 bits, so a length near 2^32 cannot wrap into a small buffer.
  const uint64_t padded = (uint64_t{length} + 15) & ~uint64_t{15};
  // LengthWord keeps 30 bits of length: a longer payload could not be
  // described to the reader. This also keeps 48 + padded within 32 bits.
  if (padded > (UINT32_MAX >> 2)) return false;
  const bool hasPayload = bytes != nullptr && length != 0;

  const size_t at = out.size();
  out.resize(at + kHeaderSize + padded);  // zeroed: the name field and the fill
  uint8_t* frame = out.data() + at;
  uint8_t* payload = frame + kHeaderSize;
  if (hasPayload) {
    std::memcpy(payload, bytes, length);
  }
  if (hasPayload && encrypt) {
    uint8_t chain[16];
    std::memcpy(chain, iv, sizeof chain);  // Sm4Cbc overwrites its IV argument
    Sm4Cbc(FrameEncryptKeys(), 1, static_cast<int32_t>(padded), chain, payload, payload);
  }

  StoreLe(frame, type);
  StoreLe(frame + 4, static_cast<uint32_t>(padded << 2) ^ (kind & 3));
  StoreLe(frame + 8, scope);
  const bool named = type == FrameType::Chat || type == FrameType::HistoryItem ||
                     type == FrameType::DeviceAccepted;
  if (named && name) std::memcpy(frame + kNameOffset, name, kNameSize);
  std::memcpy(frame + kIvOffset, iv, 16);
  ApplyIvMask(frame + kIvOffset);
  return true;
}

Frame BuildFrame(uint32_t type, uint32_t kind, const void* data, uint32_t length,
                 const uint8_t* name, uint32_t scope) {
  uint8_t iv[16];
  if (RAND_bytes(iv, sizeof iv) != 1) return Frame();
  Frame frame;
  if (!AppendFrame(frame, type, kind, data, length, name, scope, iv)) return Frame();
  return frame;
}

FrameHeader ParseHeader(const uint8_t bytes[kHeaderSize]) {
  FrameHeader header;
  header.type = LoadLe(bytes);
  header.lengthWord = LoadLe(bytes + 4);
  header.scope = LoadLe(bytes + 8);
  std::memcpy(header.name, bytes + kNameOffset, kNameSize);
  std::memcpy(header.iv, bytes + kIvOffset, sizeof header.iv);
  return header;
}

bool HeaderAcceptable(const FrameHeader& header) {
  const uint32_t payloadLen = PayloadLength(header.lengthWord);
  return payloadLen % 16 == 0 && payloadLen <= kMaxPayload;
}

void DecryptPayload(const FrameHeader& header, const uint8_t* cipher, size_t length,
                    std::vector<uint8_t>& plain) {
  plain.assign(length, 0);
  // Whole blocks only, so the cipher never reads past `length`; a length that
  // Sm4Cbc cannot take leaves zeros rather than garbage.
  const size_t wholeLen = length > INT32_MAX ? 0 : length & ~size_t{15};
  if (wholeLen == 0) return;
  uint8_t iv[16];
  std::memcpy(iv, header.iv, sizeof iv);
  ApplyIvMask(iv);
  Sm4Cbc(DecryptKeys(), 0, static_cast<int32_t>(wholeLen), iv, cipher, plain.data());
}

std::string NameString(const uint8_t name[kNameSize]) {
  const void* nul = std::memchr(name, 0, kNameSize);
  const size_t len = nul ? static_cast<size_t>(static_cast<const uint8_t*>(nul) - name) : kNameSize;
  return std::string(reinterpret_cast<const char*>(name), len);
}

void PutReclaim(const ReclaimFields& fields, uint8_t out[kReclaimSize]) {
  std::memset(out, 0, kReclaimSize);
  std::memcpy(out, fields.name, kNameSize);
  StoreLe64(out + 24, fields.received);
  std::memcpy(out + 32, fields.key, kReclaimKeySize);
}

ReclaimFields ReadReclaim(const uint8_t* plain, size_t size) {
  uint8_t in[kReclaimSize] = {};
  if (size > 0) std::memcpy(in, plain, std::min<size_t>(size, kReclaimSize));
  ReclaimFields fields;
  std::memcpy(fields.name, in, kNameSize);
  fields.received = LoadLe64(in + 24);
  std::memcpy(fields.key, in + 32, kReclaimKeySize);
  OPENSSL_cleanse(in, sizeof in);
  return fields;
}

void PutReclaimed(const ReclaimedFields& fields, uint8_t out[kReclaimedSize]) {
  StoreLe64(out, fields.chatsRelayed);
  StoreLe64(out + 8, fields.lost);
  std::memcpy(out + 16, fields.key, kReclaimKeySize);
}

ReclaimedFields ReadReclaimed(const uint8_t* plain, size_t size) {
  uint8_t in[kReclaimedSize] = {};
  if (size > 0) std::memcpy(in, plain, std::min<size_t>(size, kReclaimedSize));
  ReclaimedFields fields;
  fields.chatsRelayed = LoadLe64(in);
  fields.lost = LoadLe64(in + 8);
  std::memcpy(fields.key, in + 16, kReclaimKeySize);
  OPENSSL_cleanse(in, sizeof in);
  return fields;
}

}  // namespace saferoom
