// SPDX-License-Identifier: GPL-3.0-or-later
// What the two floors share: a regular file's MD5 through OpenSSL, read in
// large pieces, and a record's sizes looked through.
#ifndef VELORAND_BENCH_FLOOR_COMMON_H_
#define VELORAND_BENCH_FLOOR_COMMON_H_

#include <fcntl.h>
#include <gdbm.h>
#include <openssl/evp.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>

// Returns true once `md` holds the MD5 of the file at `path`, read whole.
inline bool md5_of_file(const char* path, unsigned char (&md)[EVP_MAX_MD_SIZE]) {
  int fd = open(path, O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) return false;
  static unsigned char buf[128 << 10];
  static EVP_MD_CTX* ctx = EVP_MD_CTX_new();
  EVP_DigestInit_ex(ctx, EVP_md5(), nullptr);
  ssize_t n;
  while ((n = read(fd, buf, sizeof buf)) > 0)
    EVP_DigestUpdate(ctx, buf, static_cast<std::size_t>(n));
  close(fd);
  unsigned int length = 0;
  EVP_DigestFinal_ex(ctx, md, &length);
  return n == 0 && length == 16;
}

// Returns true when `value`, the sizes a digest was seen with, four bytes
// each, holds `size`.
inline bool recorded(datum value, std::int32_t size) {
  for (int at = 0; value.dptr != nullptr && at + 4 <= value.dsize; at += 4) {
    if (std::memcmp(value.dptr + at, &size, 4) == 0) return true;
  }
  return false;
}

#endif  // VELORAND_BENCH_FLOOR_COMMON_H_
