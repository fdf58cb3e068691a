// The SM4 block cipher (GB/T 32907-2016) and CBC mode over whole blocks.
// Used by the frame code in protect/Frame; pure, no I/O or shared state.
#pragma once

#include <cstddef>
#include <cstdint>

namespace saferoom {

// 32 round keys; encryption order as the key schedule makes them, decryption
// order after Sm4ReverseKeys.
struct Sm4Context {
  uint32_t rk[32];
};

// The standard key schedule; the result is in encryption order.
Sm4Context Sm4ExpandKey(const uint8_t key[16]);

// Swaps rk[i] and rk[31 - i]: encryption order becomes decryption order.
void Sm4ReverseKeys(Sm4Context& ctx);

// One block: encrypts with encryption-order keys, decrypts with reversed ones.
// `in` may equal `out`.
void Sm4CryptBlock(const Sm4Context& ctx, const uint8_t in[16], uint8_t out[16]);

// The code behind CBC decryption and Sm4CbcEncryptMany: scalar, or vector
// instructions where the processor has them. Single-chain encryption and
// Sm4CryptBlock are scalar on every path; every path gives the same bytes.
enum class Sm4Path { Scalar, Avx2, Avx512 };

// Whether this processor (and its OS) can run `path`.
bool Sm4PathSupported(Sm4Path path);
// The fastest path this processor supports; found once, never changes.
Sm4Path Sm4BestPath();

// Sm4Cbc encrypts (direction 1) or decrypts (any other value) `length` bytes
// from `in` to `out`, in whole blocks (a partial last block is processed as a
// whole one: both buffers must hold it). `in` may equal `out`, but the two
// must not otherwise overlap. On return `iv` holds the last chaining block.
// length <= 0 does nothing. A context is only read, so threads may share one.
// `path` must be supported (tests and benchmarks compare paths with it).
void Sm4Cbc(const Sm4Context& ctx, int direction, int32_t length, uint8_t iv[16], const uint8_t* in,
            uint8_t* out, Sm4Path path = Sm4BestPath());

// One CBC encryption for Sm4CbcEncryptMany: `numBlocks` blocks at `data`,
// encrypted in place; `iv` is the starting vector and, on return, the last
// chaining block.
struct Sm4CbcJob {
  uint8_t* data;
  size_t numBlocks;
  uint8_t iv[16];
};

// Encrypts independent messages as Sm4Cbc would one by one, but side by side
// (16 with AVX-512, 8 with AVX2, 4 otherwise): CBC encryption of one message
// is a single chain, several chains fill the processor's vector lanes. A lane
// whose message ends takes the next. The jobs' buffers must not overlap.
void Sm4CbcEncryptMany(const Sm4Context& ctx, Sm4CbcJob* jobs, size_t count,
                       Sm4Path path = Sm4BestPath());

}  // namespace saferoom
