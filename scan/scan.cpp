// SPDX-License-Identifier: GPL-3.0-or-later
#include "scan/scan.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <iterator>
#include <set>

#include "md5/md5.h"
#include "scan/internal.h"
#include "store/store.h"

namespace {

// What became of a regular file; all but `recorded` are written out (the
// order of tell's table).
enum class outcome { recorded, duplicate, not_opened, not_regular, not_read, not_added };

using file_id = std::pair<dev_t, ino_t>;

// The size of the one read buffer: a rotating disk seeks at most once a MiB.
constexpr std::size_t kPiece = std::size_t{1} << 20;

// Descriptors kept for everything but the descent: standard streams, the
// database and its lock, the file read.
constexpr rlim_t kSpareDescriptors = 32;

// One directory of the descent, held open while the walk may come back to
// it, with its entries and the next one to look at. The walk keeps its own
// stack of them, so that the depth of a tree cannot overflow the process's.
struct level {
  file_id id;
  std::string name;  // its entry in the level above
  bool via_link;
  fd_holder fd;
  std::string path;
  std::vector<std::string> names;
  std::size_t next = 0;
};

// The walk under one operand: the directories it is in, those it has walked
// (none is walked twice, so links cannot multiply the work), and the run.
struct tour {
  std::vector<level> descent;
  std::set<file_id> walked;
  scan_run& run;
};

bool enter(file_id id, const std::string& name, const std::string& path, bool via_link,
           fd_holder fd, tour& t);
void walk(tour& t);
void entry(const std::string& joined, const std::string& name, tour& t);
void descend(const std::string& joined, const std::string& name, const struct stat& st, bool link,
             tour& t);
void judge(int dir, const std::string& name, const std::string& path, const struct stat& st,
           bool follow, scan_run& run);
void tell(outcome o, const std::string& path, status_line& status);
void report(const char* what, const std::string& path, status_line& status);

// Returns the count of directories the walk may hold open, raising the
// process's soft limit on descriptors to its hard limit.
std::size_t descriptor_budget() {
  rlimit limit{};
  if (getrlimit(RLIMIT_NOFILE, &limit) != 0) return 16;
  if (limit.rlim_cur < limit.rlim_max) {
    limit.rlim_cur = limit.rlim_max;
    setrlimit(RLIMIT_NOFILE, &limit);
    getrlimit(RLIMIT_NOFILE, &limit);
  }
  if (limit.rlim_cur == RLIM_INFINITY || limit.rlim_cur > 1 << 20) return 1 << 20;
  return limit.rlim_cur > 2 * kSpareDescriptors ? limit.rlim_cur - kSpareDescriptors : 16;
}

}  // namespace

scan_run scan_start(status_line& status) {
  return {status, geteuid(), {}, {}, std::vector<char>(kPiece), descriptor_budget()};
}

int scan_dir(const std::string& path, scan_run& run) {
  tour t{{}, {}, run};
  fd_holder fd(open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NONBLOCK | O_CLOEXEC));
  struct stat st;
  // A directory that vanished, or that this user may not read, must not pass
  // for an empty one: a mistyped cron line would look like a clean run.
  if (fd.fd < 0 || fstat(fd.fd, &st) != 0) {
    report(errno == ENOTDIR ? "Skipping " : "Couldn't open ", path, run.status);
    return 0;
  }
  // The operand is part of the descent: a link back to it is a cycle too.
  if (!enter({st.st_dev, st.st_ino}, path, path, true, std::move(fd), t)) return 0;
  if (recursive_flag) t.walked.insert(t.descent.back().id);
  walk(t);
  return 0;
}

void check_file(const std::string& joined_path, const struct stat& st, scan_run& run) {
  judge(AT_FDCWD, joined_path, joined_path, st, true, run);
}

namespace {

// Returns the names in the directory `fd`, in the order it lists them;
// false when it cannot be read.
bool list(int fd, std::vector<std::string>& names) {
  DIR* d = fdopendir(dup(fd));
  if (d == nullptr) return false;
  errno = 0;
  while (dirent* e = readdir(d)) names.emplace_back(e->d_name);
  int saved = errno;
  closedir(d);
  return (errno = saved) == 0;
}

// Adds the directory `fd`, the entry `name` of the innermost one, reached as
// `path`, to the descent once it is listed; says when it cannot be.
bool enter(file_id id, const std::string& name, const std::string& path, bool via_link,
           fd_holder fd, tour& t) {
  std::vector<std::string> names;
  if (!list(fd.fd, names)) {
    report("Couldn't open ", path, t.run.status);
    return false;
  }
  t.descent.push_back({id, name, via_link, std::move(fd), path, std::move(names)});
  status_walking(t.run.status, path);
  return true;
}

// Opens again the innermost directory of the descent, closed to spare
// descriptors, from the nearest one still open, name by name, checking each
// is the directory it was; returns false when one is not.
bool reopen_innermost(tour& t) {
  std::size_t open = t.descent.size() - 1;
  while (t.descent[open].fd.fd < 0) --open;
  fd_holder at(dup(t.descent[open].fd.fd));
  for (std::size_t i = open + 1; i < t.descent.size() && at.fd >= 0; ++i) {
    const level& l = t.descent[i];
    int flags = O_RDONLY | O_DIRECTORY | O_NONBLOCK | O_CLOEXEC | (l.via_link ? 0 : O_NOFOLLOW);
    fd_holder next(openat(at.fd, l.name.c_str(), flags));
    struct stat st;
    if (next.fd >= 0 && (fstat(next.fd, &st) != 0 || file_id{st.st_dev, st.st_ino} != l.id)) {
      next.reset();
    }
    at = std::move(next);
  }
  t.descent.back().fd = std::move(at);
  return t.descent.back().fd.fd >= 0;
}

// Closes the outermost directory held open below the operand, when the
// descent holds as many as the budget allows.
void spare_a_descriptor(tour& t) {
  std::size_t open = 0;
  for (const level& l : t.descent) open += l.fd.fd >= 0;
  if (open < t.run.descriptors) return;
  for (std::size_t i = 1; i < t.descent.size(); ++i) {
    if (t.descent[i].fd.fd >= 0) return t.descent[i].fd.reset();
  }
}

// Walks the descent's entries depth first, in listing order.
void walk(tour& t) {
  std::string joined, name;
  while (!t.descent.empty()) {
    level& l = t.descent.back();
    if (l.next == l.names.size()) {
      t.descent.pop_back();
      if (!t.descent.empty()) status_walking(t.run.status, t.descent.back().path);
      continue;
    }
    name = l.names[l.next++];
    if (name == "." || name == "..") continue;
    joined.assign(l.path).append(1, '/').append(name);
    if (l.fd.fd < 0 && !reopen_innermost(t)) {
      l.next = l.names.size();
      report("Couldn't open ", l.path, t.run.status);
      continue;
    }
    entry(joined, name, t);
  }
}

// Puts the entry `name` of the innermost directory, `joined` in lines, into
// its outcome. As root, a symbolic link is followed only where its owner
// could have gone: one that neither root nor the owner of its target owns is
// skipped.
void entry(const std::string& joined, const std::string& name, tour& t) {
  int dir = t.descent.back().fd.fd;
  struct stat link, st;
  // Longer, the path the system is handed would be refused.
  if (joined.size() >= PATH_MAX || fstatat(dir, name.c_str(), &link, AT_SYMLINK_NOFOLLOW) != 0) {
    return report("Couldn't stat ", joined, t.run.status);
  }
  bool via_link = S_ISLNK(link.st_mode);
  if (!via_link) {
    st = link;
  } else if (fstatat(dir, name.c_str(), &st, 0) != 0) {
    return report("Couldn't stat ", joined, t.run.status);
  }
  if (via_link && t.run.reader == 0 && link.st_uid != 0 && link.st_uid != st.st_uid) {
    report("Skipping ", joined, t.run.status);
  } else if (recursive_flag && S_ISDIR(st.st_mode)) {
    descend(joined, name, st, via_link, t);
  } else if (!S_ISREG(st.st_mode)) {
    report("Skipping ", joined, t.run.status);
  } else {
    judge(dir, name, joined, st, via_link, t.run);
  }
}

// Descends into `joined`, the entry `name` whose status is `st`, unless it is
// a directory this descent is already in (a cycle) or one this walk has been
// through already; what is opened must be that directory.
void descend(const std::string& joined, const std::string& name, const struct stat& st, bool link,
             tour& t) {
  file_id id{st.st_dev, st.st_ino};
  for (const level& l : t.descent) {
    if (l.id == id) return report("Directory cycle at ", joined, t.run.status);
  }
  if (!t.walked.insert(id).second) return report("Skipping ", joined, t.run.status);
  int flags = O_RDONLY | O_DIRECTORY | O_NONBLOCK | O_CLOEXEC | (link ? 0 : O_NOFOLLOW);
  fd_holder fd(openat(t.descent.back().fd.fd, name.c_str(), flags));
  struct stat now;
  if (fd.fd < 0 && errno != ENOTDIR && errno != ELOOP) {
    return report("Couldn't open ", joined, t.run.status);
  }
  if (fd.fd < 0 || fstat(fd.fd, &now) != 0 || file_id{now.st_dev, now.st_ino} != id) {
    return report("Skipping ", joined, t.run.status);
  }
  spare_a_descriptor(t);
  enter(id, name, joined, link, std::move(fd), t);
}

// Returns true, with its digest in `out`, when the file `st` was read in this
// run with this very status; forgets a hard-linked file met under its last name.
bool known(const struct stat& st, bool via_link, scan_run& run, digest& out) {
  auto it = run.files.find({st.st_dev, st.st_ino});
  if (it == run.files.end()) return false;
  known_file& k = it->second;
  struct stat was = st;
  was.st_size = k.size;
  was.st_mtim = k.mtime;
  was.st_ctim = k.ctime;
  if (!same_file(was, st)) {
    run.files.erase(it);
    return false;
  }
  out = k.content;
  k.pinned = k.pinned || via_link;
  if (!via_link && k.unmet > 0) --k.unmet;
  if (k.unmet == 0 && !k.pinned) run.files.erase(it);
  return true;
}

// Remembers the file `st`, just read, when another name may lead to it.
void remember(const struct stat& st, bool via_link, const digest& content, scan_run& run) {
  nlink_t others = via_link ? st.st_nlink : st.st_nlink - 1;
  if (others == 0 && !via_link) return;
  run.files[{st.st_dev, st.st_ino}] = {st.st_size, st.st_mtim, st.st_ctim,
                                       content,    others,     via_link};
}

// Returns how the read of the entry `name` in `dir`, the file `st`, ended.
read_end read_file(int dir, const char* name, const struct stat& st, bool follow, scan_run& run,
                   digest& out) {
  if (known(st, follow, run, out)) return read_end::whole;
  read_end end = read_end::not_opened;
  fd_holder fd(open_regular(dir, name, st, follow, run, end));
  if (fd.fd < 0) return end;
  end = digest_open_file(fd.fd, st, run, out);
  if (end == read_end::whole) remember(st, follow, out, run);
  return end;
}

// Calls `op` until it gets past another run's lock, saying once that it
// waits, and past a repair of the database, saying what became of it.
int patiently(int (*op)(const digest&, size_key), const digest& d, size_key key,
              status_line& status);

// Returns the verdict on the file `st` at `path`, once read into `d`.
outcome verdict(const digest& d, const struct stat& st, status_line& status) {
  int added = patiently(digest_record, d, size_key_of(st.st_size), status);
  if (added == kAddedBefore) return outcome::duplicate;
  return added == kAdded ? outcome::recorded : outcome::not_added;
}

// Gives the entry `name` of `dir`, the file `st` at `path`, its verdict, and says it.
void judge(int dir, const std::string& name, const std::string& path, const struct stat& st,
           bool follow, scan_run& run) {
  static constexpr outcome kByEnd[] = {outcome::recorded, outcome::not_opened, outcome::not_regular,
                                       outcome::not_regular, outcome::not_read};
  status_file_begins(run.status, path);
  digest d;
  read_end end = read_file(dir, name.c_str(), st, follow, run, d);
  outcome o = kByEnd[static_cast<int>(end)];
  tell(o == outcome::recorded ? verdict(d, st, run.status) : o, path, run.status);
  status_file_ends(run.status);
}

// Writes a line about the database, erasing the status line first.
void say(const char* what, const char* path, status_line& status) {
  status_clear(status, stderr);
  write_path_line(stderr, what, path);
}

int patiently(int (*op)(const digest&, size_key), const digest& d, size_key key,
              status_line& status) {
  bool waiting = false;
  for (int repairs = 0;;) {
    int r = op(d, key);
    if (r == kDbBusy && !waiting) {
      say("Waiting for the database, locked by another run: ", digest_lock_path(), status);
    }
    waiting = waiting || r == kDbBusy;
    if (r == kDbBusy) continue;
    if (r != kDbRepaired && r != kDbSetAside) return r;
    if (++repairs > 2) return kDbUnavailable;  // a repair that does not hold
    if (r == kDbRepaired) {
      say("Repaired the database after an interrupted write: ", digest_db_path(), status);
    } else {
      say("Moved a damaged database aside, keeping what could be read: ", digest_aside_path(),
          status);
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
