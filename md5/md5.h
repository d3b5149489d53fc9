// SPDX-License-Identifier: GPL-3.0-or-later
// The MD5 digest of RFC 1321, computed incrementally through a running state.
//
// Call md5_start once, md5_feed any number of times with pieces of any size,
// then md5_finish once; the state is spent afterwards. md5_blocks compresses
// whole 64-byte blocks straight from the caller's memory, and md5_of_stream
// and md5_of_memory are one-shot digests built on these calls. Nothing here
// allocates memory or writes any message.
//
// Several messages can share a core in lanes: each lane is an ordinary state,
// started with md5_start, advanced by md5_lanes_blocks a few blocks at a time
// alongside the other lanes, and given its tail through md5_feed and
// md5_finish. A lane is refilled with the next message by switching its state
// and data pointers between two calls.
#ifndef VELORAND_MD5_MD5_H_
#define VELORAND_MD5_MD5_H_

#include <cstddef>
#include <cstdint>
#include <cstdio>

#include "common/common.h"

// The bytes MD5 compresses at a time.
constexpr std::size_t kMd5Block = 64;

struct md5_state {
  std::uint32_t A, B, C, D;            // chaining state
  std::uint32_t total_lo;              // message bytes taken in, low word
  std::uint32_t total_hi;              // message bytes taken in, high word
  std::uint32_t buffered;              // bytes waiting at the start of buffer, 0..64
  std::uint8_t buffer[2 * kMd5Block];  // room for waiting bytes plus the padded tail
};

// Sets `state` to the RFC 1321 initial values with nothing taken in.
void md5_start(md5_state& state);

// Compresses `len` bytes of whole blocks from `data` and counts them.
// REQUIRES: len is a multiple of 64.
void md5_blocks(const void* data, std::size_t len, md5_state& state);

// Takes in `len` bytes from `data`; a remainder of up to 64 bytes waits.
void md5_feed(const void* data, std::size_t len, md5_state& state);

// Pads the message, compresses the tail, writes the digest to `out` and
// returns `out`; `state` is spent afterwards.
digest& md5_finish(md5_state& state, digest& out);

// Writes the chaining state to `out` as the 16 digest bytes and returns `out`.
digest& md5_result(const md5_state& state, digest& out);

constexpr int kMd5Read = 0;
constexpr int kMd5ReadFailed = 1;

// Returns kMd5Read after writing the digest of everything readable from
// `stream` to `out`, or kMd5ReadFailed when a read fails, leaving `out`
// untouched. Does not close `stream`.
int md5_of_stream(std::FILE* stream, digest& out);

// Writes the digest of the `len` bytes at `data` to `out` and returns `out`.
digest& md5_of_memory(const void* data, std::size_t len, digest& out);

// The most lanes any instruction set here carries.
constexpr int kMd5MaxLanes = 16;

// The code that compresses lanes: portable, SSE2 (4 lanes, every x86-64), AVX2 (8 lanes),
// AVX-512VL on 256-bit registers (8 lanes) or AVX-512 (16 lanes); each runs wherever the
// next one does.
enum class md5_isa { scalar, sse2, avx2, avx512vl, avx512 };

// Returns the widest instruction set this processor runs.
md5_isa md5_best_isa();

// Returns how many lanes `isa` carries: 1, 4, 8 or 16.
int md5_lane_count(md5_isa isa);

// Compresses `blocks` whole 64-byte blocks into each of the first `lanes` states at once, lane i
// reading its blocks from data[i], and counts them as md5_blocks does; a lane whose data[i] is
// null is left untouched and its state pointer unread (it may be empty, finished or waiting for
// its next read). The data need no alignment; the scalar code takes up to kMd5MaxLanes lanes,
// one after another.
// REQUIRES: lanes <= md5_lane_count(isa) (kMd5MaxLanes for scalar); `isa` runs on this
// processor.
void md5_lanes_blocks(md5_isa isa, md5_state* const states[], const std::uint8_t* const data[],
                      int lanes, std::size_t blocks);

#endif  // VELORAND_MD5_MD5_H_
