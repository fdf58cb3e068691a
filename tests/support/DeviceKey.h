// A device key as a browser makes one (ECDSA P-256), made and used with
// OpenSSL, for the tests that play a page's part in the device exchange.
#pragma once

#include <openssl/core_names.h>
#include <openssl/ec.h>
#include <openssl/evp.h>

#include <memory>
#include <string>
#include <vector>

#include "protect/Frame.h"
#include "server/DeviceAuth.h"

namespace saferoom {

struct KeyFree {
  void operator()(EVP_PKEY* k) const { EVP_PKEY_free(k); }
};

struct DeviceKey {
  using Bytes = std::vector<uint8_t>;
  std::unique_ptr<EVP_PKEY, KeyFree> key{EVP_PKEY_Q_keygen(nullptr, nullptr, "EC", "P-256")};

  Bytes PublicPoint() const {
    Bytes point(kDevicePublicKeySize);
    size_t len = 0;
    EVP_PKEY_get_octet_string_param(key.get(), OSSL_PKEY_PARAM_PUB_KEY, point.data(), point.size(),
                                    &len);
    point.resize(len);
    return point;
  }
  std::string Id() const { return Sha256Hex(PublicPoint().data(), kDevicePublicKeySize); }
  Bytes IdBytes() const {
    Bytes id;
    const std::string hex = Id();
    for (size_t i = 0; i < hex.size(); i += 2)
      id.push_back(static_cast<uint8_t>(std::stoi(hex.substr(i, 2), nullptr, 16)));
    return id;
  }
  // WebCrypto's form: r || s, 32 bytes each.
  Bytes Sign(const char* label, const uint8_t* challenge) const {
    Bytes message(label, label + kDeviceLabelSize);
    message.insert(message.end(), challenge, challenge + kChallengeSize);
    EVP_MD_CTX* md = EVP_MD_CTX_new();
    size_t derLen = 80;
    Bytes der(derLen);
    EVP_DigestSignInit(md, nullptr, EVP_sha256(), nullptr, key.get());
    EVP_DigestSign(md, der.data(), &derLen, message.data(), message.size());
    EVP_MD_CTX_free(md);
    const uint8_t* at = der.data();
    ECDSA_SIG* sig = d2i_ECDSA_SIG(nullptr, &at, static_cast<long>(derLen));
    Bytes raw(kDeviceSignatureSize);
    BN_bn2binpad(ECDSA_SIG_get0_r(sig), raw.data(), 32);
    BN_bn2binpad(ECDSA_SIG_get0_s(sig), raw.data() + 32, 32);
    ECDSA_SIG_free(sig);
    return raw;
  }
};

// The frame a page sends: a DeviceEnrol with `token` and `key`, signed over
// `challenge`, or a DeviceProof.
inline Frame EnrolFrame(const DeviceKey& key, const std::vector<uint8_t>& token,
                        const uint8_t* challenge) {
  std::vector<uint8_t> plain = token;
  const std::vector<uint8_t> point = key.PublicPoint(), sig = key.Sign(kEnrolLabel, challenge);
  plain.insert(plain.end(), point.begin(), point.end());
  plain.insert(plain.end(), sig.begin(), sig.end());
  return BuildFrame(FrameType::DeviceEnrol, PayloadKind::Binary, plain.data(),
                    static_cast<uint32_t>(plain.size()), nullptr, Scope::None);
}
inline Frame ProofFrame(const DeviceKey& key, const uint8_t* challenge) {
  std::vector<uint8_t> plain = key.IdBytes();
  const std::vector<uint8_t> sig = key.Sign(kProofLabel, challenge);
  plain.insert(plain.end(), sig.begin(), sig.end());
  return BuildFrame(FrameType::DeviceProof, PayloadKind::Binary, plain.data(),
                    static_cast<uint32_t>(plain.size()), nullptr, Scope::None);
}

}  // namespace saferoom
