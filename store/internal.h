// SPDX-License-Identifier: GPL-3.0-or-later
// What the store's files share. store.cpp holds the two calls and the paths,
// lock.cpp the lock, create.cpp the first use and the room check; what each
// ndbm library does its own way is in gdbm.cpp, or ndbm.cpp for any other,
// chosen by the build. Only store/ includes this header.
#ifndef VELORAND_STORE_INTERNAL_H_
#define VELORAND_STORE_INTERNAL_H_

#include <sys/types.h>

#include <csignal>
#include <string>

#include "store/store.h"

extern "C" {
#include <ndbm.h>
}

// The names derived from the path: the data file's absence alone means there
// is no database; a new one is built in the stage directory.
struct db_paths {
  std::string db, data, lock, stage;
};

// Returns the names set by digest_db_at.
const db_paths& paths();

// Closes a descriptor on destruction, keeping errno.
struct fd_holder {
  int fd = -1;
  explicit fd_holder(int f) : fd(f) {}
  ~fd_holder() { reset(); }
  void reset();
  fd_holder& operator=(fd_holder&&) = delete;  // and so no copies
};

// Holds the database open until destruction, keeping errno.
struct db_handle {
  DBM* db = nullptr;
  ~db_handle() { reset(); }
  void reset();
};

// Holds the lock (LOCK_SH or LOCK_EX), with job-control stops held back, from
// construction to destruction; after two seconds of waiting for another
// process gives up, with errno EWOULDBLOCK.
struct db_lock {
  sigset_t old_mask;
  fd_holder file{-1};
  explicit db_lock(int op);
  ~db_lock();
  bool held() const { return file.fd >= 0; }
};

// Returns kDbBusy for a lock another process holds, else kDbUnavailable.
int lock_failure();

datum key_of(const digest& d);

// Returns true when `value` holds `key` among its whole entries.
bool holds(datum value, size_key key);

// Returns true when the file system holding `fd`, and the process's file
// size limit, leave `need` bytes beyond `size`; sets errno otherwise.
bool room_for(int fd, off_t size, off_t need);

// Creates an empty database. REQUIRES: the exclusive lock is held.
bool create_db();

// Each library's own: the suffix of its data file; the room an append needs
// beside a data file of `size` bytes; a lookup under the shared lock, which
// returns kDbUnavailable for a database it cannot read as it is; whether a
// database just opened may be used (repairing what a store killed part way
// leaves, refusing with EIO what it cannot); and a store that goes ahead only
// with that room, loses no record when it fails, and closes `h`.
const char* data_suffix();
off_t room_needed(off_t size);
int lookup_read_only(const digest& d, size_key key);
bool usable(db_handle& h);
bool store_with_room(db_handle& h, datum key, datum value);

#endif  // VELORAND_STORE_INTERNAL_H_
