// The device exchange: challenge, enrolment, proof, and the ECDSA check.
#include "server/DeviceAuth.h"

#include <openssl/core_names.h>
#include <openssl/ec.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/param_build.h>
#include <openssl/rand.h>

#include <algorithm>
#include <cstring>
#include <memory>

#include "server/StateDir.h"

namespace saferoom {

namespace {

std::string Hex(const uint8_t* bytes, size_t len) {
  static const char kDigits[] = "0123456789abcdef";
  std::string out;
  for (size_t i = 0; i < len; ++i) {
    out += kDigits[bytes[i] >> 4];
    out += kDigits[bytes[i] & 15];
  }
  return out;
}

struct PkeyFree {
  void operator()(EVP_PKEY* k) const { EVP_PKEY_free(k); }
};
struct PkeyCtxFree {
  void operator()(EVP_PKEY_CTX* c) const { EVP_PKEY_CTX_free(c); }
};
struct MdCtxFree {
  void operator()(EVP_MD_CTX* c) const { EVP_MD_CTX_free(c); }
};
struct SigFree {
  void operator()(ECDSA_SIG* s) const { ECDSA_SIG_free(s); }
};

// The public key from its uncompressed point; null when it is no point on
// P-256 (OpenSSL checks that while decoding it).
std::unique_ptr<EVP_PKEY, PkeyFree> PublicKey(const uint8_t* point) {
  std::unique_ptr<EVP_PKEY_CTX, PkeyCtxFree> ctx(
      EVP_PKEY_CTX_new_from_name(nullptr, "EC", nullptr));
  char group[] = "prime256v1";
  OSSL_PARAM params[] = {
      OSSL_PARAM_construct_utf8_string(OSSL_PKEY_PARAM_GROUP_NAME, group, 0),
      OSSL_PARAM_construct_octet_string(OSSL_PKEY_PARAM_PUB_KEY, const_cast<uint8_t*>(point),
                                        kDevicePublicKeySize),
      OSSL_PARAM_construct_end(),
  };
  EVP_PKEY* key = nullptr;
  if (!ctx || EVP_PKEY_fromdata_init(ctx.get()) != 1 ||
      EVP_PKEY_fromdata(ctx.get(), &key, EVP_PKEY_PUBLIC_KEY, params) != 1) {
    key = nullptr;
  }
  return std::unique_ptr<EVP_PKEY, PkeyFree>(key);
}

// WebCrypto signs as r || s; OpenSSL verifies DER.
std::vector<uint8_t> DerSignature(const uint8_t* raw) {
  std::unique_ptr<ECDSA_SIG, SigFree> sig(ECDSA_SIG_new());
  BIGNUM* r = BN_bin2bn(raw, kDeviceSignatureSize / 2, nullptr);
  BIGNUM* s = BN_bin2bn(raw + kDeviceSignatureSize / 2, kDeviceSignatureSize / 2, nullptr);
  if (!sig || !r || !s || ECDSA_SIG_set0(sig.get(), r, s) != 1) {
    BN_free(r);
    BN_free(s);
    return {};
  }
  const int len = i2d_ECDSA_SIG(sig.get(), nullptr);
  if (len <= 0) return {};
  std::vector<uint8_t> der(static_cast<size_t>(len));
  uint8_t* at = der.data();
  i2d_ECDSA_SIG(sig.get(), &at);
  return der;
}

Frame Verdict(uint32_t type, uint32_t value, const std::string& name = "") {
  uint8_t payload[kDeviceVerdictSize] = {};
  for (int i = 0; i < 4; ++i)
    payload[i] = static_cast<uint8_t>(value >> (8 * i));
  uint8_t nameField[kNameSize] = {};
  std::memcpy(nameField, name.data(), std::min(name.size(), kNameSize));
  return BuildFrame(type, PayloadKind::Binary, payload, sizeof payload, nameField, Scope::None);
}

ExchangeStep Admit(DeviceExchange& exchange, const std::string& name, DeviceVia via, Frame& out) {
  exchange.name = name;
  const Frame frame = Verdict(FrameType::DeviceAccepted, static_cast<uint32_t>(via), name);
  if (frame.empty()) return ExchangeStep::kRefuse;
  out.insert(out.end(), frame.begin(), frame.end());
  return ExchangeStep::kAdmit;
}

ExchangeStep Refuse(DeviceRefusal why, Frame& out) {
  const Frame frame = Verdict(FrameType::DeviceRefused, static_cast<uint32_t>(why));
  out.insert(out.end(), frame.begin(), frame.end());
  return ExchangeStep::kRefuse;
}

ExchangeStep Enrol(DeviceExchange& exchange, StateDir& state, const std::vector<uint8_t>& plain,
                   int64_t now, Frame& out) {
  if (plain.size() < kDeviceEnrolSize) return Refuse(DeviceRefusal::kBadAnswer, out);
  const uint8_t* token = plain.data();
  const uint8_t* publicKey = token + kInviteTokenSize;
  const uint8_t* signature = publicKey + kDevicePublicKeySize;
  if (!VerifyDeviceSignature(publicKey, kEnrolLabel, exchange.challenge, signature)) {
    return Refuse(DeviceRefusal::kBadSignature, out);
  }
  Device device;
  device.publicKey.assign(publicKey, publicKey + kDevicePublicKeySize);
  const std::string keyId = Sha256Hex(publicKey, kDevicePublicKeySize);
  switch (EnrolDevice(state, Sha256Hex(token, kInviteTokenSize), keyId, device, now)) {
    case EnrolOutcome::kEnrolled:
      exchange.keyId = keyId;
      return Admit(exchange, device.name, DeviceVia::kEnrolled, out);
    case EnrolOutcome::kInvitationUnknown:
      return Refuse(DeviceRefusal::kInvitationUnknown, out);
    case EnrolOutcome::kKeyTaken:
      return Refuse(DeviceRefusal::kKeyTaken, out);
    case EnrolOutcome::kUnavailable:
      break;
  }
  return Refuse(DeviceRefusal::kUnavailable, out);
}

ExchangeStep Prove(DeviceExchange& exchange, StateDir& state, const std::vector<uint8_t>& plain,
                   int64_t now, Frame& out) {
  if (plain.size() < kDeviceProofSize) return Refuse(DeviceRefusal::kBadAnswer, out);
  const std::string keyId = Hex(plain.data(), kDeviceKeyIdSize);
  Device device;
  if (!FindDevice(state, keyId, device)) return Refuse(DeviceRefusal::kDeviceUnknown, out);
  // The key on file, not one the client sends: a proof speaks for that device only.
  if (!VerifyDeviceSignature(device.publicKey.data(), kProofLabel, exchange.challenge,
                             plain.data() + kDeviceKeyIdSize)) {
    return Refuse(DeviceRefusal::kBadSignature, out);
  }
  NoteDeviceSeen(state, keyId, now);
  exchange.keyId = keyId;
  return Admit(exchange, device.name, DeviceVia::kProven, out);
}

}  // namespace

ExchangeStep OnExchangeFrame(DeviceExchange& exchange, StateDir& state, const FrameHeader& header,
                             const std::vector<uint8_t>& plain, int64_t now, Frame& out) {
  if (!exchange.challenged) {
    // Only a client of the extension gets this far without a certificate.
    if (header.type != FrameType::DeviceHello) return ExchangeStep::kRefuse;
    if (exchange.hasCertificate)
      return Admit(exchange, exchange.certName, DeviceVia::kCertificate, out);
    if (RAND_bytes(exchange.challenge, sizeof exchange.challenge) != 1) {
      return Refuse(DeviceRefusal::kUnavailable, out);
    }
    exchange.challenged = true;
    const Frame frame = BuildFrame(FrameType::DeviceChallenge, PayloadKind::Binary,
                                   exchange.challenge, kChallengeSize, nullptr, Scope::None);
    if (frame.empty()) return ExchangeStep::kRefuse;
    out.insert(out.end(), frame.begin(), frame.end());
    return ExchangeStep::kMore;
  }
  // One answer per challenge: whatever it is, the exchange ends with it.
  switch (header.type) {
    case FrameType::DeviceEnrol:
      return Enrol(exchange, state, plain, now, out);
    case FrameType::DeviceProof:
      return Prove(exchange, state, plain, now, out);
    default:
      return Refuse(DeviceRefusal::kBadAnswer, out);
  }
}

bool VerifyDeviceSignature(const uint8_t* publicKey, const char* label, const uint8_t* challenge,
                           const uint8_t* signature) {
  bool valid = false;
  auto key = PublicKey(publicKey);
  const std::vector<uint8_t> der = DerSignature(signature);
  std::unique_ptr<EVP_MD_CTX, MdCtxFree> md(EVP_MD_CTX_new());
  if (key && !der.empty() && md) {
    uint8_t message[kDeviceLabelSize + kChallengeSize];
    std::memcpy(message, label, kDeviceLabelSize);
    std::memcpy(message + kDeviceLabelSize, challenge, kChallengeSize);
    valid = EVP_DigestVerifyInit(md.get(), nullptr, EVP_sha256(), nullptr, key.get()) == 1 &&
            EVP_DigestVerify(md.get(), der.data(), der.size(), message, sizeof message) == 1;
  }
  ERR_clear_error();  // a bad key or signature is the client's fault, not ours to print
  return valid;
}

std::string Sha256Hex(const uint8_t* bytes, size_t len) {
  uint8_t digest[EVP_MAX_MD_SIZE];
  unsigned int digestLen = 0;
  EVP_Digest(bytes, len, digest, &digestLen, EVP_sha256(), nullptr);
  return Hex(digest, digestLen);
}

}  // namespace saferoom
