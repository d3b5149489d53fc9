// SPDX-License-Identifier: GPL-3.0-or-later
// Lanes where no vector code is built: every lane runs the portable code in
// turn, whatever instruction set is named.
#include "md5/md5.h"

md5_isa md5_best_isa() {
  return md5_isa::scalar;
}

void md5_lanes_blocks(md5_isa, md5_state* const states[], const std::uint8_t* const data[],
                      int lanes, std::size_t blocks) {
  for (int i = 0; i < lanes; ++i) {
    if (data[i] != nullptr) md5_blocks(data[i], blocks * kMd5Block, *states[i]);
  }
}
