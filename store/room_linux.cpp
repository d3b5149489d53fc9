// SPDX-License-Identifier: GPL-3.0-or-later
// Linux: room is allocated past a file's end without changing its length.
#include <fcntl.h>
#include <linux/falloc.h>

#include <algorithm>
#include <cerrno>

#include "store/internal.h"

namespace {

// Returns the bytes allocated past the end of the file, as its block count
// tells them: none where it has holes, a block or two too many where the file
// system counts its own bookkeeping, which asking for twice what is needed
// covers.
off_t allocated_tail(const struct stat& st) {
  constexpr off_t kBlock = 4096;
  off_t used = (st.st_size + kBlock - 1) / kBlock * kBlock;
  return std::max<off_t>(0, static_cast<off_t>(st.st_blocks) * 512 - used);
}

}  // namespace

reserve_result reserve_room(int fd, const struct stat& st, off_t room) {
  if (!size_limit_allows(st.st_size + room / 2)) return reserve_result::refused;
  if (allocated_tail(st) >= room / 2) return reserve_result::reserved;
  if (fallocate(fd, FALLOC_FL_KEEP_SIZE, st.st_size, room) == 0) return reserve_result::reserved;
  return errno == EOPNOTSUPP ? reserve_result::unsupported : reserve_result::refused;
}
