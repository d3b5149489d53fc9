// SPDX-License-Identifier: GPL-3.0-or-later
// A new database (on first use, or holding what a damaged one kept) built in
// "<path>.new/" and moved into place whole, so that a creation that fails or
// is killed part way leaves nothing a later run cannot use; and the check of
// the free room every write makes first.
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

#include "store/file.h"
#include "store/internal.h"
#include "store/paths.h"

namespace fs = std::filesystem;

namespace {

// Moves every file of a database built in the staging directory into place.
bool move_staged(const db_paths& p) {
  std::error_code ec;
  std::vector<fs::path> files;
  // increment(ec), not ++, which would throw on a failed read.
  for (fs::directory_iterator it(p.stage, ec), end; !ec && it != end; it.increment(ec)) {
    files.push_back(it->path());
  }
  // The data file last: until it is there, the database is missing and the
  // next creation starts again.
  const fs::path parent = p.dir, data = fs::path(p.data).filename();
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

// Removes the staging directory and whatever a creation that died left in it.
void clear_stage(const db_paths& p) {
  std::error_code ec;
  fs::remove_all(p.stage, ec);
}

}  // namespace

bool room_free(int fd, off_t size, off_t need) {
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

bool create_db(const db_paths& p, const record_map& records) {
  fd_holder dir(open(p.dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  off_t need =
      room_needed(static_cast<off_t>(records.size()) * 64);  // GDBM: about 60 bytes a record
  if (dir.fd < 0 || !room_free(dir.fd, 0, need)) return false;
  clear_stage(p);
  if (mkdir(p.stage.c_str(), 0700) != 0) return false;
  const std::string staged = moved_file(p, p.stage, "");
  DBM* db = dbm_open(const_cast<char*>(staged.c_str()), O_RDWR | O_CREAT, 0600);
  bool ok = db != nullptr;
  for (auto it = records.begin(); ok && it != records.end(); ++it) {
    datum k{const_cast<char*>(it->first.data()), static_cast<int>(it->first.size())};
    datum v{const_cast<char*>(it->second.data()), static_cast<int>(it->second.size())};
    ok = dbm_store(db, k, v, DBM_REPLACE) == 0;
  }
  if (db != nullptr) dbm_close(db);
  ok = ok && durable_after_close(staged + data_suffix()) && reads_back(staged, records) &&
       move_staged(p) && fsync(dir.fd) == 0;
  errno_keeper keep;
  clear_stage(p);
  return ok;
}
