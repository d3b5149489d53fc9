// SPDX-License-Identifier: GPL-3.0-or-later
// The whole program on generated trees: many small files, and a few files of
// tens of MiB, each timed on a first run (everything new) and a rerun
// (everything a duplicate). Beside them, md5sum over the same files, and the
// database calls a run must make (a lookup and an append per new file, a
// lookup per duplicate) made in this process on the same disk.
//
// Then the incremental case a database exists for: a new folder of 1,000
// files, one in five a copy, checked against an archive of 20,000 files
// recorded earlier, with the database grown to 10^5 and 10^6 records; beside
// it, the tools that keep no database rescanning archive and folder. With
// --real-archives, the same against archives of 10^5 and 3x10^5 copies of the
// system's own files, recorded by a first run of ours. A first run over a
// real tree against the floor of this design (bench/floor.cpp), and a rerun
// over one (/usr/share /usr/include /etc) against md5sum.
//
// rmlint stands beside the tools on every tree, with its cache of digests in
// extended attributes (--xattr) where a rerun can use one: the scratch file
// system must take user extended attributes. With --baseline=PATH, another
// build of the tests' program (an earlier commit's) is alternated with ours on
// first runs of small and large files and on reruns of small files.
//
// Runs in a scratch directory under $TMPDIR or /var/tmp, removed at the end.
// Every run timed must exit 0, or the benchmark stops.
#include <fcntl.h>
#include <ftw.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <random>
#include <string>
#include <vector>

extern "C" {
#include <ndbm.h>
}

#include "bench/checked.h"
#include "bench/ratio_reporter.h"
#include "store/store.h"
#include "tests/scratch.h"

namespace {

constexpr int kSmallFiles = 2000;
constexpr std::size_t kSmallSize = 1024;
constexpr int kLargeFiles = 16;
constexpr std::size_t kLargeSize = 48u << 20;

// The tests' copy of the program, with its database at db/velorand.db.
const std::string g_program = VELORAND_TEST_PROGRAM;

// The same database, as the benchmark's own calls reach it; set in main.
digest_db g_db;

// Another build of it to compare with (--baseline=PATH), or empty.
std::string g_baseline;

double seconds_since(std::chrono::steady_clock::time_point t0) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

// Sets counter `name`_s to the median of `secs`, and prints every run's time
// on standard error (before the benchmark's line), so that the spread is seen.
double put_median(benchmark::State& st, const std::string& name, const std::vector<double>& secs) {
  std::fprintf(stderr, "  %s:", name.c_str());
  for (double s : secs) std::fprintf(stderr, " %.3f", s);
  std::fprintf(stderr, " s\n");
  st.counters[name + "_s"] = median(secs);
  return median(secs);
}

void write_random_file(const std::string& path, std::size_t size, std::mt19937_64& rng) {
  std::string bytes(size / 8 * 8, '\0');
  for (std::size_t at = 0; at < bytes.size(); at += 8) {
    std::uint64_t w = rng();
    std::memcpy(bytes.data() + at, &w, 8);
  }
  must(write_file(path, bytes), "writing " + path);
}

void make_dir(const std::string& path) {
  must(mkdir(path.c_str(), 0755) == 0, "mkdir " + path);
}

void make_trees() {
  std::mt19937_64 rng(5);
  make_dir("small");
  for (int i = 0; i < kSmallFiles; ++i) {
    write_random_file("small/f" + std::to_string(i), kSmallSize, rng);
  }
  make_dir("large");
  for (int i = 0; i < kLargeFiles; ++i) {
    write_random_file("large/f" + std::to_string(i), kLargeSize, rng);
  }
}

// Removes every file of the database, whatever the library named them.
void forget() {
  remove_tree("db");
  make_dir("db");
}

// Runs `argv` (argv[0] a path) in `cwd` with standard output to /dev/null and
// returns its wall time; stops the benchmark unless it exits 0.
double timed_run(const std::vector<std::string>& argv, const std::string& cwd = ".") {
  auto t0 = std::chrono::steady_clock::now();
  run_result r = run_program(argv[0], argv, cwd, false, "/dev/null");
  double secs = seconds_since(t0);
  errno = 0;
  must(r.status == 0,
       argv[0] + " (exit status " + std::to_string(r.status) + ": " + r.err.substr(0, 200) + ")");
  return secs;
}

// rmlint looking for duplicate files only, hidden ones too, with all its
// threads, its cache of digests in extended attributes with `xattr`. Its one
// output is a JSON file in the scratch directory: told -o FORMAT:FILE, rmlint
// replaces FILE with a new file (so never /dev/null), and with -o it writes
// none of its default outputs, its removal script among them.
std::vector<std::string> rmlint(const std::vector<std::string>& paths, bool xattr) {
  std::vector<std::string> argv{"/usr/bin/rmlint", "-T", "df", "--hidden"};
  if (xattr) argv.push_back("--xattr");
  argv.insert(argv.end(), {"-o", "json:rmlint.json"});
  argv.insert(argv.end(), paths.begin(), paths.end());
  return argv;
}

// Times an rmlint run; stops the benchmark if a removal script appeared.
double timed_rmlint(const std::vector<std::string>& paths, bool xattr) {
  double secs = timed_run(rmlint(paths, xattr));
  must(access("rmlint.sh", F_OK) != 0, "rmlint writing no removal script");
  return secs;
}

int clear_rmlint_attrs(const char* path, const struct stat*, int type, struct FTW*) {
  if (type != FTW_F) return 0;
  char names[4096];
  ssize_t n = llistxattr(path, names, sizeof names);
  for (ssize_t at = 0; at < n; at += static_cast<ssize_t>(std::strlen(names + at)) + 1) {
    if (std::strncmp(names + at, "user.rmlint.", 12) == 0) lremovexattr(path, names + at);
  }
  return 0;
}

// Removes rmlint's cached digests from every file under `tree`, so that its
// next run meets them as new.
void forget_rmlint(const std::string& tree) {
  must(nftw(tree.c_str(), clear_rmlint_attrs, 32, FTW_PHYS) == 0, "clearing rmlint's cache");
}

// Whether the scratch file system takes the user extended attributes that
// rmlint keeps its cache in.
bool xattrs_here() {
  must(write_file("xattr-probe", "x"), "writing xattr-probe");
  return setxattr("xattr-probe", "user.velorand-bench", "1", 1, 0) == 0;
}

std::vector<std::string> md5sum_of(const char* tree, int files) {
  std::vector<std::string> argv{"/usr/bin/md5sum"};
  for (int i = 0; i < files; ++i) argv.push_back(std::string(tree) + "/f" + std::to_string(i));
  return argv;
}

void set_counters(benchmark::State& st, double secs, int files, std::size_t size) {
  st.SetIterationTime(secs);
  st.counters["files_per_s"] = files / secs;
  st.counters["MB_per_s"] = static_cast<double>(files) * static_cast<double>(size) / secs / 1e6;
  st.counters["us_per_file"] = secs * 1e6 / files;
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
    must(digest_seen(g_db, nth_digest(i), 1024) == seen_result::not_seen, "a lookup");
    must(digest_add(g_db, nth_digest(i), 1024) == add_result::added, "an append");
  }
  return seconds_since(t0);
}

// The database calls of a rerun: one lookup per file, which finds it.
double db_calls_rerun() {
  auto t0 = std::chrono::steady_clock::now();
  for (int i = 0; i < kSmallFiles; ++i)
    must(digest_seen(g_db, nth_digest(i), 1024) == seen_result::seen, "a lookup");
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

void BM_Md5sumSmall(benchmark::State& st) {
  for (auto _ : st) {
    set_counters(st, timed_run(md5sum_of("small", kSmallFiles)), kSmallFiles, kSmallSize);
  }
}

// 16 files of 48 MiB, page cache warm: ours on a first run and a rerun,
// md5sum, and rmlint on a first run (its cache emptied) and a rerun, run by
// run. The files' contents differ, so rmlint, which digests only files whose
// sizes and first pieces match, reads little of them.
void BM_Large(benchmark::State& st) {
  if (!xattrs_here()) return st.SkipWithError("no user extended attributes here for rmlint");
  std::vector<double> first, again, md5sum, rm_first, rm_again;
  for (auto _ : st) {
    forget();
    first.push_back(timed_run({g_program, "large"}));
    st.SetIterationTime(first.back());
    again.push_back(timed_run({g_program, "large"}));
    md5sum.push_back(timed_run(md5sum_of("large", kLargeFiles)));
    forget_rmlint("large");
    rm_first.push_back(timed_rmlint({"large"}, true));
    rm_again.push_back(timed_rmlint({"large"}, true));
  }
  double bytes = static_cast<double>(kLargeFiles) * static_cast<double>(kLargeSize);
  double m = put_median(st, "md5sum", md5sum);
  st.counters["first/md5sum"] = put_median(st, "ours_first", first) / m;
  st.counters["rerun/md5sum"] = put_median(st, "ours_rerun", again) / m;
  st.counters["first_MB_per_s"] = bytes / median(first) / 1e6;
  put_median(st, "rmlint_first", rm_first);
  put_median(st, "rmlint_rerun", rm_again);
}

// One file of 1 GiB alone, page cache warm: ours on a first run against
// md5sum, run by run.
void BM_OneGiB(benchmark::State& st) {
  static bool made = false;
  if (!made) {
    std::mt19937_64 rng(13);
    make_dir("one");
    write_random_file("one/f0", std::size_t{1} << 30, rng);
    timed_run(md5sum_of("one", 1));  // into the page cache
    made = true;
  }
  std::vector<double> ours, md5sum;
  for (auto _ : st) {
    forget();
    ours.push_back(timed_run({g_program, "one"}));
    st.SetIterationTime(ours.back());
    md5sum.push_back(timed_run(md5sum_of("one", 1)));
  }
  st.counters["ours/md5sum"] = put_median(st, "ours", ours) / put_median(st, "md5sum", md5sum);
}

// Runs of ours and of the --baseline build on `tree`, run by run, each on a
// database of its own: first runs, or with `again` reruns.
void against_baseline(benchmark::State& st, const char* tree, bool again) {
  // The baseline's database is db/velorand.db under a directory of its own.
  const std::vector<std::string> base{g_baseline, std::string("../") + tree};
  auto forget_base = [] {
    remove_tree("baseline");
    make_dir("baseline");
    make_dir("baseline/db");
  };
  forget();
  forget_base();
  if (again) {
    timed_run({g_program, tree});
    timed_run(base, "baseline");
  }
  std::vector<double> ours, theirs;
  for (auto _ : st) {
    if (!again) forget();
    ours.push_back(timed_run({g_program, tree}));
    st.SetIterationTime(ours.back());
    if (!again) forget_base();
    theirs.push_back(timed_run(base, "baseline"));
  }
  st.counters["ours/baseline"] = put_median(st, "ours", ours) / put_median(st, "baseline", theirs);
}

void BM_BaselineSmallFirstRun(benchmark::State& st) {
  against_baseline(st, "small", false);
}
void BM_BaselineSmallRerun(benchmark::State& st) {
  against_baseline(st, "small", true);
}
void BM_BaselineLargeFirstRun(benchmark::State& st) {
  against_baseline(st, "large", false);
}

constexpr int kArchiveFiles = 20000;
constexpr int kNewFiles = 1000;

std::string archive_file(int i) {
  return "archive/d" + std::to_string(i / 500) + "/f" + std::to_string(i);
}

// Writes `dir`, a new folder of kNewFiles files, one in five a copy of
// `archive_file(i)` for a random i below `archived`.
void make_new_folder(const std::string& dir, std::string (*archive_file)(int), int archived,
                     std::mt19937_64& rng) {
  make_dir(dir);
  for (int i = 0; i < kNewFiles; ++i) {
    std::string to = dir + "/n" + std::to_string(i);
    if (i % 5 == 0) {
      std::string from = archive_file(static_cast<int>(rng() % static_cast<unsigned>(archived)));
      must(write_file(to, read_file(from)), to);
    } else {
      write_random_file(to, 104 + rng() % 8000 / 8 * 8, rng);
    }
  }
}

// Writes archive/ (40 directories of 500 files of 100 bytes to 8 KiB) and
// new/, once.
void make_incremental_trees() {
  static bool made = false;
  if (made) return;
  made = true;
  std::mt19937_64 rng(9);
  make_dir("archive");
  for (int i = 0; i < kArchiveFiles; ++i) {
    if (i % 500 == 0) make_dir(archive_file(i).substr(0, archive_file(i).rfind('/')));
    write_random_file(archive_file(i), 104 + rng() % 8000 / 8 * 8, rng);
  }
  make_new_folder("new", archive_file, kArchiveFiles, rng);
}

// Grows the database with synthetic records until it holds `records`.
void fill_to(long records, long& held) {
  DBM* db = dbm_open(const_cast<char*>(g_db.paths.db.c_str()), O_RDWR, 0600);
  must(db != nullptr, "opening the database");
  std::mt19937_64 rng(static_cast<std::uint64_t>(held));
  for (; held < records; ++held) {
    std::uint64_t d[2] = {rng(), rng()};
    size_key k = 1;
    datum key{reinterpret_cast<char*>(d), 16}, value{reinterpret_cast<char*>(&k), 4};
    must(dbm_store(db, key, value, DBM_REPLACE) == 0, "a store");
  }
  dbm_close(db);
}

std::map<std::string, std::string> saved_db() {
  std::map<std::string, std::string> files;
  for (const std::string& name : names_with_prefix("db", "velorand.db")) {
    files["db/" + name] = read_file("db/" + name);
  }
  return files;
}

// Writes the files back in the 128 KiB chunks cp and cat use: written in one
// call, a file sits in large page-cache folios, and every later sync of a few
// changed bytes writes back a whole folio, which a database grown by appends
// never does.
void restore_db(const std::map<std::string, std::string>& files) {
  constexpr std::size_t kChunk = std::size_t{128} << 10;
  forget();
  for (const auto& [path, bytes] : files) {
    int fd = open(path.c_str(), O_WRONLY | O_CREAT, 0600);
    must(fd >= 0, "creating " + path);
    for (std::size_t at = 0; at < bytes.size(); at += kChunk) {
      std::size_t n = std::min(kChunk, bytes.size() - at);
      must(write(fd, bytes.data() + at, n) == static_cast<ssize_t>(n), "writing " + path);
    }
    // On disk before the run, whose first sync would otherwise write it all.
    must(fsync(fd) == 0 && close(fd) == 0, "syncing " + path);
  }
}

// Times a run of ours over new/ against the database `saved`, alternated
// with a rescan of `archive` and new/ by each of the tools that keep no
// database, and by rmlint with its cache: filled for the archive by a run
// before, emptied for the folder before each run, which thus meets it as new
// as ours does. Reports the medians.
void against_rescans(benchmark::State& st, const std::map<std::string, std::string>& saved,
                     const std::vector<std::string>& archive, const std::string& folder) {
  if (!xattrs_here()) return st.SkipWithError("no user extended attributes here for rmlint");
  std::vector<std::vector<std::string>> tools = {
      {"/usr/bin/jdupes", "-q", "-r"},
      {"/usr/bin/rdfind", "-dryrun", "true", "-outputname", "/dev/null"},
      {"/usr/bin/fdupes", "-q", "-r"}};
  std::vector<std::string> scanned = archive;
  scanned.push_back(folder);
  for (auto& tool : tools) tool.insert(tool.end(), scanned.begin(), scanned.end());
  timed_rmlint(scanned, true);
  std::vector<double> ours, rm;
  std::vector<std::vector<double>> theirs(tools.size());
  for (auto _ : st) {
    restore_db(saved);
    ours.push_back(timed_run({g_program, folder}));
    st.SetIterationTime(ours.back());
    for (std::size_t t = 0; t < tools.size(); ++t) theirs[t].push_back(timed_run(tools[t]));
    forget_rmlint(folder);
    rm.push_back(timed_rmlint(scanned, true));
  }
  restore_db(saved);
  double fastest = put_median(st, "rmlint", rm);
  for (std::size_t t = 0; t < tools.size(); ++t) {
    const std::string& tool = tools[t][0];
    fastest = std::min(fastest, put_median(st, tool.substr(tool.rfind('/') + 1), theirs[t]));
  }
  st.counters["ours/fastest"] = put_median(st, "ours", ours) / fastest;
}

// The new folder against the archive's database grown to range(0) records.
void BM_Incremental(benchmark::State& st) {
  static long held = 0;
  make_incremental_trees();
  if (held == 0) {
    forget();
    timed_run({g_program, "-r", "archive"});
    held = kArchiveFiles;
  }
  fill_to(st.range(0), held);
  against_rescans(st, saved_db(), {"archive"}, "new");
}

// Real files for the large archives: the regular files under 64 KiB of the
// system's own trees, listed once.
const std::vector<std::string>& real_files() {
  static std::vector<std::string> files;
  if (!files.empty()) return files;
  must(std::system("find /usr /etc /var/lib -xdev -type f -size -64k -readable -print0 "
                   "2>/dev/null > real-small-files") != -1,
       "listing real files");
  std::string all = read_file("real-small-files");
  for (std::size_t at = 0, end; (end = all.find('\0', at)) != std::string::npos; at = end + 1)
    files.push_back(all.substr(at, end - at));
  must(files.size() > 1000, "finding real files");
  return files;
}

// Writes real archive files from..to-1 into `dir`, 500 to a directory: each a
// copy of a real file, marked with its round when the real files ran out, so
// that no two rounds hold the same contents.
void make_real_archive(const std::string& dir, std::size_t from, std::size_t to) {
  const std::vector<std::string>& real = real_files();
  make_dir(dir);
  for (std::size_t i = from; i < to; ++i) {
    std::string sub = dir + "/d" + std::to_string(i / 500);
    if (i == from || i % 500 == 0) make_dir(sub);
    std::string bytes = read_file(real[i % real.size()]);
    if (i >= real.size()) bytes.append(1, '\n').append(std::to_string(i / real.size())) += '\n';
    must(write_file(sub + "/f" + std::to_string(i), bytes), "writing the real archive");
  }
}

std::string real_archive_file(int i) {
  return "real0/d" + std::to_string(i / 500) + "/f" + std::to_string(i);
}

// The new folder against an archive of range(0) real files, recorded by a
// first run of ours; the tools rescan the same archive. The archive of
// 300,000 files is the one of 100,000 and 200,000 more.
void BM_IncrementalRealArchive(benchmark::State& st) {
  static std::vector<std::string> parts;
  static std::size_t held = 0;
  if (held == 0) forget();
  while (held < static_cast<std::size_t>(st.range(0))) {
    std::size_t to = held == 0 ? 100000 : static_cast<std::size_t>(st.range(0));
    std::string part = "real" + std::to_string(parts.size());
    make_real_archive(part, held, to);
    timed_run({g_program, "-r", part});
    parts.push_back(part);
    held = to;
  }
  static bool made = false;
  if (!made) {
    std::mt19937_64 rng(11);
    make_new_folder("new-real", real_archive_file, 100000, rng);
    made = true;
  }
  against_rescans(st, saved_db(), parts, "new-real");
}

// A first run over a real tree, where nearly every file is new, alternated
// with the floor: the same calls and nothing else (bench/floor.cpp).
void BM_FirstRunRealTree(benchmark::State& st) {
  const std::string floor = VELORAND_FLOOR;
  if (floor.empty()) return st.SkipWithError("the floor is built with GDBM only");
  const std::vector<std::string> tree{"/usr/include", "/usr/share/doc", "/usr/share/locale"};
  std::vector<std::string> ours{g_program, "-r"}, theirs{floor, "db/velorand.db"},
      unmapped{floor, "--unmapped", "db/velorand.db"};
  for (auto* run : {&ours, &theirs, &unmapped}) run->insert(run->end(), tree.begin(), tree.end());
  forget();
  timed_run(theirs);  // bring the tree into the page cache
  std::vector<double> first, least, least_unmapped;
  for (auto _ : st) {
    forget();
    first.push_back(timed_run(ours));
    st.SetIterationTime(first.back());
    forget();
    least.push_back(timed_run(theirs));
    forget();
    least_unmapped.push_back(timed_run(unmapped));
  }
  st.counters["ours_s"] = median(first);
  st.counters["floor_s"] = median(least);
  st.counters["ours/floor"] = median(first) / median(least);
  // The floor appending as the program does: what the program's checks cost.
  st.counters["ours/unmapped"] = median(first) / median(least_unmapped);
}

// A second run over a real tree, in which every file is a lookup that finds
// it, alternated with md5sum over the same files (found as the program finds
// them, following links) and with rmlint, whose cache this tree cannot hold:
// it would write it into the system's files.
void BM_RealTreeRerun(benchmark::State& st) {
  const std::vector<std::string> tree{"/usr/share", "/usr/include", "/etc"};
  std::vector<std::string> ours{g_program, "-r"};
  ours.insert(ours.end(), tree.begin(), tree.end());
  const std::vector<std::string> md5sum_run{
      "/bin/sh", "-c",
      "find -L /usr/share /usr/include /etc -type f -print0 | xargs -0 md5sum > /dev/null"};
  forget();
  timed_run(ours);
  std::vector<double> rerun, md5sum, rm;
  for (auto _ : st) {
    rerun.push_back(timed_run(ours));
    st.SetIterationTime(rerun.back());
    md5sum.push_back(timed_run(md5sum_run));
    rm.push_back(timed_rmlint(tree, false));
  }
  double m = put_median(st, "md5sum", md5sum);
  st.counters["ours/md5sum"] = put_median(st, "ours", rerun) / m;
  st.counters["ours/rmlint"] = median(rerun) / put_median(st, "rmlint", rm);
}

// A copy of the first run's real tree (links followed, so that rmlint's cache
// is written into the copy only): ours on a first run and a rerun, and rmlint
// on a first run (its cache emptied) and a rerun with its cache, run by run.
void BM_RealTreeCopy(benchmark::State& st) {
  if (!xattrs_here()) return st.SkipWithError("no user extended attributes here for rmlint");
  static bool made = false;
  if (!made) {
    make_dir("copy");
    must(std::system("cp -rL --preserve=mode,timestamps /usr/include /usr/share/doc "
                     "/usr/share/locale copy/") == 0,
         "copying the real tree");
    made = true;
  }
  std::vector<double> first, again, rm_first, rm_again;
  for (auto _ : st) {
    forget();
    first.push_back(timed_run({g_program, "-r", "copy"}));
    st.SetIterationTime(first.back());
    again.push_back(timed_run({g_program, "-r", "copy"}));
    forget_rmlint("copy");
    rm_first.push_back(timed_rmlint({"copy"}, true));
    rm_again.push_back(timed_rmlint({"copy"}, true));
  }
  st.counters["first/rmlint"] =
      put_median(st, "ours_first", first) / put_median(st, "rmlint_first", rm_first);
  st.counters["rerun/rmlint"] =
      put_median(st, "ours_rerun", again) / put_median(st, "rmlint_rerun", rm_again);
}

BENCHMARK(BM_SmallFirstRun)->UseManualTime()->Iterations(5)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_SmallRerun)->UseManualTime()->Iterations(5)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Md5sumSmall)->UseManualTime()->Iterations(3)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Large)->UseManualTime()->Iterations(5)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_OneGiB)->UseManualTime()->Iterations(3)->Unit(benchmark::kMillisecond);
// Sizes in increasing order, since the database only grows.
BENCHMARK(BM_Incremental)
    ->Arg(kArchiveFiles)
    ->Arg(100000)
    ->Arg(1000000)
    ->UseManualTime()
    ->Iterations(5)
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_FirstRunRealTree)->UseManualTime()->Iterations(3)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_RealTreeRerun)->UseManualTime()->Iterations(3)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_RealTreeCopy)->UseManualTime()->Iterations(3)->Unit(benchmark::kMillisecond);

// Building the real archives takes minutes: only with --real-archives.
void register_real_archives() {
  benchmark::RegisterBenchmark("BM_IncrementalRealArchive", BM_IncrementalRealArchive)
      ->Arg(100000)
      ->Arg(300000)
      ->UseManualTime()
      ->Iterations(3)
      ->Unit(benchmark::kMillisecond);
}

void register_baseline() {
  for (auto* bm :
       {benchmark::RegisterBenchmark("BM_BaselineSmallFirstRun", BM_BaselineSmallFirstRun),
        benchmark::RegisterBenchmark("BM_BaselineSmallRerun", BM_BaselineSmallRerun),
        benchmark::RegisterBenchmark("BM_BaselineLargeFirstRun", BM_BaselineLargeFirstRun)}) {
    bm->UseManualTime()->Iterations(5)->Unit(benchmark::kMillisecond);
  }
}

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--real-archives") == 0) register_real_archives();
    if (std::strncmp(argv[i], "--baseline=", 11) == 0) g_baseline = argv[i] + 11;
  }
  if (!g_baseline.empty()) {
    must(access(g_baseline.c_str(), X_OK) == 0, "finding the baseline " + g_baseline);
    register_baseline();
  }
  static scratch_dir dir("/var/tmp");  // static: removed on must()'s exit too
  must(chdir(dir.path.c_str()) == 0, "entering " + dir.path);
  make_dir("db");
  g_db = digest_db_at(dir.path + "/db/velorand.db");
  make_trees();
  timed_run(md5sum_of("large", kLargeFiles));  // bring the files into the page cache
  ratio_reporter reporter;
  const std::string it = "/iterations:3/manual_time";
  reporter.pairs = {
      {"BM_SmallFirstRun/iterations:5/manual_time", "BM_Md5sumSmall" + it, "files_per_s"},
  };
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();
  return 0;
}
