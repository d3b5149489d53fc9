// SPDX-License-Identifier: GPL-3.0-or-later
#include "scan/scan.h"

#include <dirent.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <set>
#include <utility>
#include <vector>

#include "common/common.h"
#include "md5/md5.h"
#include "scan/open_regular.h"
#include "store/store.h"

namespace {

// What became of a regular file; all but `recorded` are written out (the
// order of tell's table).
enum class outcome { recorded, duplicate, not_opened, not_regular, not_read, not_added };

using dir_id = std::pair<dev_t, ino_t>;

// The walk under one operand: the directories it is in, those it has walked
// (none is walked twice, so links cannot multiply the work), who reads the
// files (links are followed only where their owner could go when it is
// root), and the status.
struct tour {
  std::vector<dir_id> descent;
  std::set<dir_id> walked;
  uid_t reader;
  digest_db& db;
  status_line& status;
};

void walk(const std::string& path, tour& t);
bool owner_may_follow(const std::string& joined, unsigned char type, const struct stat& st);
void descend(const std::string& joined, const struct stat& st, tour& t);
void judge(const std::string& path, const struct stat& st, uid_t reader, digest_db& db,
           status_line& status);
outcome verdict(const std::string& path, const struct stat& st, uid_t reader, digest_db& db,
                status_line& status);
outcome digest_file(const std::string& path, const struct stat& st, uid_t reader, digest& out,
                    status_line& status);
add_result patiently(digest_db& db, const digest& d, size_key key, status_line& status);
void tell(outcome o, const std::string& path, status_line& status);
void report(const char* what, const std::string& path, status_line& status);

}  // namespace

int scan_dir(const std::string& path, digest_db& db, status_line& status) {
  tour t{{}, {}, geteuid(), db, status};
  struct stat st;
  // The operand is part of the descent: a link back to it is a cycle too.
  if (recursive_flag && stat(path.c_str(), &st) == 0) {
    t.descent.push_back({st.st_dev, st.st_ino});
    t.walked.insert({st.st_dev, st.st_ino});
  }
  walk(path, t);
  return 0;
}

void check_file(const std::string& joined_path, const struct stat& st, digest_db& db,
                status_line& status) {
  judge(joined_path, st, geteuid(), db, status);
}

namespace {

// Owns the array scandir returns.
struct listing {
  dirent** entries = nullptr;
  int count = 0;
  explicit listing(const std::string& path)
      : count(scandir(path.c_str(), &entries, nullptr, nullptr)) {}
  ~listing() {
    for (int i = 0; i < count; ++i) std::free(entries[i]);
    std::free(entries);
  }
  listing& operator=(listing&&) = delete;  // and so no copies
};

void walk(const std::string& path, tour& t) {
  listing list(path);
  // A directory that vanished, or that this user may not read, must not pass
  // for an empty one: a mistyped cron line would look like a clean run.
  if (list.count < 0) {
    return report(errno == ENOTDIR ? "Skipping " : "Couldn't open ", path, t.status);
  }
  status_walking(t.status, path);
  std::string joined;
  for (int i = 0; i < list.count; ++i) {
    const char* name = list.entries[i]->d_name;
    if (std::strcmp(name, ".") == 0 || std::strcmp(name, "..") == 0) continue;
    joined.assign(path).append(1, '/').append(name);
    struct stat st;
    if (stat(joined.c_str(), &st) != 0) {
      report("Couldn't stat ", joined, t.status);
    } else if (t.reader == 0 && !owner_may_follow(joined, list.entries[i]->d_type, st)) {
      report("Skipping ", joined, t.status);
    } else if (recursive_flag && S_ISDIR(st.st_mode)) {
      descend(joined, st, t);
      status_walking(t.status, path);
    } else if (!S_ISREG(st.st_mode)) {
      report("Skipping ", joined, t.status);
    } else {
      judge(joined, st, t.reader, t.db, t.status);
    }
  }
}

// Returns true unless `joined`, whose type in its directory is `type`, is a
// symbolic link that neither root nor the owner of what it leads to (`st`)
// owns: root follows a link only where its owner could have gone.
bool owner_may_follow(const std::string& joined, unsigned char type, const struct stat& st) {
  struct stat link;
  if (type != DT_LNK && type != DT_UNKNOWN) return true;
  if (lstat(joined.c_str(), &link) != 0) return false;
  return !S_ISLNK(link.st_mode) || link.st_uid == 0 || link.st_uid == st.st_uid;
}

// Descends into `joined`, unless it is a directory this descent is already
// in (a cycle) or one this walk has been through already.
void descend(const std::string& joined, const struct stat& st, tour& t) {
  dir_id id{st.st_dev, st.st_ino};
  for (const dir_id& d : t.descent) {
    if (d == id) return report("Directory cycle at ", joined, t.status);
  }
  if (!t.walked.insert(id).second) return report("Skipping ", joined, t.status);
  t.descent.push_back(id);
  walk(joined, t);
  t.descent.pop_back();
}

// Gives the file `path` its verdict, read as the user `reader`, and says it.
void judge(const std::string& path, const struct stat& st, uid_t reader, digest_db& db,
           status_line& status) {
  status_file_begins(status, path);
  tell(verdict(path, st, reader, db, status), path, status);
  status_file_ends(status);
}

outcome verdict(const std::string& path, const struct stat& st, uid_t reader, digest_db& db,
                status_line& status) {
  digest d;
  outcome read = digest_file(path, st, reader, d, status);
  if (read != outcome::recorded) return read;
  add_result added = patiently(db, d, size_key_of(st.st_size), status);
  if (added == add_result::added_before) return outcome::duplicate;
  return added == add_result::added ? outcome::recorded : outcome::not_added;
}

// A file open for reading through a buffer of 128 KiB: stdio's own is one
// file system block (4 KiB here), so a large file would take 32 times the
// read calls. The buffer is static, so that a deep walk or a small stack
// limit cannot overflow, and serves the one file open at a time.
struct input {
  std::FILE* f = nullptr;
  explicit input(int fd) : f(fdopen(fd, "r")) {
    static char buffer[std::size_t{128} << 10];
    if (f == nullptr) {
      close(fd);
    } else {
      std::setvbuf(f, buffer, _IOFBF, sizeof buffer);
    }
  }
  ~input() {
    if (f != nullptr) std::fclose(f);
  }
  input& operator=(input&&) = delete;  // and so no copies
};

// Returns true when `now` has the size and modification time of `was`.
bool unchanged(const struct stat& was, const struct stat& now) {
  return now.st_size == was.st_size && now.st_mtim.tv_sec == was.st_mtim.tv_sec &&
         now.st_mtim.tv_nsec == was.st_mtim.tv_nsec;
}

// Writes the digest of the file at `path`, whose status the walk took as
// `st`, to `out`; returns `recorded` when it was read to the end unchanged:
// a file cut or grown meanwhile has a digest of neither version.
outcome digest_file(const std::string& path, const struct stat& st, uid_t reader, digest& out,
                    status_line& status) {
  bool not_regular = false;
  int fd = open_regular(path.c_str(), reader, not_regular);
  if (fd < 0) return not_regular ? outcome::not_regular : outcome::not_opened;
  input in(fd);
  if (in.f == nullptr) return outcome::not_opened;
  int read = md5_of_stream(in.f, out, status_reader(status), &status);
  struct stat after;
  if (read == kMd5ReadFailed || fstat(fileno(in.f), &after) != 0 || !unchanged(st, after)) {
    return outcome::not_read;
  }
  return outcome::recorded;
}

// Writes a line about the database, erasing the status line first.
void say(const char* what, const char* path, status_line& status) {
  status_clear(status, stderr);
  write_path_line(stderr, what, path);
}

// Records the pair until the call gets past another run's lock, saying once
// that it waits, and past a repair of the database, saying what became of
// it; says when the lock file cannot be made.
add_result patiently(digest_db& db, const digest& d, size_key key, status_line& status) {
  bool waiting = false;
  for (int repairs = 0;;) {
    add_result r = digest_record(db, d, key);
    if (r == add_result::no_lock) say("Couldn't open ", db.paths.lock.c_str(), status);
    if (r == add_result::busy && !waiting) {
      say("Waiting for the database, locked by another run: ", db.paths.lock.c_str(), status);
    }
    waiting = waiting || r == add_result::busy;
    if (r == add_result::busy) continue;
    if (r != add_result::repaired && r != add_result::set_aside) return r;
    if (++repairs > 2) return add_result::unavailable;  // a repair that does not hold
    if (r == add_result::repaired) {
      say("Repaired the database after an interrupted write: ", db.paths.db.c_str(), status);
    } else {
      say("Moved a damaged database aside, keeping what could be read: ", db.aside.c_str(), status);
    }
  }
}

void tell(outcome o, const std::string& path, status_line& status) {
  if (o == outcome::duplicate) {
    status_duplicate(status);
    if (!write_path_line(stdout, "", path) && status.out_errno == 0) status.out_errno = errno;
    return;
  }
  // By outcome: the start of its line on standard error.
  static constexpr const char* kLine[] = {nullptr,     nullptr,          "Couldn't open ",
                                          "Skipping ", "Couldn't read ", "Unable to add "};
  static_assert(std::size(kLine) == static_cast<std::size_t>(outcome::not_added) + 1);
  const char* line = kLine[static_cast<int>(o)];
  if (line != nullptr) report(line, path, status);
}

void report(const char* what, const std::string& path, status_line& status) {
  status_problem(status);
  write_path_line(stderr, what, path);
}

}  // namespace
