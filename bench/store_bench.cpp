// Lookups and appends through the digest database beside a raw ndbm loop
// (open, fetch, store, close) in the same process, on databases of 10^3, 10^5
// and 10^6 records. Runs in a scratch directory under $TMPDIR or /tmp.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <random>
#include <string>

#include "bench/ratio_reporter.h"
#include "store/store.h"

extern "C" {
#include <ndbm.h>
}

namespace {

digest random_digest(std::mt19937_64& rng) {
  digest d;
  for (std::size_t i = 0; i < d.size(); i += 8) {
    std::uint64_t r = rng();
    std::memcpy(d.data() + i, &r, 8);
  }
  return d;
}

datum as_datum(const void* p, std::size_t n) {
  return datum{static_cast<char*>(const_cast<void*>(p)), static_cast<int>(n)};
}

// Fills the database with `records` records in one opening; returns 0 on success.
int fill(long records) {
  static long filled = 0;
  if (filled >= records) return 0;
  DBM* db = dbm_open(const_cast<char*>(digest_db_path()), O_RDWR | O_CREAT, 0600);
  if (db == nullptr) return 1;
  std::mt19937_64 rng(static_cast<std::uint64_t>(filled) + 1);
  for (; filled < records; ++filled) {
    digest d = random_digest(rng);
    size_key k = static_cast<size_key>(filled);
    dbm_store(db, as_datum(d.data(), d.size()), as_datum(&k, sizeof k), DBM_REPLACE);
  }
  dbm_close(db);
  return 0;
}

void BM_OursLookup(benchmark::State& st) {
  if (fill(st.range(0)) != 0) return st.SkipWithError("cannot fill the database");
  std::mt19937_64 rng(7);
  for (auto _ : st) benchmark::DoNotOptimize(digest_seen(random_digest(rng), 1));
  st.counters["ops"] = benchmark::Counter(static_cast<double>(st.iterations()),
                                          benchmark::Counter::kIsRate);
}

void BM_RawLookup(benchmark::State& st) {
  if (fill(st.range(0)) != 0) return st.SkipWithError("cannot fill the database");
  std::mt19937_64 rng(7);
  for (auto _ : st) {
    digest d = random_digest(rng);
    DBM* db = dbm_open(const_cast<char*>(digest_db_path()), O_RDWR | O_CREAT, 0600);
    benchmark::DoNotOptimize(dbm_fetch(db, as_datum(d.data(), d.size())).dptr);
    dbm_close(db);
  }
  st.counters["ops"] = benchmark::Counter(static_cast<double>(st.iterations()),
                                          benchmark::Counter::kIsRate);
}

void BM_OursAppend(benchmark::State& st) {
  if (fill(st.range(0)) != 0) return st.SkipWithError("cannot fill the database");
  std::mt19937_64 rng(11);
  for (auto _ : st) benchmark::DoNotOptimize(digest_add(random_digest(rng), 1));
  st.counters["ops"] = benchmark::Counter(static_cast<double>(st.iterations()),
                                          benchmark::Counter::kIsRate);
}

void BM_RawAppend(benchmark::State& st) {
  if (fill(st.range(0)) != 0) return st.SkipWithError("cannot fill the database");
  std::mt19937_64 rng(13);
  size_key k = 1;
  for (auto _ : st) {
    digest d = random_digest(rng);
    DBM* db = dbm_open(const_cast<char*>(digest_db_path()), O_RDWR | O_CREAT, 0600);
    datum key = as_datum(d.data(), d.size());
    benchmark::DoNotOptimize(dbm_fetch(db, key).dptr);
    dbm_store(db, key, as_datum(&k, sizeof k), DBM_REPLACE);
    dbm_close(db);
  }
  st.counters["ops"] = benchmark::Counter(static_cast<double>(st.iterations()),
                                          benchmark::Counter::kIsRate);
}

// Sizes in increasing order, since the database only grows.
#define STORE_BENCH(name) \
  BENCHMARK(name)->Arg(1000)->Arg(100000)->Arg(1000000)->Unit(benchmark::kMicrosecond)
STORE_BENCH(BM_OursLookup);
STORE_BENCH(BM_RawLookup);
STORE_BENCH(BM_OursAppend);
STORE_BENCH(BM_RawAppend);

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  const char* tmp = std::getenv("TMPDIR");
  std::string dir = std::string(tmp != nullptr ? tmp : "/var/tmp") + "/velorand-bench-XXXXXX";
  if (mkdtemp(dir.data()) == nullptr || chdir(dir.c_str()) != 0 || mkdir("db", 0755) != 0) {
    std::perror("scratch directory");
    return 1;
  }
  std::printf("database in %s/db (remove it afterwards)\n", dir.c_str());
  ratio_reporter reporter;
  reporter.counter = "ops";
  for (const char* n : {"1000", "100000", "1000000"}) {
    reporter.pairs.push_back({std::string("BM_RawLookup/") + n, std::string("BM_OursLookup/") + n});
    reporter.pairs.push_back({std::string("BM_RawAppend/") + n, std::string("BM_OursAppend/") + n});
  }
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();
}
