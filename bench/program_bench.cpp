// The whole program on generated trees: many small files, and a few files of
// tens of MiB, each timed on a first run (everything new) and a rerun
// (everything a duplicate). Beside them, md5sum over the same files, and the
// database calls a run must make (a lookup and an append per new file, a
// lookup per duplicate) made in this process on the same disk.
//
// Runs in a scratch directory under $TMPDIR or /var/tmp, removed at the end.
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "bench/ratio_reporter.h"
#include "store/store.h"

namespace {

constexpr int kSmallFiles = 2000;
constexpr std::size_t kSmallSize = 1024;
constexpr int kLargeFiles = 3;
constexpr std::size_t kLargeSize = 48u << 20;

std::string g_program;  // the program, with its database at db/velorand.db

double seconds_since(std::chrono::steady_clock::time_point t0) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

void write_random_file(const std::string& path, std::size_t size, std::mt19937_64& rng) {
  std::vector<std::uint64_t> words(size / 8);
  for (auto& w : words) w = rng();
  FILE* f = std::fopen(path.c_str(), "w");
  std::fwrite(words.data(), 8, words.size(), f);
  std::fclose(f);
}

void make_trees() {
  std::mt19937_64 rng(5);
  mkdir("small", 0755);
  for (int i = 0; i < kSmallFiles; ++i) {
    write_random_file("small/f" + std::to_string(i), kSmallSize, rng);
  }
  mkdir("large", 0755);
  for (int i = 0; i < kLargeFiles; ++i) {
    write_random_file("large/f" + std::to_string(i), kLargeSize, rng);
  }
}

void forget() {
  for (const char* suffix : {"", ".pag", ".dir", ".db", ".lock"}) {
    unlink((std::string(digest_db_path()) + suffix).c_str());
  }
}

// Runs `argv` with standard output to /dev/null and returns its wall time.
double timed_run(const std::vector<std::string>& argv) {
  auto t0 = std::chrono::steady_clock::now();
  pid_t pid = fork();
  if (pid == 0) {
    int null = open("/dev/null", O_WRONLY);
    dup2(null, 1);
    std::vector<char*> args;
    for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    execvp(args[0], args.data());
    _exit(127);
  }
  int status = 0;
  waitpid(pid, &status, 0);
  return seconds_since(t0);
}

std::vector<std::string> md5sum_of(const char* tree, int files) {
  std::vector<std::string> argv{"md5sum"};
  for (int i = 0; i < files; ++i) argv.push_back(std::string(tree) + "/f" + std::to_string(i));
  return argv;
}

void set_counters(benchmark::State& st, double secs, int files, std::size_t size) {
  st.SetIterationTime(secs);
  st.counters["files_per_s"] = files / secs;
  st.counters["MB_per_s"] = static_cast<double>(files) * static_cast<double>(size) / secs / 1e6;
  st.counters["us_per_file"] = secs * 1e6 / files;
}

void run_first(benchmark::State& st, const char* tree, int files, std::size_t size) {
  for (auto _ : st) {
    forget();
    set_counters(st, timed_run({g_program, tree}), files, size);
  }
}

void run_again(benchmark::State& st, const char* tree, int files, std::size_t size) {
  forget();
  timed_run({g_program, tree});
  for (auto _ : st) set_counters(st, timed_run({g_program, tree}), files, size);
}

digest nth_digest(int i) {
  digest d{};
  std::memcpy(d.data(), &i, sizeof i);
  return d;
}

// The database calls of a first run: a lookup and an append per file.
double db_calls_first_run() {
  forget();
  auto t0 = std::chrono::steady_clock::now();
  for (int i = 0; i < kSmallFiles; ++i) {
    benchmark::DoNotOptimize(digest_seen(nth_digest(i), 1024));
    benchmark::DoNotOptimize(digest_add(nth_digest(i), 1024));
  }
  return seconds_since(t0);
}

// The database calls of a rerun: one lookup per file, which finds it.
double db_calls_rerun() {
  auto t0 = std::chrono::steady_clock::now();
  for (int i = 0; i < kSmallFiles; ++i) benchmark::DoNotOptimize(digest_seen(nth_digest(i), 1024));
  return seconds_since(t0);
}

// Alternates the program and its database calls, so both meet the same disk.
void set_against_db(benchmark::State& st, double program, double db) {
  set_counters(st, program, kSmallFiles, kSmallSize);
  st.counters["db_us_per_file"] = db * 1e6 / kSmallFiles;
  st.counters["program/db"] = program / db;
}

void BM_SmallFirstRun(benchmark::State& st) {
  for (auto _ : st) {
    forget();
    double program = timed_run({g_program, "small"});
    set_against_db(st, program, db_calls_first_run());
  }
}

void BM_SmallRerun(benchmark::State& st) {
  for (auto _ : st) {
    forget();
    timed_run({g_program, "small"});
    double program = timed_run({g_program, "small"});
    db_calls_first_run();
    set_against_db(st, program, db_calls_rerun());
  }
}

void BM_LargeFirstRun(benchmark::State& st) {
  run_first(st, "large", kLargeFiles, kLargeSize);
}
void BM_LargeRerun(benchmark::State& st) {
  run_again(st, "large", kLargeFiles, kLargeSize);
}

void BM_Md5sumSmall(benchmark::State& st) {
  for (auto _ : st) {
    set_counters(st, timed_run(md5sum_of("small", kSmallFiles)), kSmallFiles, kSmallSize);
  }
}

void BM_Md5sumLarge(benchmark::State& st) {
  for (auto _ : st) {
    set_counters(st, timed_run(md5sum_of("large", kLargeFiles)), kLargeFiles, kLargeSize);
  }
}

BENCHMARK(BM_SmallFirstRun)->UseManualTime()->Iterations(5)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_SmallRerun)->UseManualTime()->Iterations(5)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Md5sumSmall)->UseManualTime()->Iterations(3)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_LargeFirstRun)->UseManualTime()->Iterations(3)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_LargeRerun)->UseManualTime()->Iterations(3)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Md5sumLarge)->UseManualTime()->Iterations(3)->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s <program built with the database at db/velorand.db>\n",
                 argv[0]);
    return 2;
  }
  g_program = realpath(argv[1], nullptr);
  const char* tmp = std::getenv("TMPDIR");
  std::string dir = std::string(tmp != nullptr ? tmp : "/var/tmp") + "/velorand-bench-XXXXXX";
  if (mkdtemp(dir.data()) == nullptr || chdir(dir.c_str()) != 0 || mkdir("db", 0755) != 0) {
    std::perror("scratch directory");
    return 1;
  }
  make_trees();
  timed_run(md5sum_of("large", kLargeFiles));  // bring the files into the page cache
  ratio_reporter reporter;
  const std::string it = "/iterations:3/manual_time";
  reporter.pairs = {
      {"BM_SmallFirstRun/iterations:5/manual_time", "BM_Md5sumSmall" + it, "files_per_s"},
      {"BM_LargeFirstRun" + it, "BM_Md5sumLarge" + it, "MB_per_s"},
      {"BM_LargeRerun" + it, "BM_Md5sumLarge" + it, "MB_per_s"},
  };
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();
  std::string rm = "rm -rf '" + dir + "'";
  return std::system(rm.c_str()) == 0 ? 0 : 1;
}
