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
// file, and hands each regular file to check_file, which prints the path of a
// duplicate on standard output and records any other file. Every failure is
// one line on standard error naming the joined path, and the walk goes on.
#ifndef VELORAND_SCAN_SCAN_H_
#define VELORAND_SCAN_SCAN_H_

#include <sys/stat.h>
#include <sys/types.h>

#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "common/common.h"
#include "term/term.h"

// A file already read in this run, under the status it was read with: met
// again under another name, unchanged, it is not read again.
struct known_file {
  off_t size;
  timespec mtime, ctime;
  digest content;
  nlink_t unmet;  // its other hard links not met yet; a link's target stays
  bool pinned;    // reached through a symbolic link, so it may be met again any time
};

// What one run keeps from operand to operand.
struct scan_run {
  status_line& status;
  uid_t reader;  // the effective user
  std::map<std::pair<dev_t, ino_t>, known_file> files;
  std::map<dev_t, bool> pseudo;  // by device: a file system that keeps no content
  std::vector<char> buffer;      // the one file read at a time goes through it
  std::size_t descriptors;       // directories the walk may hold open at once
};

// Returns a run that counts on `status`.
scan_run scan_start(status_line& status);

// Walks the directory `path`; a path that is not a directory is reported as
// skipped, and one that cannot be listed as not opened. Returns 0.
int scan_dir(const std::string& path, scan_run& run);

// Prints `joined_path` when the content and size of the file are already
// recorded, and records them otherwise. `st` is the walk's status record for
// the file, whose path is taken as it is.
void check_file(const std::string& joined_path, const struct stat& st, scan_run& run);

#endif  // VELORAND_SCAN_SCAN_H_
