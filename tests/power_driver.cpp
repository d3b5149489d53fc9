// SPDX-License-Identifier: GPL-3.0-or-later
// Cuts the power, in effect, at every durable write of a run of appends, and
// checks every state the cut could leave.
//
// Usage: power_driver DB FROM TO CHECK [BATCH]. The database DB holds the
// digests 0..FROM-1 (see tests/scratch.h), each with size key i, durably.
// Appends FROM..TO-1 the same way, or records them in batches of BATCH, the
// last digest of each twice. Before every fsync, fdatasync or msync of a
// database file, each file may be left as it was at its own last completed
// sync plus any subset of the 4 KiB pages written since, at either length:
// every such state (sampled when there are too many) is written to the
// database CHECK and checked in a child process: each digest stored before
// the interrupted append is found, a new one can be appended, nothing
// crashes; and of a batch, either every digest or none is found. Prints one
// line per failed state, then "states N failed M".
#include <dlfcn.h>
#include <malloc.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <map>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "store/store.h"
#include "tests/scratch.h"

namespace {

constexpr std::size_t kPage = 4096;
constexpr std::size_t kMaxStates = 512;  // per sync; more are sampled

std::string g_db, g_check;  // the database run, and the one states are checked in
int g_appending = -1;       // the digest being appended, or the first of the batch
int g_batch_end = -1;       // past the last digest of the batch, or -1
bool g_inside = false;      // checking: the syncs of the checks are not cuts
std::map<std::string, std::string> g_durable;  // file name -> content at its last sync
std::set<std::size_t> g_seen;                  // states checked, by hash
long g_states = 0, g_failed = 0;

std::string dir_of(const std::string& db) {
  return db.substr(0, db.rfind('/'));
}
std::string base_of(const std::string& db) {
  return db.substr(db.rfind('/') + 1);
}

// Returns the database's files but the lock, by name.
std::map<std::string, std::string> current_files() {
  std::map<std::string, std::string> files;
  for (const std::string& n : names_with_prefix(dir_of(g_db), base_of(g_db))) {
    if (n != base_of(g_db) + ".lock") files[n] = read_file(dir_of(g_db) + "/" + n);
  }
  return files;
}

// What a cut can leave of one file: its content at its last sync with any
// subset of the pages in which it differs now, at either length.
struct file_cut {
  std::string name;
  const std::string* base;
  const std::string* now;
  std::vector<std::size_t> changed;                           // pages
  std::vector<std::pair<std::uint64_t, std::size_t>> states;  // subset of changed, length

  // Writes state `i` to `out` and returns its hash.
  std::size_t make(std::size_t i, std::string& out) const {
    auto [subset, length] = states[i];
    out = *base;
    out.resize(std::max(base->size(), now->size()), '\0');
    for (std::size_t c = 0; c < changed.size(); ++c) {
      if ((subset >> (c % 64) & 1) == 0) continue;
      std::size_t at = changed[c] * kPage, end = std::min(at + kPage, out.size());
      for (std::size_t b = at; b < end; ++b) out[b] = b < now->size() ? (*now)[b] : '\0';
    }
    out.resize(length);
    return std::hash<std::string>{}(out)*31 + std::hash<std::string>{}(name);
  }
};

file_cut cut_of(const std::string& name, const std::string& base, const std::string& now,
                std::mt19937_64& rng) {
  file_cut f{name, &base, &now, {}, {}};
  std::size_t pages = (std::max(base.size(), now.size()) + kPage - 1) / kPage;
  for (std::size_t p = 0; p < pages; ++p) {
    if (base.compare(std::min(p * kPage, base.size()), kPage, now, std::min(p * kPage, now.size()),
                     kPage) != 0)
      f.changed.push_back(p);
  }
  std::vector<std::uint64_t> subsets;
  std::size_t n = f.changed.size();
  if (n < 9) {
    for (std::uint64_t s = 0; s < (std::uint64_t{1} << n); ++s) subsets.push_back(s);
  } else {  // too many: none, all, each page alone, all but each, and a sample
    subsets = {0, ~std::uint64_t{0}};
    for (std::size_t i = 0; i < n && i < 64; ++i) {
      subsets.push_back(std::uint64_t{1} << i);
      subsets.push_back(~(std::uint64_t{1} << i));
    }
    while (subsets.size() < kMaxStates / 2) subsets.push_back(rng());
  }
  for (std::uint64_t s : subsets) {
    f.states.push_back({s, base.size()});
    if (now.size() != base.size()) f.states.push_back({s, now.size()});
  }
  return f;
}

// Records the pair as a run does: again after a repair or a move aside.
// Returns 0 when it was recorded before, 1 when this call recorded it, 2 when
// the database could not be opened, 3 for any other answer, or 5 when it
// repairs again and again.
int as_a_run(digest_db& db, const digest& d, size_key key) {
  for (int tries = 0; tries < 3; ++tries) {
    add_result r = digest_record(db, d, key);
    if (r == add_result::repaired || r == add_result::set_aside) continue;
    return r == add_result::added_before  ? 0
           : r == add_result::added       ? 1
           : r == add_result::unavailable ? 2
                                          : 3;
  }
  return 5;
}

// Checks the database CHECK as a run meets it: a digest stored before is
// found, by the lookup or by the append that follows a lookup that missed it
// (which first undoes a store cut short); a new digest is taken; digests
// 0..before-1 are all there, and of before..batch_end-1 all or none (else 6).
// Returns the exit status of a child, or 128 plus the signal that ended it.
int check_state(int before, int batch_end) {
  return run_in_child([before, batch_end] {
    digest_db db = digest_db_at(g_check);
    if (before > 0) {
      int r = as_a_run(db, numbered_digest(0), 0);
      if (r != 0) return r == 2 || r == 5 ? r : 1;
    }
    int r = as_a_run(db, numbered_digest(1 << 30), 7);
    if (r != 1) return r == 5 ? 5 : 3;
    // Every digest through one opening, and a sample through the lookup itself.
    std::map<std::string, std::string> want;
    for (int i = 0; i < before; ++i) {
      auto d = numbered_digest(i);
      want[std::string(d.begin(), d.end())] = packed_keys({i});
      if (i % 499 == 0 && digest_seen(db, d, i) != seen_result::seen) return 1;
    }
    if (!holds_all(g_check, want)) return 1;
    if (batch_end > before) {
      std::map<std::string, std::string> all = db_records(g_check);
      int found = 0;
      for (int i = before; i < batch_end; ++i) {
        auto d = numbered_digest(i);
        found += all.count(std::string(d.begin(), d.end())) != 0;
      }
      if (found != 0 && found != batch_end - before) return 6;
    }
    return digest_seen(db, numbered_digest(1 << 30), 7) == seen_result::seen ? 0 : 4;
  });
}

// Writes each combination of file states to CHECK and checks it.
void check_cuts() {
  static std::mt19937_64 rng(1);
  std::map<std::string, std::string> now = current_files();
  std::vector<file_cut> cuts;
  for (const auto& [name, content] : now)
    cuts.push_back(cut_of(name, g_durable[name], content, rng));
  std::vector<std::size_t> pick(cuts.size(), 0);
  std::vector<std::string> contents(cuts.size());
  for (std::size_t combos = 0; combos < kMaxStates; ++combos) {
    std::size_t h = 0;
    for (std::size_t f = 0; f < cuts.size(); ++f) h = h * 31 + cuts[f].make(pick[f], contents[f]);
    if (g_seen.insert(h).second) {
      remove_tree(dir_of(g_check));
      mkdir(dir_of(g_check).c_str(), 0755);
      for (std::size_t f = 0; f < cuts.size(); ++f) {
        write_file(dir_of(g_check) + "/" + cuts[f].name, contents[f]);
      }
      ++g_states;
      int status = check_state(g_appending, g_batch_end);
      if (status != 0) {
        ++g_failed;
        std::printf("append %d: state %ld: status %d\n", g_appending, g_states, status);
      }
    }
    // The next combination, as an odometer over the files' states.
    std::size_t f = 0;
    for (; f < pick.size(); ++f) {
      if (++pick[f] < cuts[f].states.size()) break;
      pick[f] = 0;
    }
    if (f == pick.size()) break;
  }
}

// Returns the name of the file open on `fd`.
std::string name_of(int fd) {
  char link[PATH_MAX] = {};
  std::string proc = "/proc/self/fd/" + std::to_string(fd);
  if (readlink(proc.c_str(), link, sizeof link - 1) < 0) return "";
  return std::strrchr(link, '/') + 1;
}

// Called before a sync of the file `name`: cuts there, then lets the sync
// happen, after which that file is durable as it is.
template <typename F>
int cut_then(const std::string& name, F sync) {
  if (g_inside || g_appending < 0) return sync();
  g_inside = true;
  check_cuts();
  int r = sync();
  std::map<std::string, std::string> now = current_files();
  if (r == 0 && now.count(name) != 0) g_durable[name] = now[name];
  g_inside = false;
  return r;
}

template <typename F>
F next(const char* name) {
  return reinterpret_cast<F>(dlsym(RTLD_NEXT, name));
}

}  // namespace

extern "C" {

int fsync(int fd) {
  static auto real = next<int (*)(int)>("fsync");
  return cut_then(name_of(fd), [&] { return real(fd); });
}

int fdatasync(int fd) {
  static auto real = next<int (*)(int)>("fdatasync");
  return cut_then(name_of(fd), [&] { return real(fd); });
}

int msync(void* at, size_t n, int flags) {
  static auto real = next<int (*)(void*, size_t, int)>("msync");
  // Only GDBM maps a file: its data file.
  return cut_then(base_of(g_db) + ".pag", [&] { return real(at, n, flags); });
}

const char* __asan_default_options() {
  return "detect_leaks=0";
}

}  // extern "C"

int main(int argc, char** argv) {
  if (argc != 5 && argc != 6) return 2;
  // The file images are large: kept on the heap, not mapped afresh each time.
  mallopt(M_MMAP_THRESHOLD, 1 << 30);
  g_db = argv[1];
  g_check = argv[4];
  digest_db db = digest_db_at(g_db);
  int from = std::atoi(argv[2]), to = std::atoi(argv[3]);
  g_durable = current_files();
  int batch = argc == 6 ? std::atoi(argv[5]) : 0;
  for (int i = from; batch == 0 && i < to; ++i) {
    g_appending = i;
    if (digest_add(db, numbered_digest(i), i) != add_result::added) {
      std::printf("append %d refused\n", i);
    }
  }
  for (int i = from; batch > 0 && i < to; i += batch) {
    g_appending = i;
    g_batch_end = std::min(i + batch, to);
    std::vector<pair_to_record> pairs;
    for (int j = i; j < g_batch_end; ++j) pairs.push_back({numbered_digest(j), j});
    pairs.push_back(pairs.back());
    if (digest_record_batch(db, pairs) != add_result::added) std::printf("batch %d refused\n", i);
    for (std::size_t j = 0; j < pairs.size(); ++j) {
      add_result want = j + 1 < pairs.size() ? add_result::added : add_result::added_before;
      if (pairs[j].result != want)
        std::printf("batch %d pair %zu: %d\n", i, j, static_cast<int>(pairs[j].result));
    }
  }
  std::printf("states %ld failed %ld\n", g_states, g_failed);
  return 0;
}
