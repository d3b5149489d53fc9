// SPDX-License-Identifier: GPL-3.0-or-later
// The first use, a damaged database set aside, and the free room. A new
// database is built apart and moved into place whole, so that a creation that
// fails or is killed part way leaves nothing a later run cannot use.
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>

#include "store/file.h"
#include "store/internal.h"
#include "store/paths.h"

namespace {

// Moves each of the database's files from `from` to `to` (either less the
// suffix), skipping one the library did not make. The data file last: while
// it is there, a database is there.
bool move_db(const std::string& from, const std::string& to) {
  for (const char* suffix : {".journal", ".dir", data_suffix()}) {
    if (rename((from + suffix).c_str(), (to + suffix).c_str()) != 0 && errno != ENOENT)
      return false;
  }
  return true;
}

// Creates the first free "<path>.damaged-N" and names it in `dir`.
bool make_aside_dir(const db_paths& p, std::string& dir) {
  for (int n = 1; n < 10000; ++n) {
    dir = aside_dir(p, n);
    if (mkdir(dir.c_str(), 0700) == 0) return true;
    if (errno != EEXIST) return false;
  }
  return false;
}

// Returns true when the database `staged` opens and holds `records`: a
// library whose close cannot report a failed write (the 4.4BSD one) may have
// left it unreadable, and it must not be moved into place.
bool reads_back(const std::string& staged, const record_map& records) {
  DBM* db = dbm_open(const_cast<char*>(staged.c_str()), O_RDONLY, 0);
  bool ok = db != nullptr;
  for (auto it = records.begin(); ok && it != records.end(); ++it) {
    datum k{const_cast<char*>(it->first.data()), static_cast<int>(it->first.size())};
    datum v = dbm_fetch(db, k);
    ok = v.dptr != nullptr && static_cast<std::size_t>(v.dsize) == it->second.size() &&
         std::memcmp(v.dptr, it->second.data(), it->second.size()) == 0;
  }
  if (db != nullptr) dbm_close(db);
  if (!ok && errno == 0) errno = EIO;
  return ok;
}

}  // namespace

// GDBM's largest growth step, measured up to 2,000,000 records with
// `bench/ndbm_growth 2000000` (in a scratch directory on tmpfs): at most
// 12 KiB plus 0.15% of the file (12 KiB at 28 KiB, 20 KiB at 5.7 MB, 264 KiB
// at 181 MB); the 4.4BSD hash grows by at most 8 KiB a store (up to 300,000
// records and 30 MB). More than four times GDBM's, 64 KiB plus 1/128 of the
// file, is the room allocated ahead, and allocated again once less than half
// of it is left; a 1 MiB file system still holds some 10,000 records, and
// creation asks for the same 64 KiB.
off_t room_needed(off_t size) {
  return (off_t{64} << 10) + size / 128;
}

bool room_free(int fd, off_t size, off_t need) {
  struct statvfs vfs;
  if (fstatvfs(fd, &vfs) != 0) return false;
  // Root may write the blocks the file system keeps back from users too.
  auto blocks = static_cast<unsigned long long>(geteuid() == 0 ? vfs.f_bfree : vfs.f_bavail);
  if (blocks * vfs.f_frsize < static_cast<unsigned long long>(need)) return errno = ENOSPC, false;
  return size_limit_allows(size + need);
}

bool size_limit_allows(off_t end) {
  // Growing past the limit would kill the process with SIGXFSZ.
  struct rlimit lim;
  if (getrlimit(RLIMIT_FSIZE, &lim) == 0 && lim.rlim_cur != RLIM_INFINITY &&
      lim.rlim_cur < static_cast<rlim_t>(end))
    return errno = EFBIG, false;
  return true;
}

bool create_db(const db_paths& p, const record_map& records) {
  fd_holder dir(open(p.dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  // GDBM's file takes 80 to 95 bytes a record (300,000 in 24 MB): 128 are
  // counted, so that a salvage is refused rather than cut short by a full
  // disk or the file size limit.
  off_t size = static_cast<off_t>(records.size()) * 128;
  off_t need = size + room_needed(size);
  if (dir.fd < 0 || !room_free(dir.fd, 0, need)) return false;
  std::error_code ec;
  const std::string stage = stage_dir(p);
  std::filesystem::remove_all(stage, ec);  // with what a creation that died left there
  if (mkdir(stage.c_str(), 0700) != 0) return false;
  const std::string staged = moved_to(p, stage);
  DBM* db = dbm_open(const_cast<char*>(staged.c_str()), O_RDWR | O_CREAT, 0600);
  bool ok = db != nullptr;
  for (auto it = records.begin(); ok && it != records.end(); ++it) {
    datum k{const_cast<char*>(it->first.data()), static_cast<int>(it->first.size())};
    datum v{const_cast<char*>(it->second.data()), static_cast<int>(it->second.size())};
    ok = dbm_store(db, k, v, DBM_REPLACE) == 0;
  }
  if (db != nullptr) dbm_close(db);
  ok = ok && durable_after_close(staged + data_suffix()) && reads_back(staged, records) &&
       move_db(staged, p.db) && fsync(dir.fd) == 0;
  errno_keeper keep;
  std::filesystem::remove_all(stage, ec);
  return ok;
}

bool set_aside(const db_paths& p, std::string& to) {
  if (!make_aside_dir(p, to) || !move_db(p.db, moved_to(p, to)) || !sync_dir(to) ||
      !sync_dir(p.dir))
    return false;
  record_map records;
  salvage(moved_to(p, to) + data_suffix(), records);
  return create_db(p, records);
}
