// SPDX-License-Identifier: GPL-3.0-or-later
// Throughput of our MD5 beside OpenSSL's in the same process: one stream, and
// several streams in lanes against OpenSSL's one.
#include <openssl/evp.h>

#include <algorithm>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "bench/ratio_reporter.h"
#include "md5/md5.h"

namespace {

const std::vector<std::uint8_t>& buffer_64mib() {
  static const std::vector<std::uint8_t> buf = [] {
    std::vector<std::uint8_t> b(64u << 20);
    std::mt19937 rng(1);
    for (auto& x : b) x = static_cast<std::uint8_t>(rng());
    return b;
  }();
  return buf;
}

void BM_Ours64MiB(benchmark::State& st) {
  const auto& buf = buffer_64mib();
  digest d;
  for (auto _ : st) benchmark::DoNotOptimize(md5_of_memory(buf.data(), buf.size(), d));
  st.SetBytesProcessed(static_cast<std::int64_t>(st.iterations() * buf.size()));
}

void BM_OpenSSL64MiB(benchmark::State& st) {
  const auto& buf = buffer_64mib();
  digest d;
  unsigned int n = 0;
  for (auto _ : st) EVP_Digest(buf.data(), buf.size(), d.data(), &n, EVP_md5(), nullptr);
  benchmark::DoNotOptimize(d);
  st.SetBytesProcessed(static_cast<std::int64_t>(st.iterations() * buf.size()));
}

void BM_OursChunks4KiB(benchmark::State& st) {
  const auto& buf = buffer_64mib();
  md5_state s;
  md5_start(s);
  std::size_t at = 0;
  for (auto _ : st) {
    md5_blocks(buf.data() + at, 4096, s);
    at = (at + 4096) % buf.size();
  }
  benchmark::DoNotOptimize(s.A);
  st.SetBytesProcessed(st.iterations() * 4096);
}

void BM_OpenSSLChunks4KiB(benchmark::State& st) {
  const auto& buf = buffer_64mib();
  EVP_MD_CTX* ctx = EVP_MD_CTX_new();
  EVP_DigestInit_ex(ctx, EVP_md5(), nullptr);
  std::size_t at = 0;
  for (auto _ : st) {
    EVP_DigestUpdate(ctx, buf.data() + at, 4096);
    at = (at + 4096) % buf.size();
  }
  EVP_MD_CTX_free(ctx);
  st.SetBytesProcessed(st.iterations() * 4096);
}

// Sixteen inputs of 64 MiB, one after another in one buffer.
const std::vector<std::uint8_t>& buffer_16x64mib() {
  static const std::vector<std::uint8_t> buf = [] {
    std::vector<std::uint8_t> b(std::size_t{16} << 26);
    std::mt19937_64 rng(2);
    for (std::size_t i = 0; i < b.size(); i += 8) {
      std::uint64_t x = rng();
      std::memcpy(&b[i], &x, 8);
    }
    return b;
  }();
  return buf;
}

struct input {
  const std::uint8_t* data;
  std::size_t len;
};

// Inputs whose lengths spread evenly over the powers of two from 4 KiB to
// 64 MiB, most not a whole number of blocks, taken from anywhere in the first
// 512 MiB of the buffer.
const std::vector<input>& mixed_inputs() {
  static const std::vector<input> inputs = [] {
    const auto& buf = buffer_16x64mib();
    std::mt19937 rng(3);
    std::vector<input> v;
    for (int i = 0; i < 64; ++i) {
      std::size_t len = std::size_t{4096} << (i % 15);
      len = std::min<std::size_t>(len + rng() % len, 64u << 20);
      v.push_back({buf.data() + rng() % ((std::size_t{8} << 26) - len), len});
    }
    std::shuffle(v.begin(), v.end(), rng);
    return v;
  }();
  return inputs;
}

std::int64_t total_of(const std::vector<input>& inputs) {
  std::int64_t total = 0;
  for (const input& in : inputs) total += static_cast<std::int64_t>(in.len);
  return total;
}

// Digests `inputs` in the lanes of `isa` at most `chunk` blocks per call,
// starting the next input in a lane as soon as the lane's input ends, and
// returns the bytes digested; adds to `offered` the blocks all lanes could have
// compressed in the calls made.
std::int64_t digest_in_lanes(md5_isa isa, const std::vector<input>& inputs, std::size_t chunk,
                             double& offered) {
  struct lane {
    input in{};
    md5_state state;
  };
  int lanes = md5_lane_count(isa);
  lane ls[kMd5MaxLanes];
  std::size_t next = 0;
  std::int64_t bytes = 0;
  for (;;) {
    md5_state* states[kMd5MaxLanes];
    const std::uint8_t* data[kMd5MaxLanes];
    std::size_t blocks = chunk;
    for (int i = 0; i < lanes; ++i) {
      lane& l = ls[i];
      if (l.in.data != nullptr && l.in.len < 64) {
        digest d;
        md5_feed(l.in.data, l.in.len, l.state);
        benchmark::DoNotOptimize(md5_finish(l.state, d));
        bytes +=
            static_cast<std::int64_t>(l.state.total_lo | std::uint64_t{l.state.total_hi} << 32);
        l.in = {};
      }
      if (l.in.data == nullptr && next < inputs.size()) {
        l.in = inputs[next++];
        md5_start(l.state);
      }
      states[i] = &l.state;
      data[i] = l.in.data;
      if (l.in.data != nullptr) blocks = std::min(blocks, l.in.len / 64);
    }
    if (std::all_of(data, data + lanes, [](auto p) { return p == nullptr; })) return bytes;
    md5_lanes_blocks(isa, states, data, lanes, blocks);
    offered += static_cast<double>(blocks) * lanes;
    for (int i = 0; i < lanes; ++i) {
      if (data[i] == nullptr) continue;
      ls[i].in.data += blocks * 64;
      ls[i].in.len -= blocks * 64;
    }
  }
}

// Digests `inputs` in lanes; arguments: the instruction set, and the most
// blocks per call.
void time_lanes(benchmark::State& st, const std::vector<input>& inputs) {
  auto isa = static_cast<md5_isa>(st.range(0));
  std::int64_t bytes = 0;
  double offered = 0;
  for (auto _ : st) {
    bytes += digest_in_lanes(isa, inputs, static_cast<std::size_t>(st.range(1)), offered);
  }
  st.SetBytesProcessed(bytes);
  st.counters["lanes_busy"] = static_cast<double>(bytes) / 64 / offered;
}

// Digests `count` inputs of 64 MiB in lanes.
void time_lanes_64mib(benchmark::State& st, std::size_t count) {
  const auto& buf = buffer_16x64mib();
  std::vector<input> inputs;
  for (std::size_t i = 0; i < count; ++i) inputs.push_back({buf.data() + (i << 26), 64u << 20});
  time_lanes(st, inputs);
}

void BM_Lanes8x64MiB(benchmark::State& st) {
  time_lanes_64mib(st, 8);
}

void BM_Lanes16x64MiB(benchmark::State& st) {
  time_lanes_64mib(st, 16);
}

void BM_LanesMixed(benchmark::State& st) {
  time_lanes(st, mixed_inputs());
}

void BM_OpenSSLMixed(benchmark::State& st) {
  const auto& inputs = mixed_inputs();
  digest d;
  unsigned int n = 0;
  for (auto _ : st) {
    for (const input& in : inputs) EVP_Digest(in.data, in.len, d.data(), &n, EVP_md5(), nullptr);
  }
  benchmark::DoNotOptimize(d);
  st.SetBytesProcessed(st.iterations() * total_of(inputs));
}

// The widest instruction set here at 64 and 2048 blocks (4 KiB and 128 KiB) per call, and each
// narrower vector set at 2048.
void lane_args(benchmark::internal::Benchmark* b) {
  auto best = static_cast<std::int64_t>(md5_best_isa());
  b->Args({best, 64})->Args({best, 2048});
  for (auto isa = static_cast<std::int64_t>(md5_isa::sse2); isa < best; ++isa) {
    b->Args({isa, 2048});
  }
}

BENCHMARK(BM_Ours64MiB)->Unit(benchmark::kMillisecond)->MinTime(2.0);
BENCHMARK(BM_OpenSSL64MiB)->Unit(benchmark::kMillisecond)->MinTime(2.0);
BENCHMARK(BM_OursChunks4KiB)->MinTime(2.0);
BENCHMARK(BM_OpenSSLChunks4KiB)->MinTime(2.0);
BENCHMARK(BM_Lanes8x64MiB)->Apply(lane_args)->Unit(benchmark::kMillisecond)->MinTime(2.0);
BENCHMARK(BM_Lanes16x64MiB)->Apply(lane_args)->Unit(benchmark::kMillisecond)->MinTime(2.0);
BENCHMARK(BM_LanesMixed)->Apply(lane_args)->Unit(benchmark::kMillisecond)->MinTime(2.0);
BENCHMARK(BM_OpenSSLMixed)->Unit(benchmark::kMillisecond)->MinTime(2.0);

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  ratio_reporter reporter;
  reporter.pairs = {
      {"BM_Ours64MiB/min_time:2.000", "BM_OpenSSL64MiB/min_time:2.000", "bytes_per_second"},
      {"BM_OursChunks4KiB/min_time:2.000", "BM_OpenSSLChunks4KiB/min_time:2.000",
       "bytes_per_second"}};
  for (int isa = 0; isa <= static_cast<int>(md5_best_isa()); ++isa) {
    for (int blocks : {64, 2048}) {
      std::string args = std::to_string(isa) + "/" + std::to_string(blocks) + "/min_time:2.000";
      for (const char* lanes : {"BM_Lanes8x64MiB/", "BM_Lanes16x64MiB/"}) {
        reporter.pairs.push_back(
            {lanes + args, "BM_OpenSSL64MiB/min_time:2.000", "bytes_per_second"});
      }
      reporter.pairs.push_back(
          {"BM_LanesMixed/" + args, "BM_OpenSSLMixed/min_time:2.000", "bytes_per_second"});
    }
  }
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();
}
