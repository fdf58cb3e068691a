// Sm4Cbc and Sm4CbcEncryptMany against OpenSSL's own SM4-CBC for random
// keys, IVs and lengths, on every path (scalar, AVX2, AVX-512) this processor
// has. The standard's published examples are among the shared vectors
// (VectorsTest).
#include <gtest/gtest.h>
#include <openssl/evp.h>

#include <memory>
#include <random>
#include <string>
#include <vector>

#include "protect/Sm4.h"

namespace saferoom {

// Test names and messages say which path ran.
void PrintTo(Sm4Path path, std::ostream* os) {
  constexpr const char* kNames[] = {"Scalar", "Avx2", "Avx512"};
  *os << kNames[static_cast<int>(path)];
}

namespace {

using Bytes = std::vector<uint8_t>;

Bytes EvpCbc(const Bytes& key, const Bytes& iv, int direction, const Bytes& in) {
  struct Free {
    void operator()(EVP_CIPHER_CTX* c) const { EVP_CIPHER_CTX_free(c); }
  };
  std::unique_ptr<EVP_CIPHER_CTX, Free> ctx(EVP_CIPHER_CTX_new());
  Bytes out(in.size());
  int outLen = 0;
  EXPECT_EQ(EVP_CipherInit_ex(ctx.get(), EVP_sm4_cbc(), nullptr, key.data(), iv.data(), direction),
            1);
  EVP_CIPHER_CTX_set_padding(ctx.get(), 0);
  EXPECT_EQ(EVP_CipherUpdate(ctx.get(), out.data(), &outLen, in.data(), in.size()), 1);
  return out;
}

Bytes LastBlock(const Bytes& b) {
  return Bytes(b.end() - 16, b.end());
}

Bytes RandomBytes(std::mt19937& rng, size_t n) {
  Bytes b(n);
  for (uint8_t& x : b)
    x = static_cast<uint8_t>(rng());
  return b;
}

// Runs a test on one path; skipped where the processor lacks it.
class Sm4OnPath : public testing::TestWithParam<Sm4Path> {
 protected:
  void SetUp() override {
    if (!Sm4PathSupported(GetParam())) GTEST_SKIP() << "this processor lacks the path";
  }
};

INSTANTIATE_TEST_SUITE_P(Paths, Sm4OnPath,
                         testing::Values(Sm4Path::Scalar, Sm4Path::Avx2, Sm4Path::Avx512),
                         testing::PrintToStringParamName());

TEST_P(Sm4OnPath, CbcMatchesOpenSslInTwoCallsBothWays) {
  std::mt19937 rng(20240607);
  for (int trial = 0; trial < 200; ++trial) {
    SCOPED_TRACE("trial " + std::to_string(trial));
    // 1 to 150 blocks, split anywhere: every mix of the vector runs (up to
    // 64 blocks) and the scalar 4-, 2- and 1-block steps.
    const size_t numBlocks = 1 + rng() % 150, firstLen = 16 * (rng() % (numBlocks + 1));
    const Bytes key = RandomBytes(rng, 16), iv = RandomBytes(rng, 16);
    const Bytes data = RandomBytes(rng, 16 * numBlocks);
    const int32_t len = static_cast<int32_t>(data.size());
    const auto twoCalls = [&](const Sm4Context& ctx, int direction, Bytes& chain, const Bytes& in,
                              Bytes& out) {
      Sm4Cbc(ctx, direction, firstLen, chain.data(), in.data(), out.data(), GetParam());
      Sm4Cbc(ctx, direction, len - firstLen, chain.data(), in.data() + firstLen,
             out.data() + firstLen, GetParam());
    };
    Sm4Context ctx = Sm4ExpandKey(key.data());
    Bytes cipher(data.size()), chain = iv;
    twoCalls(ctx, 1, chain, data, cipher);
    EXPECT_EQ(cipher, EvpCbc(key, iv, 1, data));
    EXPECT_EQ(chain, LastBlock(cipher));

    // Decrypt `data` as if it were ciphertext: into a copy, then in place.
    // Past the copy's end lies a guard, which must stay as it is.
    Sm4ReverseKeys(ctx);
    Bytes plain(data.size() + 256, 0xa5), inPlace = data;
    chain = iv;
    twoCalls(ctx, 0, chain, data, plain);
    EXPECT_EQ(Bytes(plain.begin() + len, plain.end()), Bytes(256, 0xa5));
    plain.resize(data.size());
    EXPECT_EQ(plain, EvpCbc(key, iv, 0, data));
    EXPECT_EQ(chain, LastBlock(data));
    chain = iv;
    Sm4Cbc(ctx, 0, len, chain.data(), inPlace.data(), inPlace.data(), GetParam());
    EXPECT_EQ(inPlace, plain);
  }
}

// Several messages side by side give what OpenSSL gives for each alone,
// whatever their lengths: lanes refill as messages end.
TEST_P(Sm4OnPath, EncryptManyMatchesOpenSslForEachMessage) {
  std::mt19937 rng(77);
  const Bytes key = RandomBytes(rng, 16);
  const Sm4Context ctx = Sm4ExpandKey(key.data());
  for (int trial = 0; trial < 50; ++trial) {
    const size_t count = rng() % 21;  // more than the widest path's lanes
    std::vector<Bytes> plain(count), ivs(count), data(count);
    std::vector<Sm4CbcJob> jobs(count);
    for (size_t i = 0; i < count; ++i) {
      plain[i] = RandomBytes(rng, 16 * (rng() % 12));  // empty messages included
      ivs[i] = RandomBytes(rng, 16);
      data[i] = plain[i];
      jobs[i] = Sm4CbcJob{data[i].data(), plain[i].size() / 16, {}};
      std::copy(ivs[i].begin(), ivs[i].end(), jobs[i].iv);
    }
    Sm4CbcEncryptMany(ctx, jobs.data(), count, GetParam());
    for (size_t i = 0; i < count; ++i) {
      SCOPED_TRACE("trial " + std::to_string(trial) + " message " + std::to_string(i));
      if (plain[i].empty()) {
        EXPECT_EQ(Bytes(jobs[i].iv, jobs[i].iv + 16), ivs[i]);  // untouched
        continue;
      }
      EXPECT_EQ(data[i], EvpCbc(key, ivs[i], 1, plain[i]));
      EXPECT_EQ(Bytes(jobs[i].iv, jobs[i].iv + 16), LastBlock(data[i]));
    }
  }
}

}  // namespace

}  // namespace saferoom
