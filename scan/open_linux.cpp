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
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include "scan/internal.h"

namespace {

constexpr int kRead = O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC;

// Opens `name` in `dir` (the file `st`) with `flags` for reading by `reader`,
// without updating its access time where the reader may: trying only then
// spares every other user's file a refused open. A root without the right
// (in a user namespace) is refused, and opens it as others do.
fd_holder open_for_reading(int dir, const char* name, int flags, const struct stat& st,
                           uid_t reader) {
  if (reader != 0 && reader != st.st_uid) return fd_holder(openat(dir, name, flags));
  fd_holder fd(openat(dir, name, flags | O_NOATIME));
  return fd.fd < 0 && errno == EPERM ? fd_holder(openat(dir, name, flags)) : std::move(fd);
}

// Returns why an open failed, from its errno: a name that is now a link or a
// socket is no longer the file the walk saw.
opened_file refused() {
  return {{}, errno == ELOOP || errno == ENXIO ? problem::skipped : problem::not_opened};
}

// Returns `fd` as the file opened, or why it was not.
opened_file opened(fd_holder fd) {
  if (fd.fd < 0) return refused();
  return {std::move(fd), problem::none};
}

// Opens `name` through an O_PATH handle checked first, learning its device's kind.
opened_file open_checked(int dir, const char* name, const struct stat& st, bool follow,
                         scan_state& s) {
  int flags = O_PATH | O_CLOEXEC | (follow ? 0 : O_NOFOLLOW);
  fd_holder handle(follow ? through_links([&] { return openat(dir, name, flags); })
                          : openat(dir, name, flags));
  if (handle.fd < 0) return refused();
  struct stat now;
  if (fstat(handle.fd, &now) != 0) return refused();
  fs_content kind = fs_content_of(handle.fd);
  if (kind == fs_content::unknown) return refused();
  if (!S_ISREG(now.st_mode) || now.st_dev != st.st_dev || now.st_ino != st.st_ino) {
    return {{}, problem::skipped};
  }
  if ((s.pseudo[now.st_dev] = kind == fs_content::made_up)) return {{}, problem::skipped};
  char self[40];
  std::snprintf(self, sizeof self, "/proc/self/fd/%d", handle.fd);
  fd_holder fd = open_for_reading(AT_FDCWD, self, kRead, st, s.reader);
  if (fd.fd >= 0 || errno != ENOENT) return opened(std::move(fd));
  // Without /proc mounted, the name itself, and only if it is the same file.
  fd = open_for_reading(dir, name, kRead | (follow ? 0 : O_NOFOLLOW), st, s.reader);
  if (fd.fd < 0) return refused();
  if (fstat(fd.fd, &now) == 0 && now.st_dev == st.st_dev && now.st_ino == st.st_ino) {
    return {std::move(fd), problem::none};
  }
  return {{}, problem::skipped};
}

}  // namespace

opened_file open_walked_file(int dir, const char* name, const struct stat& st, bool follow,
                             scan_state& s) {
  auto known = s.pseudo.find(st.st_dev);
  if (follow || known == s.pseudo.end()) return open_checked(dir, name, st, follow, s);
  if (known->second) return {{}, problem::skipped};
  return opened(open_for_reading(dir, name, kRead | O_NOFOLLOW, st, s.reader));
}
