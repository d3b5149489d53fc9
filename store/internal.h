// SPDX-License-Identifier: GPL-3.0-or-later
// What the store's own files share: store.cpp holds the calls and the
// lock, create.cpp the first use, a damaged database set aside and the free
// room, room_linux.cpp or room_posix.cpp the room allocated past a file's
// end, journal.cpp the before-images that undo a write cut short.
// Each library's part is in store/library.h; file helpers in store/file.h.
// Only store/ includes this header.
#ifndef VELORAND_STORE_INTERNAL_H_
#define VELORAND_STORE_INTERNAL_H_

#include <sys/stat.h>

#include <cstdint>
#include <string>
#include <vector>

#include "store/library.h"

// What a run keeps open between calls: the lock file, and the database
// opened for lookups, with what said it was current when it was opened.
struct db_kept {
  fd_holder lock;
  dev_t lock_dev = 0;
  ino_t lock_ino = 0;
  bool lock_writable = false;  // opened for writing, as a writer needs it
  int unwritable_errno = 0;    // else why it could not be
  bool no_lock_told = false;
  bool give_way = false;  // a run waited while this one held the lock
  db_handle_ptr reader;
  std::uint64_t generation = 0;  // the lock file's, when `reader` was opened
  struct stat data_status = {};  // the data file's, just before
};

// What keeps a call from its lookup or append: nothing, or an outcome both
// calls share, named alike in seen_result and add_result.
enum class hitch { none, unavailable, no_lock, busy, repaired, set_aside };

// Returns the datum of the 16 bytes of `d`.
datum key_of(const digest& d);

// Returns true when `value` holds `key` among its whole entries.
bool holds(datum value, size_key key);

// Returns true when the file system holding `fd`, and the process's file
// size limit, leave `need` bytes free beyond `size`; sets errno otherwise.
bool room_free(int fd, off_t size, off_t need);

// Returns true when the file size limit lets a file reach `end`; else EFBIG.
bool size_limit_allows(off_t end);

// What reserve_room did: the room is allocated; the file system cannot
// allocate past the end; or it refused (errno says why).
enum class reserve_result { reserved, unsupported, refused };

// Makes sure at least half of `room` bytes lie allocated past the end of the
// file `fd` (status `st`) without changing its length, so that a library's
// writes there cannot fail for lack of space; allocates `room` when less is
// left. Checks the file size limit first.
reserve_result reserve_room(int fd, const struct stat& st, off_t room);

// Creates the database holding `records`, built apart and moved into place
// whole. REQUIRES: the exclusive lock is held.
bool create_db(const db_paths& p, const record_map& records = {});

// A byte range of the data file.
struct region {
  off_t at;
  std::size_t length;
};

// Makes the current contents of `regions` of the data file `fd`, and its
// length `size`, durable in the journal. REQUIRES: the exclusive lock is held.
bool journal_write(const db_paths& p, int fd, off_t size, const std::vector<region>& regions);

// Empties the journal once the store it guarded is durable.
bool journal_clear(const db_paths& p);

// Puts back what the journal holds, if anything: returns `repaired` once it
// did, `none` when there was nothing to undo. REQUIRES: the exclusive lock.
hitch journal_rollback(const db_paths& p);

// Moves the damaged database into a directory of its own beside it, named in
// `to`, and starts a new one with what could be read of the old.
// REQUIRES: the exclusive lock is held.
bool set_aside(const db_paths& p, std::string& to);

#endif  // VELORAND_STORE_INTERNAL_H_
