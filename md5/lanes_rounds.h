// SPDX-License-Identifier: GPL-3.0-or-later
// The MD5 compression written once over vectors of 32-bit lanes, one message
// per lane, for the files that compile it for one instruction set each; only
// md5/ includes this. Such a file defines a record of operations `O` (below)
// and calls compress_lanes<O>. Everything here is file-local to its includer,
// so that code compiled for one instruction set never stands in for another's.
//
// `O` provides: the vector type V; kWidth, its lanes; load and store of kWidth
// words; set1, add, and_, andnot (~x & y), or_, xor_; shl<S> and shr<S>; and
// load_words, which reads words 4k..4k+3 of each lane's block and transposes
// them so that vector j holds word 4k+j of every lane.
#ifndef VELORAND_MD5_LANES_ROUNDS_H_
#define VELORAND_MD5_LANES_ROUNDS_H_

#include <cstddef>
#include <cstdint>

#include "md5/md5.h"

namespace {

template <class O>
using vec = typename O::V;

template <class O, int S>
inline vec<O> rotl(vec<O> x) {
  return O::or_(O::template shl<S>(x), O::template shr<32 - S>(x));
}

// Adds a step's constant to its message word apart from the chain of dependent
// steps; the empty asm stops compilers from reassociating the sum back into it.
template <class O>
inline vec<O> km(std::uint32_t k, vec<O> m) {
  vec<O> t = O::add(O::set1(k), m);
  asm("" : "+x"(t));
  return t;
}

// As in the single-stream code, each step adds the terms that do not depend
// on b first, so only its last operations wait on the previous step.
template <class O, int S>
inline void ff(vec<O>& a, vec<O> b, vec<O> c, vec<O> d, vec<O> t) {
  a = O::add(b, rotl<O, S>(O::add(O::add(a, t), O::xor_(d, O::and_(b, O::xor_(c, d))))));
}
// G's two terms never share a set bit, so adding them equals or-ing them.
template <class O, int S>
inline void gg(vec<O>& a, vec<O> b, vec<O> c, vec<O> d, vec<O> t) {
  a = O::add(b, rotl<O, S>(O::add(O::add(O::add(a, t), O::andnot(d, c)), O::and_(d, b))));
}
template <class O, int S>
inline void hh(vec<O>& a, vec<O> b, vec<O> c, vec<O> d, vec<O> t) {
  a = O::add(b, rotl<O, S>(O::add(O::add(a, t), O::xor_(b, O::xor_(c, d)))));
}
template <class O, int S>
inline void ii(vec<O>& a, vec<O> b, vec<O> c, vec<O> d, vec<O> t) {
  vec<O> not_d = O::xor_(d, O::set1(0xffffffff));
  a = O::add(b, rotl<O, S>(O::add(O::add(a, t), O::xor_(c, O::or_(b, not_d)))));
}

// Runs the 64 steps over one block of every lane, message words in `m`.
template <class O>
inline void rounds(vec<O>& sa, vec<O>& sb, vec<O>& sc, vec<O>& sd, const vec<O>* m) {
  vec<O> a = sa, b = sb, c = sc, d = sd;

  ff<O, 7>(a, b, c, d, km<O>(0xd76aa478, m[0]));
  ff<O, 12>(d, a, b, c, km<O>(0xe8c7b756, m[1]));
  ff<O, 17>(c, d, a, b, km<O>(0x242070db, m[2]));
  ff<O, 22>(b, c, d, a, km<O>(0xc1bdceee, m[3]));
  ff<O, 7>(a, b, c, d, km<O>(0xf57c0faf, m[4]));
  ff<O, 12>(d, a, b, c, km<O>(0x4787c62a, m[5]));
  ff<O, 17>(c, d, a, b, km<O>(0xa8304613, m[6]));
  ff<O, 22>(b, c, d, a, km<O>(0xfd469501, m[7]));
  ff<O, 7>(a, b, c, d, km<O>(0x698098d8, m[8]));
  ff<O, 12>(d, a, b, c, km<O>(0x8b44f7af, m[9]));
  ff<O, 17>(c, d, a, b, km<O>(0xffff5bb1, m[10]));
  ff<O, 22>(b, c, d, a, km<O>(0x895cd7be, m[11]));
  ff<O, 7>(a, b, c, d, km<O>(0x6b901122, m[12]));
  ff<O, 12>(d, a, b, c, km<O>(0xfd987193, m[13]));
  ff<O, 17>(c, d, a, b, km<O>(0xa679438e, m[14]));
  ff<O, 22>(b, c, d, a, km<O>(0x49b40821, m[15]));

  gg<O, 5>(a, b, c, d, km<O>(0xf61e2562, m[1]));
  gg<O, 9>(d, a, b, c, km<O>(0xc040b340, m[6]));
  gg<O, 14>(c, d, a, b, km<O>(0x265e5a51, m[11]));
  gg<O, 20>(b, c, d, a, km<O>(0xe9b6c7aa, m[0]));
  gg<O, 5>(a, b, c, d, km<O>(0xd62f105d, m[5]));
  gg<O, 9>(d, a, b, c, km<O>(0x02441453, m[10]));
  gg<O, 14>(c, d, a, b, km<O>(0xd8a1e681, m[15]));
  gg<O, 20>(b, c, d, a, km<O>(0xe7d3fbc8, m[4]));
  gg<O, 5>(a, b, c, d, km<O>(0x21e1cde6, m[9]));
  gg<O, 9>(d, a, b, c, km<O>(0xc33707d6, m[14]));
  gg<O, 14>(c, d, a, b, km<O>(0xf4d50d87, m[3]));
  gg<O, 20>(b, c, d, a, km<O>(0x455a14ed, m[8]));
  gg<O, 5>(a, b, c, d, km<O>(0xa9e3e905, m[13]));
  gg<O, 9>(d, a, b, c, km<O>(0xfcefa3f8, m[2]));
  gg<O, 14>(c, d, a, b, km<O>(0x676f02d9, m[7]));
  gg<O, 20>(b, c, d, a, km<O>(0x8d2a4c8a, m[12]));

  hh<O, 4>(a, b, c, d, km<O>(0xfffa3942, m[5]));
  hh<O, 11>(d, a, b, c, km<O>(0x8771f681, m[8]));
  hh<O, 16>(c, d, a, b, km<O>(0x6d9d6122, m[11]));
  hh<O, 23>(b, c, d, a, km<O>(0xfde5380c, m[14]));
  hh<O, 4>(a, b, c, d, km<O>(0xa4beea44, m[1]));
  hh<O, 11>(d, a, b, c, km<O>(0x4bdecfa9, m[4]));
  hh<O, 16>(c, d, a, b, km<O>(0xf6bb4b60, m[7]));
  hh<O, 23>(b, c, d, a, km<O>(0xbebfbc70, m[10]));
  hh<O, 4>(a, b, c, d, km<O>(0x289b7ec6, m[13]));
  hh<O, 11>(d, a, b, c, km<O>(0xeaa127fa, m[0]));
  hh<O, 16>(c, d, a, b, km<O>(0xd4ef3085, m[3]));
  hh<O, 23>(b, c, d, a, km<O>(0x04881d05, m[6]));
  hh<O, 4>(a, b, c, d, km<O>(0xd9d4d039, m[9]));
  hh<O, 11>(d, a, b, c, km<O>(0xe6db99e5, m[12]));
  hh<O, 16>(c, d, a, b, km<O>(0x1fa27cf8, m[15]));
  hh<O, 23>(b, c, d, a, km<O>(0xc4ac5665, m[2]));

  ii<O, 6>(a, b, c, d, km<O>(0xf4292244, m[0]));
  ii<O, 10>(d, a, b, c, km<O>(0x432aff97, m[7]));
  ii<O, 15>(c, d, a, b, km<O>(0xab9423a7, m[14]));
  ii<O, 21>(b, c, d, a, km<O>(0xfc93a039, m[5]));
  ii<O, 6>(a, b, c, d, km<O>(0x655b59c3, m[12]));
  ii<O, 10>(d, a, b, c, km<O>(0x8f0ccc92, m[3]));
  ii<O, 15>(c, d, a, b, km<O>(0xffeff47d, m[10]));
  ii<O, 21>(b, c, d, a, km<O>(0x85845dd1, m[1]));
  ii<O, 6>(a, b, c, d, km<O>(0x6fa87e4f, m[8]));
  ii<O, 10>(d, a, b, c, km<O>(0xfe2ce6e0, m[15]));
  ii<O, 15>(c, d, a, b, km<O>(0xa3014314, m[6]));
  ii<O, 21>(b, c, d, a, km<O>(0x4e0811a1, m[13]));
  ii<O, 6>(a, b, c, d, km<O>(0xf7537e82, m[4]));
  ii<O, 10>(d, a, b, c, km<O>(0xbd3af235, m[11]));
  ii<O, 15>(c, d, a, b, km<O>(0x2ad7d2bb, m[2]));
  ii<O, 21>(b, c, d, a, km<O>(0xeb86d391, m[9]));

  sa = O::add(sa, a);
  sb = O::add(sb, b);
  sc = O::add(sc, c);
  sd = O::add(sd, d);
}

// Compresses `blocks` blocks into every lane whose data is not null, keeping
// the chaining words in registers from one block to the next. An idle lane
// repeats a busy lane's work, and its result is dropped.
template <class O>
void compress_lanes(md5_state* const states[], const std::uint8_t* const data[], int lanes,
                    std::size_t blocks) {
  int busy = 0;
  while (busy < lanes && data[busy] == nullptr) ++busy;
  if (busy == lanes || blocks == 0) return;
  const std::uint8_t* p[O::kWidth];
  alignas(64) std::uint32_t w[4][O::kWidth];
  for (int i = 0; i < O::kWidth; ++i) {
    int from = i < lanes && data[i] != nullptr ? i : busy;
    p[i] = data[from];
    w[0][i] = states[from]->A;
    w[1][i] = states[from]->B;
    w[2][i] = states[from]->C;
    w[3][i] = states[from]->D;
  }
  vec<O> a = O::load(w[0]), b = O::load(w[1]), c = O::load(w[2]), d = O::load(w[3]);
  for (; blocks != 0; --blocks) {
    vec<O> m[16];
    for (int k = 0; k < 4; ++k) O::load_words(p, k, m + 4 * k);
    for (int i = 0; i < O::kWidth; ++i) p[i] += 64;
    rounds<O>(a, b, c, d, m);
  }
  O::store(w[0], a);
  O::store(w[1], b);
  O::store(w[2], c);
  O::store(w[3], d);
  for (int i = 0; i < lanes; ++i) {
    if (data[i] == nullptr) continue;
    states[i]->A = w[0][i];
    states[i]->B = w[1][i];
    states[i]->C = w[2][i];
    states[i]->D = w[3][i];
  }
}

}  // namespace

#endif  // VELORAND_MD5_LANES_ROUNDS_H_
