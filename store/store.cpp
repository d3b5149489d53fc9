// SPDX-License-Identifier: GPL-3.0-or-later
// The calls and their lock. Job-control stops wait while the lock is held,
// since a run stopped holding it would stall every other run. Its file is its
// owner's alone (mode 0600), whatever was done to the database's other files:
// a user who could open it could hold it as long as they liked.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <ctime>
#include <iterator>
#include <map>
#include <utility>
#include <vector>

#include "store/file.h"
#include "store/internal.h"
#include "store/paths.h"

namespace {

constexpr int kPatience = 2;      // seconds a call waits for another run's lock before it says so
constexpr long kNapNs = 200'000;  // between two tries while another run holds it
constexpr long kGiveWayNs = 2'000'000;  // before the next try, once a run waited for this one
constexpr off_t kWaiting = 8;           // the lock file's byte set by a run that waits

// Returns the monotonic clock's time in nanoseconds.
long long now_ns() {
  timespec t;
  clock_gettime(CLOCK_MONOTONIC, &t);
  return t.tv_sec * 1'000'000'000LL + t.tv_nsec;
}

void nap(long ns) {
  timespec t{0, ns};
  nanosleep(&t, nullptr);
}

// Takes `op` on the lock of `k`, trying again after a short nap for at most
// kPatience: no signal is used, so a caller's alarm and signal mask are left
// as they are, and the wait is bounded whatever they hold. Tries are not
// served in turn, so a run that waits says so in the lock file, and the run
// holding the lock then naps once before it takes it again.
bool take(db_kept& k, int op) {
  if (std::exchange(k.give_way, false)) nap(kGiveWayNs);
  const long long until = now_ns() + kPatience * 1'000'000'000LL;
  bool waited = false;
  for (;;) {
    if (flock(k.lock.fd, op | LOCK_NB) == 0) break;
    if (errno != EWOULDBLOCK && errno != EINTR) return false;
    if (now_ns() >= until) return errno = EWOULDBLOCK, false;
    if (k.lock_writable) pwrite(k.lock.fd, "\1", 1, kWaiting);
    waited = true;
    nap(kNapNs);
  }
  if (waited && k.lock_writable) pwrite(k.lock.fd, "", 1, kWaiting);
  return true;
}

// Lets go of the lock of `k`, noting whether a run waited for it meanwhile.
void let_go(db_kept& k) {
  char waiting = 0;
  k.give_way = pread(k.lock.fd, &waiting, 1, kWaiting) == 1 && waiting != 0;
  flock(k.lock.fd, LOCK_UN);
}

// Returns the lock file's generation: 0 while it is empty.
std::uint64_t generation(const db_kept& k) {
  std::uint64_t g = 0;
  if (pread(k.lock.fd, &g, sizeof g, 0) != sizeof g) g = 0;
  return g;
}

// Adds one to the generation before anything is written, so that a run
// holding the database open for lookups notices the change, even one cut
// short. REQUIRES: the exclusive lock.
bool next_generation(db_kept& k) {
  std::uint64_t g = generation(k) + 1;
  if (!k.lock_writable) return errno = k.unwritable_errno, false;
  return pwrite(k.lock.fd, &g, sizeof g, 0) == sizeof g;
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

// Opens the lock file of `db`, unless the record holds it open already: with
// `make`, for writing, or else for reading, made if missing, and its owner
// first replaces one found open to others; without, for reading, if it is
// there. A new lock file makes the database be opened again for lookups.
bool open_lock(digest_db& db, bool make) {
  db_kept& k = *db.kept;
  for (int tries = 0; k.lock.fd < 0 && tries < 2; ++tries) {
    k.reader.reset();
    fd_holder fd(make ? open(db.paths.lock.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600) : -1);
    k.lock_writable = fd.fd >= 0;
    k.unwritable_errno = make ? errno : EBADF;
    if (fd.fd < 0 && (!make || errno == EACCES || errno == EROFS))
      fd =
          fd_holder(open(db.paths.lock.c_str(), O_RDONLY | (make ? O_CREAT : 0) | O_CLOEXEC, 0600));
    struct stat st;
    if (fd.fd < 0 || fstat(fd.fd, &st) != 0) return false;
    if (make && (st.st_mode & 077) != 0 && st.st_uid == geteuid() && tries == 0) {
      replace_lock(fd.fd, db.paths.lock);
      continue;
    }
    k.lock = std::move(fd);
    k.lock_dev = st.st_dev;
    k.lock_ino = st.st_ino;
  }
  return k.lock.fd >= 0;
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
  if (!cannot_make || std::exchange(db.kept->no_lock_told, true)) return hitch::unavailable;
  return hitch::no_lock;  // said once
}

// Takes `op` on the lock of `db`, setting `held`; a lookup goes on without it
// on a read-only file system, or with a lock file this user may not open.
// The exclusive lock moves the generation on, so it needs the lock file open
// for writing.
hitch lock_call(digest_db& db, int op, bool& held, bool make) {
  db_kept& k = *db.kept;
  if (op == LOCK_EX && !k.lock_writable) k.lock.reset();
  for (int tries = 0; tries < 3; ++tries, k.lock.reset()) {
    if (!open_lock(db, make)) return unopened(db, errno, op, make);
    if (!take(k, op)) return errno == EWOULDBLOCK ? hitch::busy : hitch::unavailable;
    // Its owner may have replaced the file, or someone removed it, since it was opened.
    struct stat st;
    held =
        stat(db.paths.lock.c_str(), &st) == 0 && st.st_ino == k.lock_ino && st.st_dev == k.lock_dev;
    if (held && (op == LOCK_SH || next_generation(k))) return hitch::none;
    errno_keeper keep;
    flock(k.lock.fd, LOCK_UN);
    if (held) return held = false, hitch::unavailable;
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
    if (db.kept == nullptr) db.kept.reset(new db_kept);
    result = lock_call(db, op, held, make);
  }
  ~call_lock() {
    errno_keeper keep;
    if (held) let_go(*db.kept);  // the lock first, then stops
    sigprocmask(SIG_SETMASK, &old_mask, nullptr);
  }
};

template <typename Result>
Result as(hitch h) {
  // By hitch, in its order.
  constexpr Result kAs[] = {Result::unavailable, Result::unavailable, Result::no_lock,
                            Result::busy,        Result::repaired,    Result::set_aside};
  static_assert(std::size(kAs) == static_cast<std::size_t>(hitch::set_aside) + 1);
  return kAs[static_cast<int>(h)];
}

// Returns true when `a` and `b` are the status of one file, unchanged.
bool unchanged(const struct stat& a, const struct stat& b) {
  return a.st_dev == b.st_dev && a.st_ino == b.st_ino && a.st_size == b.st_size &&
         a.st_mtim.tv_sec == b.st_mtim.tv_sec && a.st_mtim.tv_nsec == b.st_mtim.tv_nsec &&
         a.st_ctim.tv_sec == b.st_ctim.tv_sec && a.st_ctim.tv_nsec == b.st_ctim.tv_nsec;
}

// Makes the database kept open for lookups current, opening it again when
// another run may have written it since, or it was replaced: the generation
// moved, or the data file is another or changed (by a build that keeps no
// generation). Returns `not_seen` once it is open, else why it is not.
// REQUIRES: the shared lock is held.
lookup_result keep_reader(digest_db& db) {
  db_kept& k = *db.kept;
  std::uint64_t g = generation(k);
  struct stat st;
  if (stat(db.paths.data.c_str(), &st) != 0) {
    k.reader.reset();
    return lookup_result::unopened;
  }
  if (k.reader != nullptr && g == k.generation && unchanged(st, k.data_status))
    return lookup_result::not_seen;
  k.reader.reset();
  data_state opened = open_for_reading(db.paths, k.reader);
  if (opened != data_state::sound) {
    k.reader.reset();
    return opened == data_state::damaged ? lookup_result::doubtful : lookup_result::unopened;
  }
  k.generation = g;
  k.data_status = st;
  return lookup_result::not_seen;
}

// Looks the pair up through the database kept open, once keep_reader found
// it current; one that looks doubtful is opened again next time.
lookup_result kept_look_up(digest_db& db, lookup_result ready, const digest& d, size_key key) {
  if (ready != lookup_result::not_seen || db.kept->reader == nullptr) return ready;
  lookup_result found = look_up(*db.kept->reader, d, key);
  if (found == lookup_result::doubtful) db.kept->reader.reset();
  return found;
}

// Looks `key` up in the record for `d` as a call once did, the database
// opened and closed around it: for a reader without the lock.
lookup_result look_up_once(const db_paths& p, const digest& d, size_key key) {
  db_handle_ptr h;
  data_state opened = open_for_reading(p, h);
  if (opened != data_state::sound)
    return opened == data_state::damaged ? lookup_result::doubtful : lookup_result::unopened;
  return look_up(*h, d, key);
}

// Moves a damaged database aside, closing `h` first.
hitch put_aside(digest_db& db, db_handle_ptr& h) {
  h.reset();
  db.kept->reader.reset();
  return set_aside(db.paths, db.aside) ? hitch::set_aside : hitch::unavailable;
}

// Checks the data file before the library opens it, which would block on a FIFO.
data_state check_data(const db_paths& p) {
  struct stat st;
  if (stat(p.data.c_str(), &st) != 0)
    return errno == ENOENT ? data_state::missing : data_state::unreadable;
  return S_ISREG(st.st_mode) ? data_state::sound : data_state::damaged;
}

// Opens the database for reading and writing once it is sound: undoes a
// store cut short, sets aside a damaged database and creates a missing one.
// Returns hitch::none with `h` open. REQUIRES: the exclusive lock is held.
hitch open_writer(digest_db& db, db_handle_ptr& h) {
  if (hitch r = journal_rollback(db.paths); r != hitch::none) return r;
  data_state state = check_data(db.paths);
  if (state == data_state::missing)
    state = create_db(db.paths) ? data_state::sound : data_state::unreadable;
  if (state == data_state::sound) state = open_for_writing(db.paths, h);
  if (state == data_state::damaged) return put_aside(db, h);
  return state == data_state::sound ? hitch::none : hitch::unavailable;
}

// Returns the whole entries of `value` followed by `key`.
std::string appended(const std::string& value, size_key key) {
  std::string v = value.substr(0, value.size() / sizeof key * sizeof key);
  v.append(reinterpret_cast<const char*>(&key), sizeof key);
  return v;
}

// Sets the result of each pair of `batch` named in `which` to `r`; returns `r`.
add_result all_of(std::vector<pair_to_record>& batch, const std::vector<std::size_t>& which,
                  add_result r) {
  for (std::size_t i : which) batch[i].result = r;
  return r;
}

// Stores the pairs of `batch` named in `fresh`, which the lookups did not
// find, in one exclusive section: each is looked for again (another run may
// have recorded it since), and a pair met earlier in the batch shares the
// fate of that one.
add_result commit(digest_db& db, std::vector<pair_to_record>& batch,
                  const std::vector<std::size_t>& fresh) {
  call_lock lock(db, LOCK_EX);
  if (lock.result != hitch::none) return all_of(batch, fresh, as<add_result>(lock.result));
  db_handle_ptr h;
  if (hitch r = open_writer(db, h); r != hitch::none)
    return all_of(batch, fresh, as<add_result>(r));
  std::vector<record_store> stores;
  std::map<std::string, std::size_t> store_of;            // by key: its store
  std::vector<std::size_t> by(batch.size(), SIZE_MAX);    // by pair: the store adding it
  std::vector<std::size_t> twin(batch.size(), SIZE_MAX);  // by pair: the earlier pair it repeats
  std::map<std::pair<std::string, size_key>, std::size_t> first;
  for (std::size_t i : fresh) {
    std::string key(batch[i].d.begin(), batch[i].d.end());
    if (auto t = first.find({key, batch[i].key}); t != first.end()) {
      twin[i] = t->second;
      continue;
    }
    first[{key, batch[i].key}] = i;
    auto it = store_of.find(key);
    if (it == store_of.end()) {
      datum old;
      if (!fetch(*h, batch[i].d, old))
        return all_of(batch, fresh, as<add_result>(put_aside(db, h)));
      // The fetched bytes are the library's until the next fetch; copied first.
      std::string value = old.dptr == nullptr || old.dsize < 0
                              ? std::string()
                              : std::string(static_cast<const char*>(old.dptr),
                                            static_cast<std::size_t>(old.dsize));
      it = store_of.emplace(key, stores.size()).first;
      stores.push_back({key, value, old.dptr != nullptr, store_result::refused});
    }
    record_store& s = stores[it->second];
    if (holds({s.value.data(), static_cast<int>(s.value.size())}, batch[i].key)) {
      batch[i].result = add_result::added_before;  // by another run since the lookup
      continue;
    }
    s.value = appended(s.value, batch[i].key);
    by[i] = it->second;
  }
  // Stored are only the records that gain a key.
  std::vector<record_store> changed;
  std::vector<std::size_t> slot(stores.size(), SIZE_MAX);
  for (std::size_t i : fresh) {
    if (by[i] == SIZE_MAX || slot[by[i]] != SIZE_MAX) continue;
    slot[by[i]] = changed.size();
    changed.push_back(std::move(stores[by[i]]));
  }
  if (!changed.empty()) store_all(db.paths, h, changed);
  for (const record_store& s : changed) {
    if (s.result == store_result::damaged)
      return all_of(batch, fresh, as<add_result>(put_aside(db, h)));
  }
  for (std::size_t i : fresh) {
    if (by[i] != SIZE_MAX)
      batch[i].result = changed[slot[by[i]]].result == store_result::stored ? add_result::added
                                                                            : add_result::refused;
  }
  for (std::size_t i : fresh) {
    if (twin[i] == SIZE_MAX) continue;
    add_result was = batch[twin[i]].result;
    batch[i].result = was == add_result::added ? add_result::added_before : was;
  }
  return add_result::added;
}

}  // namespace

void db_kept_closer::operator()(db_kept* k) const {
  delete k;
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

digest_db digest_db_at(const std::string& path) {
  digest_db db;
  db.paths = db_paths_of(path, data_suffix());
  db.kept.reset(new db_kept);
  return db;
}

seen_result digest_seen(digest_db& db, const digest& d, size_key key) {
  {
    call_lock shared(db, LOCK_SH);
    if (shared.result != hitch::none) return as<seen_result>(shared.result);
    lookup_result found =
        shared.held ? kept_look_up(db, keep_reader(db), d, key) : look_up_once(db.paths, d, key);
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
  if (hitch r = open_writer(db, h); r != hitch::none) return as<seen_result>(r);
  if (!fetch(*h, d, value)) return as<seen_result>(put_aside(db, h));
  // The fetched bytes are the library's until the close; they are read first.
  return holds(value, key) ? seen_result::seen : seen_result::not_seen;
}

seen_result digest_peek(digest_db& db, const digest& d, size_key key) {
  call_lock shared(db, LOCK_SH, false);
  if (shared.result != hitch::none) return as<seen_result>(shared.result);
  lookup_result found =
      shared.held ? kept_look_up(db, keep_reader(db), d, key) : look_up_once(db.paths, d, key);
  if (found == lookup_result::seen) return seen_result::seen;
  if (found == lookup_result::not_seen) return seen_result::not_seen;
  // No database yet: nothing recorded. Without the lock a store may be under
  // way, as for digest_seen.
  if (found == lookup_result::unopened && errno == ENOENT) return seen_result::not_seen;
  if (found == lookup_result::doubtful && !shared.held) return seen_result::not_seen;
  return seen_result::unavailable;
}

add_result digest_add(digest_db& db, const digest& d, size_key key) {
  std::vector<pair_to_record> one{{d, key}};
  add_result r = commit(db, one, {0});
  return r == add_result::added ? one[0].result : r;
}

add_result digest_record(digest_db& db, const digest& d, size_key key) {
  std::vector<pair_to_record> one{{d, key}};
  add_result r = digest_record_batch(db, one);
  return r == add_result::added ? one[0].result : r;
}

// The shared lock is let go before the exclusive one is taken, as flock
// would do anyway: what another run records meanwhile, the commit finds.
add_result digest_record_batch(digest_db& db, std::vector<pair_to_record>& batch) {
  std::vector<std::size_t> todo, fresh;
  for (std::size_t i = 0; i < batch.size(); ++i) {
    add_result r = batch[i].result;
    if (r != add_result::added && r != add_result::added_before) todo.push_back(i);
  }
  {
    call_lock shared(db, LOCK_SH);
    if (shared.result != hitch::none) return all_of(batch, todo, as<add_result>(shared.result));
    lookup_result ready = shared.held ? keep_reader(db) : lookup_result::unopened;
    for (std::size_t i : todo) {
      lookup_result found = shared.held ? kept_look_up(db, ready, batch[i].d, batch[i].key)
                                        : look_up_once(db.paths, batch[i].d, batch[i].key);
      if (found == lookup_result::seen) {
        batch[i].result = add_result::added_before;
      } else {
        fresh.push_back(i);
      }
    }
  }
  if (fresh.empty()) return add_result::added;
  if (stores_whole_batches()) return commit(db, batch, fresh);
  // One by one, each in an exclusive section of its own, as single appends:
  // one section for all would keep other runs waiting for all their syncs.
  for (std::size_t n = 0; n < fresh.size(); ++n) {
    add_result r = commit(db, batch, {fresh[n]});
    if (r != add_result::added)
      return all_of(batch,
                    std::vector<std::size_t>(fresh.begin() + static_cast<long>(n), fresh.end()), r);
  }
  return add_result::added;
}
