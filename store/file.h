// SPDX-License-Identifier: GPL-3.0-or-later
// The file and errno helpers every part of the store uses: each written once
// here. Only store/ includes this header.
#ifndef VELORAND_STORE_FILE_H_
#define VELORAND_STORE_FILE_H_

#include <sys/stat.h>
#include <sys/types.h>

#include <cerrno>
#include <cstddef>
#include <string>

// Puts errno back, on destruction, as it was at construction.
struct errno_keeper {
  int saved = errno;
  ~errno_keeper() { errno = saved; }
};

// Opens `path` with `flags` without blocking on a FIFO or a device, and
// returns the descriptor with its status in `st`, or -1: with errno EIO for
// anything but a regular file.
int open_regular(const std::string& path, int flags, struct stat& st);

// Reads exactly `n` bytes at `at` of `fd` into `to`; returns false short of them.
bool pread_all(int fd, void* to, std::size_t n, off_t at);

// Writes the `n` bytes of `from` at `at` of `fd`; returns false on a failed write.
bool pwrite_all(int fd, const void* from, std::size_t n, off_t at);

// Reads exactly `n` bytes from `fd`, a pipe, into `to`; returns false short of them.
bool read_all(int fd, void* to, std::size_t n);

// Writes the `n` bytes of `from` to `fd`, a pipe; returns false on a failed write.
bool write_all(int fd, const void* from, std::size_t n);

// Makes the entries of directory `dir` durable.
bool sync_dir(const std::string& dir);

#endif  // VELORAND_STORE_FILE_H_
