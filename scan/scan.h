// SPDX-License-Identifier: GPL-3.0-or-later
// The directory scan: walks directories and gives every regular file found a
// verdict against the digest database.
//
// scan_dir lists a directory, passes over "." and "..", and takes the status
// of every other entry under its joined path "<dir>/<name>". With
// recursive_flag set it descends into subdirectories depth first; it reports
// anything that is not a regular file, and hands each regular file to
// check_file, which prints the path of a duplicate on standard output and
// records any other file. Every failure is one line on standard error naming
// the joined path, and the walk goes on.
#ifndef VELORAND_SCAN_SCAN_H_
#define VELORAND_SCAN_SCAN_H_

#include <sys/stat.h>

#include <string>

#include "store/store.h"
#include "term/term.h"

// Walks the directory `path`, judging its files against `db`, counting on
// `status`; a path that is not a directory is reported as skipped, and one
// that cannot be listed as not opened. Returns 0.
int scan_dir(const std::string& path, digest_db& db, status_line& status);

// Prints `joined_path` when the content and size of the file are already
// recorded in `db`, and records them otherwise. `st` is the walk's status
// record for the file; `status` counts it.
void check_file(const std::string& joined_path, const struct stat& st, digest_db& db,
                status_line& status);

#endif  // VELORAND_SCAN_SCAN_H_
