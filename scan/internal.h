// SPDX-License-Identifier: GPL-3.0-or-later
// What the walk's files share: opening a file the walk decided on, one file
// per platform (open_linux.cpp, open_posix.cpp, chosen by the build), and
// reading it (read.cpp). Only scan/ includes this header.
#ifndef VELORAND_SCAN_INTERNAL_H_
#define VELORAND_SCAN_INTERNAL_H_

#include <sys/stat.h>

#include "scan/scan.h"

// How the read of a file ended; all but `whole` are said on standard error.
enum class read_end { whole, not_opened, not_regular, too_sparse, not_read };

// Returns a descriptor open for reading on the entry `name` of the directory
// `dir`, when it is still the regular file `st` the walk decided on, or -1
// with `why` set. `follow` says the entry is a symbolic link the walk may
// follow. A device or a file of a file system that keeps no content of its
// own (/proc, /sys and the like) is not read, and where the platform allows,
// not opened either: it may act when opened.
int open_regular(int dir, const char* name, const struct stat& st, bool follow, scan_run& run,
                 read_end& why);

// Returns whole after writing to `out` the digest of the file `fd`, read up
// to the size in its status `st`, when it was still that file and unchanged
// at the end; a file whose holes far exceed its data is not read.
read_end digest_open_file(int fd, const struct stat& st, scan_run& run, digest& out);

// Returns true when `now` is the file `was`, unchanged: same device, inode,
// size, modification and change time (which no user can set back).
bool same_file(const struct stat& was, const struct stat& now);

#endif  // VELORAND_SCAN_INTERNAL_H_
