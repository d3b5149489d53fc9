// SPDX-License-Identifier: GPL-3.0-or-later
// Whether a file is worth reading, and whether its read ended well. A file
// whose holes far exceed its data is not read, so that one that claims a
// terabyte it never wrote costs no more than what it holds; a file is read
// up to the size the walk saw, never past it, and then must still be that
// file, unchanged.
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "scan/internal.h"

namespace {

// A file is read when its holes, which read as zeros, add up to at most its
// data plus this: reading costs at most twice what it holds, plus this.
constexpr off_t kHoleSlack = off_t{1} << 20;

// Returns true when the status of a file of `size` bytes, `allocated` of them
// on disk, leaves no doubt that it is read at a cost bounded by what it holds.
bool plainly_dense(off_t size, off_t allocated) {
  return size <= 2 * allocated + kHoleSlack;
}

// Returns true when the holes of `fd`, `size` bytes long, add up to more than
// its data plus the slack; moves its offset. A file system that cannot tell
// holes is taken at its word: all data. Seeks one extent at a time, so the
// count of seeks is bounded by what the file holds.
bool too_sparse(int fd, off_t size) {
  off_t data = 0;
  for (off_t at = 0; at < size && !plainly_dense(size, data);) {
    off_t begins = lseek(fd, at, SEEK_DATA);
    if (begins < 0 && errno == ENXIO) break;  // only a hole is left
    off_t ends = begins < 0 ? -1 : lseek(fd, begins, SEEK_HOLE);
    if (ends < 0) return false;  // holes not told: all data
    data += std::min(ends, size) - begins;
    at = ends;
  }
  return !plainly_dense(size, data);
}

}  // namespace

bool same_file(const struct stat& was, const struct stat& now) {
  return now.st_dev == was.st_dev && now.st_ino == was.st_ino && now.st_size == was.st_size &&
         now.st_mtim.tv_sec == was.st_mtim.tv_sec && now.st_mtim.tv_nsec == was.st_mtim.tv_nsec &&
         now.st_ctim.tv_sec == was.st_ctim.tv_sec && now.st_ctim.tv_nsec == was.st_ctim.tv_nsec;
}

problem worth_reading(int fd, const struct stat& st) {
  if (plainly_dense(st.st_size, off_t{st.st_blocks} * 512)) return problem::none;
  bool sparse = too_sparse(fd, st.st_size);
  // A file that cannot be read from its start cannot be read whole.
  if (lseek(fd, 0, SEEK_SET) != 0) return problem::not_read;
  return sparse ? problem::skipped : problem::none;
}

problem read_ended(int fd, const struct stat& st, bool whole) {
  struct stat now;
  if (fstat(fd, &now) != 0) return problem::not_read;
  if (now.st_dev != st.st_dev || now.st_ino != st.st_ino || !S_ISREG(now.st_mode)) {
    return problem::skipped;
  }
  return whole && same_file(st, now) ? problem::none : problem::not_read;
}
