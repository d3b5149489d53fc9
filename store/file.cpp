// SPDX-License-Identifier: GPL-3.0-or-later
#include "store/file.h"

#include <fcntl.h>
#include <unistd.h>

#include "common/common.h"

namespace {

// Moves `n` bytes through `op` (read, write, or their positioned forms at
// `at`, or -1 for none) until all are moved; false on a failure or an end.
template <typename Op>
bool all(Op op, std::size_t n) {
  for (std::size_t done = 0; done < n;) {
    ssize_t moved = op(done);
    if (moved <= 0) return false;
    done += static_cast<std::size_t>(moved);
  }
  return true;
}

}  // namespace

int open_regular(const std::string& path, int flags, struct stat& st) {
  fd_holder fd(open(path.c_str(), flags | O_NONBLOCK | O_CLOEXEC));
  if (fd.fd < 0 || fstat(fd.fd, &st) != 0) return -1;
  if (!S_ISREG(st.st_mode)) return errno = EIO, -1;
  return std::exchange(fd.fd, -1);
}

bool pread_all(int fd, void* to, std::size_t n, off_t at) {
  auto* p = static_cast<char*>(to);
  return all([&](std::size_t d) { return pread(fd, p + d, n - d, at + static_cast<off_t>(d)); }, n);
}

bool pwrite_all(int fd, const void* from, std::size_t n, off_t at) {
  auto* p = static_cast<const char*>(from);
  return all([&](std::size_t d) { return pwrite(fd, p + d, n - d, at + static_cast<off_t>(d)); },
             n);
}

bool read_all(int fd, void* to, std::size_t n) {
  auto* p = static_cast<char*>(to);
  return all([&](std::size_t d) { return read(fd, p + d, n - d); }, n);
}

bool write_all(int fd, const void* from, std::size_t n) {
  auto* p = static_cast<const char*>(from);
  return all([&](std::size_t d) { return write(fd, p + d, n - d); }, n);
}

bool sync_dir(const std::string& dir) {
  fd_holder d(open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  return d.fd >= 0 && fsync(d.fd) == 0;
}
