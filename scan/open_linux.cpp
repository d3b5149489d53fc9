// SPDX-License-Identifier: GPL-3.0-or-later
// Linux: the first file met on a device, and any file reached through a
// link, is opened with O_PATH, which opens nothing (no device's open runs),
// its status and file system checked, and then that same file is opened for
// reading through /proc/self/fd, so that a link flipped in between cannot
// lead the read elsewhere. Any other entry on a device known to keep content
// is opened at once without following a link: a name swapped since cannot
// lead to a device or another file system, and the read's end checks that it
// was the same file. Files are read without updating their access time where
// the reader may (root, or the file's owner): a scan from cron must not make
// every file look used to whatever cleans up unused ones, nor dirty every
// inode it reads, which each sync of the database would then write.
#include <fcntl.h>
#include <linux/magic.h>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <iterator>

#include "scan/internal.h"

namespace {

constexpr int kRead = O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC;

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

// Opens `name` in `dir` (the file `st`) with `flags` for reading by `reader`,
// without updating its access time where the reader may: trying only then
// spares every other user's file a refused open. A root without the right
// (in a user namespace) is refused, and opens it as others do.
int open_for_reading(int dir, const char* name, int flags, const struct stat& st, uid_t reader) {
  if (reader != 0 && reader != st.st_uid) return openat(dir, name, flags);
  int fd = openat(dir, name, flags | O_NOATIME);
  return fd < 0 && errno == EPERM ? openat(dir, name, flags) : fd;
}

// Returns -1 with `why` set from the errno of a failed open: a name that is
// now a link or a socket is no longer the file the walk saw.
int refused(read_end& why) {
  why = errno == ELOOP || errno == ENXIO ? read_end::not_regular : read_end::not_opened;
  return -1;
}

// Opens `name` through an O_PATH handle checked first, learning its device's kind.
int open_checked(int dir, const char* name, const struct stat& st, bool follow, scan_state& s,
                 read_end& why) {
  int flags = O_PATH | O_CLOEXEC | (follow ? 0 : O_NOFOLLOW);
  fd_holder handle(follow ? through_links([&] { return openat(dir, name, flags); })
                          : openat(dir, name, flags));
  if (handle.fd < 0) return refused(why);
  struct stat now;
  struct statfs fs;
  if (fstat(handle.fd, &now) != 0 || fstatfs(handle.fd, &fs) != 0) return refused(why);
  why = read_end::not_regular;
  if (!S_ISREG(now.st_mode) || now.st_dev != st.st_dev || now.st_ino != st.st_ino) return -1;
  if ((s.pseudo[now.st_dev] = pseudo(fs))) return -1;
  char self[40];
  std::snprintf(self, sizeof self, "/proc/self/fd/%d", handle.fd);
  int fd = open_for_reading(AT_FDCWD, self, kRead, st, s.reader);
  if (fd >= 0 || errno != ENOENT) return fd >= 0 ? fd : refused(why);
  // Without /proc mounted, the name itself, and only if it is the same file.
  fd = open_for_reading(dir, name, kRead | (follow ? 0 : O_NOFOLLOW), st, s.reader);
  if (fd < 0) return refused(why);
  if (fstat(fd, &now) == 0 && now.st_dev == st.st_dev && now.st_ino == st.st_ino) return fd;
  close(fd);
  return -1;
}

}  // namespace

int open_regular(int dir, const char* name, const struct stat& st, bool follow, scan_state& s,
                 read_end& why) {
  auto known = s.pseudo.find(st.st_dev);
  if (follow || known == s.pseudo.end()) return open_checked(dir, name, st, follow, s, why);
  why = read_end::not_regular;
  if (known->second) return -1;
  int fd = open_for_reading(dir, name, kRead | O_NOFOLLOW, st, s.reader);
  return fd >= 0 ? fd : refused(why);
}
