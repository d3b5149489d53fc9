// SPDX-License-Identifier: GPL-3.0-or-later
// Lookups and appends through the digest database beside a raw ndbm loop
// (open, fetch, store, close) in the same process, on databases of 10^3, 10^5
// and 10^6 records. Runs in a scratch directory under $TMPDIR or /var/tmp.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>

#include "bench/checked.h"
#include "store/store.h"
#include "tests/scratch.h"

extern "C" {
#include <ndbm.h>
}

namespace {

digest_db g_db;  // the benchmark's database, set in main

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

// Fills the database with `records` records, 1,000 to an opening, so that no
// library keeps a whole fill in its buffers; returns 0 on success.
int fill(long records) {
  static long filled = 0;
  std::mt19937_64 rng(static_cast<std::uint64_t>(filled) + 1);
  while (filled < records) {
    DBM* db = dbm_open(const_cast<char*>(g_db.paths.db.c_str()), O_RDWR | O_CREAT, 0600);
    if (db == nullptr) return 1;
    for (long end = std::min(records, filled + 1000); filled < end; ++filled) {
      digest d = random_digest(rng);
      size_key k = static_cast<size_key>(filled);
      must(dbm_store(db, as_datum(d.data(), d.size()), as_datum(&k, sizeof k), DBM_REPLACE) == 0,
           "a store " + std::to_string(filled));
    }
    dbm_close(db);
  }
  return 0;
}

using clock_type = std::chrono::steady_clock;

// One raw lookup: open, fetch, close.
void raw_lookup(const digest& d) {
  DBM* db = dbm_open(const_cast<char*>(g_db.paths.db.c_str()), O_RDWR | O_CREAT, 0600);
  must(db != nullptr, "opening the database");
  benchmark::DoNotOptimize(dbm_fetch(db, as_datum(d.data(), d.size())).dptr);
  dbm_close(db);
}

// One raw append: open, fetch, store, close.
void raw_append(const digest& d, size_key k) {
  DBM* db = dbm_open(const_cast<char*>(g_db.paths.db.c_str()), O_RDWR | O_CREAT, 0600);
  must(db != nullptr, "opening the database");
  datum key = as_datum(d.data(), d.size());
  benchmark::DoNotOptimize(dbm_fetch(db, key).dptr);
  must(dbm_store(db, key, as_datum(&k, sizeof k), DBM_REPLACE) == 0, "a store");
  dbm_close(db);
}

double micros(clock_type::duration d) {
  return std::chrono::duration<double, std::micro>(d).count();
}

// Returns the time the journal last changed, or 0 where there is none.
long long journal_changed() {
  struct stat st;
  std::string journal = g_db.paths.db + ".journal";
  if (stat(journal.c_str(), &st) != 0) return 0;
  return static_cast<long long>(st.st_ctim.tv_sec) * 1000000000 + st.st_ctim.tv_nsec;
}

// Alternates our call and the raw loop on fresh digests, so both see the same
// database and the same disk, and reports the mean wall time of each; ours
// apart, too, for the calls that made a journal first and those that did not.
template <typename Ours, typename Raw>
void alternate(benchmark::State& st, Ours ours, Raw raw) {
  if (fill(st.range(0)) != 0) return st.SkipWithError("cannot fill the database");
  std::mt19937_64 rng(static_cast<std::uint64_t>(st.range(0)) * 31 + 7);
  clock_type::duration ours_time{}, raw_time{}, guarded_time{};
  long guarded = 0;
  bool ours_first = true;
  for (auto _ : st) {
    digest a = random_digest(rng), b = random_digest(rng);
    long long journal = journal_changed();
    // Which goes first swaps every iteration, so neither gains from the other.
    auto t0 = clock_type::now();
    ours_first ? ours(a) : raw(b);
    auto t1 = clock_type::now();
    ours_first ? raw(b) : ours(a);
    auto t2 = clock_type::now();
    auto mine = ours_first ? t1 - t0 : t2 - t1;
    ours_time += mine;
    raw_time += ours_first ? t2 - t1 : t1 - t0;
    if (journal_changed() != journal) ++guarded, guarded_time += mine;
    ours_first = !ours_first;
  }
  double n = static_cast<double>(st.iterations());
  st.counters["ours_us"] = micros(ours_time) / n;
  st.counters["raw_us"] = micros(raw_time) / n;
  st.counters["ours/raw"] = micros(ours_time) / micros(raw_time);
  st.counters["plain_us"] = micros(ours_time - guarded_time) / (n - static_cast<double>(guarded));
  st.counters["journaled"] = static_cast<double>(guarded);
  if (guarded > 0)
    st.counters["journaled_us"] = micros(guarded_time) / static_cast<double>(guarded);
}

void BM_Lookup(benchmark::State& st) {
  alternate(
      st,
      [](const digest& d) { must(digest_seen(g_db, d, 1) == seen_result::not_seen, "a lookup"); },
      raw_lookup);
}

void BM_Append(benchmark::State& st) {
  alternate(
      st, [](const digest& d) { must(digest_add(g_db, d, 1) == add_result::added, "an append"); },
      [](const digest& d) { raw_append(d, 1); });
}

// Sizes in increasing order, since the database only grows.
BENCHMARK(BM_Lookup)->Arg(1000)->Arg(100000)->Arg(1000000)->Iterations(4000)->UseRealTime();
BENCHMARK(BM_Append)->Arg(1000)->Arg(100000)->Arg(1000000)->Iterations(4000)->UseRealTime();

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  static scratch_dir dir("/var/tmp");  // static: removed on must()'s exit too
  must(mkdir((dir.path + "/db").c_str(), 0755) == 0, "mkdir " + dir.path + "/db");
  g_db = digest_db_at(dir.path + "/db/velorand.db");
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
