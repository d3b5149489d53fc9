// SPDX-License-Identifier: GPL-3.0-or-later
// Berkeley DB's own part of the store (the rest is in ndbm.cpp).
#include "store/internal.h"

// The hash doubles its file's length at once (bench/ndbm_growth): an append
// asks for room for a doubling beside the room the others ask for. Allocating
// a doubling ahead would double the disk the database takes: the room is
// checked free. Berkeley DB leaves its file sound when a write fails.
bool make_room(int fd, const struct stat& st) {
  return room_free(fd, st.st_size, room_needed(st.st_size) + st.st_size);
}

// Berkeley DB syncs the file when a database opened for writing is closed.
bool durable_after_close(const std::string&) {
  return true;
}
