// SPDX-License-Identifier: GPL-3.0-or-later
#include "md5/md5.h"

#include <algorithm>
#include <cstring>

#include "md5/internal.h"

namespace {

constexpr std::size_t kBlock = kMd5Block;
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

    ff(a, b, c, d, km(kMd5Steps[0], m0), 7);
    ff(d, a, b, c, km(kMd5Steps[1], m1), 12);
    ff(c, d, a, b, km(kMd5Steps[2], m2), 17);
    ff(b, c, d, a, km(kMd5Steps[3], m3), 22);
    ff(a, b, c, d, km(kMd5Steps[4], m4), 7);
    ff(d, a, b, c, km(kMd5Steps[5], m5), 12);
    ff(c, d, a, b, km(kMd5Steps[6], m6), 17);
    ff(b, c, d, a, km(kMd5Steps[7], m7), 22);
    ff(a, b, c, d, km(kMd5Steps[8], m8), 7);
    ff(d, a, b, c, km(kMd5Steps[9], m9), 12);
    ff(c, d, a, b, km(kMd5Steps[10], m10), 17);
    ff(b, c, d, a, km(kMd5Steps[11], m11), 22);
    ff(a, b, c, d, km(kMd5Steps[12], m12), 7);
    ff(d, a, b, c, km(kMd5Steps[13], m13), 12);
    ff(c, d, a, b, km(kMd5Steps[14], m14), 17);
    ff(b, c, d, a, km(kMd5Steps[15], m15), 22);

    gg(a, b, c, d, km(kMd5Steps[16], m1), 5);
    gg(d, a, b, c, km(kMd5Steps[17], m6), 9);
    gg(c, d, a, b, km(kMd5Steps[18], m11), 14);
    gg(b, c, d, a, km(kMd5Steps[19], m0), 20);
    gg(a, b, c, d, km(kMd5Steps[20], m5), 5);
    gg(d, a, b, c, km(kMd5Steps[21], m10), 9);
    gg(c, d, a, b, km(kMd5Steps[22], m15), 14);
    gg(b, c, d, a, km(kMd5Steps[23], m4), 20);
    gg(a, b, c, d, km(kMd5Steps[24], m9), 5);
    gg(d, a, b, c, km(kMd5Steps[25], m14), 9);
    gg(c, d, a, b, km(kMd5Steps[26], m3), 14);
    gg(b, c, d, a, km(kMd5Steps[27], m8), 20);
    gg(a, b, c, d, km(kMd5Steps[28], m13), 5);
    gg(d, a, b, c, km(kMd5Steps[29], m2), 9);
    gg(c, d, a, b, km(kMd5Steps[30], m7), 14);
    gg(b, c, d, a, km(kMd5Steps[31], m12), 20);

    hh(a, b, c, d, km(kMd5Steps[32], m5), 4);
    hh(d, a, b, c, km(kMd5Steps[33], m8), 11);
    hh(c, d, a, b, km(kMd5Steps[34], m11), 16);
    hh(b, c, d, a, km(kMd5Steps[35], m14), 23);
    hh(a, b, c, d, km(kMd5Steps[36], m1), 4);
    hh(d, a, b, c, km(kMd5Steps[37], m4), 11);
    hh(c, d, a, b, km(kMd5Steps[38], m7), 16);
    hh(b, c, d, a, km(kMd5Steps[39], m10), 23);
    hh(a, b, c, d, km(kMd5Steps[40], m13), 4);
    hh(d, a, b, c, km(kMd5Steps[41], m0), 11);
    hh(c, d, a, b, km(kMd5Steps[42], m3), 16);
    hh(b, c, d, a, km(kMd5Steps[43], m6), 23);
    hh(a, b, c, d, km(kMd5Steps[44], m9), 4);
    hh(d, a, b, c, km(kMd5Steps[45], m12), 11);
    hh(c, d, a, b, km(kMd5Steps[46], m15), 16);
    hh(b, c, d, a, km(kMd5Steps[47], m2), 23);

    ii(a, b, c, d, km(kMd5Steps[48], m0), 6);
    ii(d, a, b, c, km(kMd5Steps[49], m7), 10);
    ii(c, d, a, b, km(kMd5Steps[50], m14), 15);
    ii(b, c, d, a, km(kMd5Steps[51], m5), 21);
    ii(a, b, c, d, km(kMd5Steps[52], m12), 6);
    ii(d, a, b, c, km(kMd5Steps[53], m3), 10);
    ii(c, d, a, b, km(kMd5Steps[54], m10), 15);
    ii(b, c, d, a, km(kMd5Steps[55], m1), 21);
    ii(a, b, c, d, km(kMd5Steps[56], m8), 6);
    ii(d, a, b, c, km(kMd5Steps[57], m15), 10);
    ii(c, d, a, b, km(kMd5Steps[58], m6), 15);
    ii(b, c, d, a, km(kMd5Steps[59], m13), 21);
    ii(a, b, c, d, km(kMd5Steps[60], m4), 6);
    ii(d, a, b, c, km(kMd5Steps[61], m11), 10);
    ii(c, d, a, b, km(kMd5Steps[62], m2), 15);
    ii(b, c, d, a, km(kMd5Steps[63], m9), 21);

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

}  // namespace

void md5_count(md5_state& state, std::size_t len) {
  std::uint64_t total = (std::uint64_t{state.total_hi} << 32 | state.total_lo) + len;
  state.total_lo = static_cast<std::uint32_t>(total);
  state.total_hi = static_cast<std::uint32_t>(total >> 32);
}

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
  md5_count(state, len);
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
  md5_count(state, n);
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

int md5_of_stream(std::FILE* stream, digest& out) {
  md5_state state;
  md5_start(state);
  std::uint8_t chunk[kChunk];
  for (;;) {
    // fread comes back short only at the end of the stream or on an error.
    std::size_t have = std::fread(chunk, 1, kChunk, stream);
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
    case md5_isa::avx512:
      return 16;
    case md5_isa::avx512vl:
    case md5_isa::avx2:
      return 8;
    case md5_isa::sse2:
      return 4;
    case md5_isa::scalar:
      break;
  }
  return 1;
}
