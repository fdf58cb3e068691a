// Vector kernels for SM4 on x86-64 (AVX-512 VBMI, AVX2); on other machines
// none exists. Only protect/Sm4.cpp calls them, after checking the processor.
#pragma once

#include <cstddef>
#include <cstdint>

#include "protect/Sm4.h"

// The standard's S-box, defined in Sm4.cpp. Every path looks its bytes up in
// this one table.
extern const uint8_t kSm4Sbox[256];

// No path has more lanes.
constexpr size_t kSm4MaxLanes = 16;

// One vector path's kernels; in == out is allowed.
struct Sm4VecKernels {
  size_t lanes;  // 0 for Sm4Path::Scalar
  // Encrypts (or, with reversed keys, decrypts) `lanes` independent blocks.
  void (*crypt)(const uint32_t* rk, const uint8_t* in, uint8_t* out);
  // A kernel call costs about the same for any number of blocks up to its
  // width; below minRun blocks the scalar code is faster.
  size_t minRun, maxRun;
  // CBC-decrypts 1 to `maxRun` blocks. `chain` holds the ciphertext block
  // before them and, on return, their last one.
  void (*cbcDecrypt)(const uint32_t* rk, uint8_t chain[16], const uint8_t* in, uint8_t* out,
                     size_t numBlocks);
};

// Whether this processor (and its OS) can run `path`.
bool Sm4VecSupported(Sm4Path path);

// The kernels of `path`; lanes 0 for the scalar path or where the path does
// not exist in this build. Does not check the processor.
Sm4VecKernels Sm4VecKernelsFor(Sm4Path path);
