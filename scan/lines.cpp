// SPDX-License-Identifier: GPL-3.0-or-later
// Every line the scan writes: the table of the lines on standard error, the
// one writer of them, a file's verdict as its line, and what the database's
// answers mean for the run (waiting for its lock, its repairs, a directory
// that cannot be used), read from what the store declares for its callers.
#include <cerrno>
#include <cstring>
#include <iterator>
#include <utility>

#include "scan/internal.h"

namespace {

// A kind of line: how it starts, and whether it is a problem with an entry,
// which the status line counts, rather than a word about the database.
struct line_kind {
  const char* start;
  bool counted;
};

// By kind, in the order of `problem`.
constexpr line_kind kLines[] = {
    {"", false},
    {"Couldn't stat ", true},
    {"Skipping ", true},
    {"Couldn't open ", true},
    {"Couldn't open ", false},
    {"Couldn't read ", true},
    {"Couldn't use the database's directory ", false},
    {"Unable to add ", true},
    {"Couldn't look up ", true},
    {"Directory cycle at ", true},
    {"Waiting for the database, locked by another run: ", false},
    {"Repaired the database after an interrupted write: ", false},
    {"Moved a damaged database aside, keeping what could be read: ", false},
};
static_assert(std::size(kLines) == static_cast<std::size_t>(problem::set_aside) + 1);

// Writes the path of a duplicate on standard output, ended with a NUL when
// asked (flushed at once, as a line would be), or as a line.
bool write_duplicate(const std::string& path, const scan_state& s) {
  if (!s.nul_out) return write_path_line(stdout, "", path);
  return std::fwrite(path.c_str(), 1, path.size() + 1, stdout) == path.size() + 1 &&
         std::fflush(stdout) == 0;
}

// Counts a file read whole and judged in the run's totals, and writes its
// path when it is a duplicate.
void tell_judged(const std::string& path, off_t size, bool duplicate, scan_run& run) {
  ++run.totals.files;
  run.totals.bytes += size;
  if (!duplicate) return;
  ++run.totals.duplicates;
  run.totals.duplicate_bytes += size;
  status_line& status = run.status;
  status_duplicate(status);
  if (!write_duplicate(path, *run.state) && status.out_errno == 0) status.out_errno = errno;
}

// Returns true when the store's `err` says the directory that holds the
// database is missing, is no directory, lies on a read-only file system, or
// has no room left for it.
bool dir_unusable(int err) {
  return err == ENOENT || err == ENOTDIR || err == EROFS || err == ENOSPC || err == EDQUOT;
}

// Says, once in a run, that the database's directory cannot be used, and
// why (`err`), before the lines of the files this leaves unrecorded.
void say_dir_unusable(const digest_db& db, int err, scan_state& s, status_line& status) {
  if (std::exchange(s.dir_told, true)) return;
  say(problem::dir_unusable, db.paths.dir + ": " + std::strerror(err), status);
}

}  // namespace

void say(problem kind, const std::string& path, status_line& status) {
  const line_kind& k = kLines[static_cast<int>(kind)];
  if (k.counted) {
    status_problem(status);
  } else {
    status_clear(status, stderr);
  }
  write_path_line(stderr, k.start, path);
}

void tell_added(add_result r, const std::string& path, off_t size, scan_run& run) {
  if (r == add_result::added || r == add_result::added_before) {
    return tell_judged(path, size, r == add_result::added_before, run);
  }
  say(problem::not_added, path, run.status);
}

void tell_seen(seen_result r, const std::string& path, off_t size, scan_run& run) {
  if (r == seen_result::seen || r == seen_result::not_seen) {
    return tell_judged(path, size, r == seen_result::seen, run);
  }
  say(problem::not_looked_up, path, run.status);
}

seen_result peek_patiently(digest_db& db, const digest& d, size_key key, scan_state& s,
                           status_line& status) {
  for (bool waiting = false;;) {
    seen_result r = digest_peek(db, d, key);
    if (r == seen_result::unavailable && dir_unusable(errno)) {
      say_dir_unusable(db, errno, s, status);
      return seen_result::not_seen;  // nothing can be recorded there yet
    }
    if (r != seen_result::busy) return r;
    if (!waiting) say(problem::waiting, db.paths.lock, status);
    waiting = true;
  }
}

void patiently(digest_db& db, std::vector<pair_to_record>& pairs, scan_state& s,
               status_line& status) {
  bool waiting = false;
  for (int repairs = 0;;) {
    add_result r = digest_record_batch(db, pairs);
    if (r == add_result::unavailable && dir_unusable(errno)) say_dir_unusable(db, errno, s, status);
    if (r == add_result::no_lock) say(problem::lock_not_made, db.paths.lock, status);
    if (r == add_result::busy && !waiting) say(problem::waiting, db.paths.lock, status);
    waiting = waiting || r == add_result::busy;
    if (r == add_result::busy) continue;
    if (r != add_result::repaired && r != add_result::set_aside) return;
    if (++repairs > 2) {  // a repair that does not hold
      for (pair_to_record& p : pairs) {
        if (p.result == r) p.result = add_result::unavailable;
      }
      return;
    }
    say(r == add_result::repaired ? problem::repaired : problem::set_aside,
        r == add_result::repaired ? db.paths.db : db.aside, status);
  }
}
