// SPDX-License-Identifier: GPL-3.0-or-later
// Other systems: the entry is opened for reading without blocking (and
// without following a link unless the walk follows it), and only a file
// still the one the walk decided on once open, on a file system that keeps
// its content, is read. A device swapped in behind a followed link is
// opened, though not read.
#include <fcntl.h>
#include <sys/mount.h>
#include <sys/param.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <initializer_list>

#include "scan/internal.h"

namespace {

// File systems whose files are made up when read (FreeBSD's names).
bool pseudo(const struct statfs& fs) {
  for (const char* name : {"procfs", "linprocfs", "linsysfs", "fdescfs", "devfs"}) {
    if (std::strcmp(fs.f_fstypename, name) == 0) return true;
  }
  return false;
}

// Returns true when `fd` is the regular file `st`, on a device that keeps content.
bool wanted(int fd, const struct stat& st, scan_state& s) {
  struct stat now;
  if (fstat(fd, &now) != 0 || !S_ISREG(now.st_mode)) return false;
  if (now.st_dev != st.st_dev || now.st_ino != st.st_ino) return false;
  auto known = s.pseudo.find(now.st_dev);
  if (known != s.pseudo.end()) return !known->second;
  struct statfs fs;
  return fstatfs(fd, &fs) == 0 && !(s.pseudo[now.st_dev] = pseudo(fs));
}

}  // namespace

int open_regular(int dir, const char* name, const struct stat& st, bool follow, scan_state& s,
                 read_end& why) {
  int flags = O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC | (follow ? 0 : O_NOFOLLOW);
  int fd = through_links([&] { return openat(dir, name, flags); });
  if (fd < 0) {
    why = errno == ELOOP || errno == EMLINK || errno == ENXIO || errno == EOPNOTSUPP
              ? read_end::not_regular
              : read_end::not_opened;
    return -1;
  }
  if (wanted(fd, st, s)) return fd;
  close(fd);
  why = read_end::not_regular;
  return -1;
}
