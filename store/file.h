// SPDX-License-Identifier: GPL-3.0-or-later
// The file and errno helpers the whole store uses, written once here. Only
// store/ includes this header.
#ifndef VELORAND_STORE_FILE_H_
#define VELORAND_STORE_FILE_H_

#include <sys/stat.h>

#include <cerrno>
#include <string>

// Puts errno back, on destruction, as it was at construction.
struct errno_keeper {
  int saved = errno;
  ~errno_keeper() { errno = saved; }
};

// Opens `path` with `flags` without blocking on a FIFO or a device; returns the
// descriptor with its status in `st`, or -1, with errno EIO for anything but
// a regular file.
int open_regular(const std::string& path, int flags, struct stat& st);

// Reads exactly `n` bytes into `to` from `fd` at `at`, or from where it
// stands (a pipe) when `at` is -1; returns false short of them.
bool read_all(int fd, void* to, std::size_t n, off_t at = -1);

// Writes the `n` bytes of `from` as read_all reads them; false on a failure.
bool write_all(int fd, const void* from, std::size_t n, off_t at = -1);

// Makes the entries of directory `dir` durable.
bool sync_dir(const std::string& dir);

#endif  // VELORAND_STORE_FILE_H_
