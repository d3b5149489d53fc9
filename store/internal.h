// SPDX-License-Identifier: GPL-3.0-or-later
// What the store's files share. store.cpp holds the two calls and the paths,
// lock.cpp the lock, create.cpp the first use and the room check, journal.cpp
// the before-images that undo a write cut short, aside.cpp what becomes of a
// damaged database; what each ndbm library does its own way is in gdbm.cpp
// (with gdbm_layout.cpp), or ndbm.cpp for the libraries that keep one hash
// file, with bdb.cpp (Berkeley DB) or bsd.cpp (4.4BSD), chosen by the build.
// Only store/ includes this header.
#ifndef VELORAND_STORE_INTERNAL_H_
#define VELORAND_STORE_INTERNAL_H_

#include <sys/stat.h>
#include <sys/types.h>

#include <csignal>
#include <map>
#include <string>
#include <vector>

#include "store/store.h"

extern "C" {
#include <ndbm.h>
}

// The names derived from the path: the data file's absence alone means there
// is no database; a new one is built in the stage directory; `dir` holds them.
struct db_paths {
  std::string db, data, lock, stage, journal, dir;
};

// A byte range of the data file.
struct region {
  off_t at;
  std::size_t length;
};

// What a lookup under the shared lock finds: the pair or not; a database it
// could not open (errno says why); or one it opened but doubts, which the
// writer's way looks into.
enum class lookup_result { seen, not_seen, unopened, doubtful };

// What check_data finds.
enum class data_state { sound, missing, damaged, unreadable };

// Records by key, as salvaged from a damaged database.
using record_map = std::map<std::string, std::string>;

// Returns the names set by digest_db_at.
const db_paths& paths();

struct gdbm_file_info;  // GDBM's own handle, GDBM_FILE

// Holds the database open for writing until destruction, keeping errno:
// through ndbm (`db`), or where the build uses GDBM through its own interface
// (`gdbm`), whose ndbm layer maps the whole file at every opening, which costs
// more than the store itself. GDBM hands each fetched value over to the
// caller: `fetched` keeps the last until the next fetch or the close.
struct db_handle {
  DBM* db = nullptr;
  gdbm_file_info* gdbm = nullptr;
  void* fetched = nullptr;
  ~db_handle() { reset(); }
  void reset();
};

// Holds the lock (LOCK_SH or LOCK_EX), with job-control stops held back, from
// construction to destruction; after two seconds of waiting for another
// process gives up, with errno EWOULDBLOCK. A shared lock that cannot be
// made on a read-only file system, or that this user may not open, counts as
// held: such a lookup reads without it, and must neither write nor act on
// what it reads.
struct db_lock {
  sigset_t old_mask;
  fd_holder file{-1};
  bool unlocked_read = false;
  int open_errno = 0;  // why the lock file could not be opened
  explicit db_lock(int op);
  ~db_lock();
  bool held() const { return file.fd >= 0 || unlocked_read; }
  // Turns a shared lock into the exclusive one, which is not atomic: another
  // process may take it in between. Waits as the constructor does; returns
  // false, the lock let go, when it cannot.
  bool make_exclusive();
};

// Returns kDbBusy for a lock another process holds, kDbNoLock for a lock
// file that cannot be made, else kDbUnavailable.
int lock_failure(const db_lock& lock);

datum key_of(const digest& d);

// Returns true when `value` holds `key` among its whole entries.
bool holds(datum value, size_key key);

// Returns true when the file system holding `fd`, and the process's file
// size limit, leave `need` bytes beyond `size`; sets errno otherwise.
bool room_for(int fd, off_t size, off_t need);

// Returns true when the process's file size limit lets a file reach `end`
// bytes; sets errno to EFBIG otherwise.
bool size_limit_allows(off_t end);

// What reserve_room did.
constexpr int kReserved = 0;       // the room lies allocated past the end
constexpr int kCannotReserve = 1;  // the file system cannot allocate there
constexpr int kNoRoom = -1;        // errno tells why

// Makes sure that at least half of `room` bytes lie allocated past the end
// of the file `fd`, whose status is `st`, without changing its length, so
// that a library's writes there cannot fail for lack of space or quota;
// allocates `room` when less is left. Checks the file size limit first.
int reserve_room(int fd, const struct stat& st, off_t room);

// Makes the entries of directory `dir` durable.
bool sync_dir(const std::string& dir);

// Creates the database holding `records` (built apart and moved into place
// whole). REQUIRES: the exclusive lock is held.
bool create_db(const record_map& records = {});

// Makes the current contents of `regions` of the data file `fd`, and its
// length `size`, durable in the journal, so that a store cut short can be
// undone. REQUIRES: the exclusive lock is held.
bool journal_write(int fd, off_t size, const std::vector<region>& regions);

// Empties the journal once the store it guarded is durable.
bool journal_clear();

// Puts back what the journal holds, if anything; returns 1 when it did, 0
// when there was nothing to undo, -1 on failure. REQUIRES: the exclusive lock.
int journal_rollback();

// Moves the damaged database into a directory of its own beside it, named in
// `to`, and starts a new one holding what could be read of the old.
// REQUIRES: the exclusive lock is held.
bool set_aside(std::string& to);

// Each library's own: opening the database for writing into `h`, which
// returns false with the library's error; fetching the record for `d` into
// `value` (the library's until the next fetch or the close), which returns
// false when the library fails to read it, which is damage, rather than
// finding none; the suffix of its data file; the room an append needs
// beside a data file of `size` bytes; a lookup under the shared lock; a check of
// the data file before the library opens it (which would block on a FIFO);
// whether the library refused to open the database for damage; whether a
// database just opened may be used, once what a store killed part way leaves
// is cut back (REQUIRES: the exclusive lock); a store that goes ahead only
// with the room it needs, loses no record when it fails or is cut short,
// closes `h`, and returns kAdded, kAddRefused, or kDbSetAside for damage found
// (nothing set aside yet); what can be read of a damaged data file; and
// whether what the library wrote to the data file `data` is durable once it
// closed it, made so here where its close does not sync.
bool open_for_writing(db_handle& h);
bool fetch(db_handle& h, const digest& d, datum& value);
const char* data_suffix();
off_t room_needed(off_t size);
lookup_result lookup_read_only(const digest& d, size_key key);
data_state check_data();
bool refused_as_damaged();
bool usable(db_handle& h);
int store_with_room(db_handle& h, datum key, datum value, bool exists);
void salvage(const std::string& path, record_map& records);
bool durable_after_close(const std::string& data);

// The one-file libraries' own: whether the room an append may take beside
// the data file `fd` (status `st`) is there, allocated where that is needed.
bool room_for_store(int fd, const struct stat& st);

#endif  // VELORAND_STORE_INTERNAL_H_
