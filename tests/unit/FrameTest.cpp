// BuildFrame's layout and encryption, and FrameBatch's, read back with
// OpenSSL's SM4-CBC. (ParseHeader and DecryptPayload read the shared vectors
// in VectorsTest.)
#include <gtest/gtest.h>
#include <openssl/evp.h>

#include <algorithm>
#include <memory>
#include <set>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "protect/Frame.h"
#include "protect/FrameBatch.h"

namespace saferoom {

namespace {

using Bytes = std::vector<uint8_t>;

uint32_t Le32(const Bytes& b, size_t at) {
  return b[at] | b[at + 1] << 8 | b[at + 2] << 16 | static_cast<uint32_t>(b[at + 3]) << 24;
}

Bytes Field(const Bytes& frame, size_t at, size_t len) {
  return Bytes(frame.begin() + at, frame.begin() + at + len);
}

// What any reader does, written from the frame layout alone: unmask the IV
// word by word, then decrypt with OpenSSL under the shared key.
Bytes OpenSslReadPayload(const Bytes& frame) {
  uint8_t iv[16];
  for (uint32_t k = 0; k < 4; ++k) {
    const uint32_t word = Le32(frame, 32 + 4 * k) ^ ((k + 1) * 4020763u);
    for (int i = 0; i < 4; ++i)
      iv[4 * k + i] = static_cast<uint8_t>(word >> (8 * i));
  }
  const uint8_t key[] = "Quill7_meadow_Rx";
  struct Free {
    void operator()(EVP_CIPHER_CTX* c) const { EVP_CIPHER_CTX_free(c); }
  };
  std::unique_ptr<EVP_CIPHER_CTX, Free> ctx(EVP_CIPHER_CTX_new());
  EXPECT_EQ(EVP_DecryptInit_ex(ctx.get(), EVP_sm4_cbc(), nullptr, key, iv), 1);
  EVP_CIPHER_CTX_set_padding(ctx.get(), 0);
  Bytes plain(frame.size() - 48);
  int outLen = 0;
  EXPECT_EQ(EVP_DecryptUpdate(ctx.get(), plain.data(), &outLen, frame.data() + 48, plain.size()),
            1);
  return plain;
}

const uint8_t kAlice[kNameSize] = {'a', 'l', 'i', 'c', 'e'};

TEST(BuildFrame, LaysOutTheHeaderPadsAndEncryptsUnderAFreshIv) {
  const uint8_t data[100] = "hello";
  const struct {
    uint32_t type, kind, length, scope;
    uint32_t lengthWord;  // payload length << 2 | the low two bits of kind
  } kCases[] = {
      // Replies never carry the name; a member list pads its 20 bytes a name.
      {FrameType::LoginAccepted, 0, 0, 0, 0},
      {FrameType::UserList, 0, 20, 0, 32 << 2},
      {FrameType::UserList, 0, 100, 0, 112 << 2},
      // Only kind 1 stops at the NUL.
      {FrameType::Chat, 1, 48, 2, 16 << 2 | 1},
      {FrameType::Chat, 2, 48, 1, 48 << 2 | 2},
      {FrameType::Chat, 5, 48, 2, 48 << 2 | 1},
      {FrameType::Chat, 6, 48, 2, 48 << 2 | 2},
      {FrameType::Chat, 1, 0, 1, 1},
      // A kept message names its sender; the end of an answer names nobody.
      {FrameType::HistoryItem, 0, 32, 1, 32 << 2},
      {FrameType::HistoryEnd, 0, 32, 0, 32 << 2},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(std::to_string(c.type) + " kind " + std::to_string(c.kind));
    const Frame f = BuildFrame(c.type, c.kind, data, c.length, kAlice, c.scope);
    const uint32_t len = c.lengthWord >> 2;
    ASSERT_EQ(f.size(), 48 + len);
    EXPECT_EQ(std::make_tuple(Le32(f, 0), Le32(f, 4), Le32(f, 8)),
              std::make_tuple(c.type, c.lengthWord, c.scope));
    const bool named = c.type == FrameType::Chat || c.type == FrameType::HistoryItem;
    EXPECT_EQ(Field(f, 12, 20), named ? Bytes(kAlice, kAlice + 20) : Bytes(20, 0));
    Bytes want(data, data + std::min<size_t>(c.length, len));
    want.resize(len, 0);  // the zero fill comes back too
    EXPECT_EQ(OpenSslReadPayload(f), want);
    if (len > 0) {
      const Frame again = BuildFrame(c.type, c.kind, data, c.length, kAlice, c.scope);
      EXPECT_NE(Field(again, 32, 16), Field(f, 32, 16)) << "the same IV twice";
      EXPECT_EQ(OpenSslReadPayload(again), want);
    }
  }
  const uint8_t small[16] = {};  // never read: the size check comes first
  for (uint32_t len : {0xfffffff0u, 0xffffffffu, 1u << 30})
    EXPECT_TRUE(BuildFrame(FrameType::Chat, 0, small, len, kAlice, 1).empty()) << len;
  // What a reader takes: whole blocks, up to the largest payload.
  for (const auto& [len, taken] : {std::pair{0u, true}, std::pair{16u, true},
                                   std::pair{kMaxPayload, true}, std::pair{8u, false},
                                   std::pair{kMaxPayload + 16, false}}) {
    FrameHeader header;
    header.lengthWord = len << 2 | PayloadKind::Text;
    EXPECT_EQ(HeaderAcceptable(header), taken) << len;
  }
}

// A batch's frames read back like BuildFrame's, each where the batch says it
// is, each with its own IV; one that cannot be built is empty and keeps the
// numbering of the rest.
TEST(FrameBatch, FramesReadBackLikeSingleFramesAtTheirBoundaries) {
  const std::string texts[] = {"a", std::string(100, 'b'), "", std::string(1000, 'c'), "dd"};
  FrameBatch batch;
  for (int round = 0; round < 2; ++round) {  // the second reuses the cleared buffers
    SCOPED_TRACE(round);
    for (const std::string& text : texts) {
      ASSERT_TRUE(batch.Add(FrameType::Chat, PayloadKind::Text, text.c_str(),
                            static_cast<uint32_t>(text.size() + 1), kAlice, Scope::Public));
    }
    const uint8_t small[16] = {};
    EXPECT_FALSE(batch.Add(FrameType::Chat, 0, small, 1u << 30, kAlice, Scope::Public));
    ASSERT_TRUE(batch.Add(FrameType::Chat, 0, "z", 1, kAlice, Scope::Private));
    batch.Encrypt();
    ASSERT_EQ(batch.Count(), std::size(texts) + 2);
    EXPECT_EQ(batch.End(std::size(texts)), batch.Begin(std::size(texts)));
    EXPECT_EQ(batch.End(batch.Count() - 1), batch.Size());
    std::set<Bytes> ivs;
    for (size_t i = 0; i < batch.Count(); ++i) {
      if (i == std::size(texts)) continue;
      SCOPED_TRACE(i);
      const Bytes frame(batch.Data() + batch.Begin(i), batch.Data() + batch.End(i));
      const std::string text = i < std::size(texts) ? texts[i] : "z";
      Bytes want(text.begin(), text.end());
      want.resize(frame.size() - kHeaderSize, 0);
      EXPECT_EQ(OpenSslReadPayload(frame), want);
      EXPECT_EQ(NameString(ParseHeader(frame.data()).name), "alice");
      ivs.insert(Field(frame, 32, 16));
    }
    EXPECT_EQ(ivs.size(), batch.Count() - 1) << "an IV used twice";
    batch.Clear(1 << 20);
  }
}

}  // namespace

}  // namespace saferoom
