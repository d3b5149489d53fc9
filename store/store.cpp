// SPDX-License-Identifier: GPL-3.0-or-later
// The two calls: each takes the lock, opens the database, fetches (and for an
// append stores) and closes it before it lets the lock go.
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <vector>

#include "store/internal.h"

namespace {

db_paths where;  // set once by digest_db_at

// Opens the database for reading and writing, creating it when it does not
// exist yet. REQUIRES: the exclusive lock is held.
bool open_db(db_handle& h) {
  h.db = dbm_open(const_cast<char*>(where.db.c_str()), O_RDWR, 0600);
  // The library's errno is no proof of absence: only a missing data file is.
  if (h.db == nullptr && access(where.data.c_str(), F_OK) != 0 && errno == ENOENT &&
      create_db()) {
    h.db = dbm_open(const_cast<char*>(where.db.c_str()), O_RDWR, 0600);
  }
  return usable(h);
}

}  // namespace

const db_paths& paths() {
  return where;
}

void db_handle::reset() {
  if (db == nullptr) return;
  int saved = errno;
  dbm_close(db);
  db = nullptr;
  errno = saved;
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
    std::memcpy(&entry, value.dptr + i * sizeof key, sizeof key);
    if (entry == key) return true;
  }
  return false;
}

void digest_db_at(const std::string& path) {
  where = {path, path + data_suffix(), path + ".lock", path + ".new"};
}

const char* digest_db_path() {
  return where.db.c_str();
}

const char* digest_lock_path() {
  return where.lock.c_str();
}

int digest_seen(const digest& d, size_key key) {
  {
    db_lock shared(LOCK_SH);
    if (!shared.held()) return lock_failure();
    int found = lookup_read_only(d, key);
    if (found != kDbUnavailable) return found;
  }
  // First use, or a database to repair: the writer's way.
  db_lock lock(LOCK_EX);
  if (!lock.held()) return lock_failure();
  db_handle h;
  if (!open_db(h)) return kDbUnavailable;
  // The fetched bytes are the library's until the close; they are read first.
  return holds(dbm_fetch(h.db, key_of(d)), key) ? kSeen : kNotSeen;
}

int digest_add(const digest& d, size_key key) {
  db_lock lock(LOCK_EX);
  if (!lock.held()) return lock_failure();
  db_handle h;
  if (!open_db(h)) return kDbUnavailable;
  datum old = dbm_fetch(h.db, key_of(d));
  // Another process may have recorded the pair since this one looked.
  if (holds(old, key)) return kAddedBefore;
  std::size_t kept = old.dptr == nullptr || old.dsize < 0
                         ? 0
                         : static_cast<std::size_t>(old.dsize) / sizeof key * sizeof key;
  std::vector<char> value(kept + sizeof key);
  if (kept != 0) std::memcpy(value.data(), old.dptr, kept);
  std::memcpy(value.data() + kept, &key, sizeof key);
  datum v{value.data(), static_cast<int>(value.size())};
  return store_with_room(h, key_of(d), v) ? kAdded : kAddRefused;
}
