// SPDX-License-Identifier: GPL-3.0-or-later
// Other systems: the entry is opened for reading without blocking (and
// without following a link unless the walk follows it), and only a file
// still the one the walk decided on once open, on a file system that keeps
// its content, is read. A file on a device whose files are made up is not
// opened either once that device is known, which its directory tells before
// any of its files is opened; a device swapped in behind a followed link,
// or the first file of such a file system reached through one, is opened,
// though not read.
#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>

#include "scan/internal.h"

namespace {

// Returns true when `fd` is the regular file `st`, on a device that keeps content.
bool wanted(int fd, const struct stat& st, scan_state& s) {
  struct stat now;
  if (fstat(fd, &now) != 0 || !S_ISREG(now.st_mode)) return false;
  if (now.st_dev != st.st_dev || now.st_ino != st.st_ino) return false;
  auto known = s.pseudo.find(now.st_dev);
  if (known != s.pseudo.end()) return !known->second;
  fs_content kind = fs_content_of(fd);
  if (kind == fs_content::unknown) return false;
  return !(s.pseudo[now.st_dev] = kind == fs_content::made_up);
}

// Learns from the directory `dir` whether the device `dev` makes its files
// up, when the directory lies on it and the device is not known yet.
void learn_device(int dir, dev_t dev, scan_state& s) {
  struct stat d;
  if (s.pseudo.contains(dev) || fstat(dir, &d) != 0 || d.st_dev != dev) return;
  fs_content kind = fs_content_of(dir);
  if (kind != fs_content::unknown) s.pseudo[dev] = kind == fs_content::made_up;
}

}  // namespace

opened_file open_walked_file(int dir, const char* name, const struct stat& st, bool follow,
                             scan_state& s) {
  learn_device(dir, st.st_dev, s);
  auto known = s.pseudo.find(st.st_dev);
  if (known != s.pseudo.end() && known->second) return {{}, problem::skipped};
  int flags = O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC | (follow ? 0 : O_NOFOLLOW);
  fd_holder fd(through_links([&] { return openat(dir, name, flags); }));
  if (fd.fd < 0) {
    bool moved = errno == ELOOP || errno == EMLINK || errno == ENXIO || errno == EOPNOTSUPP;
    return {{}, moved ? problem::skipped : problem::not_opened};
  }
  if (!wanted(fd.fd, st, s)) return {{}, problem::skipped};
  return {std::move(fd), problem::none};
}
