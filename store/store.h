// SPDX-License-Identifier: GPL-3.0-or-later
// The digest database: the system's memory across runs. For every content
// digest ever recorded it holds the size keys recorded under it.
//
// It is an ndbm database (made by GDBM's compatibility layer on Linux, and
// reached through GDBM's own interface, which need not map the file; the C
// library's own on FreeBSD). A run names it once with digest_db_at, which
// returns the record every other call takes; the program passes the path
// fixed when it is built. The first call opens the lock file, which the
// record keeps for the run, and the first lookup opens the database for
// reading, which the record keeps too: each later lookup takes the shared
// lock and reads through that handle while the database is the one it
// opened and no run has written it since (the lock file's generation, which
// every writer changes before it writes, and the data file's identity, size
// and times say so); else it opens the database again. Lookups of a batch
// share one shared section. An append, a batch of appends, and the first
// use, which creates the database, hold the lock exclusively. Job-control
// stops wait while the lock is held, and a call that has waited two seconds
// for another run's lock returns `busy` so that the caller can say so, then
// call again. A user who may not open the lock file looks up as a call once
// did: the database opened and closed for each lookup, without a lock.
//
// A batch (digest_record_batch) is committed whole or not at all: with GDBM
// the before-images of everything its stores may overwrite are made durable
// in one journal, then the stores are made durable with one sync, then the
// journal is emptied. A power cut or a crash during it leaves the database as
// it was before the batch once the next writer undoes it, or with the whole
// batch; never a record of an earlier batch lost, never damage. The 4.4BSD
// library writes its pages only at its close and Berkeley DB's close keeps a
// failed sync to itself, so a batch there is stored as single appends are,
// each in an exclusive section of its own with a sync of its own.
//
// A failed write, a kill or a full disk never costs a record stored before:
// the first call builds the database in "<path>.new/" and moves it into place
// whole, and an append goes ahead only with room for the library's largest
// growth step (for a batch, one for each of its records), allocated past the
// file's end where the library needs it. With GDBM a power cut does not
// either: a store that may rewrite what the database holds, and every batch,
// first makes those bytes durable in "<path>.journal", from which the next
// call that writes undoes it. The database is checked before it is trusted;
// a damaged one is moved into "<path>.damaged-N/", never deleted.
//
// On-disk layout (the library chooses the file names derived from the path):
//   key:   the 16 bytes of the digest, exactly.
//   value: packed size keys, each a signed 32-bit integer in host byte order,
//          with no header, count or separator; entries keep the order they
//          were appended in and each occurs once. A value whose length is not
//          a multiple of 4 (written by something else) has 1 to 3 trailing
//          bytes that are not an entry.
//   lock:  the file "<path>.lock" beside the database, created on first use,
//          mode 0600 (a copy open to others is replaced by its owner); a
//          lookup holds flock(LOCK_SH) on it, an append LOCK_EX. It is empty
//          until the first write of this build; then its first 8 bytes are
//          the generation, in host byte order, which every holder of LOCK_EX
//          adds one to before it changes any other file, and byte 8 is set
//          by a run waiting for the lock, so that the holder gives way once.
//          Older builds leave it empty, and read it as before. A user who may
//          not open it looks up without it, and never writes.
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

#include <memory>
#include <string>
#include <vector>

#include "common/common.h"

// The database's files, all derived from the path handed to the library.
struct db_paths {
  std::string db;       // handed to the library
  std::string data;     // the library's data file: its absence alone means no database
  std::string lock;     // "<db>.lock"
  std::string journal;  // "<db>.journal"
  std::string dir;      // the directory that holds them
};

struct db_kept;  // the lock file and the database's handle kept between calls

// Closes what a run kept open.
struct db_kept_closer {
  void operator()(db_kept* k) const;
};

// The database as one process's run uses it: its paths, where the last
// damaged database went, and what it keeps open between calls.
struct digest_db {
  db_paths paths;
  std::string aside;  // set by a call that returned set_aside
  std::unique_ptr<db_kept, db_kept_closer> kept;
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

// A pair a batch records, and what became of it: `added_before` when it was
// recorded before, by any run or earlier in the batch, else as digest_add.
// A call again after a hitch leaves alone the pairs already `added` or
// `added_before`.
struct pair_to_record {
  digest d;
  size_key key;
  add_result result = add_result::unavailable;
};

// Does what digest_record does for every pair of `batch`, in order, with the
// lookups in one shared section and the new pairs stored in one exclusive
// section, committed whole or not at all (see above). Returns `added` once
// every pair has its result (`refused` among them, for a batch that could
// not be stored); else what kept the new pairs from the database, each of
// them holding it too: `unavailable`, or `no_lock`, `busy`, `repaired` or
// `set_aside`, after which the caller may call again.
// REQUIRES: as for digest_seen.
add_result digest_record_batch(digest_db& db, std::vector<pair_to_record>& batch);

#endif  // VELORAND_STORE_STORE_H_
