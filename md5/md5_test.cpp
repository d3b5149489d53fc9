// SPDX-License-Identifier: GPL-3.0-or-later
#include "md5/md5.h"

#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <random>
#include <string>
#include <thread>
#include <vector>

namespace {

std::string hex(const digest& d) {
  static const char kDigits[] = "0123456789abcdef";
  std::string s;
  for (std::uint8_t b : d) {
    s += kDigits[b >> 4];
    s += kDigits[b & 15];
  }
  return s;
}

std::string of_memory(const std::string& bytes) {
  digest d;
  return hex(md5_of_memory(bytes.data(), bytes.size(), d));
}

// Digests `bytes` through a real file opened for reading.
std::string of_stream(const std::string& bytes) {
  std::FILE* f = std::tmpfile();
  EXPECT_NE(f, nullptr);
  EXPECT_EQ(std::fwrite(bytes.data(), 1, bytes.size(), f), bytes.size());
  std::rewind(f);
  digest d{};
  EXPECT_EQ(md5_of_stream(f, d), 0);
  std::fclose(f);
  return hex(d);
}

// Digests `bytes` fed in pieces whose sizes cycle through `pieces`.
std::string of_pieces(const std::string& bytes, const std::vector<std::size_t>& pieces) {
  md5_state s;
  md5_start(s);
  std::size_t at = 0;
  for (std::size_t i = 0; at < bytes.size(); ++i) {
    std::size_t n = std::min(pieces[i % pieces.size()], bytes.size() - at);
    md5_feed(bytes.data() + at, n, s);
    at += n;
  }
  digest d;
  return hex(md5_finish(s, d));
}

std::string openssl_md5(const std::string& bytes) {
  digest d;
  unsigned int n = 0;
  EXPECT_EQ(EVP_Digest(bytes.data(), bytes.size(), d.data(), &n, EVP_md5(), nullptr), 1);
  return hex(d);
}

std::string random_bytes(std::mt19937& rng, std::size_t n) {
  std::string s(n, '\0');
  for (char& c : s) c = static_cast<char>(rng());
  return s;
}

struct Vector {
  const char* label;
  std::string input;
  const char* md5;
};

const Vector kRfc1321[] = {
    {"empty", "", "d41d8cd98f00b204e9800998ecf8427e"},
    {"a", "a", "0cc175b9c0f1b6a831c399e269772661"},
    {"abc", "abc", "900150983cd24fb0d6963f7d28e17f72"},
    {"message digest", "message digest", "f96b697d7cb7938d525a2f31aaf161d0"},
    {"alphabet", "abcdefghijklmnopqrstuvwxyz", "c3fcd3d76192e4007dfb496cca67e13b"},
    {"alphanumeric", "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789",
     "d174ab98d277d9f5a5611c2c9f419d9f"},
    {"digits x8",
     "12345678901234567890123456789012345678901234567890123456789012345678901234567890",
     "57edf4a22be3c955ac49da2e2107b67a"},
};

TEST(Digest, Rfc1321SuiteThroughEveryPath) {
  for (const Vector& v : kRfc1321) {
    SCOPED_TRACE(v.label);
    EXPECT_EQ(of_memory(v.input), v.md5);
    EXPECT_EQ(of_stream(v.input), v.md5);
    EXPECT_EQ(of_pieces(v.input, {1}), v.md5);
    EXPECT_EQ(of_pieces(v.input, {3, 64, 7}), v.md5);
  }
}

TEST(Digest, EveryLengthAndChunkBoundaryAgreesAcrossPaths) {
  std::mt19937 rng(1321);
  std::vector<std::size_t> lengths;
  for (std::size_t n = 0; n <= 200; ++n) lengths.push_back(n);
  for (std::size_t n : {4095, 4096, 4097, 8191, 8192, 8193}) lengths.push_back(n);
  for (std::size_t n : lengths) {
    SCOPED_TRACE("length " + std::to_string(n));
    std::string bytes = random_bytes(rng, n);
    std::string want = openssl_md5(bytes);
    EXPECT_EQ(of_memory(bytes), want);
    EXPECT_EQ(of_stream(bytes), want);
    EXPECT_EQ(of_pieces(bytes, {64}), want);
    EXPECT_EQ(of_pieces(bytes, {63, 65, 1, 128}), want);
  }
}

TEST(Digest, RandomSplitsMatchOneShotAndOracle) {
  std::mt19937 rng(42);
  for (int round = 0; round < 300; ++round) {
    std::string bytes = random_bytes(rng, rng() % 20000);
    std::vector<std::size_t> pieces;
    for (int i = 0; i < 8; ++i) pieces.push_back(1 + rng() % 300);
    SCOPED_TRACE("round " + std::to_string(round));
    std::string want = openssl_md5(bytes);
    EXPECT_EQ(of_memory(bytes), want);
    EXPECT_EQ(of_pieces(bytes, pieces), want);
  }
}

TEST(Digest, FeedingExactlyOneBlockLeavesItWaiting) {
  md5_state s;
  md5_start(s);
  std::string block(64, 'x');
  md5_feed(block.data(), block.size(), s);
  EXPECT_EQ(s.buffered, 64u);
  EXPECT_EQ(s.total_lo, 0u);
  EXPECT_EQ(s.A, 0x67452301u);
  digest d;
  EXPECT_EQ(hex(md5_finish(s, d)), openssl_md5(block));
}

TEST(Digest, PipeWithShortReadsMatchesFile) {
  std::mt19937 rng(7);
  std::string bytes = random_bytes(rng, 3 * 4096 + 77);
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  std::thread writer([&] {
    for (std::size_t at = 0; at < bytes.size();) {
      std::size_t n = std::min<std::size_t>(1 + at % 1500, bytes.size() - at);
      ssize_t w = write(fds[1], bytes.data() + at, n);
      if (w <= 0) break;
      at += static_cast<std::size_t>(w);
      std::this_thread::yield();
    }
    close(fds[1]);
  });
  std::FILE* f = fdopen(fds[0], "r");
  ASSERT_NE(f, nullptr);
  setvbuf(f, nullptr, _IONBF, 0);  // each fread then sees the pipe's short reads
  digest d{};
  EXPECT_EQ(md5_of_stream(f, d), 0);
  writer.join();
  std::fclose(f);
  EXPECT_EQ(hex(d), of_stream(bytes));
}

#if defined(__GLIBC__)
// A stream that delivers `good` bytes and then fails.
ssize_t failing_read(void* cookie, char* buf, size_t size) {
  auto* left = static_cast<std::size_t*>(cookie);
  if (*left == 0) {
    errno = EIO;
    return -1;
  }
  std::size_t n = std::min(size, *left);
  std::memset(buf, 'z', n);
  *left -= n;
  return static_cast<ssize_t>(n);
}

TEST(Digest, ReadFailingPartWayLeavesOutputUntouched) {
  for (std::size_t good : {0, 100, 4096, 10000}) {
    SCOPED_TRACE("fails after " + std::to_string(good));
    std::size_t left = good;
    cookie_io_functions_t io = {failing_read, nullptr, nullptr, nullptr};
    std::FILE* f = fopencookie(&left, "r", io);
    ASSERT_NE(f, nullptr);
    digest d;
    d.fill(0xAB);
    EXPECT_EQ(md5_of_stream(f, d), 1);
    std::fclose(f);
    digest untouched;
    untouched.fill(0xAB);
    EXPECT_EQ(d, untouched);
  }
}
#endif

TEST(Digest, StreamOfDirectoryIsAReadError) {
  std::FILE* f = std::fopen("/", "r");
  if (f == nullptr) GTEST_SKIP() << "this system refuses to open a directory as a stream";
  digest d{};
  EXPECT_EQ(md5_of_stream(f, d), 1);
  EXPECT_EQ(d, digest{});
  std::fclose(f);
}

// Digests `inputs` through `lanes` lanes of `isa` a few blocks per call, starting each input in
// the first free lane, pausing busy lanes at random, and finishing each with a tail of up to 129
// bytes; checks that every paused lane is left untouched (an empty lane's state is null).
std::vector<std::string> in_lanes(md5_isa isa, int lanes, const std::vector<std::string>& inputs,
                                  std::mt19937& rng) {
  struct lane {
    std::size_t input = 0, at = 0, tail = 0;
    bool busy = false;
    md5_state state;
  };
  std::vector<std::string> out(inputs.size());
  lane ls[kMd5MaxLanes];
  md5_state before[kMd5MaxLanes];
  int touched = 0;  // calls that changed a paused lane
  for (std::size_t next = 0, done = 0; done < inputs.size();) {
    md5_state* states[kMd5MaxLanes];
    const std::uint8_t* data[kMd5MaxLanes];
    std::size_t blocks = 1 + rng() % 40;
    for (int i = 0; i < lanes; ++i) {
      lane& l = ls[i];
      if (!l.busy && next < inputs.size()) {
        l = {next++, 0, rng() % 130, true, {}};
        md5_start(l.state);
      }
      const std::string& in = inputs[l.input];
      std::size_t left = in.size() - l.at;
      if (l.busy && left < l.tail + 64) {
        md5_feed(in.data() + l.at, left, l.state);
        digest d;
        out[l.input] = hex(md5_finish(l.state, d));
        l.busy = false;
        ++done;
      }
      bool run = l.busy && rng() % 4 != 0;
      states[i] = l.busy ? &l.state : nullptr;
      data[i] = run ? reinterpret_cast<const std::uint8_t*>(in.data()) + l.at : nullptr;
      if (run) blocks = std::min(blocks, (left - l.tail) / 64);
      if (l.busy) before[i] = l.state;
    }
    md5_lanes_blocks(isa, states, data, lanes, blocks);
    for (int i = 0; i < lanes; ++i) {
      if (data[i] != nullptr) {
        ls[i].at += blocks * 64;
      } else if (states[i] != nullptr) {
        touched += std::memcmp(&before[i], states[i], sizeof before[i]) != 0;
      }
    }
  }
  EXPECT_EQ(touched, 0);
  return out;
}

// A row of the lanes' table: an instruction set, its name, and the lanes given it.
struct lanes_row {
  md5_isa isa;
  const char* name;
  int lanes;
};

void PrintTo(const lanes_row& row, std::ostream* out) {
  *out << row.name << ", " << row.lanes << " lanes";
}

class Lanes : public testing::TestWithParam<lanes_row> {};

TEST_P(Lanes, MatchOracleWithLanesRefilledAndPaused) {
  const lanes_row& row = GetParam();
  if (row.isa > md5_best_isa()) GTEST_SKIP() << "this processor does not run " << row.name;
  std::mt19937 rng(1321);
  std::vector<std::string> inputs;
  for (std::size_t blocks : {0, 1, 17}) {
    for (std::size_t tail = 0; tail < 130; ++tail) {
      inputs.push_back(random_bytes(rng, blocks * 64 + tail));
    }
  }
  for (std::size_t n : {1 << 20, 3 << 20, (2 << 20) + 57}) inputs.push_back(random_bytes(rng, n));
  std::shuffle(inputs.begin(), inputs.end(), rng);
  std::vector<std::string> want;
  for (const std::string& in : inputs) want.push_back(openssl_md5(in));
  EXPECT_EQ(in_lanes(row.isa, row.lanes, inputs, rng), want);
}

INSTANTIATE_TEST_SUITE_P(
    EveryInstructionSet, Lanes,
    testing::Values(lanes_row{md5_isa::scalar, "portable", 1},
                    lanes_row{md5_isa::scalar, "portable", kMd5MaxLanes},
                    lanes_row{md5_isa::sse2, "SSE2", 4}, lanes_row{md5_isa::sse2, "SSE2", 3},
                    lanes_row{md5_isa::avx2, "AVX2", 8}, lanes_row{md5_isa::avx2, "AVX2", 5},
                    lanes_row{md5_isa::avx512vl, "AVX512VL", 8},
                    lanes_row{md5_isa::avx512vl, "AVX512VL", 6},
                    lanes_row{md5_isa::avx512, "AVX512", 16},
                    lanes_row{md5_isa::avx512, "AVX512", 11}),
    [](const testing::TestParamInfo<lanes_row>& info) {
      return std::string(info.param.name) + "_" + std::to_string(info.param.lanes) + "_lanes";
    });

}  // namespace
