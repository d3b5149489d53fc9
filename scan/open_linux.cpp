// SPDX-License-Identifier: GPL-3.0-or-later
// Linux: the path is opened with O_PATH, which opens nothing (no device's
// open runs), its status and file system checked, and then that same file
// is opened for reading through /proc/self/fd, so that a link flipped in
// between cannot lead the read elsewhere. Files are read without updating
// their access time where the reader may (root, or the file's owner): a scan
// from cron must not make every file look used to whatever cleans up unused
// ones, nor dirty every inode it reads, which each sync of the database
// would then write.
#include <fcntl.h>
#include <linux/magic.h>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <iterator>

#include "scan/open_regular.h"

namespace {

// File systems whose files are made up when read, and may change the system
// by being read: their "regular files" hold no content to compare.
bool pseudo(const struct statfs& fs) {
  static constexpr long kPseudo[] = {
      PROC_SUPER_MAGIC, SYSFS_MAGIC,        DEBUGFS_MAGIC,       TRACEFS_MAGIC,
      SECURITYFS_MAGIC, CGROUP_SUPER_MAGIC, CGROUP2_SUPER_MAGIC, BPF_FS_MAGIC,
      EFIVARFS_MAGIC,   PSTOREFS_MAGIC,     DEVPTS_SUPER_MAGIC,  BINFMTFS_MAGIC,
      SELINUX_MAGIC,    SMACK_MAGIC,        NSFS_MAGIC,          0x62656570 /* configfs */,
      0x65735543 /* fusectl */};
  return std::find(std::begin(kPseudo), std::end(kPseudo), static_cast<long>(fs.f_type)) !=
         std::end(kPseudo);
}

// Opens `path`, the file `st`, for reading by `reader`, without updating its
// access time where the reader may: trying only then spares every other
// user's file a refused open. A root without the right (in a user
// namespace) is refused, and opens it as others do.
int open_for_reading(const char* path, const struct stat& st, uid_t reader) {
  constexpr int kFlags = O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC;
  if (reader != 0 && reader != st.st_uid) return open(path, kFlags);
  int fd = open(path, kFlags | O_NOATIME);
  return fd < 0 && errno == EPERM ? open(path, kFlags) : fd;
}

// Opens `path` for reading by `reader` when it is still the file `was`.
int reopen(const char* path, const struct stat& was, uid_t reader, bool& not_regular) {
  int fd = open_for_reading(path, was, reader);
  struct stat st;
  if (fd < 0 || (fstat(fd, &st) == 0 && st.st_dev == was.st_dev && st.st_ino == was.st_ino)) {
    return fd;
  }
  close(fd);
  not_regular = true;
  return -1;
}

}  // namespace

int open_regular(const char* path, uid_t reader, bool& not_regular) {
  int handle = open(path, O_PATH | O_CLOEXEC);
  if (handle < 0) return -1;
  struct stat st;
  struct statfs fs;
  int fd = -1;
  not_regular = false;
  if (fstat(handle, &st) == 0 && fstatfs(handle, &fs) == 0) {
    not_regular = !S_ISREG(st.st_mode) || pseudo(fs);
    char self[40];
    std::snprintf(self, sizeof self, "/proc/self/fd/%d", handle);
    if (!not_regular) fd = open_for_reading(self, st, reader);
    // Without /proc mounted, the path itself, and only if it is the same file.
    if (!not_regular && fd < 0 && errno == ENOENT) fd = reopen(path, st, reader, not_regular);
  }
  int saved = errno;
  close(handle);
  errno = saved;
  return fd;
}
