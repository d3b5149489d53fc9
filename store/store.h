// SPDX-License-Identifier: GPL-3.0-or-later
// The digest database: the system's memory across runs. For every content
// digest ever recorded it holds the size keys recorded under it.
//
// It is an ndbm database (made by GDBM's compatibility layer on Linux, and
// reached through GDBM's own interface, which need not map the file; the C
// library's own on FreeBSD). digest_db_at names it once, before any other
// call; the program passes the path fixed when it is built. Then each call takes
// the lock, opens the database, does one fetch (and for an append one store),
// closes it and lets the lock go, so no handle outlives a call. A lookup reads
// under a shared lock, so lookups of runs going on together do not wait for
// each other and never write; an append, and the first use, which creates
// the database, hold it exclusively. Job-control stops wait while the lock is
// held, and a call that has waited a while for another run's lock returns
// kDbBusy so that the caller can say so, then call again.
//
// A failed write, a kill or a full disk never costs a record stored before:
// the first call builds the database in "<path>.new/" and moves it into place
// whole; an append goes ahead only with room for the library's largest growth
// step (four times the measured step), and with GDBM and the 4.4BSD library
// that room is allocated past the file's end before the store, without
// changing its length and only once what is left of it runs short, so that
// the library's own writes land in allocated blocks. With GDBM a power cut
// does not either: a store that may rewrite what the database holds (one in a
// hundred or fewer) first makes the bytes it may rewrite durable in
// "<path>.journal", from which the next call that writes undoes it. The
// database is checked before it is trusted; a damaged one is moved into
// "<path>.damaged-N/", never deleted.
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
// Nothing here writes a message; on failure errno tells why.
#ifndef VELORAND_STORE_STORE_H_
#define VELORAND_STORE_STORE_H_

#include <string>

#include "common/common.h"

// What the calls return. Either may return kDbUnavailable, when the database
// cannot be opened (or created); kDbNoLock, once, when the lock file cannot
// be made (a directory in its place, or one this user may not create), and
// kDbUnavailable for it afterwards; kDbBusy, after two seconds of waiting for
// the lock, which another process holds; kDbRepaired, after undoing a store
// that a power cut or a crash interrupted; and kDbSetAside, after moving a
// damaged database aside and starting a new one with what could be read of
// it. Nothing was looked up or recorded then: the caller may call again.
constexpr int kDbUnavailable = -1;
constexpr int kDbBusy = -2;
constexpr int kDbRepaired = -3;  // a write cut short was undone; nothing else done
constexpr int kDbSetAside = -4;  // a damaged database was moved aside; nothing else done
constexpr int kDbNoLock = -5;    // the lock file cannot be made; said once
constexpr int kNotSeen = 0;      // digest_seen: the pair is not recorded
constexpr int kSeen = 1;         // digest_seen: the pair is recorded
constexpr int kAdded = 0;        // digest_add: the pair is now recorded
constexpr int kAddRefused = 1;   // digest_add: refused, too little room left, or not synced
constexpr int kAddedBefore = 2;  // digest_add: another process recorded it since

// Returns kSeen if the record for `d` holds `key`, and kNotSeen if it does
// not or there is no record. Needs only read access to an existing database.
int digest_seen(const digest& d, size_key key);

// Appends `key` to the record for `d`, creating the record if needed.
int digest_add(const digest& d, size_key key);

// Does what digest_seen and then, when it found nothing, digest_add do, the
// lock file opened once: returns kAddedBefore when the pair was recorded
// before, by any run, or what digest_add returns.
int digest_record(const digest& d, size_key key);

// Sets the path handed to the library, from which every other file's derives.
// REQUIRES: called before any other call here.
void digest_db_at(const std::string& path);

// Returns the path of the database handed to the library.
const char* digest_db_path();

// Returns the directory into which the call that returned kDbSetAside moved
// the damaged database.
const char* digest_aside_path();

// Returns the path of the lock file, for a caller that says what it waits on.
const char* digest_lock_path();

#endif  // VELORAND_STORE_STORE_H_
