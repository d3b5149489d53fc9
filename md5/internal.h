// SPDX-License-Identifier: GPL-3.0-or-later
// What md5/'s files share and no caller needs: the constants of the 64 steps,
// the byte count, and the vector compressions behind md5_lanes_blocks, one per
// instruction set, each defined in a file of its own compiled for that set.
// The compressions work as md5_lanes_blocks does but leave the byte counts to
// it. Only md5/ includes this.
#ifndef VELORAND_MD5_INTERNAL_H_
#define VELORAND_MD5_INTERNAL_H_

#include <cstddef>
#include <cstdint>

#include "md5/md5.h"

// The additive constants of the 64 steps, in order, as RFC 1321 gives them.
constexpr std::uint32_t kMd5Steps[64] = {
    0xd76aa478, 0xe8c7b756, 0x242070db, 0xc1bdceee, 0xf57c0faf, 0x4787c62a, 0xa8304613, 0xfd469501,
    0x698098d8, 0x8b44f7af, 0xffff5bb1, 0x895cd7be, 0x6b901122, 0xfd987193, 0xa679438e, 0x49b40821,
    0xf61e2562, 0xc040b340, 0x265e5a51, 0xe9b6c7aa, 0xd62f105d, 0x02441453, 0xd8a1e681, 0xe7d3fbc8,
    0x21e1cde6, 0xc33707d6, 0xf4d50d87, 0x455a14ed, 0xa9e3e905, 0xfcefa3f8, 0x676f02d9, 0x8d2a4c8a,
    0xfffa3942, 0x8771f681, 0x6d9d6122, 0xfde5380c, 0xa4beea44, 0x4bdecfa9, 0xf6bb4b60, 0xbebfbc70,
    0x289b7ec6, 0xeaa127fa, 0xd4ef3085, 0x04881d05, 0xd9d4d039, 0xe6db99e5, 0x1fa27cf8, 0xc4ac5665,
    0xf4292244, 0x432aff97, 0xab9423a7, 0xfc93a039, 0x655b59c3, 0x8f0ccc92, 0xffeff47d, 0x85845dd1,
    0x6fa87e4f, 0xfe2ce6e0, 0xa3014314, 0x4e0811a1, 0xf7537e82, 0xbd3af235, 0x2ad7d2bb, 0xeb86d391,
};

// Adds `len` to the 64-bit byte count held in two words; a count past 2^32 in
// one call carries in full rather than by one.
void md5_count(md5_state& state, std::size_t len);

// Compresses `blocks` blocks into up to 4 lanes with SSE2.
void md5_lanes_sse2(md5_state* const states[], const std::uint8_t* const data[], int lanes,
                    std::size_t blocks);

// Compresses `blocks` blocks into up to 8 lanes with AVX2.
// REQUIRES: the processor runs AVX2.
void md5_lanes_avx2(md5_state* const states[], const std::uint8_t* const data[], int lanes,
                    std::size_t blocks);

// Compresses `blocks` blocks into up to 8 lanes with AVX-512VL's 256-bit registers.
// REQUIRES: the processor runs AVX-512F and AVX-512VL.
void md5_lanes_avx512vl(md5_state* const states[], const std::uint8_t* const data[], int lanes,
                        std::size_t blocks);

// Compresses `blocks` blocks into up to 16 lanes with AVX-512.
// REQUIRES: the processor runs AVX-512F and AVX-512VL.
void md5_lanes_avx512(md5_state* const states[], const std::uint8_t* const data[], int lanes,
                      std::size_t blocks);

#endif  // VELORAND_MD5_INTERNAL_H_
