// SPDX-License-Identifier: GPL-3.0-or-later
// Records digests through the database code while the k-th call that needs
// file system space not yet allocated fails with ENOSPC, as a full disk or a
// quota would make it fail, wherever it falls: in the library or in our own
// code. Such a call is a write reaching past the blocks a regular file holds,
// or an allocation; a write into allocated blocks, or a truncation, needs no
// space and is let through.
//
// Usage: fault_driver K FROM TO DB [lengthen|sync|eio|-] [BATCH]. Appends the
// digests FROM..TO-1 (see tests/scratch.h) with size key i to the database
// DB, or records them in batches of BATCH, and
// prints the indices that were not recorded, one per line, then "calls N"
// with the number of calls that could fail. K = 0 fails nothing. With
// "lengthen", the file system cannot allocate past a file's end, as some
// cannot; with "sync", the calls that fail are the syncs (EIO), as a disk
// that fails to write back makes them fail; with "eio", every write of a
// regular file counts, wherever it lands, and fails with EIO.
#include <dlfcn.h>
#include <fcntl.h>
#include <linux/falloc.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "store/store.h"
#include "tests/scratch.h"

namespace {

long calls = 0;
long fail_at = 0;
bool lengthen_only = false;
bool syncs_fail = false;
int writes_fail = 0;  // with "eio", EIO: every write of a regular file may fail

// Returns true when this call, which may need space, is the one to fail.
bool fails_now() {
  return !syncs_fail && writes_fail == 0 && ++calls == fail_at;
}

// Returns true when this sync is the one to fail.
bool sync_fails_now() {
  return syncs_fail && ++calls == fail_at;
}

// Returns true when writing up to `end` of the regular file `fd` needs blocks
// it does not hold yet; the files written here have no holes, so their
// blocks run from offset 0.
bool needs_space(int fd, off_t end) {
  struct stat st;
  if (fd <= 2 || fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) return false;
  return end > static_cast<off_t>(st.st_blocks) * 512;
}

// Returns true, with errno set, when this write is the one to fail.
bool write_fails(int fd, off_t at, size_t n) {
  struct stat st;
  if (writes_fail != 0) {
    bool fails = fd > 2 && fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && ++calls == fail_at;
    return fails && (errno = writes_fail, true);
  }
  if (at < 0) at = lseek(fd, 0, SEEK_CUR);
  return needs_space(fd, at + static_cast<off_t>(n)) && fails_now() && (errno = ENOSPC, true);
}

template <typename F>
F next(const char* name) {
  return reinterpret_cast<F>(dlsym(RTLD_NEXT, name));
}

}  // namespace

extern "C" {

ssize_t write(int fd, const void* buf, size_t n) {
  static auto real = next<ssize_t (*)(int, const void*, size_t)>("write");
  if (write_fails(fd, -1, n)) return -1;
  return real(fd, buf, n);
}

ssize_t pwrite64(int fd, const void* buf, size_t n, off_t at) {
  static auto real = next<ssize_t (*)(int, const void*, size_t, off_t)>("pwrite64");
  if (write_fails(fd, at, n)) return -1;
  return real(fd, buf, n, at);
}

ssize_t pwrite(int fd, const void* buf, size_t n, off_t at) {
  return pwrite64(fd, buf, n, at);
}

ssize_t writev(int fd, const struct iovec* iov, int count) {
  static auto real = next<ssize_t (*)(int, const struct iovec*, int)>("writev");
  size_t n = 0;
  for (int i = 0; i < count; ++i) n += iov[i].iov_len;
  if (write_fails(fd, -1, n)) return -1;
  return real(fd, iov, count);
}

int posix_fallocate64(int fd, off_t at, off_t n) {
  static auto real = next<int (*)(int, off_t, off_t)>("posix_fallocate64");
  if (fails_now()) return ENOSPC;
  return real(fd, at, n);
}

int posix_fallocate(int fd, off_t at, off_t n) {
  return posix_fallocate64(fd, at, n);
}

int fallocate64(int fd, int mode, off_t at, off_t n) {
  static auto real = next<int (*)(int, int, off_t, off_t)>("fallocate64");
  if (lengthen_only && (mode & FALLOC_FL_KEEP_SIZE) != 0) return errno = EOPNOTSUPP, -1;
  if (fails_now()) return errno = ENOSPC, -1;
  return real(fd, mode, at, n);
}

int fallocate(int fd, int mode, off_t at, off_t n) {
  return fallocate64(fd, mode, at, n);
}

int fsync(int fd) {
  static auto real = next<int (*)(int)>("fsync");
  if (sync_fails_now()) return errno = EIO, -1;
  return real(fd);
}

int fdatasync(int fd) {
  static auto real = next<int (*)(int)>("fdatasync");
  if (sync_fails_now()) return errno = EIO, -1;
  return real(fd);
}

int msync(void* at, size_t n, int flags) {
  static auto real = next<int (*)(void*, size_t, int)>("msync");
  if (sync_fails_now()) return errno = EIO, -1;
  return real(at, n, flags);
}

// GDBM 1.23 leaks a buffer when a write fails while it creates a database;
// the leak is the library's, and must not fail the run under LeakSanitizer.
const char* __asan_default_options() {
  return "detect_leaks=0";
}

}  // extern "C"

int main(int argc, char** argv) {
  if (argc < 5 || argc > 7) return 2;
  lengthen_only = argc == 6 && std::string(argv[5]) == "lengthen";
  syncs_fail = argc == 6 && std::string(argv[5]) == "sync";
  if (argc == 6 && std::string(argv[5]) == "eio") writes_fail = EIO;
  digest_db db = digest_db_at(argv[4]);
  fail_at = std::atol(argv[1]);
  int from = std::atoi(argv[2]), to = std::atoi(argv[3]);
  int batch = argc == 7 ? std::atoi(argv[6]) : 0;
  for (int i = from; batch == 0 && i < to; ++i) {
    if (digest_add(db, numbered_digest(i), i) != add_result::added) std::printf("%d\n", i);
  }
  for (int i = from; batch > 0 && i < to; i += batch) {
    std::vector<pair_to_record> pairs;
    for (int j = i; j < std::min(i + batch, to); ++j) pairs.push_back({numbered_digest(j), j});
    digest_record_batch(db, pairs);
    for (const pair_to_record& p : pairs) {
      if (p.result != add_result::added) std::printf("%d\n", static_cast<int>(p.key));
    }
  }
  std::printf("calls %ld\n", calls);
  return 0;
}
