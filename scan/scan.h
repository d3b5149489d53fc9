// SPDX-License-Identifier: GPL-3.0-or-later
// The directory scan: walks directories and gives every regular file found a
// verdict against the digest database.
//
// The caller makes one scan_run for the whole run, then calls scan_dir once
// per operand, in order. scan_dir opens the operand and holds every directory
// below it by a descriptor, each opened relative to its parent's: an entry's
// status is taken relative to its directory without following a link, and a
// link's target is checked apart, so what the walk decides on is what it then
// lists or reads, whatever is renamed meanwhile. Names are joined as
// "<dir>/<name>" for every line written. With recursive_flag set it descends
// into subdirectories depth first; it reports anything that is not a regular
// file, and hands each regular file over for its verdict, as check_file
// does: it prints the path of a duplicate on standard output and records any
// other file. Files are digested several at once, the walk a few files ahead,
// but every verdict and every line comes in the order the walk met them.
// Every failure is one line on standard error naming the joined path, and
// the walk goes on.
#ifndef VELORAND_SCAN_SCAN_H_
#define VELORAND_SCAN_SCAN_H_

#include <sys/stat.h>
#include <sys/types.h>

#include <memory>
#include <string>

#include "md5/md5.h"
#include "store/store.h"
#include "term/term.h"

struct scan_state;  // what a run keeps from operand to operand

// How a run goes. A dry run writes nothing to the database and takes no
// exclusive lock: it looks each file up, and holds the pairs the run would
// have recorded in memory (about 60 bytes each), so that it prints what the
// same run without it would. With `nul`, a duplicate's path ends with a NUL
// instead of a newline, unless standard output is a terminal.
struct scan_options {
  bool dry_run = false;
  bool nul = false;
};

// What a run met, for its summary: files read whole and their bytes, and
// the duplicates among them.
struct scan_totals {
  long long files = 0, bytes = 0, duplicates = 0, duplicate_bytes = 0;
};

// One run of the scan, over every operand.
struct scan_run {
  status_line& status;
  digest_db& db;
  std::unique_ptr<scan_state, void (*)(scan_state*)> state;
  scan_options options = {};
  scan_totals totals = {};
};

// Returns a run that judges files against `db` as `options` say, counts on
// `status` and digests with `isa`. REQUIRES: the processor runs `isa`.
scan_run scan_start(status_line& status, digest_db& db, md5_isa isa = md5_best_isa(),
                    scan_options options = {});

// Walks the directory `path` and gives every file found its verdict before
// it returns; a path that is not a directory is reported as skipped, and one
// that cannot be listed as not opened. Returns 0.
int scan_dir(const std::string& path, scan_run& run);

// Prints `joined_path` when the content and size of the file are already
// recorded, and records them otherwise. `st` is the walk's status record for
// the file, whose path is taken as it is. Returns once it said so.
void check_file(const std::string& joined_path, const struct stat& st, scan_run& run);

#endif  // VELORAND_SCAN_SCAN_H_
