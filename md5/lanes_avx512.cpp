// SPDX-License-Identifier: GPL-3.0-or-later
// Sixteen lanes in AVX-512's 512-bit registers, and eight in its 256-bit ones
// (AVX-512VL), each step's function one vpternlogd and its rotation one
// vprold; the build compiles this file alone for AVX-512F and VL, and it calls
// nothing outside itself that could be compiled so.
#include <immintrin.h>

#include "md5/internal.h"
#include "md5/lanes_rounds.h"

namespace {

inline __m128i load128(const std::uint8_t* p) {
  return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
}

struct avx512_ops {
  using V = __m512i;
  static constexpr int kWidth = 16;

  static V load(const std::uint32_t* p) { return _mm512_load_si512(p); }
  static void store(std::uint32_t* p, V x) { _mm512_store_si512(p, x); }
  static V add(V x, V y) { return _mm512_add_epi32(x, y); }
  static V sub(V x, V y) { return _mm512_sub_epi32(x, y); }
  template <int S>
  static V rol(V x) {
    return _mm512_rol_epi32(x, S);
  }
  template <int F>
  static V logic(V x, V y, V z) {
    return _mm512_ternarylogic_epi32(x, y, z, F);
  }

  // Returns the four words at `at` of lanes r, r + 4, r + 8 and r + 12, one in each quarter.
  static V row(const std::uint8_t* const p[], int r, std::size_t at) {
    V v = _mm512_castsi128_si512(load128(p[r] + at));
    v = _mm512_inserti32x4(v, load128(p[r + 4] + at), 1);
    v = _mm512_inserti32x4(v, load128(p[r + 8] + at), 2);
    return _mm512_inserti32x4(v, load128(p[r + 12] + at), 3);
  }

  // The unpacks stay within each quarter, so quarter q of out[j] holds word j
  // of lanes 4q to 4q + 3, and out[j] lanes 0 to 15 in order.
  static void load_words(const std::uint8_t* const p[], std::size_t at, V out[4]) {
    V r0 = row(p, 0, at), r1 = row(p, 1, at), r2 = row(p, 2, at), r3 = row(p, 3, at);
    V t0 = _mm512_unpacklo_epi32(r0, r1);
    V t1 = _mm512_unpackhi_epi32(r0, r1);
    V t2 = _mm512_unpacklo_epi32(r2, r3);
    V t3 = _mm512_unpackhi_epi32(r2, r3);
    out[0] = _mm512_unpacklo_epi64(t0, t2);
    out[1] = _mm512_unpackhi_epi64(t0, t2);
    out[2] = _mm512_unpacklo_epi64(t1, t3);
    out[3] = _mm512_unpackhi_epi64(t1, t3);
  }
};

// The same steps on 256-bit registers, for eight lanes or fewer: where the
// processor runs a 512-bit operation as two halves, they cost half as much.
struct avx512vl_ops {
  using V = __m256i;
  static constexpr int kWidth = 8;

  static V load(const std::uint32_t* p) { return _mm256_load_si256(reinterpret_cast<const V*>(p)); }
  static void store(std::uint32_t* p, V x) { _mm256_store_si256(reinterpret_cast<V*>(p), x); }
  static V add(V x, V y) { return _mm256_add_epi32(x, y); }
  static V sub(V x, V y) { return _mm256_sub_epi32(x, y); }
  template <int S>
  static V rol(V x) {
    return _mm256_rol_epi32(x, S);
  }
  template <int F>
  static V logic(V x, V y, V z) {
    return _mm256_ternarylogic_epi32(x, y, z, F);
  }

  // Returns the four words at `at` of lane r in the low half, of lane r + 4 in the high half.
  static V row(const std::uint8_t* const p[], int r, std::size_t at) {
    return _mm256_inserti128_si256(_mm256_castsi128_si256(load128(p[r] + at)),
                                   load128(p[r + 4] + at), 1);
  }

  // As avx512_ops::load_words, in halves.
  static void load_words(const std::uint8_t* const p[], std::size_t at, V out[4]) {
    V r0 = row(p, 0, at), r1 = row(p, 1, at), r2 = row(p, 2, at), r3 = row(p, 3, at);
    V t0 = _mm256_unpacklo_epi32(r0, r1);
    V t1 = _mm256_unpackhi_epi32(r0, r1);
    V t2 = _mm256_unpacklo_epi32(r2, r3);
    V t3 = _mm256_unpackhi_epi32(r2, r3);
    out[0] = _mm256_unpacklo_epi64(t0, t2);
    out[1] = _mm256_unpackhi_epi64(t0, t2);
    out[2] = _mm256_unpacklo_epi64(t1, t3);
    out[3] = _mm256_unpackhi_epi64(t1, t3);
  }
};

}  // namespace

void md5_lanes_avx512(md5_state* const states[], const std::uint8_t* const data[], int lanes,
                      std::size_t blocks) {
  compress_lanes<avx512_ops>(states, data, lanes, blocks);
}

void md5_lanes_avx512vl(md5_state* const states[], const std::uint8_t* const data[], int lanes,
                        std::size_t blocks) {
  compress_lanes<avx512vl_ops>(states, data, lanes, blocks);
}
