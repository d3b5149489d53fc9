// SPDX-License-Identifier: GPL-3.0-or-later
// Eight lanes in AVX2's 256-bit registers; the build compiles this file alone
// for AVX2, and it calls nothing outside itself that could be compiled so.
#include <immintrin.h>

#include "md5/internal.h"
#include "md5/lanes_rounds.h"

namespace {

struct avx2_ops {
  using V = __m256i;
  static constexpr int kWidth = 8;

  static V load(const std::uint32_t* p) { return _mm256_load_si256(reinterpret_cast<const V*>(p)); }
  static void store(std::uint32_t* p, V x) { _mm256_store_si256(reinterpret_cast<V*>(p), x); }
  static V add(V x, V y) { return _mm256_add_epi32(x, y); }
  static V sub(V x, V y) { return _mm256_sub_epi32(x, y); }
  static V and_(V x, V y) { return _mm256_and_si256(x, y); }
  static V andnot(V x, V y) { return _mm256_andnot_si256(x, y); }
  static V or_(V x, V y) { return _mm256_or_si256(x, y); }
  static V xor_(V x, V y) { return _mm256_xor_si256(x, y); }
  template <int S>
  static V shl(V x) {
    return _mm256_slli_epi32(x, S);
  }
  template <int S>
  static V shr(V x) {
    return _mm256_srli_epi32(x, S);
  }

  // Returns the four words at `at` of lane `lo` in the low half, of lane `hi` in the high half.
  static V row(const std::uint8_t* lo, const std::uint8_t* hi, std::size_t at) {
    __m128i l = _mm_loadu_si128(reinterpret_cast<const __m128i*>(lo + at));
    __m128i h = _mm_loadu_si128(reinterpret_cast<const __m128i*>(hi + at));
    return _mm256_inserti128_si256(_mm256_castsi128_si256(l), h, 1);
  }

  // Row i holds lane i and lane i + 4, so the unpacks, which stay within each
  // half, leave lanes 0 to 7 in order.
  static void load_words(const std::uint8_t* const p[], std::size_t at, V out[4]) {
    V r0 = row(p[0], p[4], at), r1 = row(p[1], p[5], at);
    V r2 = row(p[2], p[6], at), r3 = row(p[3], p[7], at);
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

void md5_lanes_avx2(md5_state* const states[], const std::uint8_t* const data[], int lanes,
                    std::size_t blocks) {
  compress_lanes<avx2_ops>(states, data, lanes, blocks);
}
