// SPDX-License-Identifier: GPL-3.0-or-later
// Four lanes in SSE2's 128-bit registers, which every x86-64 processor has.
#include <emmintrin.h>

#include "md5/internal.h"
#include "md5/lanes_rounds.h"

namespace {

struct sse2_ops {
  using V = __m128i;
  static constexpr int kWidth = 4;

  static V load(const std::uint32_t* p) { return _mm_load_si128(reinterpret_cast<const V*>(p)); }
  static void store(std::uint32_t* p, V x) { _mm_store_si128(reinterpret_cast<V*>(p), x); }
  static V add(V x, V y) { return _mm_add_epi32(x, y); }
  static V sub(V x, V y) { return _mm_sub_epi32(x, y); }
  static V and_(V x, V y) { return _mm_and_si128(x, y); }
  static V andnot(V x, V y) { return _mm_andnot_si128(x, y); }
  static V or_(V x, V y) { return _mm_or_si128(x, y); }
  static V xor_(V x, V y) { return _mm_xor_si128(x, y); }
  template <int S>
  static V shl(V x) {
    return _mm_slli_epi32(x, S);
  }
  template <int S>
  static V shr(V x) {
    return _mm_srli_epi32(x, S);
  }

  // Each lane's four words arrive as one row; the unpacks turn rows into columns.
  static void load_words(const std::uint8_t* const p[], std::size_t at, V out[4]) {
    V r0 = _mm_loadu_si128(reinterpret_cast<const V*>(p[0] + at));
    V r1 = _mm_loadu_si128(reinterpret_cast<const V*>(p[1] + at));
    V r2 = _mm_loadu_si128(reinterpret_cast<const V*>(p[2] + at));
    V r3 = _mm_loadu_si128(reinterpret_cast<const V*>(p[3] + at));
    V t0 = _mm_unpacklo_epi32(r0, r1);
    V t1 = _mm_unpackhi_epi32(r0, r1);
    V t2 = _mm_unpacklo_epi32(r2, r3);
    V t3 = _mm_unpackhi_epi32(r2, r3);
    out[0] = _mm_unpacklo_epi64(t0, t2);
    out[1] = _mm_unpackhi_epi64(t0, t2);
    out[2] = _mm_unpacklo_epi64(t1, t3);
    out[3] = _mm_unpackhi_epi64(t1, t3);
  }
};

}  // namespace

void md5_lanes_sse2(md5_state* const states[], const std::uint8_t* const data[], int lanes,
                    std::size_t blocks) {
  compress_lanes<sse2_ops>(states, data, lanes, blocks);
}
