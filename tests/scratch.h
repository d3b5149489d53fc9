// SPDX-License-Identifier: GPL-3.0-or-later
// Helpers shared by the tests and the benchmarks: scratch directories, files, running code or
// the program in a child process, and reading a database back.
#ifndef VELORAND_TESTS_SCRATCH_H_
#define VELORAND_TESTS_SCRATCH_H_

#include <array>
#include <cstdint>
#include <cstring>
#include <functional>
#include <initializer_list>
#include <map>
#include <string>
#include <vector>

// A fresh directory under $TMPDIR (or `fallback`), mode 0755, removed with
// its whole tree on destruction.
struct scratch_dir {
  std::string path;
  explicit scratch_dir(const char* fallback = "/tmp");
  ~scratch_dir();
  scratch_dir(const scratch_dir&) = delete;
  scratch_dir& operator=(const scratch_dir&) = delete;
};

// Writes `bytes` to `path`, replacing it; returns false and fails the test on error.
bool write_file(const std::string& path, const std::string& bytes);

// Removes `path` with everything below it, if it is there.
void remove_tree(const std::string& path);

// Returns the content of `path`, or "<missing>" when it cannot be read.
std::string read_file(const std::string& path);

// Returns the names in directory `dir` but "." and "..", in the order the
// file system lists them (the order the program walks them in).
std::vector<std::string> listing(const std::string& dir);

// Returns the names in directory `dir` that begin with `prefix`, sorted.
std::vector<std::string> names_with_prefix(const std::string& dir, const std::string& prefix);

// Runs `body` in a child process and returns its exit status, or 128 plus the
// signal that ended it. With `unprivileged`, a child running as root first
// becomes the user nobody, so permission checks apply to it.
int run_in_child(const std::function<int()>& body, bool unprivileged = false);

// Holds flock(`op`) on `lock_path` from a child process for `micros`, as
// another run would (with `unprivileged`, as in run_in_child); returns the
// child once the lock is held, or -1.
int hold_lock(const std::string& lock_path, int op, unsigned micros, bool unprivileged = false);

// Returns true when this process is root.
bool running_as_root();

// Returns every record of the ndbm database at `path`, keyed by the key bytes;
// sets *ok to false when the database cannot be opened.
std::map<std::string, std::string> db_records(const std::string& path, bool* ok = nullptr);

// Returns true when the ndbm database at `path` holds every record of `want`
// with exactly its value; fetches each, so a record the library cannot
// iterate past does not hide the others.
bool holds_all(const std::string& path, const std::map<std::string, std::string>& want);

// Returns a digest that holds `n` in its first bytes and `last` in its last.
inline std::array<std::uint8_t, 16> numbered_digest(int n, std::uint8_t last = 0) {
  std::array<std::uint8_t, 16> d{};
  std::memcpy(d.data(), &n, sizeof n);
  d[15] = last;
  return d;
}

// Returns size keys packed as the database stores them.
std::string packed_keys(std::initializer_list<std::int32_t> keys);

// Stores `value` under `key` in the ndbm database at `path`, as another
// program might have; fails the test on error.
void store_raw(const std::string& path, const std::string& key, const std::string& value);

struct run_result {
  int status = -1;  // exit status, or 128 plus the signal
  std::string out;
  std::string err;
};

// Runs the program file `file` with the argument vector `argv` (argv[0] as the
// program sees it) in directory `cwd`, standard input from /dev/null, and
// returns what it wrote. With `unprivileged`, as in
// run_in_child. A non-empty `stdout_path` or `stderr_path` sends that stream
// to the file there instead.
run_result run_program(const std::string& file, const std::vector<std::string>& argv,
                       const std::string& cwd, bool unprivileged = false,
                       const std::string& stdout_path = "", const std::string& stderr_path = "");

#endif  // VELORAND_TESTS_SCRATCH_H_
