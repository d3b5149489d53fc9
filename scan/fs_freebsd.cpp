// SPDX-License-Identifier: GPL-3.0-or-later
// FreeBSD: a file system is known by the name statfs gives.
#include <sys/mount.h>
#include <sys/param.h>

#include <cstring>
#include <initializer_list>

#include "scan/internal.h"

fs_content fs_content_of(int fd) {
  struct statfs fs;
  if (fstatfs(fd, &fs) != 0) return fs_content::unknown;
  for (const char* name : {"procfs", "linprocfs", "linsysfs", "fdescfs", "devfs"}) {
    if (std::strcmp(fs.f_fstypename, name) == 0) return fs_content::made_up;
  }
  return fs_content::kept;
}
