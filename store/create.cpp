// SPDX-License-Identifier: GPL-3.0-or-later
// A new database (on first use, or holding what a damaged one kept) built in
// "<path>.new/" and moved into place whole, so that a creation that fails or
// is killed part way leaves nothing a later run cannot use; and the room
// check every write makes first.
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <vector>

#include "store/internal.h"

namespace fs = std::filesystem;

namespace {

// Moves every file of a database built in the staging directory into `parent`.
bool move_staged(const fs::path& parent) {
  std::error_code ec;
  std::vector<fs::path> files;
  // increment(ec), not ++, which would throw on a failed read.
  for (fs::directory_iterator it(paths().stage, ec), end; !ec && it != end; it.increment(ec)) {
    files.push_back(it->path());
  }
  // The data file last: until it is there, the database is missing and the
  // next creation starts again.
  const fs::path data = fs::path(paths().data).filename();
  std::stable_partition(files.begin(), files.end(),
                        [&](const fs::path& f) { return f.filename() != data; });
  for (const fs::path& f : files) {
    if (rename(f.c_str(), (parent / f.filename()).c_str()) != 0) return false;
  }
  return !ec && !files.empty();
}

// Returns true when the database `staged` opens and holds `records`: a
// library whose close cannot report a failed write (the 4.4BSD one) may have
// left it unreadable, and it must not be moved into place.
bool reads_back(const fs::path& staged, const record_map& records) {
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

// Removes the staging directory and whatever a creation that died left in it.
void clear_stage() {
  std::error_code ec;
  fs::remove_all(paths().stage, ec);
}

}  // namespace

bool room_for(int fd, off_t size, off_t need) {
  struct statvfs vfs;
  if (fstatvfs(fd, &vfs) != 0) return false;
  // Root may write the blocks the file system keeps back from users too.
  auto blocks = geteuid() == 0 ? vfs.f_bfree : vfs.f_bavail;
  unsigned long long avail =
      static_cast<unsigned long long>(blocks) * static_cast<unsigned long long>(vfs.f_frsize);
  if (avail < static_cast<unsigned long long>(need)) {
    errno = ENOSPC;
    return false;
  }
  return size_limit_allows(size + need);
}

bool size_limit_allows(off_t end) {
  // Growing past the limit would kill the process with SIGXFSZ.
  struct rlimit lim;
  if (getrlimit(RLIMIT_FSIZE, &lim) == 0 && lim.rlim_cur != RLIM_INFINITY &&
      lim.rlim_cur < static_cast<rlim_t>(end)) {
    errno = EFBIG;
    return false;
  }
  return true;
}

bool sync_dir(const std::string& dir) {
  fd_holder d(open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  return d.fd >= 0 && fsync(d.fd) == 0;
}

bool create_db(const record_map& records) {
  const fs::path parent = paths().dir;
  fd_holder dir(open(parent.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  off_t need =
      room_needed(static_cast<off_t>(records.size()) * 64);  // GDBM: about 60 bytes a record
  if (dir.fd < 0 || !room_for(dir.fd, 0, need)) return false;
  clear_stage();
  if (mkdir(paths().stage.c_str(), 0700) != 0) return false;
  fs::path staged = fs::path(paths().stage) / fs::path(paths().db).filename();
  DBM* db = dbm_open(const_cast<char*>(staged.c_str()), O_RDWR | O_CREAT, 0600);
  bool ok = db != nullptr;
  for (auto it = records.begin(); ok && it != records.end(); ++it) {
    datum k{const_cast<char*>(it->first.data()), static_cast<int>(it->first.size())};
    datum v{const_cast<char*>(it->second.data()), static_cast<int>(it->second.size())};
    ok = dbm_store(db, k, v, DBM_REPLACE) == 0;
  }
  if (db != nullptr) dbm_close(db);
  ok = ok && durable_after_close(staged.string() + data_suffix()) && reads_back(staged, records) &&
       move_staged(parent) && fsync(dir.fd) == 0;
  int saved = errno;
  clear_stage();
  errno = saved;
  return ok;
}
