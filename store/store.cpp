#include "store/store.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <vector>

extern "C" {
#include <ndbm.h>
}

#ifndef VELORAND_DB_PATH
#error "VELORAND_DB_PATH must name the database"
#endif

namespace {

constexpr char kDbPath[] = VELORAND_DB_PATH;
constexpr char kLockPath[] = VELORAND_DB_PATH ".lock";

// GDBM grows its file by a few blocks per store, except when its hash
// directory doubles: then it writes a new directory of twice the size.
// Measured with bench/gdbm_growth up to 2,000,000 records: 12 KiB at most
// below 5 MB, then never more than 0.18% of the file's size (270 KiB at
// 181 MB). An append goes ahead only with 1 MiB plus 1/64 of the file's size
// free, so a store never meets a full disk part way through.
constexpr unsigned long long kFixedRoom = 1ull << 20;
constexpr unsigned long long kRoomDivisor = 64;

// Holds an exclusive lock on the lock file from construction to destruction.
struct db_lock {
  int fd = -1;
  db_lock() {
    // flock needs no write permission; a user who may read the lock may take it.
    fd = open(kLockPath, O_RDONLY | O_CREAT | O_CLOEXEC, 0600);
    if (fd < 0) return;
    while (flock(fd, LOCK_EX) != 0) {
      if (errno == EINTR) continue;
      int saved = errno;
      close(fd);
      fd = -1;
      errno = saved;
      return;
    }
  }
  ~db_lock() {
    if (fd < 0) return;
    int saved = errno;
    close(fd);  // closing releases the lock
    errno = saved;
  }
  db_lock(const db_lock&) = delete;
  db_lock& operator=(const db_lock&) = delete;
};

// Holds the database open from construction to destruction.
struct db_handle {
  DBM* db;
  db_handle() : db(dbm_open(const_cast<char*>(kDbPath), O_RDWR | O_CREAT, 0600)) {}
  ~db_handle() {
    if (db == nullptr) return;
    int saved = errno;
    dbm_close(db);
    errno = saved;
  }
  db_handle(const db_handle&) = delete;
  db_handle& operator=(const db_handle&) = delete;
};

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

// The descriptor of the file that holds the records.
int data_fd(DBM* db) {
#if defined(GDBM_VERSION_MAJOR)
  return dbm_pagfno(db);
#else
  return dbm_dirfno(db);  // the BSD library keeps everything in one file
#endif
}

// Returns true when the database's file system, and the process's file size
// limit, leave room for the library's largest growth step. A write that fails
// part way leaves the library's file unreadable, so it is never attempted.
bool room_to_grow(DBM* db) {
  int fd = data_fd(db);
  struct stat st;
  struct statvfs vfs;
  struct rlimit lim;
  if (fd < 0 || fstat(fd, &st) != 0 || fstatvfs(fd, &vfs) != 0) return false;
  unsigned long long size = static_cast<unsigned long long>(st.st_size);
  unsigned long long need = kFixedRoom + size / kRoomDivisor;
  unsigned long long avail =
      static_cast<unsigned long long>(vfs.f_bavail) * static_cast<unsigned long long>(vfs.f_frsize);
  if (avail < need) {
    errno = ENOSPC;
    return false;
  }
  if (getrlimit(RLIMIT_FSIZE, &lim) == 0 && lim.rlim_cur != RLIM_INFINITY &&
      lim.rlim_cur < size + need) {
    errno = EFBIG;
    return false;
  }
  return true;
}

}  // namespace

const char* digest_db_path() {
  return kDbPath;
}

int digest_seen(const digest& d, size_key key) {
  db_lock lock;
  if (lock.fd < 0) return -1;
  db_handle h;
  if (h.db == nullptr) return -1;
  // The fetched bytes are the library's until the close; they are read first.
  return holds(dbm_fetch(h.db, key_of(d)), key) ? 1 : 0;
}

int digest_add(const digest& d, size_key key) {
  db_lock lock;
  if (lock.fd < 0) return -1;
  db_handle h;
  if (h.db == nullptr) return -1;
  datum old = dbm_fetch(h.db, key_of(d));
  // Another process may have recorded the pair since this one looked.
  if (holds(old, key)) return 0;
  std::size_t kept = old.dptr == nullptr || old.dsize < 0
                         ? 0
                         : static_cast<std::size_t>(old.dsize) / sizeof key * sizeof key;
  std::vector<char> value(kept + sizeof key);
  if (kept != 0) std::memcpy(value.data(), old.dptr, kept);
  std::memcpy(value.data() + kept, &key, sizeof key);
  if (!room_to_grow(h.db)) return 1;
  datum v{value.data(), static_cast<int>(value.size())};
  if (dbm_store(h.db, key_of(d), v, DBM_REPLACE) != 0) return 1;
  return 0;
}
