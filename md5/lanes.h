// SPDX-License-Identifier: GPL-3.0-or-later
// The vector compressions behind md5_lanes_blocks, one per instruction set,
// each in a file of its own compiled for that set; only md5/ includes this.
// They compress as md5_lanes_blocks does but leave the byte counts to it.
#ifndef VELORAND_MD5_LANES_H_
#define VELORAND_MD5_LANES_H_

#include <cstddef>
#include <cstdint>

#include "md5/md5.h"

// Compresses `blocks` blocks into up to 4 lanes with SSE2.
void md5_lanes_sse2(md5_state* const states[], const std::uint8_t* const data[], int lanes,
                    std::size_t blocks);

// Compresses `blocks` blocks into up to 8 lanes with AVX2.
// REQUIRES: the processor runs AVX2.
void md5_lanes_avx2(md5_state* const states[], const std::uint8_t* const data[], int lanes,
                    std::size_t blocks);

#endif  // VELORAND_MD5_LANES_H_
