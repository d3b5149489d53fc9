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

// The names derived from the database's path.
struct db_paths {
  std::string db;     // handed to the library
  std::string data;   // the file holding the records: its absence alone means no database
  std::string lock;   // "<db>.lock"
  std::string stage;  // "<db>.new/", where a new database is built
};

// Returns the names set by digest_db_at.
const db_paths& paths();

// Closes a descriptor on destruction, keeping errno.
struct fd_holder {
  int fd = -1;
  explicit fd_holder(int f) : fd(f) {}
  ~fd_holder() { reset(); }
  void reset();
  fd_holder(const fd_holder&) = delete;
  fd_holder& operator=(const fd_holder&) = delete;
};

// Holds the database open until destruction, keeping errno.
struct db_handle {
  DBM* db = nullptr;
  db_handle() = default;
  ~db_handle() { reset(); }
  void reset();
  db_handle(const db_handle&) = delete;
  db_handle& operator=(const db_handle&) = delete;
};

// Holds the lock (LOCK_SH or LOCK_EX) from construction to destruction, with
// job-control stops held back meanwhile; after two seconds of waiting for
// another process gives up, with errno EWOULDBLOCK.
struct db_lock {
  sigset_t old_mask;
  fd_holder file{-1};
  explicit db_lock(int op);
  ~db_lock();
  bool held() const { return file.fd >= 0; }
};

// Returns kDbBusy for a lock not taken because another process holds it,
// and kDbUnavailable for any other failure.
int lock_failure();

// Returns the key datum of `d`.
datum key_of(const digest& d);

// Returns true when `value` holds `key` among its whole entries.
bool holds(datum value, size_key key);

// Returns true when the file system holding `fd`, and the process's file
// size limit, leave `need` bytes beyond `size`; sets errno otherwise.
bool room_for(int fd, off_t size, off_t need);

// Creates an empty database, built apart and moved into place whole.
// REQUIRES: the exclusive lock is held.
bool create_db();

// Each library's own.

// Returns the suffix the library adds to the path for the file of records.
const char* data_suffix();

// Returns the free room an append needs with a data file of `size` bytes.
off_t room_needed(off_t size);

// Returns kSeen or kNotSeen, or kDbUnavailable when the database cannot be
// read as it is. REQUIRES: a lock is held.
int lookup_read_only(const digest& d, size_key key);

// Returns true when `h`, just opened, may be used; repairs what a process
// killed during a store can leave, and refuses (errno EIO) what it cannot.
// REQUIRES: the exclusive lock is held.
bool usable(db_handle& h);

// Stores `value` under `key` once the room it may take is there; returns
// false, with no record lost, when it is not or the store fails. Closes `h`.
// REQUIRES: the exclusive lock is held.
bool store_with_room(db_handle& h, datum key, datum value);

#endif  // VELORAND_STORE_INTERNAL_H_
