// SPDX-License-Identifier: GPL-3.0-or-later
// The 4.4BSD database package's own part of the store (the rest is in
// ndbm.cpp): FreeBSD's C library, or Debian's libdb1-compat.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "store/file.h"
#include "store/internal.h"

// The library writes its pages at the close, and one that fails for want of
// space leaves a file that has lost records stored before: the room is
// allocated past the end first where the file system can, and else only
// checked free.
bool make_room(int fd, const struct stat& st) {
  off_t room = room_needed(st.st_size);
  reserve_result r = reserve_room(fd, st, room);
  return r == reserve_result::unsupported ? room_free(fd, st.st_size, room)
                                          : r == reserve_result::reserved;
}

// The library never syncs: without this, a record reported as recorded would
// not be on the disk, and a power cut could tear the file. Called under the
// exclusive lock, before the store is reported. Its content and length are
// all that matter: fdatasync, which leaves its times to the next write-back.
bool durable_after_close(const std::string& data) {
  struct stat st;
  fd_holder fd(open_regular(data, O_RDONLY, st));
  return fd.fd >= 0 && fdatasync(fd.fd) == 0;
}
