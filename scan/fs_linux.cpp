// SPDX-License-Identifier: GPL-3.0-or-later
// Linux: a file system is known by the magic number statfs gives.
#include <linux/magic.h>
#include <sys/vfs.h>

#include <algorithm>
#include <iterator>

#include "scan/internal.h"

fs_content fs_content_of(int fd) {
  static constexpr long kMadeUp[] = {
      PROC_SUPER_MAGIC, SYSFS_MAGIC,        DEBUGFS_MAGIC,       TRACEFS_MAGIC,
      SECURITYFS_MAGIC, CGROUP_SUPER_MAGIC, CGROUP2_SUPER_MAGIC, BPF_FS_MAGIC,
      EFIVARFS_MAGIC,   PSTOREFS_MAGIC,     DEVPTS_SUPER_MAGIC,  BINFMTFS_MAGIC,
      SELINUX_MAGIC,    SMACK_MAGIC,        NSFS_MAGIC,          0x62656570 /* configfs */,
      0x65735543 /* fusectl */};
  struct statfs fs;
  if (fstatfs(fd, &fs) != 0) return fs_content::unknown;
  bool made_up = std::find(std::begin(kMadeUp), std::end(kMadeUp), static_cast<long>(fs.f_type)) !=
                 std::end(kMadeUp);
  return made_up ? fs_content::made_up : fs_content::kept;
}
