// SPDX-License-Identifier: GPL-3.0-or-later
// The store's part for an ndbm library other than GDBM: Berkeley DB's, or the
// BSDs' own, both with the hash in one file "<path>.db".
#include <fcntl.h>
#include <sys/stat.h>

#include "store/internal.h"

const char* data_suffix() {
  return ".db";
}

// The hash doubles its file's length at once (bench/ndbm_growth): an append
// asks for room for a doubling, beside the 64 KiB creation asks for.
off_t room_needed(off_t size) {
  return (off_t{64} << 10) + size;
}

int lookup_read_only(const digest& d, size_key key) {
  DBM* db = dbm_open(const_cast<char*>(paths().db.c_str()), O_RDONLY, 0);
  if (db == nullptr) return kDbUnavailable;
  int found = holds(dbm_fetch(db, key_of(d)), key) ? kSeen : kNotSeen;
  dbm_close(db);
  return found;
}

bool usable(db_handle& h) {
  return h.db != nullptr;
}

bool store_with_room(db_handle& h, datum key, datum value) {
  int fd = dbm_dirfno(h.db);  // the one file
  struct stat st;
  if (fd < 0 || fstat(fd, &st) != 0) return false;
  if (!room_for(fd, st.st_size, room_needed(st.st_size))) return false;
  bool stored = dbm_store(h.db, key, value, DBM_REPLACE) == 0;
  h.reset();
  return stored;
}
