// The vector paths of SM4 (AVX-512 VBMI, AVX2; x86-64 only) and the choice
// among them. Only protect/Sm4.cpp and the kernel files use this header.
//
// A kernel loads blocks as they lie in memory, swaps their words to the
// standard's big-endian order and transposes them, so that a register holds
// word j of every block, one 32-bit lane per block. A round is then the
// scalar round on all lanes at once; the S-box is still a lookup of every
// byte in the standard's 256-byte table, held in registers. Each kernel
// carries its own target attribute, so the rest of the build stays baseline.
#pragma once

#include <cstddef>
#include <cstdint>

#include "protect/Sm4.h"

namespace saferoom {

// The standard's S-box, defined in Sm4.cpp. Every path looks its bytes up in
// this one table.
extern const uint8_t kSm4Sbox[256];

// No path has more lanes.
constexpr size_t kSm4MaxLanes = 16;

// One vector path's kernels.
struct Sm4VecKernels {
  size_t lanes;  // 0 for Sm4Path::Scalar
  // Takes `numSteps` CBC encryption steps in every lane at once: lane k
  // encrypts in place the `numSteps` blocks at data[k], chaining from
  // chain[k], which on return holds its last ciphertext block. A lane whose
  // data is null is idle.
  void (*cbcEncryptLanes)(const uint32_t* rk, uint8_t (*chain)[16], uint8_t* const* data,
                          size_t numSteps);
  // A kernel call costs about the same for any number of blocks up to its
  // width; below minRun blocks (or lanes) the scalar code is faster.
  size_t minRun, maxRun;
  // CBC-decrypts 1 to `maxRun` blocks; in == out is allowed. `chain` holds
  // the ciphertext block before them and, on return, their last one.
  void (*cbcDecrypt)(const uint32_t* rk, uint8_t chain[16], const uint8_t* in, uint8_t* out,
                     size_t numBlocks);
};

// The kernels of `path`; lanes 0 for the scalar one.
Sm4VecKernels Sm4KernelsFor(Sm4Path path);

// For the kernel files: each defines its path's kernels.
Sm4VecKernels Sm4Avx512Kernels();
Sm4VecKernels Sm4Avx2Kernels();

// Where each lane of cbcEncryptLanes reads and writes its next block. Idle
// lanes encrypt a scratch block over and over.
struct Sm4LaneCursor {
  uint8_t* at[kSm4MaxLanes];
  size_t stride[kSm4MaxLanes];
  uint8_t idle[16] = {};

  Sm4LaneCursor(uint8_t* const* data, size_t numLanes) {
    for (size_t k = 0; k < numLanes; ++k) {
      at[k] = data[k] ? data[k] : idle;
      stride[k] = data[k] ? 16 : 0;
    }
  }
  void Advance(size_t numLanes) {
    for (size_t k = 0; k < numLanes; ++k)
      at[k] += stride[k];
  }
};

}  // namespace saferoom
