// SPDX-License-Identifier: GPL-3.0-or-later
// Throughput of our MD5 beside OpenSSL's in the same process.
#include <openssl/evp.h>

#include <random>
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

BENCHMARK(BM_Ours64MiB)->Unit(benchmark::kMillisecond)->MinTime(2.0);
BENCHMARK(BM_OpenSSL64MiB)->Unit(benchmark::kMillisecond)->MinTime(2.0);
BENCHMARK(BM_OursChunks4KiB)->MinTime(2.0);
BENCHMARK(BM_OpenSSLChunks4KiB)->MinTime(2.0);

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  ratio_reporter reporter;
  reporter.pairs = {
      {"BM_Ours64MiB/min_time:2.000", "BM_OpenSSL64MiB/min_time:2.000", "bytes_per_second"},
      {"BM_OursChunks4KiB/min_time:2.000", "BM_OpenSSLChunks4KiB/min_time:2.000",
       "bytes_per_second"}};
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();
}
