// SPDX-License-Identifier: GPL-3.0-or-later
// Lanes on x86-64: SSE2 everywhere, AVX2 or AVX-512 where the processor has it.
#include "md5/internal.h"

namespace {

// Compresses in AVX-512's 16 lanes, or, while no more than 8 are busy, in 8
// lanes of 256 bits: those cost half as much where 512-bit instructions run
// as two halves, and no more elsewhere.
void avx512_lanes(md5_state* const states[], const std::uint8_t* const data[], int lanes,
                  std::size_t blocks) {
  md5_state* busy_states[8];
  const std::uint8_t* busy_data[8];
  int busy = 0;
  for (int i = 0; i < lanes; ++i) {
    if (data[i] == nullptr) continue;
    if (busy == 8) return md5_lanes_avx512(states, data, lanes, blocks);
    busy_states[busy] = states[i];
    busy_data[busy++] = data[i];
  }
  md5_lanes_avx512vl(busy_states, busy_data, busy, blocks);
}

}  // namespace

md5_isa md5_best_isa() {
  // AVX-512's 16 lanes even where 512-bit instructions lower the clock: its
  // 8 lanes on 256-bit registers are worth less than half as much.
  if (__builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512vl")) {
    return md5_isa::avx512;
  }
  return __builtin_cpu_supports("avx2") ? md5_isa::avx2 : md5_isa::sse2;
}

void md5_lanes_blocks(md5_isa isa, md5_state* const states[], const std::uint8_t* const data[],
                      int lanes, std::size_t blocks) {
  for (int i = 0; i < lanes; ++i) {
    if (data[i] == nullptr) continue;
    if (isa == md5_isa::scalar) {
      md5_blocks(data[i], blocks * kMd5Block, *states[i]);
    } else {
      md5_count(*states[i], blocks * kMd5Block);
    }
  }
  switch (isa) {
    case md5_isa::avx512:
      return avx512_lanes(states, data, lanes, blocks);
    case md5_isa::avx512vl:
      return md5_lanes_avx512vl(states, data, lanes, blocks);
    case md5_isa::avx2:
      return md5_lanes_avx2(states, data, lanes, blocks);
    case md5_isa::sse2:
      return md5_lanes_sse2(states, data, lanes, blocks);
    case md5_isa::scalar:
      return;
  }
}
