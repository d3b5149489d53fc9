// SPDX-License-Identifier: GPL-3.0-or-later
// Opening a file the walk found regular, for reading its content: one file
// per platform (open_linux.cpp, open_posix.cpp), chosen by the build. Only
// scan/ includes this header.
#ifndef VELORAND_SCAN_OPEN_REGULAR_H_
#define VELORAND_SCAN_OPEN_REGULAR_H_

#include <sys/types.h>

// Returns a descriptor open for reading on `path`, or -1. Sets `not_regular`
// when `path` is no longer a regular file, or lies on a file system that
// keeps no content of its own (/proc, /sys and the like), without opening it
// where the platform allows: a device or a pseudo-file may act when opened.
// `reader` is the effective user reading it.
int open_regular(const char* path, uid_t reader, bool& not_regular);

#endif  // VELORAND_SCAN_OPEN_REGULAR_H_
