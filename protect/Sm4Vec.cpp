// SM4 on groups of independent blocks with x86-64 vector instructions.
// Called by protect/Sm4.cpp. Each kernel carries its own target attribute and
// runs only after Sm4VecSupported, so the rest of the build stays baseline.
//
// Layout: the blocks are loaded as they lie in memory, their words byte-
// swapped to the standard's big-endian order, and transposed so that one
// register holds word j of every block, one 32-bit lane per block. A round is
// then the scalar round on all lanes at once; the S-box is still a lookup of
// every byte in the standard's 256-byte table, held in registers.
#include "protect/Sm4Vec.h"

#if defined(__x86_64__)

// GCC 12 warns inside its own AVX-512 headers about the deliberately
// undefined register some intrinsics start from.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wuninitialized"
#include <immintrin.h>

#define SM4_AVX512 __attribute__((target("avx512f,avx512bw,avx512vbmi")))
#define SM4_AVX2 __attribute__((target("avx2")))

namespace {

// ---- AVX-512 VBMI: 16 blocks, four to a register ----

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

SM4_AVX512 void CryptAvx512(const uint32_t* rk, const uint8_t* in, uint8_t* out) {
  __m512i v[1][4];
  for (int i = 0; i < 4; ++i)
    v[0][i] = _mm512_loadu_si512(in + 64 * i);
  Crypt512(rk, v);
  for (int i = 0; i < 4; ++i)
    _mm512_storeu_si512(out + 64 * i, v[0][i]);
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

SM4_AVX512 void CbcDecryptAvx512(const uint32_t* rk, uint8_t chain[16], const uint8_t* in,
                                 uint8_t* out, size_t numBlocks) {
  if (numBlocks > 32) {
    CbcDecrypt512<4>(rk, chain, in, out, numBlocks);
  } else if (numBlocks > 16) {
    CbcDecrypt512<2>(rk, chain, in, out, numBlocks);
  } else {
    CbcDecrypt512<1>(rk, chain, in, out, numBlocks);
  }
}

// ---- AVX2: 8 blocks, two to a register ----

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

SM4_AVX2 void CryptAvx2(const uint32_t* rk, const uint8_t* in, uint8_t* out) {
  __m256i v[4];
  for (int i = 0; i < 4; ++i)
    v[i] = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(in + 32 * i));
  Crypt256(rk, v);
  for (int i = 0; i < 4; ++i)
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + 32 * i), v[i]);
}

// The words of register i (8 words each) among the first 4 * numBlocks, as
// vpmaskmovd wants them: all ones in a word to load or store.
SM4_AVX2 inline __m256i WordMask256(size_t numBlocks, int i) {
  const int words = static_cast<int>(4 * numBlocks) - 8 * i;
  return _mm256_cmpgt_epi32(_mm256_set1_epi32(words), _mm256_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7));
}

// As CbcDecrypt512, for 1 to 8 blocks.
SM4_AVX2 void CbcDecryptAvx2(const uint32_t* rk, uint8_t chain[16], const uint8_t* in, uint8_t* out,
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

bool Sm4VecSupported(Sm4Path path) {
  switch (path) {
    case Sm4Path::Scalar:
      return true;
    case Sm4Path::Avx2:
      return __builtin_cpu_supports("avx2");
    case Sm4Path::Avx512:
      return __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw") &&
             __builtin_cpu_supports("avx512vbmi");
  }
  return false;
}

Sm4VecKernels Sm4VecKernelsFor(Sm4Path path) {
  switch (path) {
    case Sm4Path::Avx512:
      return {16, CryptAvx512, 3, 64, CbcDecryptAvx512};
    case Sm4Path::Avx2:
      return {8, CryptAvx2, 7, 8, CbcDecryptAvx2};
    default:
      return {0, nullptr, 0, 0, nullptr};
  }
}

#pragma GCC diagnostic pop

#else  // not x86-64: the scalar path only

bool Sm4VecSupported(Sm4Path path) {
  return path == Sm4Path::Scalar;
}

Sm4VecKernels Sm4VecKernelsFor(Sm4Path) {
  return {0, nullptr, 0, 0, nullptr};
}

#endif
