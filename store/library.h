// SPDX-License-Identifier: GPL-3.0-or-later
// What each ndbm library does its own way: gdbm.cpp, or ndbm.cpp for the
// libraries that keep one hash file, with bdb.cpp (Berkeley DB) or bsd.cpp
// (4.4BSD), chosen by the build. store.cpp opens the database for writing,
// fetches and stores through these; a lookup has a way of its own. Only
// store/ includes this.
#ifndef VELORAND_STORE_LIBRARY_H_
#define VELORAND_STORE_LIBRARY_H_

#include <sys/stat.h>
#include <sys/types.h>

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "store/store.h"

extern "C" {
#include <ndbm.h>
}

struct db_handle;  // the database open for writing: each library's own record

// Closes a handle, keeping errno.
struct db_handle_closer {
  void operator()(db_handle* h) const;
};
using db_handle_ptr = std::unique_ptr<db_handle, db_handle_closer>;

enum class data_state { sound, missing, damaged, unreadable };

// What a lookup finds: the pair or not; a database it could not open (errno
// says why); or one it opened but doubts, which the writer's way looks into.
enum class lookup_result { seen, not_seen, unopened, doubtful };

// What a store did: the pair is durable; refused, nothing lost; or damage
// was found before it, nothing done.
enum class store_result { stored, refused, damaged };

using record_map = std::map<std::string, std::string>;  // records by key

// Returns the suffix the library gives the data file.
const char* data_suffix();

// Returns the room an append needs past the end of a data file of `size`
// bytes that grows by steps (GDBM, 4.4BSD); Berkeley DB asks for more.
off_t room_needed(off_t size);

// Makes sure the room an append may take past the end of the one-file
// libraries' data file `fd` (status `st`) is there, allocated where the
// library needs it; returns false, with errno set, when it cannot be had.
bool make_room(int fd, const struct stat& st);

// Returns true once what the library wrote to the data file `data` before its
// close is durable, made so here where the close does not sync.
bool durable_after_close(const std::string& data);

// Opens the database for lookups into `h`: `sound`; `unreadable` when its
// data file could not be opened (errno says why); `damaged` when it opened
// but the library refused it or finds it hurt, which the writer's way looks
// into. REQUIRES: the shared lock, if it can be had.
data_state open_for_reading(const db_paths& p, db_handle_ptr& h);

// Looks `key` up in the record for `d` through `h`, opened for reading.
lookup_result look_up(db_handle& h, const digest& d, size_key key);

// Opens the database for writing into `h`: `sound`, `damaged` when the
// library refuses it for damage or finds it hurt beyond what a store killed
// part way leaves (which is cut back), else `unreadable` with the library's
// error. REQUIRES: the exclusive lock is held and the data file is regular.
data_state open_for_writing(const db_paths& p, db_handle_ptr& h);

// Fetches the record for `d` into `value`, the library's until the next fetch
// or the close; returns false for a failed read, which is damage.
bool fetch(db_handle& h, const digest& d, datum& value);

// Returns true when store_all stores a batch whole, under one sync (GDBM);
// false when it stores one record at a time, each synced.
bool stores_whole_batches();

// A record to store: its key, its whole new value, whether the key was
// present before, and what became of it.
struct record_store {
  std::string key, value;
  bool exists;
  store_result result = store_result::refused;
};

// Stores every record of `stores` (each key once) only with the room they
// need, losing no record stored before when it fails or is cut short, and
// closes `h`. With GDBM all of them or none, under one journal and one sync;
// with the others one by one, `h` opened again for each, as single appends.
void store_all(const db_paths& p, db_handle_ptr& h, std::vector<record_store>& stores);

// Adds to `records` what can be read of the damaged data file `data`.
void salvage(const std::string& data, record_map& records);

#endif  // VELORAND_STORE_LIBRARY_H_
