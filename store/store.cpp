// SPDX-License-Identifier: GPL-3.0-or-later
// The two calls: each takes the lock, opens the database, fetches (and for an
// append stores) and closes it before it lets the lock go.
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <vector>

#include "store/internal.h"

namespace {

db_paths where;     // set once by digest_db_at
std::string aside;  // where the last damaged database went

// Moves a damaged database aside, closing `h` first; returns the call's code.
int put_aside(db_handle& h) {
  h.reset();
  return set_aside(aside) ? kDbSetAside : kDbUnavailable;
}

// Opens the database for reading and writing once it is sound: undoes a
// store cut short, sets aside a damaged database and creates a missing one.
// Returns 0 with `h` open, or the code the call returns.
// REQUIRES: the exclusive lock is held.
int open_db(db_handle& h) {
  int undone = journal_rollback();
  if (undone != 0) return undone > 0 ? kDbRepaired : kDbUnavailable;
  data_state state = check_data();
  if (state == data_state::damaged) return put_aside(h);
  if (state == data_state::unreadable) return kDbUnavailable;
  if (state == data_state::missing && !create_db()) return kDbUnavailable;
  if (!open_for_writing(h)) return refused_as_damaged() ? put_aside(h) : kDbUnavailable;
  return usable(h) ? 0 : put_aside(h);
}

}  // namespace

const db_paths& paths() {
  return where;
}

datum key_of(const digest& d) {
  return datum{reinterpret_cast<char*>(const_cast<std::uint8_t*>(d.data())),
               static_cast<int>(d.size())};
}

bool holds(datum value, size_key key) {
  if (value.dptr == nullptr || value.dsize < 0) return false;
  std::size_t whole = static_cast<std::size_t>(value.dsize) / sizeof key;
  for (std::size_t i = 0; i < whole; ++i) {
    size_key entry;
    std::memcpy(&entry, static_cast<const char*>(value.dptr) + i * sizeof key, sizeof key);
    if (entry == key) return true;
  }
  return false;
}

void digest_db_at(const std::string& path) {
  std::string dir = std::filesystem::path(path).parent_path();
  where = {path,          path + data_suffix(), path + ".lock",
           path + ".new", path + ".journal",    dir.empty() ? "." : dir};
}

const char* digest_db_path() {
  return where.db.c_str();
}

const char* digest_lock_path() {
  return where.lock.c_str();
}

const char* digest_aside_path() {
  return aside.c_str();
}

int digest_seen(const digest& d, size_key key) {
  {
    db_lock shared(LOCK_SH);
    if (!shared.held()) return lock_failure(shared);
    lookup_result found = lookup_read_only(d, key);
    if (found == lookup_result::seen) return kSeen;
    if (found == lookup_result::not_seen) return kNotSeen;
    // Without the lock, a store may be under way: what looks odd is not acted on.
    if (shared.unlocked_read) return found == lookup_result::doubtful ? kNotSeen : kDbUnavailable;
  }
  // First use, a write to undo or a database to check: the writer's way.
  db_lock lock(LOCK_EX);
  if (!lock.held()) return lock_failure(lock);
  db_handle h;
  datum value;
  if (int r = open_db(h); r != 0) return r;
  if (!fetch(h, d, value)) return put_aside(h);
  // The fetched bytes are the library's until the close; they are read first.
  return holds(value, key) ? kSeen : kNotSeen;
}

namespace {

// Appends `key` to the record for `d`. REQUIRES: the exclusive lock is held.
int add_locked(const digest& d, size_key key) {
  db_handle h;
  datum old;
  if (int r = open_db(h); r != 0) return r;
  if (!fetch(h, d, old)) return put_aside(h);
  // Another process may have recorded the pair since this one looked.
  if (holds(old, key)) return kAddedBefore;
  std::size_t kept = old.dptr == nullptr || old.dsize < 0
                         ? 0
                         : static_cast<std::size_t>(old.dsize) / sizeof key * sizeof key;
  std::vector<char> value(kept + sizeof key);
  if (kept != 0) std::memcpy(value.data(), old.dptr, kept);
  std::memcpy(value.data() + kept, &key, sizeof key);
  datum v{value.data(), static_cast<int>(value.size())};
  int stored = store_with_room(h, key_of(d), v, old.dptr != nullptr);
  return stored == kDbSetAside ? put_aside(h) : stored;
}

}  // namespace

int digest_add(const digest& d, size_key key) {
  db_lock lock(LOCK_EX);
  if (!lock.held()) return lock_failure(lock);
  return add_locked(d, key);
}

int digest_record(const digest& d, size_key key) {
  db_lock lock(LOCK_SH);
  if (!lock.held()) return lock_failure(lock);
  if (lookup_read_only(d, key) == lookup_result::seen) return kAddedBefore;
  // What another run records meanwhile, the append finds.
  if (!lock.make_exclusive()) return lock_failure(lock);
  return add_locked(d, key);
}
