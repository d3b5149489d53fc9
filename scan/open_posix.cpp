// SPDX-License-Identifier: GPL-3.0-or-later
// Other systems: the path is opened for reading without blocking, and only a
// file still regular once open, on a file system that keeps its content, is
// read. A device swapped in between is opened, though not read.
#include <fcntl.h>
#include <sys/mount.h>
#include <sys/param.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <initializer_list>

#include "scan/open_regular.h"

namespace {

// File systems whose files are made up when read (FreeBSD's names).
bool pseudo(const struct statfs& fs) {
  for (const char* name : {"procfs", "linprocfs", "linsysfs", "fdescfs", "devfs"}) {
    if (std::strcmp(fs.f_fstypename, name) == 0) return true;
  }
  return false;
}

}  // namespace

int open_regular(const char* path, uid_t, bool& not_regular) {
  int fd = open(path, O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  if (fd < 0) return -1;
  struct stat st;
  struct statfs fs;
  not_regular =
      fstat(fd, &st) == 0 && fstatfs(fd, &fs) == 0 && (!S_ISREG(st.st_mode) || pseudo(fs));
  if (!not_regular) return fd;
  close(fd);
  return -1;
}
