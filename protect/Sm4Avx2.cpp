// SM4 kernels with AVX2, 8 blocks at once: the fallback for processors
// without AVX-512 VBMI. Called through Sm4KernelsFor (Sm4Vec.h, which also
// describes the layout) only where the processor has AVX2.
#include "protect/Sm4Vec.h"

#if defined(__x86_64__)

#include <immintrin.h>

namespace saferoom {

#define SM4_AVX2 __attribute__((target("avx2")))

namespace {

// Sixteen vpshufb look up the low nibble in each 16-byte slice of the
// table; bits 4 to 7 then choose among the sixteen results, halving them at
// each bit.
SM4_AVX2 inline __m256i Tau256(__m256i x) {
  const __m256i nibble = _mm256_and_si256(x, _mm256_set1_epi8(0x0f));
  __m256i pick[16];
#pragma GCC unroll 16
  for (int i = 0; i < 16; ++i) {
    const __m128i slice = _mm_loadu_si128(reinterpret_cast<const __m128i*>(kSm4Sbox + 16 * i));
    pick[i] = _mm256_shuffle_epi8(_mm256_broadcastsi128_si256(slice), nibble);
  }
  int count = 16;
#pragma GCC unroll 4
  for (int bit = 4; bit < 8; ++bit) {
    const __m256i select = _mm256_slli_epi16(x, 7 - bit);  // vpblendvb reads bit 7
    count /= 2;
#pragma GCC unroll 8
    for (int i = 0; i < count; ++i)
      pick[i] = _mm256_blendv_epi8(pick[2 * i], pick[2 * i + 1], select);
  }
  return pick[0];
}

SM4_AVX2 inline __m256i Rol256(__m256i x, int n) {
  return _mm256_or_si256(_mm256_slli_epi32(x, n), _mm256_srli_epi32(x, 32 - n));
}

SM4_AVX2 inline __m256i Round256(__m256i a, __m256i b, __m256i c, __m256i d, uint32_t rk) {
  const __m256i x =
      _mm256_xor_si256(_mm256_xor_si256(b, c), _mm256_xor_si256(d, _mm256_set1_epi32(rk)));
  const __m256i t = Tau256(x);
  const __m256i u =
      _mm256_xor_si256(_mm256_xor_si256(a, t), _mm256_xor_si256(Rol256(t, 2), Rol256(t, 10)));
  return _mm256_xor_si256(u, _mm256_xor_si256(Rol256(t, 18), Rol256(t, 24)));
}

SM4_AVX2 inline void Transpose256(__m256i& a, __m256i& b, __m256i& c, __m256i& d) {
  const __m256i ab0 = _mm256_unpacklo_epi32(a, b), ab1 = _mm256_unpackhi_epi32(a, b);
  const __m256i cd0 = _mm256_unpacklo_epi32(c, d), cd1 = _mm256_unpackhi_epi32(c, d);
  a = _mm256_unpacklo_epi64(ab0, cd0);
  b = _mm256_unpackhi_epi64(ab0, cd0);
  c = _mm256_unpacklo_epi64(ab1, cd1);
  d = _mm256_unpackhi_epi64(ab1, cd1);
}

SM4_AVX2 inline void Crypt256(const uint32_t* rk, __m256i (&v)[4]) {
  const __m256i swap = _mm256_set_epi32(0x0c0d0e0f, 0x08090a0b, 0x04050607, 0x00010203, 0x0c0d0e0f,
                                        0x08090a0b, 0x04050607, 0x00010203);
  __m256i a = _mm256_shuffle_epi8(v[0], swap), b = _mm256_shuffle_epi8(v[1], swap);
  __m256i c = _mm256_shuffle_epi8(v[2], swap), d = _mm256_shuffle_epi8(v[3], swap);
  Transpose256(a, b, c, d);
  for (int r = 0; r < 32; r += 4) {
    a = Round256(a, b, c, d, rk[r]);
    b = Round256(b, c, d, a, rk[r + 1]);
    c = Round256(c, d, a, b, rk[r + 2]);
    d = Round256(d, a, b, c, rk[r + 3]);
  }
  Transpose256(d, c, b, a);
  v[0] = _mm256_shuffle_epi8(d, swap);
  v[1] = _mm256_shuffle_epi8(c, swap);
  v[2] = _mm256_shuffle_epi8(b, swap);
  v[3] = _mm256_shuffle_epi8(a, swap);
}

// As EncryptLanes512 in Sm4Avx512.cpp, for 8 lanes.
SM4_AVX2 void EncryptLanes256(const uint32_t* rk, uint8_t (*chain)[16], uint8_t* const* data,
                              size_t numSteps) {
  Sm4LaneCursor lane(data, 8);
  __m256i v[4];
  for (int i = 0; i < 4; ++i)
    v[i] = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(chain[2 * i]));
  for (size_t step = 0; step < numSteps; ++step) {
    for (int i = 0; i < 4; ++i) {
      const __m128i low = _mm_loadu_si128(reinterpret_cast<const __m128i*>(lane.at[2 * i]));
      const __m128i high = _mm_loadu_si128(reinterpret_cast<const __m128i*>(lane.at[2 * i + 1]));
      v[i] = _mm256_xor_si256(v[i], _mm256_inserti128_si256(_mm256_castsi128_si256(low), high, 1));
    }
    Crypt256(rk, v);
    for (int i = 0; i < 4; ++i) {
      _mm_storeu_si128(reinterpret_cast<__m128i*>(lane.at[2 * i]), _mm256_castsi256_si128(v[i]));
      _mm_storeu_si128(reinterpret_cast<__m128i*>(lane.at[2 * i + 1]),
                       _mm256_extracti128_si256(v[i], 1));
    }
    lane.Advance(8);
  }
  for (int i = 0; i < 4; ++i)
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(chain[2 * i]), v[i]);
}

// The words of register i (8 words each) among the first 4 * numBlocks, as
// vpmaskmovd wants them: all ones in a word to load or store.
SM4_AVX2 inline __m256i WordMask256(size_t numBlocks, int i) {
  const int words = static_cast<int>(4 * numBlocks) - 8 * i;
  return _mm256_cmpgt_epi32(_mm256_set1_epi32(words), _mm256_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7));
}

// As CbcDecrypt512 in Sm4Avx512.cpp, for 1 to 8 blocks.
SM4_AVX2 void Decrypt256(const uint32_t* rk, uint8_t chain[16], const uint8_t* in, uint8_t* out,
                         size_t numBlocks) {
  __m256i cipher[4], v[4];
  for (int i = 0; i < 4; ++i)
    cipher[i] = v[i] =
        _mm256_maskload_epi32(reinterpret_cast<const int*>(in + 32 * i), WordMask256(numBlocks, i));
  const __m128i last = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in + 16 * (numBlocks - 1)));
  Crypt256(rk, v);
  __m256i prev =
      _mm256_broadcastsi128_si256(_mm_loadu_si128(reinterpret_cast<const __m128i*>(chain)));
  for (int i = 0; i < 4; ++i) {
    // (prev's high block, this register's low block)
    const __m256i before = _mm256_permute2x128_si256(prev, cipher[i], 0x21);
    _mm256_maskstore_epi32(reinterpret_cast<int*>(out + 32 * i), WordMask256(numBlocks, i),
                           _mm256_xor_si256(v[i], before));
    prev = cipher[i];
  }
  _mm_storeu_si128(reinterpret_cast<__m128i*>(chain), last);
}

}  // namespace

Sm4VecKernels Sm4Avx2Kernels() {
  return {8, EncryptLanes256, 7, 8, Decrypt256};
}

#endif

}  // namespace saferoom
