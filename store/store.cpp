// SPDX-License-Identifier: GPL-3.0-or-later
// The three calls and their lock. Job-control stops wait while the lock is
// held, since a run stopped holding it would stall every other run. Its file
// is its owner's alone (mode 0600), whatever was done to the database's other
// files: a user who could open it could hold it as long as they liked.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <utility>
#include <vector>

#include "store/file.h"
#include "store/internal.h"
#include "store/paths.h"

namespace {

constexpr int kPatience = 2;  // seconds a call waits for another run's lock before it says so

void wake_up(int) {}

// Takes `op` on the lock `fd`, waiting for at most kPatience, interrupted by
// an alarm, which a signal mask inherited from the caller must not hold back.
bool take(int fd, int op) {
  if (flock(fd, op | LOCK_NB) == 0) return true;
  if (errno != EWOULDBLOCK) return false;
  struct sigaction wake = {}, old = {};
  wake.sa_handler = wake_up;  // no SA_RESTART: the alarm ends the wait with EINTR
  sigemptyset(&wake.sa_mask);
  sigset_t alarms, mask;
  sigemptyset(&alarms);
  sigaddset(&alarms, SIGALRM);
  sigaction(SIGALRM, &wake, &old);
  sigprocmask(SIG_UNBLOCK, &alarms, &mask);
  alarm(kPatience);
  int r = flock(fd, op);
  errno_keeper keep;
  alarm(0);
  sigprocmask(SIG_SETMASK, &mask, nullptr);
  sigaction(SIGALRM, &old, nullptr);
  if (r != 0 && keep.saved == EINTR) keep.saved = EWOULDBLOCK;
  return r == 0;
}

// Puts a new lock file of mode 0600 in place of the one open on `old`, under
// the old one's lock when it can be had at once, so that two runs do not
// both replace it; a run holding the old one open finds it replaced.
void replace_lock(int old, const std::string& path) {
  flock(old, LOCK_EX | LOCK_NB);
  std::string made = path + ".new";
  unlink(made.c_str());
  fd_holder fresh(open(made.c_str(), O_RDONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600));
  if (fresh.fd < 0 || rename(made.c_str(), path.c_str()) != 0) fchmod(old, 0600);
  flock(old, LOCK_UN);
}

// Opens the lock file of `db`, unless the record holds it open already; with
// `make`, makes a missing one, and its owner first replaces one found open
// to others.
bool open_lock(digest_db& db, bool make) {
  for (int tries = 0; db.lock.fd < 0 && tries < 2; ++tries) {
    fd_holder fd(open(db.paths.lock.c_str(), O_RDONLY | (make ? O_CREAT : 0) | O_CLOEXEC, 0600));
    struct stat st;
    if (fd.fd < 0 || fstat(fd.fd, &st) != 0) return false;
    if (make && (st.st_mode & 077) != 0 && st.st_uid == geteuid() && tries == 0) {
      replace_lock(fd.fd, db.paths.lock);
      continue;
    }
    db.lock = std::move(fd);
    db.lock_dev = st.st_dev;
    db.lock_ino = st.st_ino;
  }
  return db.lock.fd >= 0;
}

// Returns true when the directory that holds the database is there.
bool dir_there(const db_paths& p) {
  struct stat st;
  return stat(p.dir.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// Returns what keeps `op` from a lock whose file could not be opened, for
// `err`; `make` as for open_lock.
hitch unopened(digest_db& db, int err, int op, bool make) {
  // On a read-only file system nothing can be writing, and a lock that only
  // its owner may open leaves the others nothing to wait for: they read, as
  // does a lookup that may not make a missing one beside a database.
  if (op == LOCK_SH && (err == EROFS || err == EACCES)) return hitch::none;
  if (op == LOCK_SH && err == ENOENT && !make && dir_there(db.paths)) return hitch::none;
  // The caller says what the directory's own failures mean (its errno);
  // anything else but another user's lock keeps the lock file from being made.
  struct stat st;
  bool directory =
      err == ENOENT || err == ENOTDIR || err == EROFS || err == ENOSPC || err == EDQUOT;
  bool others = err == EACCES && lstat(db.paths.lock.c_str(), &st) == 0;
  bool cannot_make = !directory && !others;
  errno = err;
  if (!cannot_make || std::exchange(db.no_lock_told, true)) return hitch::unavailable;
  return hitch::no_lock;  // said once
}

// Takes `op` on the lock of `db`, setting `held`; a lookup goes on without it
// on a read-only file system, or with a lock file this user may not open.
hitch lock_call(digest_db& db, int op, bool& held, bool make) {
  for (int tries = 0; tries < 3; ++tries, db.lock.reset()) {
    if (!open_lock(db, make)) return unopened(db, errno, op, make);
    if (!take(db.lock.fd, op)) return errno == EWOULDBLOCK ? hitch::busy : hitch::unavailable;
    // Its owner may have replaced the file, or someone removed it, since it was opened.
    struct stat st;
    held = stat(db.paths.lock.c_str(), &st) == 0 && st.st_ino == db.lock_ino &&
           st.st_dev == db.lock_dev;
    if (held) return hitch::none;
    flock(db.lock.fd, LOCK_UN);
  }
  return hitch::unavailable;
}

// Holds the lock of `db` (LOCK_SH or LOCK_EX), with job-control stops held
// back, from construction to destruction; `result` as lock_call returns it.
struct call_lock {
  digest_db& db;
  sigset_t old_mask;
  hitch result = hitch::unavailable;
  bool held = false;
  call_lock(digest_db& d, int op, bool make = true) : db(d) {
    sigset_t stops;
    sigemptyset(&stops);
    for (int sig : {SIGTSTP, SIGTTIN, SIGTTOU}) sigaddset(&stops, sig);
    sigprocmask(SIG_BLOCK, &stops, &old_mask);
    result = lock_call(db, op, held, make);
  }
  ~call_lock() {
    errno_keeper keep;
    if (held) flock(db.lock.fd, LOCK_UN);  // the lock first, then stops
    sigprocmask(SIG_SETMASK, &old_mask, nullptr);
  }
};

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
  if (stat(p.data.c_str(), &st) != 0)
    return errno == ENOENT ? data_state::missing : data_state::unreadable;
  return S_ISREG(st.st_mode) ? data_state::sound : data_state::damaged;
}

// Opens the database for reading and writing once it is sound, and fetches
// the record for `d` into `value`: undoes a store cut short, sets aside a
// damaged database and creates a missing one. Returns hitch::none with `h`
// open. REQUIRES: the exclusive lock is held.
hitch open_and_fetch(digest_db& db, db_handle_ptr& h, const digest& d, datum& value) {
  if (hitch r = journal_rollback(db.paths); r != hitch::none) return r;
  data_state state = check_data(db.paths);
  if (state == data_state::missing)
    state = create_db(db.paths) ? data_state::sound : data_state::unreadable;
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
    if (!shared.held)
      return found == lookup_result::doubtful ? seen_result::not_seen : seen_result::unavailable;
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

seen_result digest_peek(digest_db& db, const digest& d, size_key key) {
  call_lock shared(db, LOCK_SH, false);
  if (shared.result != hitch::none) return as<seen_result>(shared.result);
  lookup_result found = lookup_read_only(db.paths, d, key);
  if (found == lookup_result::seen) return seen_result::seen;
  if (found == lookup_result::not_seen) return seen_result::not_seen;
  // No database yet: nothing recorded. Without the lock a store may be under
  // way, as for digest_seen.
  if (found == lookup_result::unopened && errno == ENOENT) return seen_result::not_seen;
  if (found == lookup_result::doubtful && !shared.held) return seen_result::not_seen;
  return seen_result::unavailable;
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
