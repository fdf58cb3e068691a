// The shared vectors (tests/vectors/protocol.json, also read by the
// JavaScript tests) against protect/: SM4 blocks (CBC on every path is
// Sm4Test's, against OpenSSL), whole frames built and read back, and the escaping of
// texts and names that every client shows alike; the device signatures
// against the server's check.
#include <gtest/gtest.h>

#include <fstream>
#include <nlohmann/json.hpp>
#include <string>
#include <tuple>
#include <vector>

#include "protect/Frame.h"
#include "protect/SafeText.h"
#include "protect/Sm4.h"
#include "server/DeviceAuth.h"

namespace saferoom {

namespace {

using Bytes = std::vector<uint8_t>;
using nlohmann::json;

Bytes FromHex(const std::string& hex) {
  Bytes out;
  for (size_t i = 0; i + 1 < hex.size(); i += 2)
    out.push_back(static_cast<uint8_t>(std::stoi(hex.substr(i, 2), nullptr, 16)));
  return out;
}

const json& Vectors() {
  static const json doc = [] {
    std::ifstream in(VECTORS_FILE);
    return json::parse(in, nullptr, /*allow_exceptions=*/false);
  }();
  return doc;
}

Bytes Hex(const json& v, const char* key) {
  return FromHex(v.at(key).get<std::string>());
}

TEST(Vectors, FileReadsAndHoldsEverySection) {
  ASSERT_FALSE(Vectors().is_discarded()) << VECTORS_FILE;
  for (const char* section : {"sm4Blocks", "cbc", "frames"})
    EXPECT_GE(Vectors()[section].size(), 2u) << section;
  EXPECT_EQ(Hex(Vectors(), "frameKey"), Bytes(FrameKey, FrameKey + 16));
}

TEST(Vectors, Sm4BlocksBothWays) {
  for (const json& v : Vectors()["sm4Blocks"]) {
    SCOPED_TRACE(v["name"].get<std::string>());
    Sm4Context ctx = Sm4ExpandKey(Hex(v, "key").data());
    Bytes block = Hex(v, "plain");
    const int times = v["times"];
    for (int i = 0; i < times; ++i)
      Sm4CryptBlock(ctx, block.data(), block.data());
    EXPECT_EQ(block, Hex(v, "cipher"));
    Sm4ReverseKeys(ctx);
    for (int i = 0; i < times; ++i)
      Sm4CryptBlock(ctx, block.data(), block.data());
    EXPECT_EQ(block, Hex(v, "plain"));
  }
}

TEST(Vectors, FramesBuiltAndReadBack) {
  for (const json& v : Vectors()["frames"]) {
    SCOPED_TRACE(v["name"].get<std::string>());
    const Bytes data = FromHex(v["build"]["data"]), name = Hex(v, "nameField"), iv = Hex(v, "iv");
    const Bytes want = Hex(v, "frame");
    Frame frame;
    ASSERT_TRUE(
        AppendFrame(frame, v["type"], v["build"]["kind"], data.empty() ? nullptr : data.data(),
                    static_cast<uint32_t>(data.size()), name.data(), v["scope"], iv.data()));
    if (v["build"]["markText"]) frame[4] |= PayloadKind::Text;
    EXPECT_EQ(frame, want);

    const FrameHeader h = ParseHeader(want.data());
    EXPECT_EQ(h.type, v["type"]);
    EXPECT_EQ(h.lengthWord, v["lengthWord"]);
    EXPECT_EQ(h.scope, v["scope"]);
    EXPECT_EQ(Bytes(h.name, h.name + kNameSize), name);
    EXPECT_TRUE(HeaderAcceptable(h));
    uint8_t unmasked[16];
    std::copy(h.iv, h.iv + 16, unmasked);
    ApplyIvMask(unmasked);
    EXPECT_EQ(Bytes(unmasked, unmasked + 16), iv);
    Bytes plain;
    DecryptPayload(h, want.data() + kHeaderSize, want.size() - kHeaderSize, plain);
    EXPECT_EQ(plain, Hex(v, "plaintext"));
  }
}

// The reclaim extension's payloads as protect/ lays them out and reads
// them: the request the client makes, the answer the server makes.
TEST(Vectors, ReclaimPayloadsBothWays) {
  const json* request = nullptr;
  const json* answer = nullptr;
  for (const json& v : Vectors()["frames"]) {
    if (v["name"] == "reclaim") request = &v;
    if (v["name"] == "reclaimed") answer = &v;
  }
  ASSERT_TRUE(request && answer);
  ReclaimFields asked;
  const std::string name = (*request)["request"]["name"];
  name.copy(reinterpret_cast<char*>(asked.name), kNameSize);
  asked.received = (*request)["request"]["received"];
  const Bytes key = FromHex((*request)["request"]["key"]);
  ASSERT_EQ(key.size(), kReclaimKeySize);
  std::copy(key.begin(), key.end(), asked.key);
  uint8_t payload[kReclaimSize];
  PutReclaim(asked, payload);
  EXPECT_EQ(Bytes(payload, payload + kReclaimSize), FromHex((*request)["build"]["data"]));
  const Bytes plain = Hex(*request, "plaintext");
  const ReclaimFields read = ReadReclaim(plain.data(), plain.size());
  EXPECT_EQ(NameString(read.name), name);
  EXPECT_EQ(read.received, asked.received);
  EXPECT_EQ(Bytes(read.key, read.key + kReclaimKeySize), key);

  const json& fields = (*answer)["answer"];
  ReclaimedFields given;
  given.chatsRelayed = fields["chatsRelayed"];
  given.lost = fields["lost"];
  const Bytes next = FromHex(fields["key"]);
  ASSERT_EQ(next.size(), kReclaimKeySize);
  std::copy(next.begin(), next.end(), given.key);
  uint8_t out[kReclaimedSize];
  PutReclaimed(given, out);
  EXPECT_EQ(Bytes(out, out + kReclaimedSize), Hex(*answer, "plaintext"));
  const ReclaimedFields back = ReadReclaimed(out, sizeof out);
  EXPECT_EQ(std::make_tuple(back.chatsRelayed, back.lost),
            std::make_tuple(given.chatsRelayed, given.lost));
  EXPECT_EQ(Bytes(back.key, back.key + kReclaimKeySize), next);
  // A short payload reads as zero-filled.
  EXPECT_EQ(ReadReclaimed(out, 8).lost, 0u);
}

TEST(Vectors, EscapingAsTheConsoleAndEveryClientShowIt) {
  for (const json& v : Vectors()["escaping"]) {
    SCOPED_TRACE(v["name"].get<std::string>());
    const Bytes raw = Hex(v, "raw");
    const std::string text(raw.begin(), raw.end());
    EXPECT_EQ(SafeText(text), v["text"].get<std::string>());
    const char* fault = NameFault(text);
    EXPECT_EQ(fault != nullptr ? fault : "", v["nameFault"].get<std::string>());
    // The empty name is shown by each client in words of its own.
    if (!text.empty()) {
      EXPECT_EQ(SafeName(text), v["shownName"].get<std::string>());
    }
  }
}

// A device key's id and the signatures over a challenge, as WebCrypto makes
// them, checked by the server's own verification.
TEST(Vectors, DeviceSignaturesVerifyOnlyAsTheySay) {
  const json& key = Vectors()["deviceKey"];
  const Bytes point = Hex(key, "publicKey"), challenge = Hex(key, "challenge");
  EXPECT_EQ(Sha256Hex(point.data(), point.size()), key["keyId"].get<std::string>());
  ASSERT_GE(Vectors()["deviceSignatures"].size(), 4u);
  for (const json& v : Vectors()["deviceSignatures"]) {
    SCOPED_TRACE(v["name"].get<std::string>());
    const Bytes signature = Hex(v, "signature");
    ASSERT_EQ(signature.size(), kDeviceSignatureSize);
    const std::string label = v["label"];
    EXPECT_EQ(
        VerifyDeviceSignature(point.data(), label.c_str(), challenge.data(), signature.data()),
        v["valid"].get<bool>());
  }
}

}  // namespace

}  // namespace saferoom
