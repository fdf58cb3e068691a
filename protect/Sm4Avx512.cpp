// SM4 kernels with AVX-512 VBMI: 16 lanes of CBC encryption, CBC decryption
// of up to 64 blocks at once. Called through Sm4KernelsFor (Sm4Vec.h, which
// also describes the layout) only where the processor has these features.
#include "protect/Sm4Vec.h"

#if defined(__x86_64__)

// GCC 12 warns inside its own AVX-512 headers about the deliberately
// undefined register some intrinsics start from.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wuninitialized"
#if !defined(__clang__)
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif
#include <immintrin.h>

namespace saferoom {

#define SM4_AVX512 __attribute__((target("avx512f,avx512bw,avx512vbmi")))

namespace {

struct Sbox512 {
  __m512i part[4];  // 64 entries each
};

SM4_AVX512 inline Sbox512 LoadSbox512() {
  Sbox512 s;
  for (int i = 0; i < 4; ++i)
    s.part[i] = _mm512_loadu_si512(kSm4Sbox + 64 * i);
  return s;
}

// vpermi2b looks up the low seven bits of each byte in 128 table bytes; bit
// seven picks the half.
SM4_AVX512 inline __m512i Tau512(const Sbox512& s, __m512i x) {
  const __m512i low = _mm512_permutex2var_epi8(s.part[0], x, s.part[1]);
  const __m512i high = _mm512_permutex2var_epi8(s.part[2], x, s.part[3]);
  return _mm512_mask_blend_epi8(_mm512_movepi8_mask(x), low, high);
}

// a ^ L(Tau(b ^ c ^ d ^ rk)). d is the word the previous round made, so it
// meets the key last; the xors of L form a tree. 0x96 makes vpternlogd a
// three-way xor.
SM4_AVX512 inline __m512i Round512(const Sbox512& s, __m512i a, __m512i b, __m512i c, __m512i d,
                                   uint32_t rk) {
  const __m512i x =
      _mm512_ternarylogic_epi32(_mm512_xor_si512(b, _mm512_set1_epi32(rk)), c, d, 0x96);
  const __m512i t = Tau512(s, x);
  const __m512i u = _mm512_ternarylogic_epi32(a, t, _mm512_rol_epi32(t, 2), 0x96);
  const __m512i v = _mm512_ternarylogic_epi32(_mm512_rol_epi32(t, 10), _mm512_rol_epi32(t, 18),
                                              _mm512_rol_epi32(t, 24), 0x96);
  return _mm512_xor_si512(u, v);
}

// A 4x4 transpose of words within each 128-bit lane; its own inverse.
SM4_AVX512 inline void Transpose512(__m512i& a, __m512i& b, __m512i& c, __m512i& d) {
  const __m512i ab0 = _mm512_unpacklo_epi32(a, b), ab1 = _mm512_unpackhi_epi32(a, b);
  const __m512i cd0 = _mm512_unpacklo_epi32(c, d), cd1 = _mm512_unpackhi_epi32(c, d);
  a = _mm512_unpacklo_epi64(ab0, cd0);
  b = _mm512_unpackhi_epi64(ab0, cd0);
  c = _mm512_unpacklo_epi64(ab1, cd1);
  d = _mm512_unpackhi_epi64(ab1, cd1);
}

// 32 rounds on G sets of 16 blocks, in memory order in and out. Each round
// waits for the one before; sets side by side fill that wait.
template <int G>
SM4_AVX512 inline void Crypt512(const uint32_t* rk, __m512i (&v)[G][4]) {
  const __m512i swap = _mm512_set4_epi32(0x0c0d0e0f, 0x08090a0b, 0x04050607, 0x00010203);
  const Sbox512 s = LoadSbox512();
  __m512i a[G], b[G], c[G], d[G];
#pragma GCC unroll 4
  for (int g = 0; g < G; ++g) {
    a[g] = _mm512_shuffle_epi8(v[g][0], swap);
    b[g] = _mm512_shuffle_epi8(v[g][1], swap);
    c[g] = _mm512_shuffle_epi8(v[g][2], swap);
    d[g] = _mm512_shuffle_epi8(v[g][3], swap);
    Transpose512(a[g], b[g], c[g], d[g]);
  }
  for (int r = 0; r < 32; r += 4) {
#pragma GCC unroll 4
    for (int g = 0; g < G; ++g) {
      a[g] = Round512(s, a[g], b[g], c[g], d[g], rk[r]);
      b[g] = Round512(s, b[g], c[g], d[g], a[g], rk[r + 1]);
      c[g] = Round512(s, c[g], d[g], a[g], b[g], rk[r + 2]);
      d[g] = Round512(s, d[g], a[g], b[g], c[g], rk[r + 3]);
    }
  }
#pragma GCC unroll 4
  for (int g = 0; g < G; ++g) {
    // The output block is X35..X32: words in reverse order.
    Transpose512(d[g], c[g], b[g], a[g]);
    v[g][0] = _mm512_shuffle_epi8(d[g], swap);
    v[g][1] = _mm512_shuffle_epi8(c[g], swap);
    v[g][2] = _mm512_shuffle_epi8(b[g], swap);
    v[g][3] = _mm512_shuffle_epi8(a[g], swap);
  }
}

SM4_AVX512 inline __m128i Load128(const uint8_t* p) {
  return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
}

// The chains stay in registers from step to step, only the blocks of the
// messages go through memory.
SM4_AVX512 void EncryptLanes512(const uint32_t* rk, uint8_t (*chain)[16], uint8_t* const* data,
                                size_t numSteps) {
  Sm4LaneCursor lane(data, 16);
  __m512i v[1][4];
  for (int i = 0; i < 4; ++i)
    v[0][i] = _mm512_loadu_si512(chain[4 * i]);
  for (size_t step = 0; step < numSteps; ++step) {
    for (int i = 0; i < 4; ++i) {
      uint8_t* const* at = lane.at + 4 * i;
      __m512i plain = _mm512_castsi128_si512(Load128(at[0]));
      plain = _mm512_inserti32x4(plain, Load128(at[1]), 1);
      plain = _mm512_inserti32x4(plain, Load128(at[2]), 2);
      plain = _mm512_inserti32x4(plain, Load128(at[3]), 3);
      v[0][i] = _mm512_xor_si512(v[0][i], plain);
    }
    Crypt512(rk, v);
    for (int i = 0; i < 4; ++i) {
      uint8_t* const* at = lane.at + 4 * i;
      _mm_storeu_si128(reinterpret_cast<__m128i*>(at[0]), _mm512_castsi512_si128(v[0][i]));
      _mm_storeu_si128(reinterpret_cast<__m128i*>(at[1]), _mm512_extracti32x4_epi32(v[0][i], 1));
      _mm_storeu_si128(reinterpret_cast<__m128i*>(at[2]), _mm512_extracti32x4_epi32(v[0][i], 2));
      _mm_storeu_si128(reinterpret_cast<__m128i*>(at[3]), _mm512_extracti32x4_epi32(v[0][i], 3));
    }
    lane.Advance(16);
  }
  for (int i = 0; i < 4; ++i)
    _mm512_storeu_si512(chain[4 * i], v[0][i]);
}

// The words of register i (16 words each) among the first 4 * numBlocks.
inline __mmask16 WordMask(size_t numBlocks, int i) {
  const size_t words = 4 * numBlocks, first = 16 * static_cast<size_t>(i);
  if (words <= first) return 0;
  return words - first >= 16 ? 0xffff : static_cast<__mmask16>((1u << (words - first)) - 1);
}

// numBlocks (1 to 16 * G) blocks; the registers past them hold zeros and are
// never stored. All input is read before the first store: in == out is safe.
template <int G>
SM4_AVX512 inline void CbcDecrypt512(const uint32_t* rk, uint8_t chain[16], const uint8_t* in,
                                     uint8_t* out, size_t numBlocks) {
  __m512i cipher[G][4], v[G][4];
  for (int i = 0; i < 4 * G; ++i)
    cipher[i / 4][i % 4] = v[i / 4][i % 4] =
        _mm512_maskz_loadu_epi32(WordMask(numBlocks, i), in + 64 * i);
  const __m128i last = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in + 16 * (numBlocks - 1)));
  Crypt512(rk, v);
  // Each block's predecessor: the register's blocks shifted up by one, the
  // previous register's last block (or the chain) coming in below.
  __m512i prev = _mm512_broadcast_i32x4(_mm_loadu_si128(reinterpret_cast<const __m128i*>(chain)));
  for (int i = 0; i < 4 * G; ++i) {
    const __m512i c = cipher[i / 4][i % 4];
    const __m512i plain = _mm512_xor_si512(v[i / 4][i % 4], _mm512_alignr_epi32(c, prev, 12));
    _mm512_mask_storeu_epi32(out + 64 * i, WordMask(numBlocks, i), plain);
    prev = c;
  }
  _mm_storeu_si128(reinterpret_cast<__m128i*>(chain), last);
}

SM4_AVX512 void Decrypt512(const uint32_t* rk, uint8_t chain[16], const uint8_t* in, uint8_t* out,
                           size_t numBlocks) {
  if (numBlocks > 32) {
    CbcDecrypt512<4>(rk, chain, in, out, numBlocks);
  } else if (numBlocks > 16) {
    CbcDecrypt512<2>(rk, chain, in, out, numBlocks);
  } else {
    CbcDecrypt512<1>(rk, chain, in, out, numBlocks);
  }
}

}  // namespace

Sm4VecKernels Sm4Avx512Kernels() {
  return {16, EncryptLanes512, 3, 64, Decrypt512};
}

#pragma GCC diagnostic pop

#endif

}  // namespace saferoom
