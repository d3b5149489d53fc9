// SPDX-License-Identifier: GPL-3.0-or-later
// The MD5 compression written once over vectors of 32-bit lanes, one message
// per lane, for the files that compile it for one instruction set each; only
// md5/ includes this. Such a file defines a record of operations `O` (below)
// and calls compress_lanes<O>. Everything here is file-local to its includer,
// so that code compiled for one instruction set never stands in for another's.
//
// `O` provides: the vector type V; kWidth, its lanes; load and store of kWidth
// words; add, sub, and_, andnot (~x & y), or_, xor_; shl<S> and shr<S>; and
// load_words(p, at, out), which reads the four words at byte `at` of every
// lane's data and transposes them so that out[j] holds word j of every lane.
// An instruction set that rotates and computes any function of three vectors
// in one instruction each provides rol<S> and logic<F>(x, y, z), F being the
// function's truth table indexed by x << 2 | y << 1 | z, and the steps use them.
#ifndef VELORAND_MD5_LANES_ROUNDS_H_
#define VELORAND_MD5_LANES_ROUNDS_H_

#include <cstddef>
#include <cstdint>

#include "md5/internal.h"

namespace {

template <class O>
using vec = typename O::V;

// Whether `O` rotates and computes three-way functions in one instruction each.
template <class O>
concept one_step_logic = requires(vec<O> x) {
  O::template rol<1>(x);
  O::template logic<0>(x, x, x);
};

template <class O, int S>
inline vec<O> rotl(vec<O> x) {
  if constexpr (one_step_logic<O>) {
    return O::template rol<S>(x);
  } else {
    return O::or_(O::template shl<S>(x), O::template shr<32 - S>(x));
  }
}

// The constants spread over every lane, loaded by the additions that use them;
// those of the last round one less, as ii below wants them.
template <int W>
struct lane_steps {
  alignas(64) std::uint32_t k[64][W];
};
template <int W>
constexpr lane_steps<W> spread_steps() {
  lane_steps<W> t{};
  for (int i = 0; i < 64; ++i) {
    for (int j = 0; j < W; ++j) t.k[i][j] = kMd5Steps[i] - (i >= 48 ? 1 : 0);
  }
  return t;
}
template <int W>
constexpr lane_steps<W> kLaneSteps = spread_steps<W>();

// Adds a step's constant to its message word, apart from the chain of steps.
template <class O>
inline vec<O> km(const std::uint32_t* k, vec<O> m) {
  return O::add(O::load(k), m);
}

// Returns `t` through an empty asm, which stops compilers from reassociating a
// sum computed apart from the chain of steps back into it.
template <class O>
inline vec<O> keep(vec<O> t) {
  asm("" : "+v"(t));
  return t;
}

// The steps' functions of b, c and d as truth tables: F is b ? c : d, G is
// d ? b : c, H is b ^ c ^ d, and I is c ^ (b | ~d), whose complement ii uses.
constexpr int kF = 0xca, kG = 0xe4, kH = 0x96, kNotI = 0xc6;

// As in the single-stream code, each step adds the terms that do not depend
// on b first, so only its last operations wait on the previous step.
template <class O, int S>
inline void ff(vec<O>& a, vec<O> b, vec<O> c, vec<O> d, vec<O> t) {
  if constexpr (one_step_logic<O>) {
    a = O::add(b, rotl<O, S>(O::add(keep<O>(O::add(a, t)), O::template logic<kF>(b, c, d))));
  } else {
    a = O::add(b, rotl<O, S>(O::add(keep<O>(O::add(a, t)), O::xor_(d, O::and_(b, O::xor_(c, d))))));
  }
}
// G's two terms never share a set bit, so adding them equals or-ing them.
template <class O, int S>
inline void gg(vec<O>& a, vec<O> b, vec<O> c, vec<O> d, vec<O> t) {
  if constexpr (one_step_logic<O>) {
    a = O::add(b, rotl<O, S>(O::add(keep<O>(O::add(a, t)), O::template logic<kG>(b, c, d))));
  } else {
    a = O::add(b,
               rotl<O, S>(O::add(keep<O>(O::add(O::add(a, t), O::andnot(d, c))), O::and_(d, b))));
  }
}
template <class O, int S>
inline void hh(vec<O>& a, vec<O> b, vec<O> c, vec<O> d, vec<O> t) {
  if constexpr (one_step_logic<O>) {
    a = O::add(b, rotl<O, S>(O::add(keep<O>(O::add(a, t)), O::template logic<kH>(b, c, d))));
  } else {
    a = O::add(b, rotl<O, S>(O::add(keep<O>(O::add(a, t)), O::xor_(b, O::xor_(c, d)))));
  }
}
// I is c ^ (b | ~d), which is ~(c ^ (~b & d)), and adding ~x is subtracting
// x + 1, so the step needs no complement: its constant comes one less.
template <class O, int S>
inline void ii(vec<O>& a, vec<O> b, vec<O> c, vec<O> d, vec<O> t) {
  if constexpr (one_step_logic<O>) {
    a = O::add(b, rotl<O, S>(O::sub(keep<O>(O::add(a, t)), O::template logic<kNotI>(b, c, d))));
  } else {
    a = O::add(b, rotl<O, S>(O::sub(keep<O>(O::add(a, t)), O::xor_(c, O::andnot(b, d)))));
  }
}

// Runs the 64 steps over one block of every lane, message words in `m`.
template <class O>
inline void rounds(vec<O>& sa, vec<O>& sb, vec<O>& sc, vec<O>& sd, const vec<O>* m) {
  // Hiding the table's address makes compilers load the constants rather than
  // build each one in a register, which costs more and in the busiest unit.
  const std::uint32_t(*k)[O::kWidth] = kLaneSteps<O::kWidth>.k;
  asm("" : "+r"(k));
  vec<O> a = sa, b = sb, c = sc, d = sd;

  ff<O, 7>(a, b, c, d, km<O>(k[0], m[0]));
  ff<O, 12>(d, a, b, c, km<O>(k[1], m[1]));
  ff<O, 17>(c, d, a, b, km<O>(k[2], m[2]));
  ff<O, 22>(b, c, d, a, km<O>(k[3], m[3]));
  ff<O, 7>(a, b, c, d, km<O>(k[4], m[4]));
  ff<O, 12>(d, a, b, c, km<O>(k[5], m[5]));
  ff<O, 17>(c, d, a, b, km<O>(k[6], m[6]));
  ff<O, 22>(b, c, d, a, km<O>(k[7], m[7]));
  ff<O, 7>(a, b, c, d, km<O>(k[8], m[8]));
  ff<O, 12>(d, a, b, c, km<O>(k[9], m[9]));
  ff<O, 17>(c, d, a, b, km<O>(k[10], m[10]));
  ff<O, 22>(b, c, d, a, km<O>(k[11], m[11]));
  ff<O, 7>(a, b, c, d, km<O>(k[12], m[12]));
  ff<O, 12>(d, a, b, c, km<O>(k[13], m[13]));
  ff<O, 17>(c, d, a, b, km<O>(k[14], m[14]));
  ff<O, 22>(b, c, d, a, km<O>(k[15], m[15]));

  gg<O, 5>(a, b, c, d, km<O>(k[16], m[1]));
  gg<O, 9>(d, a, b, c, km<O>(k[17], m[6]));
  gg<O, 14>(c, d, a, b, km<O>(k[18], m[11]));
  gg<O, 20>(b, c, d, a, km<O>(k[19], m[0]));
  gg<O, 5>(a, b, c, d, km<O>(k[20], m[5]));
  gg<O, 9>(d, a, b, c, km<O>(k[21], m[10]));
  gg<O, 14>(c, d, a, b, km<O>(k[22], m[15]));
  gg<O, 20>(b, c, d, a, km<O>(k[23], m[4]));
  gg<O, 5>(a, b, c, d, km<O>(k[24], m[9]));
  gg<O, 9>(d, a, b, c, km<O>(k[25], m[14]));
  gg<O, 14>(c, d, a, b, km<O>(k[26], m[3]));
  gg<O, 20>(b, c, d, a, km<O>(k[27], m[8]));
  gg<O, 5>(a, b, c, d, km<O>(k[28], m[13]));
  gg<O, 9>(d, a, b, c, km<O>(k[29], m[2]));
  gg<O, 14>(c, d, a, b, km<O>(k[30], m[7]));
  gg<O, 20>(b, c, d, a, km<O>(k[31], m[12]));

  hh<O, 4>(a, b, c, d, km<O>(k[32], m[5]));
  hh<O, 11>(d, a, b, c, km<O>(k[33], m[8]));
  hh<O, 16>(c, d, a, b, km<O>(k[34], m[11]));
  hh<O, 23>(b, c, d, a, km<O>(k[35], m[14]));
  hh<O, 4>(a, b, c, d, km<O>(k[36], m[1]));
  hh<O, 11>(d, a, b, c, km<O>(k[37], m[4]));
  hh<O, 16>(c, d, a, b, km<O>(k[38], m[7]));
  hh<O, 23>(b, c, d, a, km<O>(k[39], m[10]));
  hh<O, 4>(a, b, c, d, km<O>(k[40], m[13]));
  hh<O, 11>(d, a, b, c, km<O>(k[41], m[0]));
  hh<O, 16>(c, d, a, b, km<O>(k[42], m[3]));
  hh<O, 23>(b, c, d, a, km<O>(k[43], m[6]));
  hh<O, 4>(a, b, c, d, km<O>(k[44], m[9]));
  hh<O, 11>(d, a, b, c, km<O>(k[45], m[12]));
  hh<O, 16>(c, d, a, b, km<O>(k[46], m[15]));
  hh<O, 23>(b, c, d, a, km<O>(k[47], m[2]));

  ii<O, 6>(a, b, c, d, km<O>(k[48], m[0]));
  ii<O, 10>(d, a, b, c, km<O>(k[49], m[7]));
  ii<O, 15>(c, d, a, b, km<O>(k[50], m[14]));
  ii<O, 21>(b, c, d, a, km<O>(k[51], m[5]));
  ii<O, 6>(a, b, c, d, km<O>(k[52], m[12]));
  ii<O, 10>(d, a, b, c, km<O>(k[53], m[3]));
  ii<O, 15>(c, d, a, b, km<O>(k[54], m[10]));
  ii<O, 21>(b, c, d, a, km<O>(k[55], m[1]));
  ii<O, 6>(a, b, c, d, km<O>(k[56], m[8]));
  ii<O, 10>(d, a, b, c, km<O>(k[57], m[15]));
  ii<O, 15>(c, d, a, b, km<O>(k[58], m[6]));
  ii<O, 21>(b, c, d, a, km<O>(k[59], m[13]));
  ii<O, 6>(a, b, c, d, km<O>(k[60], m[4]));
  ii<O, 10>(d, a, b, c, km<O>(k[61], m[11]));
  ii<O, 15>(c, d, a, b, km<O>(k[62], m[2]));
  ii<O, 21>(b, c, d, a, km<O>(k[63], m[9]));

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
  for (std::size_t at = 0; blocks != 0; --blocks, at += kMd5Block) {
    vec<O> m[16];
    O::load_words(p, at, m);
    O::load_words(p, at + 16, m + 4);
    O::load_words(p, at + 32, m + 8);
    O::load_words(p, at + 48, m + 12);
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
