// SPDX-License-Identifier: GPL-3.0-or-later
// The digest database: the system's memory across runs. For every content
// digest ever recorded it holds the size keys recorded under it.
//
// It is an ndbm database (made by GDBM's compatibility layer on Linux, and
// reached through GDBM's own interface, which need not map the file; the C
// library's own on FreeBSD). A run names it once with digest_db_at, which
// returns the record every other call takes; the program passes the path
// fixed when it is built. The first call opens the lock file, which the
// record keeps for the run. Then each call takes the lock, opens the
// database, does one fetch (and for an append one store), closes it and lets
// the lock go, so no database handle outlives a call. A lookup reads under a
// shared lock, so lookups of runs going on together do not wait for each
// other and never write; an append, and the first use, which creates the
// database, hold it exclusively. Job-control stops wait while the lock is
// held, and a call that has waited a while for another run's lock returns
// `busy` so that the caller can say so, then call again.
//
// A failed write, a kill or a full disk never costs a record stored before:
// the first call builds the database in "<path>.new/" and moves it into place
// whole, and an append goes ahead only with room for the library's largest
// growth step, allocated past the file's end where the library needs it.
// With GDBM a power cut does not either: a store that may rewrite what the
// database holds first makes those bytes durable in "<path>.journal", from
// which the next call that writes undoes it. The database is checked before
// it is trusted; a damaged one is moved into "<path>.damaged-N/", never
// deleted.
//
// On-disk layout (the library chooses the file names derived from the path):
//   key:   the 16 bytes of the digest, exactly.
//   value: packed size keys, each a signed 32-bit integer in host byte order,
//          with no header, count or separator; entries keep the order they
//          were appended in and each occurs once. A value whose length is not
//          a multiple of 4 (written by something else) has 1 to 3 trailing
//          bytes that are not an entry.
//   lock:  the file "<path>.lock" beside the database, empty, created on first
//          use, mode 0600 (a copy open to others is replaced by its owner);
//          a lookup holds flock(LOCK_SH) on it, an append LOCK_EX. A user
//          who may not open it looks up without it, and never writes.
//   journal: "<path>.journal", empty but while a store it guards is under way
//          (its layout is in store/journal.cpp).
//   files: the library's own (GDBM: "<path>.pag" holds the records, "<path>.dir"
//          marks the version; Berkeley DB and FreeBSD: "<path>.db"); the data
//          file's absence alone means there is no database yet.
//
// Nothing here writes a message; on failure errno tells why (ENOENT or
// ENOTDIR: the directory that holds the database is missing).
#ifndef VELORAND_STORE_STORE_H_
#define VELORAND_STORE_STORE_H_

#include <sys/types.h>

#include <string>

#include "common/common.h"

// The database's files, all derived from the path handed to the library.
struct db_paths {
  std::string db;       // handed to the library
  std::string data;     // the library's data file: its absence alone means no database
  std::string lock;     // "<db>.lock"
  std::string journal;  // "<db>.journal"
  std::string stage;    // "<db>.new", where a new database is built
  std::string dir;      // the directory that holds them
};

// The database as one process's run uses it: its paths, the lock file kept
// open between calls, and where the last damaged database went.
struct digest_db {
  db_paths paths;
  std::string aside;  // set by a call that returned set_aside
  fd_holder lock;     // opened by the first call
  dev_t lock_dev = 0;
  ino_t lock_ino = 0;
  bool no_lock_told = false;
};

// What digest_seen returns: the answer; or the database cannot be opened or
// created (`unavailable`; ENOENT, ENOTDIR, EROFS, ENOSPC or EDQUOT say its
// directory is missing, is none, is read-only or full); its lock file cannot
// be made for any other reason than another user's owning it (`no_lock`,
// once, then `unavailable`); another process held the lock for two seconds (`busy`);
// a store cut short by a power cut or a crash was undone (`repaired`), or a
// damaged database was moved aside and a new one started with what could be
// read of it (`set_aside`): after these three the caller may call again.
enum class seen_result { not_seen, seen, unavailable, no_lock, busy, repaired, set_aside };

// What digest_add and digest_record return: the pair is now recorded, was
// recorded before (by this process or another), or was refused (too little
// room, or not synced); the rest as for digest_seen, nothing recorded.
enum class add_result {
  added,
  added_before,
  refused,
  unavailable,
  no_lock,
  busy,
  repaired,
  set_aside
};

// Returns the record of the database handed to the library as `path`, from
// which every other file's path derives; opens nothing.
digest_db digest_db_at(const std::string& path);

// Returns `seen` if the record for `d` holds `key`, and `not_seen` if it does
// not or there is no record. Needs only read access to an existing database.
// REQUIRES: `db` was made in this process (a child makes its own).
seen_result digest_seen(digest_db& db, const digest& d, size_key key);

// Returns what digest_seen does, but never writes, makes or replaces a file,
// nor takes the exclusive lock, so that it serves a user who may only read
// the data files, and a read-only file system: no database is `not_seen`,
// while no directory for it is `unavailable` (ENOENT or ENOTDIR), as is a
// database that only a writer could mend. REQUIRES: as for digest_seen.
seen_result digest_peek(digest_db& db, const digest& d, size_key key);

// Appends `key` to the record for `d`, creating the record if needed.
// REQUIRES: as for digest_seen.
add_result digest_add(digest_db& db, const digest& d, size_key key);

// Does what digest_seen and then, when it found nothing, digest_add do, the
// lock file opened once: returns `added_before` when the pair was recorded
// before, by any run, or what digest_add returns. REQUIRES: as for digest_seen.
add_result digest_record(digest_db& db, const digest& d, size_key key);

#endif  // VELORAND_STORE_STORE_H_
