#include "store/store.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <vector>

extern "C" {
#include <ndbm.h>
}

#ifndef VELORAND_DB_PATH
#error "VELORAND_DB_PATH must name the database"
#endif

namespace {

namespace fs = std::filesystem;

constexpr char kDbPath[] = VELORAND_DB_PATH;
constexpr char kLockPath[] = VELORAND_DB_PATH ".lock";
// The file holding the records: its absence alone means there is no database.
#if defined(GDBM_VERSION_MAJOR)
constexpr char kDataPath[] = VELORAND_DB_PATH ".pag";
#else
constexpr char kDataPath[] = VELORAND_DB_PATH ".db";
#endif
// How long a call waits for another run's lock before it says so.
constexpr int kPatience = 2;
// A new database is built here and moved into place only once complete.
constexpr char kStageDir[] = VELORAND_DB_PATH ".new";

// The library grows its file by a few blocks per store, except when its hash
// directory doubles. Measured with bench/ndbm_growth up to 2,000,000 records:
// at most 12 KiB below 5 MB, then never more than 0.18% of the file (270 KiB
// at 181 MB). A store goes ahead only with four times that bound free,
// 64 KiB plus 1/128 of the file, so a 1 MiB file system still holds some
// 10,000 records, and creation asks for the same 64 KiB.
constexpr off_t kRoomFloor = off_t{64} << 10;
#if defined(GDBM_VERSION_MAJOR)
constexpr off_t kRoomDivisor = 128;
#else
// Berkeley DB's hash (the BSDs' ndbm too) doubles its file's length at once
// (bench/ndbm_growth): an append asks for room for a doubling.
constexpr off_t kRoomDivisor = 1;
#endif

off_t room_needed(off_t size) {
  return kRoomFloor + size / kRoomDivisor;
}

// Closes a descriptor on destruction, keeping errno.
struct fd_holder {
  int fd = -1;
  explicit fd_holder(int f) : fd(f) {}
  ~fd_holder() { reset(); }
  void reset() {
    if (fd < 0) return;
    int saved = errno;
    close(fd);
    fd = -1;
    errno = saved;
  }
  fd_holder(const fd_holder&) = delete;
  fd_holder& operator=(const fd_holder&) = delete;
};

// While the lock is held, job-control stops wait: a run stopped holding it
// would stall every other run for as long as it stays stopped.
sigset_t stop_signals() {
  sigset_t set;
  sigemptyset(&set);
  for (int sig : {SIGTSTP, SIGTTIN, SIGTTOU}) sigaddset(&set, sig);
  return set;
}

void wake_up(int) {}

// Waits for `op` on the lock for at most kPatience, interrupted by an alarm.
int flock_for_a_while(int fd, int op) {
  struct sigaction wake = {}, old = {};
  wake.sa_handler = wake_up;  // no SA_RESTART: the alarm ends the wait with EINTR
  sigemptyset(&wake.sa_mask);
  itimerval patience{}, none{};
  patience.it_value.tv_sec = kPatience;
  sigaction(SIGALRM, &wake, &old);
  setitimer(ITIMER_REAL, &patience, nullptr);
  int r = flock(fd, op);
  int saved = errno;
  setitimer(ITIMER_REAL, &none, nullptr);
  sigaction(SIGALRM, &old, nullptr);
  errno = r != 0 && saved == EINTR ? EWOULDBLOCK : saved;
  return r;
}

// Holds the lock (`op`: LOCK_SH or LOCK_EX) from construction to destruction;
// after kPatience of waiting gives up with errno EWOULDBLOCK.
struct db_lock {
  sigset_t old_mask;
  fd_holder file;
  explicit db_lock(int op) : file(-1) {
    sigset_t stops = stop_signals();
    sigprocmask(SIG_BLOCK, &stops, &old_mask);
    // flock needs no write permission; a user who may read the lock may take it.
    file.fd = open(kLockPath, O_RDONLY | O_CREAT | O_CLOEXEC, 0600);
    if (file.fd < 0 || flock(file.fd, op | LOCK_NB) == 0) return;
    if (errno == EWOULDBLOCK && flock_for_a_while(file.fd, op) == 0) return;
    file.reset();
  }
  ~db_lock() {
    file.reset();  // the lock goes first, then stops may act
    sigprocmask(SIG_SETMASK, &old_mask, nullptr);
  }
  bool held() const { return file.fd >= 0; }
  // Returns the code for a lock not taken.
  static int failure() { return errno == EWOULDBLOCK ? kDbBusy : kDbUnavailable; }
};

// Holds the database open from construction (or open_db) to destruction.
struct db_handle {
  DBM* db = nullptr;
  ~db_handle() { reset(); }
  void reset() {
    if (db == nullptr) return;
    int saved = errno;
    dbm_close(db);
    db = nullptr;
    errno = saved;
  }
};

// Returns true when the file system holding `fd`, and the process's file
// size limit, leave `need` bytes beyond `size`; sets errno otherwise.
bool room_for(int fd, off_t size, off_t need) {
  struct statvfs vfs;
  if (fstatvfs(fd, &vfs) != 0) return false;
  unsigned long long avail =
      static_cast<unsigned long long>(vfs.f_bavail) * static_cast<unsigned long long>(vfs.f_frsize);
  if (avail < static_cast<unsigned long long>(need)) {
    errno = ENOSPC;
    return false;
  }
  // Growing past the limit would kill the process with SIGXFSZ.
  struct rlimit lim;
  if (getrlimit(RLIMIT_FSIZE, &lim) == 0 && lim.rlim_cur != RLIM_INFINITY &&
      lim.rlim_cur < static_cast<rlim_t>(size + need)) {
    errno = EFBIG;
    return false;
  }
  return true;
}

// Moves every file of a database built in the staging directory into `parent`.
bool move_staged(const fs::path& parent) {
  std::error_code ec;
  std::vector<fs::path> files;
  // increment(ec), not ++, which would throw on a failed read.
  for (fs::directory_iterator it(kStageDir, ec), end; !ec && it != end; it.increment(ec)) {
    files.push_back(it->path());
  }
  // The data file last: until it is there, the database is missing and the
  // next creation starts again.
  const fs::path data = fs::path(kDataPath).filename();
  std::stable_partition(files.begin(), files.end(),
                        [&](const fs::path& f) { return f.filename() != data; });
  for (const fs::path& f : files) {
    if (rename(f.c_str(), (parent / f.filename()).c_str()) != 0) return false;
  }
  return !ec && !files.empty();
}

// Removes the staging directory and whatever a creation that died left in it.
void clear_stage() {
  std::error_code ec;
  fs::remove_all(kStageDir, ec);
}

// Creates an empty database. It is built apart and moved into place whole,
// so a creation that fails or is killed part way leaves nothing that a later
// run cannot use. REQUIRES: the lock is held.
bool create_db() {
  fs::path parent = fs::path(kDbPath).parent_path();
  if (parent.empty()) parent = ".";
  fd_holder dir(open(parent.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (dir.fd < 0 || !room_for(dir.fd, 0, kRoomFloor)) return false;
  clear_stage();
  if (mkdir(kStageDir, 0700) != 0) return false;
  fs::path staged = fs::path(kStageDir) / fs::path(kDbPath).filename();
  DBM* db = dbm_open(const_cast<char*>(staged.c_str()), O_RDWR | O_CREAT, 0600);
  bool ok = db != nullptr;
  if (ok) dbm_close(db);
  ok = ok && move_staged(parent) && fsync(dir.fd) == 0;
  int saved = errno;
  clear_stage();
  errno = saved;
  return ok;
}

#if defined(GDBM_VERSION_MAJOR)
// The room allocated ahead of a store: twice the largest growth measured.
off_t reserve_for(off_t size) {
  return room_needed(size) / 2;
}

// GDBM extends its file by writing zeros when a store reaches past the end;
// when such a write fails, GDBM 1.23 still writes the directory and header
// that point into the space it could not write, and a bucket of records
// stored long before is lost. So the room a store may take is allocated
// before it: GDBM then finds the file long enough, makes no write of its own,
// and every change lands in allocated pages of its mapping. GDBM takes a file
// longer than its header records for one hurt by an interrupted write and
// refuses it, so afterwards the file is cut back to that length.

// Reads the end of the space GDBM's header accounts for into `end`; returns
// false for a header this code does not know.
bool header_end(int fd, off_t& end) {
  constexpr std::uint32_t kMagic64 = 0x13579acf, kNumsyncMagic64 = 0x13579ad1;
  unsigned char h[40];
  std::uint32_t magic;
  std::int64_t next;
  if (pread(fd, h, sizeof h, 0) != static_cast<ssize_t>(sizeof h)) return false;
  std::memcpy(&magic, h, sizeof magic);
  std::memcpy(&next, h + 32, sizeof next);
  end = static_cast<off_t>(next);
  return (magic == kMagic64 || magic == kNumsyncMagic64) && next > 0;
}

bool zeros_from(int fd, off_t from, off_t to) {
  char buf[4096];
  for (off_t at = from; at < to;) {
    ssize_t n = pread(fd, buf, static_cast<std::size_t>(std::min<off_t>(to - at, sizeof buf)), at);
    if (n <= 0) return false;
    if (std::any_of(buf, buf + n, [](char c) { return c != 0; })) return false;
    at += n;
  }
  return true;
}

// Cuts the file back to the length its header records. Unless `known_unused`,
// only when the rest is zeros: room reserved, or grown by GDBM, for a store
// that died before it wrote there.
void trim_to_header(int fd, bool known_unused) {
  struct stat st;
  off_t end = 0;
  if (fstat(fd, &st) != 0 || !header_end(fd, end) || end >= st.st_size) return;
  if (known_unused || zeros_from(fd, end, st.st_size)) ftruncate(fd, end);
}

void repair_overlong() {
  fd_holder data(open(kDataPath, O_RDWR | O_CLOEXEC));
  if (data.fd >= 0) trim_to_header(data.fd, false);
}
#endif

// Opens the database for reading and writing, creating it when it does not
// exist yet. REQUIRES: the lock is held.
bool open_db(db_handle& h) {
  h.db = dbm_open(const_cast<char*>(kDbPath), O_RDWR, 0600);
  // The library's errno is no proof of absence: only a missing data file is.
  if (h.db == nullptr && access(kDataPath, F_OK) != 0 && errno == ENOENT && create_db()) {
    h.db = dbm_open(const_cast<char*>(kDbPath), O_RDWR, 0600);
  }
#if defined(GDBM_VERSION_MAJOR)
  // A process that died during a store can leave its reserved room behind,
  // which GDBM takes for damage; a database still damaged once that is cut
  // back would answer every lookup "not recorded", so it is not used.
  if (h.db != nullptr && gdbm_needs_recovery(h.db->file)) {
    h.reset();
    repair_overlong();
    h.db = dbm_open(const_cast<char*>(kDbPath), O_RDWR, 0600);
    if (h.db != nullptr && gdbm_needs_recovery(h.db->file)) {
      h.reset();
      errno = EIO;
    }
  }
#endif
  return h.db != nullptr;
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

#if defined(GDBM_VERSION_MAJOR)
// Returns 1 or 0 as digest_seen does, or -1 when the database cannot be read
// as it is. GDBM's own interface, reading without mapping the file, costs a
// third of what its ndbm layer does, which maps and unmaps the whole file.
int lookup_read_only(const digest& d, size_key key) {
  GDBM_FILE f =
      gdbm_open(kDataPath, 0, GDBM_READER | GDBM_NOMMAP | GDBM_NOLOCK | GDBM_CLOEXEC, 0, nullptr);
  if (f == nullptr) return kDbUnavailable;
  int found = kDbUnavailable;
  if (!gdbm_needs_recovery(f)) {
    datum value = gdbm_fetch(f, key_of(d));
    if (value.dptr != nullptr || gdbm_last_errno(f) == GDBM_ITEM_NOT_FOUND) {
      found = holds(value, key) ? kSeen : kNotSeen;
    }
    std::free(value.dptr);
  }
  int saved = errno;
  gdbm_close(f);
  errno = saved;
  return found;
}
#else
int lookup_read_only(const digest& d, size_key key) {
  DBM* db = dbm_open(const_cast<char*>(kDbPath), O_RDONLY, 0);
  if (db == nullptr) return kDbUnavailable;
  int found = holds(dbm_fetch(db, key_of(d)), key) ? kSeen : kNotSeen;
  dbm_close(db);
  return found;
}
#endif

// The descriptor of the file that holds the records.
int data_fd(DBM* db) {
#if defined(GDBM_VERSION_MAJOR)
  return dbm_pagfno(db);
#else
  return dbm_dirfno(db);  // the BSD library keeps everything in one file
#endif
}

// Stores `value` under `key` once the room the store may take is there;
// returns false, with nothing written, when it is not or the store fails.
bool store_with_room(db_handle& h, datum key, datum value) {
  int fd = data_fd(h.db);
  struct stat st;
  if (fd < 0 || fstat(fd, &st) != 0) return false;
  off_t need = room_needed(st.st_size);
  if (!room_for(fd, st.st_size, need)) return false;
#if defined(GDBM_VERSION_MAJOR)
  int err = posix_fallocate(fd, st.st_size, reserve_for(st.st_size));
  if (err != 0) {
    ftruncate(fd, st.st_size);
    errno = err;
    return false;
  }
  fd_holder data(dup(fd));  // outlives the handle, to cut the file back after the close
  bool stored = data.fd >= 0 && dbm_store(h.db, key, value, DBM_REPLACE) == 0;
  h.reset();
  if (data.fd >= 0) trim_to_header(data.fd, true);
  return stored;
#else
  return dbm_store(h.db, key, value, DBM_REPLACE) == 0;
#endif
}

}  // namespace

const char* digest_db_path() {
  return kDbPath;
}

const char* digest_lock_path() {
  return kLockPath;
}

int digest_seen(const digest& d, size_key key) {
  {
    db_lock shared(LOCK_SH);
    if (!shared.held()) return db_lock::failure();
    int found = lookup_read_only(d, key);
    if (found != kDbUnavailable) return found;
  }
  // First use, or a database to repair: the writer's way.
  db_lock lock(LOCK_EX);
  if (!lock.held()) return db_lock::failure();
  db_handle h;
  if (!open_db(h)) return kDbUnavailable;
  // The fetched bytes are the library's until the close; they are read first.
  return holds(dbm_fetch(h.db, key_of(d)), key) ? kSeen : kNotSeen;
}

int digest_add(const digest& d, size_key key) {
  db_lock lock(LOCK_EX);
  if (!lock.held()) return db_lock::failure();
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
