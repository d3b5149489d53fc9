// SPDX-License-Identifier: GPL-3.0-or-later
// Records digests through the database code while the k-th call that writes
// to a regular file fails with ENOSPC, as a full disk, a quota or an I/O error
// would make it fail, wherever it falls: in the library or in our own code.
//
// Usage: fault_driver K FROM TO DB. Appends the digests FROM..TO-1 (see
// tests/scratch.h) with size key i to the database DB, and prints the indices that were not
// recorded, one per line, then "calls N" with the number of write calls made.
// K = 0 fails nothing.
#include <dlfcn.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>

#include "store/store.h"
#include "tests/scratch.h"

namespace {

long calls = 0;
long fail_at = 0;

bool should_fail(int fd) {
  struct stat st;
  if (fd <= 2 || fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) return false;
  return ++calls == fail_at;
}

template <typename F>
F next(const char* name) {
  return reinterpret_cast<F>(dlsym(RTLD_NEXT, name));
}

}  // namespace

extern "C" {

ssize_t write(int fd, const void* buf, size_t n) {
  static auto real = next<ssize_t (*)(int, const void*, size_t)>("write");
  if (should_fail(fd)) return errno = ENOSPC, -1;
  return real(fd, buf, n);
}

ssize_t pwrite64(int fd, const void* buf, size_t n, off_t at) {
  static auto real = next<ssize_t (*)(int, const void*, size_t, off_t)>("pwrite64");
  if (should_fail(fd)) return errno = ENOSPC, -1;
  return real(fd, buf, n, at);
}

ssize_t pwrite(int fd, const void* buf, size_t n, off_t at) {
  return pwrite64(fd, buf, n, at);
}

ssize_t writev(int fd, const struct iovec* iov, int count) {
  static auto real = next<ssize_t (*)(int, const struct iovec*, int)>("writev");
  if (should_fail(fd)) return errno = ENOSPC, -1;
  return real(fd, iov, count);
}

int posix_fallocate64(int fd, off_t at, off_t n) {
  static auto real = next<int (*)(int, off_t, off_t)>("posix_fallocate64");
  if (should_fail(fd)) return ENOSPC;
  return real(fd, at, n);
}

int posix_fallocate(int fd, off_t at, off_t n) {
  return posix_fallocate64(fd, at, n);
}

int ftruncate64(int fd, off_t n) {
  static auto real = next<int (*)(int, off_t)>("ftruncate64");
  if (should_fail(fd)) return errno = EIO, -1;
  return real(fd, n);
}

int ftruncate(int fd, off_t n) {
  return ftruncate64(fd, n);
}

// GDBM 1.23 leaks a buffer when a write fails while it creates a database;
// the leak is the library's, and must not fail the run under LeakSanitizer.
const char* __asan_default_options() {
  return "detect_leaks=0";
}

}  // extern "C"

int main(int argc, char** argv) {
  if (argc != 5) return 2;
  digest_db_at(argv[4]);
  fail_at = std::atol(argv[1]);
  int from = std::atoi(argv[2]), to = std::atoi(argv[3]);
  for (int i = from; i < to; ++i) {
    if (digest_add(numbered_digest(i), i) != 0) std::printf("%d\n", i);
  }
  std::printf("calls %ld\n", calls);
  return 0;
}
