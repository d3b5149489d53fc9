// SPDX-License-Identifier: GPL-3.0-or-later
// Lanes on x86-64: SSE2 everywhere, AVX2 where the processor has it.
#include "md5/internal.h"

md5_isa md5_best_isa() {
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
  if (isa == md5_isa::avx2) md5_lanes_avx2(states, data, lanes, blocks);
  if (isa == md5_isa::sse2) md5_lanes_sse2(states, data, lanes, blocks);
}
