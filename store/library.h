// SPDX-License-Identifier: GPL-3.0-or-later
// What each ndbm library does its own way: gdbm.cpp (with gdbm_layout.cpp),
// or ndbm.cpp for the libraries that keep one hash file, with bdb.cpp
// (Berkeley DB) or bsd.cpp (4.4BSD), chosen by the build. store.cpp checks
// the data file, opens it for writing, makes it usable, fetches and stores
// through these; a lookup has a way of its own; aside.cpp salvages with them.
// Only store/ includes this header.
#ifndef VELORAND_STORE_LIBRARY_H_
#define VELORAND_STORE_LIBRARY_H_

#include <sys/types.h>

#include <map>
#include <memory>
#include <string>

#include "store/store.h"

extern "C" {
#include <ndbm.h>
}

// The database open for writing: each library's own record.
struct db_handle;

// Closes a handle, keeping errno.
struct db_handle_closer {
  void operator()(db_handle* h) const;
};
using db_handle_ptr = std::unique_ptr<db_handle, db_handle_closer>;

// What check_data finds of the data file.
enum class data_state { sound, missing, damaged, unreadable };

// What a lookup under the shared lock finds: the pair or not; a database it
// could not open (errno says why); or one it opened but doubts, which the
// writer's way looks into.
enum class lookup_result { seen, not_seen, unopened, doubtful };

// What an append's store did: the pair is durable; it was refused, nothing
// lost; or damage was found before the store, nothing done.
enum class store_result { stored, refused, damaged };

// Records by key, as salvaged from a damaged database.
using record_map = std::map<std::string, std::string>;

// The files.

// Returns the suffix the library gives the data file.
const char* data_suffix();

// Returns the room an append needs past the end of a data file of `size` bytes.
off_t room_needed(off_t size);

// Checks the data file before the library opens it, which would block on a FIFO.
data_state check_data(const db_paths& p);

// Returns true once what the library wrote to the data file `data` is
// durable after its close, made so here where the close does not sync.
bool durable_after_close(const std::string& data);

// Reading.

// Looks `key` up in the record for `d`, under the shared lock.
lookup_result lookup_read_only(const db_paths& p, const digest& d, size_key key);

// Opens the database for reading and writing; null with the library's error.
// REQUIRES: the exclusive lock is held.
db_handle_ptr open_for_writing(const db_paths& p);

// Fetches the record for `d` into `value` (the library's until the next fetch
// or the close); returns false when the library fails to read it, which is
// damage, rather than finding none.
bool fetch(db_handle& h, const digest& d, datum& value);

// Writing.

// Stores `value` under `key` (present before when `exists`) only with the room
// it needs, losing no record when it fails or is cut short, and closes `h`.
// REQUIRES: the exclusive lock is held.
store_result store_with_room(const db_paths& p, db_handle_ptr& h, datum key, datum value,
                             bool exists);

// Damage.

// Returns true when the library refused to open the database for damage.
bool refused_as_damaged(const db_paths& p);

// Returns true when the database just opened in `h` may be used, once what a
// store killed part way leaves is cut back; may reopen `h`.
// REQUIRES: the exclusive lock is held.
bool usable(const db_paths& p, db_handle_ptr& h);

// Adds to `records` what can be read of the damaged data file `data`.
void salvage(const std::string& data, record_map& records);

#endif  // VELORAND_STORE_LIBRARY_H_
