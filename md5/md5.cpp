// SPDX-License-Identifier: GPL-3.0-or-later
#include "md5/md5.h"

#include <algorithm>
#include <cstring>

namespace {

constexpr std::size_t kBlock = 64;
constexpr std::size_t kChunk = 4096;

constexpr std::uint8_t kFill[kBlock] = {0x80};

inline std::uint32_t rotl(std::uint32_t x, int s) {
  return (x << s) | (x >> (32 - s));
}

// Sums the step constant and the message word apart from the chain of dependent
// steps; the empty asm stops compilers from reassociating the sum back into it.
inline std::uint32_t km(std::uint32_t k, std::uint32_t m) {
  std::uint32_t t = k + m;
#if defined(__GNUC__)
  asm("" : "+r"(t));
#endif
  return t;
}

// Each step adds the terms that do not depend on b first, so only the last
// operations wait on the previous step.
inline void ff(std::uint32_t& a, std::uint32_t b, std::uint32_t c, std::uint32_t d, std::uint32_t t,
               int s) {
  a = b + rotl(a + t + (d ^ (b & (c ^ d))), s);
}
// G's two terms never share a set bit, so adding them equals or-ing them.
inline void gg(std::uint32_t& a, std::uint32_t b, std::uint32_t c, std::uint32_t d, std::uint32_t t,
               int s) {
  a = b + rotl(a + t + (~d & c) + (d & b), s);
}
inline void hh(std::uint32_t& a, std::uint32_t b, std::uint32_t c, std::uint32_t d, std::uint32_t t,
               int s) {
  a = b + rotl(a + t + (b ^ (c ^ d)), s);
}
inline void ii(std::uint32_t& a, std::uint32_t b, std::uint32_t c, std::uint32_t d, std::uint32_t t,
               int s) {
  a = b + rotl(a + t + (c ^ (b | ~d)), s);
}

inline std::uint32_t load_le32(const std::uint8_t* p) {
  std::uint32_t w;
  std::memcpy(&w, p, 4);
#if __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
  w = __builtin_bswap32(w);
#endif
  return w;
}

inline void store_le32(std::uint32_t w, std::uint8_t* p) {
#if __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
  w = __builtin_bswap32(w);
#endif
  std::memcpy(p, &w, 4);
}

// Compresses `n` blocks from `p` into `s`; the chaining words stay in
// registers from one block to the next.
void compress(md5_state& state, const std::uint8_t* p, std::size_t n) {
  std::uint32_t sa = state.A, sb = state.B, sc = state.C, sd = state.D;
  for (; n != 0; --n, p += kBlock) {
    std::uint32_t m0 = load_le32(p), m1 = load_le32(p + 4), m2 = load_le32(p + 8),
                  m3 = load_le32(p + 12), m4 = load_le32(p + 16), m5 = load_le32(p + 20),
                  m6 = load_le32(p + 24), m7 = load_le32(p + 28), m8 = load_le32(p + 32),
                  m9 = load_le32(p + 36), m10 = load_le32(p + 40), m11 = load_le32(p + 44),
                  m12 = load_le32(p + 48), m13 = load_le32(p + 52), m14 = load_le32(p + 56),
                  m15 = load_le32(p + 60);
    std::uint32_t a = sa, b = sb, c = sc, d = sd;

    ff(a, b, c, d, km(0xd76aa478, m0), 7);
    ff(d, a, b, c, km(0xe8c7b756, m1), 12);
    ff(c, d, a, b, km(0x242070db, m2), 17);
    ff(b, c, d, a, km(0xc1bdceee, m3), 22);
    ff(a, b, c, d, km(0xf57c0faf, m4), 7);
    ff(d, a, b, c, km(0x4787c62a, m5), 12);
    ff(c, d, a, b, km(0xa8304613, m6), 17);
    ff(b, c, d, a, km(0xfd469501, m7), 22);
    ff(a, b, c, d, km(0x698098d8, m8), 7);
    ff(d, a, b, c, km(0x8b44f7af, m9), 12);
    ff(c, d, a, b, km(0xffff5bb1, m10), 17);
    ff(b, c, d, a, km(0x895cd7be, m11), 22);
    ff(a, b, c, d, km(0x6b901122, m12), 7);
    ff(d, a, b, c, km(0xfd987193, m13), 12);
    ff(c, d, a, b, km(0xa679438e, m14), 17);
    ff(b, c, d, a, km(0x49b40821, m15), 22);

    gg(a, b, c, d, km(0xf61e2562, m1), 5);
    gg(d, a, b, c, km(0xc040b340, m6), 9);
    gg(c, d, a, b, km(0x265e5a51, m11), 14);
    gg(b, c, d, a, km(0xe9b6c7aa, m0), 20);
    gg(a, b, c, d, km(0xd62f105d, m5), 5);
    gg(d, a, b, c, km(0x02441453, m10), 9);
    gg(c, d, a, b, km(0xd8a1e681, m15), 14);
    gg(b, c, d, a, km(0xe7d3fbc8, m4), 20);
    gg(a, b, c, d, km(0x21e1cde6, m9), 5);
    gg(d, a, b, c, km(0xc33707d6, m14), 9);
    gg(c, d, a, b, km(0xf4d50d87, m3), 14);
    gg(b, c, d, a, km(0x455a14ed, m8), 20);
    gg(a, b, c, d, km(0xa9e3e905, m13), 5);
    gg(d, a, b, c, km(0xfcefa3f8, m2), 9);
    gg(c, d, a, b, km(0x676f02d9, m7), 14);
    gg(b, c, d, a, km(0x8d2a4c8a, m12), 20);

    hh(a, b, c, d, km(0xfffa3942, m5), 4);
    hh(d, a, b, c, km(0x8771f681, m8), 11);
    hh(c, d, a, b, km(0x6d9d6122, m11), 16);
    hh(b, c, d, a, km(0xfde5380c, m14), 23);
    hh(a, b, c, d, km(0xa4beea44, m1), 4);
    hh(d, a, b, c, km(0x4bdecfa9, m4), 11);
    hh(c, d, a, b, km(0xf6bb4b60, m7), 16);
    hh(b, c, d, a, km(0xbebfbc70, m10), 23);
    hh(a, b, c, d, km(0x289b7ec6, m13), 4);
    hh(d, a, b, c, km(0xeaa127fa, m0), 11);
    hh(c, d, a, b, km(0xd4ef3085, m3), 16);
    hh(b, c, d, a, km(0x04881d05, m6), 23);
    hh(a, b, c, d, km(0xd9d4d039, m9), 4);
    hh(d, a, b, c, km(0xe6db99e5, m12), 11);
    hh(c, d, a, b, km(0x1fa27cf8, m15), 16);
    hh(b, c, d, a, km(0xc4ac5665, m2), 23);

    ii(a, b, c, d, km(0xf4292244, m0), 6);
    ii(d, a, b, c, km(0x432aff97, m7), 10);
    ii(c, d, a, b, km(0xab9423a7, m14), 15);
    ii(b, c, d, a, km(0xfc93a039, m5), 21);
    ii(a, b, c, d, km(0x655b59c3, m12), 6);
    ii(d, a, b, c, km(0x8f0ccc92, m3), 10);
    ii(c, d, a, b, km(0xffeff47d, m10), 15);
    ii(b, c, d, a, km(0x85845dd1, m1), 21);
    ii(a, b, c, d, km(0x6fa87e4f, m8), 6);
    ii(d, a, b, c, km(0xfe2ce6e0, m15), 10);
    ii(c, d, a, b, km(0xa3014314, m6), 15);
    ii(b, c, d, a, km(0x4e0811a1, m13), 21);
    ii(a, b, c, d, km(0xf7537e82, m4), 6);
    ii(d, a, b, c, km(0xbd3af235, m11), 10);
    ii(c, d, a, b, km(0x2ad7d2bb, m2), 15);
    ii(b, c, d, a, km(0xeb86d391, m9), 21);

    sa += a;
    sb += b;
    sc += c;
    sd += d;
  }
  state.A = sa;
  state.B = sb;
  state.C = sc;
  state.D = sd;
}

// Adds `len` to the 64-bit byte count held in two words; a count past 2^32 in
// one call carries in full rather than by one.
void count(md5_state& state, std::size_t len) {
  std::uint64_t total = (std::uint64_t{state.total_hi} << 32 | state.total_lo) + len;
  state.total_lo = static_cast<std::uint32_t>(total);
  state.total_hi = static_cast<std::uint32_t>(total >> 32);
}

}  // namespace

void md5_start(md5_state& state) {
  state.A = 0x67452301;
  state.B = 0xefcdab89;
  state.C = 0x98badcfe;
  state.D = 0x10325476;
  state.total_lo = 0;
  state.total_hi = 0;
  state.buffered = 0;
}

void md5_blocks(const void* data, std::size_t len, md5_state& state) {
  count(state, len);
  compress(state, static_cast<const std::uint8_t*>(data), len / kBlock);
}

void md5_feed(const void* data, std::size_t len, md5_state& state) {
  const auto* p = static_cast<const std::uint8_t*>(data);
  if (state.buffered != 0) {
    std::size_t take = std::min(len, sizeof state.buffer - state.buffered);
    std::memcpy(state.buffer + state.buffered, p, take);
    state.buffered += static_cast<std::uint32_t>(take);
    if (state.buffered > kBlock) {
      std::uint32_t whole = state.buffered & ~std::uint32_t{kBlock - 1};
      md5_blocks(state.buffer, whole, state);
      state.buffered -= whole;
      std::memmove(state.buffer, state.buffer + whole, state.buffered);
    }
    p += take;
    len -= take;
  }
  if (len > kBlock) {
    std::size_t whole = len & ~(kBlock - 1);
    md5_blocks(p, whole, state);
    p += whole;
    len -= whole;
  }
  if (len != 0) {
    std::memcpy(state.buffer, p, len);
    state.buffered = static_cast<std::uint32_t>(len);
  }
}

digest& md5_finish(md5_state& state, digest& out) {
  std::uint32_t n = state.buffered;
  count(state, n);
  std::uint32_t pad = n < 56 ? 56 - n : 120 - n;
  std::memcpy(state.buffer + n, kFill, pad);
  store_le32(state.total_lo << 3, state.buffer + n + pad);
  store_le32(state.total_hi << 3 | state.total_lo >> 29, state.buffer + n + pad + 4);
  // The tail's bytes were counted above; compress without counting them twice.
  compress(state, state.buffer, (n + pad + 8) / kBlock);
  return md5_result(state, out);
}

digest& md5_result(const md5_state& state, digest& out) {
  store_le32(state.A, out.data());
  store_le32(state.B, out.data() + 4);
  store_le32(state.C, out.data() + 8);
  store_le32(state.D, out.data() + 12);
  return out;
}

int md5_of_stream(std::FILE* stream, digest& out, void (*on_read)(void*, std::size_t), void* arg) {
  md5_state state;
  md5_start(state);
  std::uint8_t chunk[kChunk];
  for (;;) {
    // fread comes back short only at the end of the stream or on an error.
    std::size_t have = std::fread(chunk, 1, kChunk, stream);
    if (on_read != nullptr) on_read(arg, have);
    if (have < kChunk) {
      if (std::ferror(stream)) return kMd5ReadFailed;
      md5_feed(chunk, have, state);
      md5_finish(state, out);
      return kMd5Read;
    }
    md5_blocks(chunk, kChunk, state);
  }
}

digest& md5_of_memory(const void* data, std::size_t len, digest& out) {
  md5_state state;
  md5_start(state);
  md5_feed(data, len, state);
  return md5_finish(state, out);
}

int md5_lane_count(md5_isa isa) {
  switch (isa) {
    case md5_isa::avx2:
      return 8;
    case md5_isa::sse2:
      return 4;
    case md5_isa::scalar:
      break;
  }
  return 1;
}
