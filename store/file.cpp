// SPDX-License-Identifier: GPL-3.0-or-later
#include "store/file.h"

#include <fcntl.h>
#include <unistd.h>

#include <utility>

#include "common/common.h"

int open_regular(const std::string& path, int flags, struct stat& st) {
  fd_holder fd(open(path.c_str(), flags | O_NONBLOCK | O_CLOEXEC));
  if (fd.fd < 0 || fstat(fd.fd, &st) != 0) return -1;
  if (!S_ISREG(st.st_mode)) return errno = EIO, -1;
  return std::exchange(fd.fd, -1);
}

bool read_all(int fd, void* to, std::size_t n, off_t at) {
  auto* p = static_cast<char*>(to);
  for (std::size_t done = 0; done < n;) {
    ssize_t r = at < 0 ? read(fd, p + done, n - done)
                       : pread(fd, p + done, n - done, at + static_cast<off_t>(done));
    if (r <= 0) return false;
    done += static_cast<std::size_t>(r);
  }
  return true;
}

bool write_all(int fd, const void* from, std::size_t n, off_t at) {
  auto* p = static_cast<const char*>(from);
  for (std::size_t done = 0; done < n;) {
    ssize_t w = at < 0 ? write(fd, p + done, n - done)
                       : pwrite(fd, p + done, n - done, at + static_cast<off_t>(done));
    if (w <= 0) return false;
    done += static_cast<std::size_t>(w);
  }
  return true;
}

bool sync_dir(const std::string& dir) {
  fd_holder d(open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  return d.fd >= 0 && fsync(d.fd) == 0;
}
