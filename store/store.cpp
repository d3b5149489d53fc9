// SPDX-License-Identifier: GPL-3.0-or-later
// The three calls: each takes the lock, opens the database, fetches (and for
// an append stores) and closes it before it lets the lock go.
#include <sys/file.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstring>
#include <vector>

#include "store/internal.h"
#include "store/paths.h"

namespace {

template <typename Result>
Result as(hitch h) {
  constexpr Result kAs[] = {Result::unavailable, Result::unavailable, Result::no_lock,
                            Result::busy,        Result::repaired,    Result::set_aside};
  return kAs[static_cast<int>(h)];
}

// Moves a damaged database aside, closing `h` first.
hitch put_aside(digest_db& db, db_handle_ptr& h) {
  h.reset();
  return set_aside(db.paths, db.aside) ? hitch::set_aside : hitch::unavailable;
}

// Checks the data file before the library opens it, which would block on a FIFO.
data_state check_data(const db_paths& p) {
  struct stat st;
  if (stat(p.data.c_str(), &st) != 0) {
    return errno == ENOENT ? data_state::missing : data_state::unreadable;
  }
  return S_ISREG(st.st_mode) ? data_state::sound : data_state::damaged;
}

// Opens the database for reading and writing once it is sound, and fetches
// the record for `d` into `value`: undoes a store cut short, sets aside a
// damaged database and creates a missing one. Returns hitch::none with `h`
// open. REQUIRES: the exclusive lock is held.
hitch open_and_fetch(digest_db& db, db_handle_ptr& h, const digest& d, datum& value) {
  rollback_result undone = journal_rollback(db.paths);
  if (undone != rollback_result::nothing) {
    return undone == rollback_result::undone ? hitch::repaired : hitch::unavailable;
  }
  data_state state = check_data(db.paths);
  if (state == data_state::missing) {
    state = create_db(db.paths) ? data_state::sound : data_state::unreadable;
  }
  if (state == data_state::sound) state = open_for_writing(db.paths, h);
  if (state == data_state::damaged) return put_aside(db, h);
  if (state != data_state::sound) return hitch::unavailable;
  return fetch(*h, d, value) ? hitch::none : put_aside(db, h);
}

}  // namespace

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

digest_db digest_db_at(const std::string& path) {
  digest_db db;
  db.paths = db_paths_of(path, data_suffix());
  return db;
}

seen_result digest_seen(digest_db& db, const digest& d, size_key key) {
  {
    call_lock shared(db, LOCK_SH);
    if (shared.result != hitch::none) return as<seen_result>(shared.result);
    lookup_result found = lookup_read_only(db.paths, d, key);
    if (found == lookup_result::seen) return seen_result::seen;
    if (found == lookup_result::not_seen) return seen_result::not_seen;
    // Without the lock, a store may be under way: what looks odd is not acted on.
    if (!shared.held) {
      return found == lookup_result::doubtful ? seen_result::not_seen : seen_result::unavailable;
    }
  }
  // First use, a write to undo or a database to check: the writer's way.
  call_lock lock(db, LOCK_EX);
  if (lock.result != hitch::none) return as<seen_result>(lock.result);
  db_handle_ptr h;
  datum value;
  if (hitch r = open_and_fetch(db, h, d, value); r != hitch::none) return as<seen_result>(r);
  // The fetched bytes are the library's until the close; they are read first.
  return holds(value, key) ? seen_result::seen : seen_result::not_seen;
}

add_result digest_add(digest_db& db, const digest& d, size_key key) {
  call_lock lock(db, LOCK_EX);
  if (lock.result != hitch::none) return as<add_result>(lock.result);
  db_handle_ptr h;
  datum old;
  if (hitch r = open_and_fetch(db, h, d, old); r != hitch::none) return as<add_result>(r);
  // Another process may have recorded the pair since this one looked.
  if (holds(old, key)) return add_result::added_before;
  std::size_t kept = old.dptr == nullptr || old.dsize < 0
                         ? 0
                         : static_cast<std::size_t>(old.dsize) / sizeof key * sizeof key;
  std::vector<char> value(kept + sizeof key);
  if (kept != 0) std::memcpy(value.data(), old.dptr, kept);
  std::memcpy(value.data() + kept, &key, sizeof key);
  datum v{value.data(), static_cast<int>(value.size())};
  store_result stored = store_with_room(db.paths, h, key_of(d), v, old.dptr != nullptr);
  if (stored == store_result::damaged) return as<add_result>(put_aside(db, h));
  return stored == store_result::stored ? add_result::added : add_result::refused;
}

// The shared lock is let go before the exclusive one is taken, as flock
// would do anyway: what another run records meanwhile, the append finds.
add_result digest_record(digest_db& db, const digest& d, size_key key) {
  {
    call_lock shared(db, LOCK_SH);
    if (shared.result != hitch::none) return as<add_result>(shared.result);
    if (lookup_read_only(db.paths, d, key) == lookup_result::seen) return add_result::added_before;
  }
  return digest_add(db, d, key);
}
