// SM4 key schedule, block transform and CBC mode, scalar; CBC runs of
// independent blocks go to a vector path (Sm4Vec.h) where there is one.
// Called by protect/Frame and, for checks, by the tests and the benchmark.
#include "protect/Sm4.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "protect/Sm4Vec.h"

namespace saferoom {

// S-box, FK and CK exactly as published with the standard.
extern const uint8_t kSm4Sbox[256] = {
    0xd6, 0x90, 0xe9, 0xfe, 0xcc, 0xe1, 0x3d, 0xb7, 0x16, 0xb6, 0x14, 0xc2, 0x28, 0xfb, 0x2c, 0x05,
    0x2b, 0x67, 0x9a, 0x76, 0x2a, 0xbe, 0x04, 0xc3, 0xaa, 0x44, 0x13, 0x26, 0x49, 0x86, 0x06, 0x99,
    0x9c, 0x42, 0x50, 0xf4, 0x91, 0xef, 0x98, 0x7a, 0x33, 0x54, 0x0b, 0x43, 0xed, 0xcf, 0xac, 0x62,
    0xe4, 0xb3, 0x1c, 0xa9, 0xc9, 0x08, 0xe8, 0x95, 0x80, 0xdf, 0x94, 0xfa, 0x75, 0x8f, 0x3f, 0xa6,
    0x47, 0x07, 0xa7, 0xfc, 0xf3, 0x73, 0x17, 0xba, 0x83, 0x59, 0x3c, 0x19, 0xe6, 0x85, 0x4f, 0xa8,
    0x68, 0x6b, 0x81, 0xb2, 0x71, 0x64, 0xda, 0x8b, 0xf8, 0xeb, 0x0f, 0x4b, 0x70, 0x56, 0x9d, 0x35,
    0x1e, 0x24, 0x0e, 0x5e, 0x63, 0x58, 0xd1, 0xa2, 0x25, 0x22, 0x7c, 0x3b, 0x01, 0x21, 0x78, 0x87,
    0xd4, 0x00, 0x46, 0x57, 0x9f, 0xd3, 0x27, 0x52, 0x4c, 0x36, 0x02, 0xe7, 0xa0, 0xc4, 0xc8, 0x9e,
    0xea, 0xbf, 0x8a, 0xd2, 0x40, 0xc7, 0x38, 0xb5, 0xa3, 0xf7, 0xf2, 0xce, 0xf9, 0x61, 0x15, 0xa1,
    0xe0, 0xae, 0x5d, 0xa4, 0x9b, 0x34, 0x1a, 0x55, 0xad, 0x93, 0x32, 0x30, 0xf5, 0x8c, 0xb1, 0xe3,
    0x1d, 0xf6, 0xe2, 0x2e, 0x82, 0x66, 0xca, 0x60, 0xc0, 0x29, 0x23, 0xab, 0x0d, 0x53, 0x4e, 0x6f,
    0xd5, 0xdb, 0x37, 0x45, 0xde, 0xfd, 0x8e, 0x2f, 0x03, 0xff, 0x6a, 0x72, 0x6d, 0x6c, 0x5b, 0x51,
    0x8d, 0x1b, 0xaf, 0x92, 0xbb, 0xdd, 0xbc, 0x7f, 0x11, 0xd9, 0x5c, 0x41, 0x1f, 0x10, 0x5a, 0xd8,
    0x0a, 0xc1, 0x31, 0x88, 0xa5, 0xcd, 0x7b, 0xbd, 0x2d, 0x74, 0xd0, 0x12, 0xb8, 0xe5, 0xb4, 0xb0,
    0x89, 0x69, 0x97, 0x4a, 0x0c, 0x96, 0x77, 0x7e, 0x65, 0xb9, 0xf1, 0x09, 0xc5, 0x6e, 0xc6, 0x84,
    0x18, 0xf0, 0x7d, 0xec, 0x3a, 0xdc, 0x4d, 0x20, 0x79, 0xee, 0x5f, 0x3e, 0xd7, 0xcb, 0x39, 0x48,
};

namespace {

constexpr uint32_t kFk[4] = {0xa3b1bac6, 0x56aa3350, 0x677d9197, 0xb27022dc};

constexpr uint32_t kCk[32] = {
    0x00070e15, 0x1c232a31, 0x383f464d, 0x545b6269, 0x70777e85, 0x8c939aa1, 0xa8afb6bd, 0xc4cbd2d9,
    0xe0e7eef5, 0xfc030a11, 0x181f262d, 0x343b4249, 0x50575e65, 0x6c737a81, 0x888f969d, 0xa4abb2b9,
    0xc0c7ced5, 0xdce3eaf1, 0xf8ff060d, 0x141b2229, 0x30373e45, 0x4c535a61, 0x686f767d, 0x848b9299,
    0xa0a7aeb5, 0xbcc3cad1, 0xd8dfe6ed, 0xf4fb0209, 0x10171e25, 0x2c333a41, 0x484f565d, 0x646b7279,
};

// CK byte j of word i is (4i + j) * 7 mod 256; a mistyped constant fails the build.
constexpr bool CkFollowsRule() {
  for (uint32_t i = 0; i < 32; ++i) {
    uint32_t word = 0;
    for (uint32_t j = 0; j < 4; ++j)
      word = (word << 8) | (((4 * i + j) * 7) & 0xff);
    if (kCk[i] != word) return false;
  }
  return true;
}
static_assert(CkFollowsRule(), "CK table");

inline uint32_t Rotl(uint32_t x, int n) {
  return (x << n) | (x >> (32 - n));
}

// Byte-wise shifts rather than memcpy keep this endian-neutral; compilers
// turn both into one load and a byte swap.
inline uint32_t LoadBe(const uint8_t* p) {
  return (uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 8) | p[3];
}

inline void StoreBe(uint8_t* p, uint32_t v) {
  p[0] = static_cast<uint8_t>(v >> 24);
  p[1] = static_cast<uint8_t>(v >> 16);
  p[2] = static_cast<uint8_t>(v >> 8);
  p[3] = static_cast<uint8_t>(v);
}

// The S-box on each byte of a word, with plain byte lookups. No table merges
// the S-box with the linear layer: such tables are 4 to 16 times larger and
// leak more through the cache.
inline uint32_t Tau(uint32_t x) {
  const uint32_t s0 = kSm4Sbox[x >> 24], s1 = kSm4Sbox[(x >> 16) & 0xff];
  const uint32_t s2 = kSm4Sbox[(x >> 8) & 0xff], s3 = kSm4Sbox[x & 0xff];
  return ((s0 << 24) | (s1 << 16)) | ((s2 << 8) | s3);
}

// p ^ L(b), with L the round's linear layer, grouped as a tree so that the
// xors need not wait for each other.
inline uint32_t XorL(uint32_t p, uint32_t b) {
  return ((p ^ b) ^ (Rotl(b, 2) ^ Rotl(b, 10))) ^ (Rotl(b, 18) ^ Rotl(b, 24));
}

// The key schedule's T' = L'(Tau(x)).
inline uint32_t KeyT(uint32_t x) {
  const uint32_t b = Tau(x);
  return b ^ Rotl(b, 13) ^ Rotl(b, 23);
}

// Round i of a single block: a holds X_i, c and d hold X_(i+2) and X_(i+3),
// x holds the round input X_(i+1) ^ X_(i+2) ^ X_(i+3) ^ rk_i. The next input
// is taken from the xor tree directly, so waiting for the new a costs nothing.
inline void StepOne(uint32_t& a, uint32_t c, uint32_t d, uint32_t nextKey, uint32_t& x) {
  const uint32_t pre = a ^ c ^ d ^ nextKey;
  const uint32_t t = Tau(x);
  a = XorL(a, t);
  x = XorL(pre, t);
}

// 32 rounds on one block, w = X0..X3 in, X35..X32 out. One block is one long
// dependency chain (CBC encryption cannot avoid it), so this version trades
// a few extra instructions for a shorter chain.
inline void CryptOne(const uint32_t* rk, uint32_t (&w)[4]) {
  uint32_t a = w[0], b = w[1], c = w[2], d = w[3];
  uint32_t x = b ^ c ^ d ^ rk[0];
  // Four rounds per pass rotate the roles of a, b, c and d, so no word moves.
  // The last pass also computes the input of a round 32 that never runs.
  for (int r = 0; r < 32; r += 4) {
    StepOne(a, c, d, rk[r + 1], x);
    StepOne(b, d, a, rk[r + 2], x);
    StepOne(c, a, b, rk[r + 3], x);
    StepOne(d, b, c, rk[(r + 4) % 32], x);
  }
  w[0] = d;
  w[1] = c;
  w[2] = b;
  w[3] = a;
}

// 32 rounds on N independent blocks side by side, x[k] as in CryptOne. Here
// the processor overlaps N chains and the limit is instruction throughput, so
// the rounds stay in their plainest form.
template <int N>
inline void CryptMany(const uint32_t* rk, uint32_t (&x)[N][4]) {
  uint32_t a[N], b[N], c[N], d[N];
  for (int k = 0; k < N; ++k) {
    a[k] = x[k][0];
    b[k] = x[k][1];
    c[k] = x[k][2];
    d[k] = x[k][3];
  }
  for (int r = 0; r < 32; r += 4) {
#pragma GCC unroll 4
    for (int k = 0; k < N; ++k)
      a[k] = XorL(a[k], Tau((b[k] ^ c[k] ^ rk[r]) ^ d[k]));
#pragma GCC unroll 4
    for (int k = 0; k < N; ++k)
      b[k] = XorL(b[k], Tau((c[k] ^ d[k] ^ rk[r + 1]) ^ a[k]));
#pragma GCC unroll 4
    for (int k = 0; k < N; ++k)
      c[k] = XorL(c[k], Tau((d[k] ^ a[k] ^ rk[r + 2]) ^ b[k]));
#pragma GCC unroll 4
    for (int k = 0; k < N; ++k)
      d[k] = XorL(d[k], Tau((a[k] ^ b[k] ^ rk[r + 3]) ^ c[k]));
  }
  for (int k = 0; k < N; ++k) {
    x[k][0] = d[k];
    x[k][1] = c[k];
    x[k][2] = b[k];
    x[k][3] = a[k];
  }
}

// CBC encryption is one chain: each block needs the previous ciphertext. The
// chaining value stays in registers from block to block. Each block is read
// before it is written: in == out is safe.
void CbcEncrypt(const uint32_t* rk, size_t numBlocks, uint8_t iv[16], const uint8_t* in,
                uint8_t* out) {
  uint32_t chain[4] = {LoadBe(iv), LoadBe(iv + 4), LoadBe(iv + 8), LoadBe(iv + 12)};
  for (size_t n = 0; n < numBlocks; ++n, in += 16, out += 16) {
    for (int j = 0; j < 4; ++j)
      chain[j] ^= LoadBe(in + 4 * j);
    CryptOne(rk, chain);
    for (int j = 0; j < 4; ++j)
      StoreBe(out + 4 * j, chain[j]);
  }
  for (int j = 0; j < 4; ++j)
    StoreBe(iv + 4 * j, chain[j]);
}

// Decrypts N blocks whose ciphertexts are all known, so they run side by side.
// Every input word is read before any output is written: in == out is safe.
template <int N>
inline void CbcDecryptBatch(const uint32_t* rk, uint32_t (&chain)[4], const uint8_t* in,
                            uint8_t* out) {
  uint32_t cipher[N][4];
  uint32_t x[N][4];
  for (int k = 0; k < N; ++k) {
    for (int j = 0; j < 4; ++j)
      x[k][j] = cipher[k][j] = LoadBe(in + 16 * k + 4 * j);
  }
  if constexpr (N == 1) {
    CryptOne(rk, x[0]);
  } else {
    CryptMany<N>(rk, x);
  }
  for (int k = 0; k < N; ++k) {
    const uint32_t* prev = k == 0 ? chain : cipher[k - 1];
    for (int j = 0; j < 4; ++j)
      StoreBe(out + 16 * k + 4 * j, x[k][j] ^ prev[j]);
  }
  for (int j = 0; j < 4; ++j)
    chain[j] = cipher[N - 1][j];
}

void CbcDecrypt(const uint32_t* rk, size_t numBlocks, uint8_t iv[16], const uint8_t* in,
                uint8_t* out) {
  uint32_t chain[4] = {LoadBe(iv), LoadBe(iv + 4), LoadBe(iv + 8), LoadBe(iv + 12)};
  size_t n = 0;
  for (; n + 4 <= numBlocks; n += 4)
    CbcDecryptBatch<4>(rk, chain, in + 16 * n, out + 16 * n);
  for (; n + 2 <= numBlocks; n += 2)
    CbcDecryptBatch<2>(rk, chain, in + 16 * n, out + 16 * n);
  if (n < numBlocks) CbcDecryptBatch<1>(rk, chain, in + 16 * n, out + 16 * n);
  for (int j = 0; j < 4; ++j)
    StoreBe(iv + 4 * j, chain[j]);
}

// CBC decryption in runs of the vector kernel, a short tail in scalar code.
void CbcDecryptVec(const Sm4VecKernels& vec, const uint32_t* rk, size_t numBlocks, uint8_t iv[16],
                   const uint8_t* in, uint8_t* out) {
  size_t n = 0;
  while (numBlocks - n >= vec.minRun) {
    const size_t run = std::min(numBlocks - n, vec.maxRun);
    vec.cbcDecrypt(rk, iv, in + 16 * n, out + 16 * n, run);
    n += run;
  }
  if (n < numBlocks) CbcDecrypt(rk, numBlocks - n, iv, in + 16 * n, out + 16 * n);
}

// The scalar counterpart of Sm4VecKernels::cbcEncryptLanes for `count` <= N
// lanes. The chains stay in registers from step to step.
template <int N>
void EncryptLanes(const uint32_t* rk, size_t count, uint8_t (*chain)[16], uint8_t* const* data,
                  size_t numSteps) {
  uint32_t x[N][4] = {};  // with count < N, a lane runs idle
  for (size_t k = 0; k < count; ++k) {
    for (int j = 0; j < 4; ++j)
      x[k][j] = LoadBe(chain[k] + 4 * j);
  }
  for (size_t step = 0; step < numSteps; ++step) {
    for (size_t k = 0; k < count; ++k) {
      for (int j = 0; j < 4; ++j)
        x[k][j] ^= LoadBe(data[k] + 16 * step + 4 * j);
    }
    if constexpr (N == 1) {
      CryptOne(rk, x[0]);
    } else {
      CryptMany<N>(rk, x);
    }
    for (size_t k = 0; k < count; ++k) {
      for (int j = 0; j < 4; ++j)
        StoreBe(data[k] + 16 * step + 4 * j, x[k][j]);
    }
  }
  for (size_t k = 0; k < count; ++k) {
    for (int j = 0; j < 4; ++j)
      StoreBe(chain[k] + 4 * j, x[k][j]);
  }
}

void EncryptLanesScalar(const uint32_t* rk, size_t count, uint8_t (*chain)[16],
                        uint8_t* const* data, size_t numSteps) {
  if (count == 1) {
    EncryptLanes<1>(rk, count, chain, data, numSteps);
  } else if (count == 2) {
    EncryptLanes<2>(rk, count, chain, data, numSteps);
  } else {
    EncryptLanes<4>(rk, count, chain, data, numSteps);
  }
}

}  // namespace

Sm4Context Sm4ExpandKey(const uint8_t key[16]) {
  Sm4Context ctx;
  uint32_t k[4];
  for (int i = 0; i < 4; ++i)
    k[i] = LoadBe(key + 4 * i) ^ kFk[i];
  for (int i = 0; i < 32; ++i) {
    // k[] is a ring of the last four K values; slot i % 4 holds K_i.
    const uint32_t next =
        k[i % 4] ^ KeyT(k[(i + 1) % 4] ^ k[(i + 2) % 4] ^ k[(i + 3) % 4] ^ kCk[i]);
    k[i % 4] = next;
    ctx.rk[i] = next;
  }
  return ctx;
}

void Sm4ReverseKeys(Sm4Context& ctx) {
  for (int i = 0; i < 16; ++i) {
    const uint32_t t = ctx.rk[i];
    ctx.rk[i] = ctx.rk[31 - i];
    ctx.rk[31 - i] = t;
  }
}

void Sm4CryptBlock(const Sm4Context& ctx, const uint8_t in[16], uint8_t out[16]) {
  uint32_t w[4];
  for (int j = 0; j < 4; ++j)
    w[j] = LoadBe(in + 4 * j);
  CryptOne(ctx.rk, w);
  for (int j = 0; j < 4; ++j)
    StoreBe(out + 4 * j, w[j]);
}

void Sm4Cbc(const Sm4Context& ctx, int direction, int32_t length, uint8_t iv[16], const uint8_t* in,
            uint8_t* out, Sm4Path path) {
  if (length <= 0) return;
  // A partial last block counts as a whole one.
  const size_t numBlocks = (static_cast<size_t>(length) + 15) / 16;
  if (direction == 1) {
    CbcEncrypt(ctx.rk, numBlocks, iv, in, out);
    return;
  }
  const Sm4VecKernels vec = Sm4KernelsFor(path);
  if (vec.lanes != 0) {
    CbcDecryptVec(vec, ctx.rk, numBlocks, iv, in, out);
  } else {
    CbcDecrypt(ctx.rk, numBlocks, iv, in, out);
  }
}

void Sm4CbcEncryptMany(const Sm4Context& ctx, Sm4CbcJob* jobs, size_t count, Sm4Path path) {
  const Sm4VecKernels vec = Sm4KernelsFor(path);
  const size_t numLanes = vec.lanes != 0 ? vec.lanes : 4;
  struct Lane {
    Sm4CbcJob* job;
    size_t done;
  };
  Lane lanes[kSm4MaxLanes];
  uint8_t chain[kSm4MaxLanes][16] = {};  // idle lanes only need defined bytes
  size_t active = 0, nextJob = 0;
  for (;;) {
    // A finished lane takes the next job, so the lanes stay full.
    while (active < numLanes && nextJob < count) {
      Sm4CbcJob* job = &jobs[nextJob++];
      if (job->numBlocks == 0) continue;
      lanes[active] = Lane{job, 0};
      std::memcpy(chain[active++], job->iv, 16);
    }
    if (active == 0) return;
    // Every lane runs until the first of them ends.
    uint8_t* data[kSm4MaxLanes] = {};
    size_t numSteps = SIZE_MAX;
    for (size_t k = 0; k < active; ++k) {
      data[k] = lanes[k].job->data + 16 * lanes[k].done;
      numSteps = std::min(numSteps, lanes[k].job->numBlocks - lanes[k].done);
    }
    if (vec.lanes != 0 && active >= vec.minRun) {
      vec.cbcEncryptLanes(ctx.rk, chain, data, numSteps);
    } else {
      for (size_t k = 0; k < active; k += 4)
        EncryptLanesScalar(ctx.rk, std::min<size_t>(active - k, 4), chain + k, data + k, numSteps);
    }
    for (size_t k = 0; k < active; ++k)
      lanes[k].done += numSteps;
    for (size_t k = active; k-- > 0;) {
      if (lanes[k].done < lanes[k].job->numBlocks) continue;
      std::memcpy(lanes[k].job->iv, chain[k], 16);
      // Order among lanes does not matter: the last one moves here.
      lanes[k] = lanes[--active];
      std::memmove(chain[k], chain[active], 16);  // k may be that lane
    }
  }
}

}  // namespace saferoom
