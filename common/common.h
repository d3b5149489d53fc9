// SPDX-License-Identifier: GPL-3.0-or-later
// Types shared by the scanner, the digest database and the MD5 engine, the
// descriptor holder the first two use, and the one process-wide setting.
#ifndef VELORAND_COMMON_COMMON_H_
#define VELORAND_COMMON_COMMON_H_

#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdint>
#include <utility>

// The MD5 of a file's content: the state words A, B, C, D, each least
// significant byte first, as RFC 1321 writes them.
using digest = std::array<std::uint8_t, 16>;

// The low 32 bits of a file's size reinterpreted as signed: sizes that differ
// by a multiple of 2^32 share a key.
using size_key = std::int32_t;

// Returns the size key of a file of `size` bytes.
inline size_key size_key_of(std::int64_t size) {
  return static_cast<size_key>(static_cast<std::uint32_t>(size));
}

// Closes a descriptor on destruction, keeping errno.
struct fd_holder {
  int fd = -1;
  fd_holder() = default;
  explicit fd_holder(int f) : fd(f) {}
  fd_holder(fd_holder&& other) noexcept : fd(std::exchange(other.fd, -1)) {}
  fd_holder& operator=(fd_holder&& other) noexcept {
    if (this != &other) {
      reset();
      fd = std::exchange(other.fd, -1);
    }
    return *this;
  }
  ~fd_holder() { reset(); }
  void reset() {
    if (fd < 0) return;
    int saved = errno;
    close(fd);
    fd = -1;
    errno = saved;
  }
};

// Set to 1 by the option -r before the first walk; read by the walk.
extern int recursive_flag;

#endif  // VELORAND_COMMON_COMMON_H_
