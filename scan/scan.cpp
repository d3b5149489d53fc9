// SPDX-License-Identifier: GPL-3.0-or-later
#include "scan/scan.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <memory>
#include <set>

#include "scan/internal.h"

namespace {

// One directory of the descent, held open while the walk may come back to
// it, with its entries and the next one to look at. The walk keeps its own
// stack of them, so that the depth of a tree cannot overflow the process's.
struct level {
  file_id id;
  std::string name;  // its entry in the level above
  bool via_link;
  std::shared_ptr<fd_holder> fd;  // files waiting for their turn share it
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
  status_line& status;
};

// A directory opened for listing, and which it is.
struct opened_dir {
  fd_holder fd;
  file_id id;
};

opened_dir open_dir(int at, const char* name, bool follow, const file_id* want);
bool enter(file_id id, const std::string& name, const std::string& path, bool via_link,
           std::shared_ptr<fd_holder> fd, tour& t);
void walk(tour& t);
void entry(const std::string& joined, const std::string& name, tour& t);
void descend(const std::string& joined, const std::string& name, const struct stat& st, bool link,
             tour& t);

// Returns the count of descriptors the process may open, raising its soft
// limit to its hard limit.
std::size_t descriptor_limit() {
  rlimit limit{};
  if (getrlimit(RLIMIT_NOFILE, &limit) != 0) return 64;
  if (limit.rlim_cur < limit.rlim_max) {
    limit.rlim_cur = limit.rlim_max;
    setrlimit(RLIMIT_NOFILE, &limit);
    getrlimit(RLIMIT_NOFILE, &limit);
  }
  return limit.rlim_cur == RLIM_INFINITY || limit.rlim_cur > 1 << 20 ? 1 << 20 : limit.rlim_cur;
}

}  // namespace

scan_run scan_start(status_line& status, digest_db& db, md5_isa isa) {
  scan_run run{status, db, {new scan_state{}, [](scan_state* s) { delete s; }}};
  run.state->reader = geteuid();
  start_stage(*run.state, isa, descriptor_limit());
  return run;
}

int scan_dir(const std::string& path, scan_run& run) {
  tour t{{}, {}, run, run.status};
  opened_dir d = open_dir(AT_FDCWD, path.c_str(), true, nullptr);
  // A directory that vanished, or that this user may not read, must not pass
  // for an empty one: a mistyped cron line would look like a clean run.
  if (d.fd.fd < 0) {
    say_in_order(errno == ENOTDIR ? "Skipping " : "Couldn't open ", path, run);
  } else if (enter(d.id, path, path, true, std::make_shared<fd_holder>(std::move(d.fd)), t)) {
    // The operand is part of the descent: a link back to it is a cycle too.
    if (recursive_flag) t.walked.insert(t.descent.back().id);
    walk(t);
  }
  judge_all(run);
  return 0;
}

void check_file(const std::string& joined_path, const struct stat& st, scan_run& run) {
  auto here = std::make_shared<fd_holder>(AT_FDCWD);
  hand_over({nullptr, joined_path, std::move(here), joined_path, st, true}, run);
  judge_all(run);
}

namespace {

// Returns the entry `name` of the directory `at` open for listing, following
// a link only when `follow`, with its identity, when it is the directory
// `want` (any directory when null); else an empty holder, with errno ENOTDIR
// when the name leads elsewhere.
opened_dir open_dir(int at, const char* name, bool follow, const file_id* want) {
  int flags = O_RDONLY | O_DIRECTORY | O_NONBLOCK | O_CLOEXEC | (follow ? 0 : O_NOFOLLOW);
  opened_dir d{fd_holder(openat(at, name, flags)), {}};
  struct stat st;
  if (d.fd.fd < 0 || fstat(d.fd.fd, &st) != 0) {
    d.fd.reset();
    return d;
  }
  d.id = {st.st_dev, st.st_ino};
  if (want != nullptr && d.id != *want) {
    d.fd.reset();
    errno = ENOTDIR;
  }
  return d;
}

// Returns the names in the directory `fd`, in the order it lists them;
// false when it cannot be read.
bool list(int fd, std::vector<std::string>& names) {
  fd_holder copy(dup(fd));
  DIR* d = copy.fd < 0 ? nullptr : fdopendir(copy.fd);
  if (d == nullptr) return false;
  copy.fd = -1;  // the stream owns it now, and closes it
  errno = 0;
  while (dirent* e = readdir(d)) names.emplace_back(e->d_name);
  int saved = errno;
  closedir(d);
  return (errno = saved) == 0;
}

// Adds the directory `fd`, the entry `name` of the innermost one, reached as
// `path`, to the descent once it is listed; says when it cannot be.
bool enter(file_id id, const std::string& name, const std::string& path, bool via_link,
           std::shared_ptr<fd_holder> fd, tour& t) {
  std::vector<std::string> names;
  if (!list(fd->fd, names)) {
    say_in_order("Couldn't open ", path, t.run);
    return false;
  }
  t.descent.push_back({id, name, via_link, std::move(fd), path, std::move(names)});
  status_walking(t.status, path);
  return true;
}

// Opens again the innermost directory of the descent, closed to spare
// descriptors, from the nearest one still open, name by name, checking each
// is the directory it was; returns false when one is not.
bool reopen_innermost(tour& t) {
  std::size_t open = t.descent.size() - 1;
  while (t.descent[open].fd->fd < 0) --open;
  fd_holder at(dup(t.descent[open].fd->fd));
  for (std::size_t i = open + 1; i < t.descent.size() && at.fd >= 0; ++i) {
    const level& l = t.descent[i];
    at = open_dir(at.fd, l.name.c_str(), l.via_link, &l.id).fd;
  }
  t.descent.back().fd = std::make_shared<fd_holder>(std::move(at));
  return t.descent.back().fd->fd >= 0;
}

// Closes the outermost directory held open below the operand, when the
// descent holds as many as the budget allows.
void spare_a_descriptor(tour& t) {
  std::size_t open = 0;
  for (const level& l : t.descent) open += l.fd->fd >= 0;
  if (open < t.run.state->descriptors) return;
  for (std::size_t i = 1; i < t.descent.size(); ++i) {
    if (t.descent[i].fd->fd >= 0) {
      t.descent[i].fd = std::make_shared<fd_holder>();
      return;
    }
  }
}

// Walks the descent's entries depth first, in listing order.
void walk(tour& t) {
  std::string joined, name;
  while (!t.descent.empty()) {
    level& l = t.descent.back();
    if (l.next == l.names.size()) {
      t.descent.pop_back();
      if (!t.descent.empty()) status_walking(t.status, t.descent.back().path);
      continue;
    }
    name = l.names[l.next++];
    if (name == "." || name == "..") continue;
    joined.assign(l.path).append(1, '/').append(name);
    if (l.fd->fd < 0 && !reopen_innermost(t)) {
      l.next = l.names.size();
      say_in_order("Couldn't open ", l.path, t.run);
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
  int dir = t.descent.back().fd->fd;
  struct stat link, st;
  // The walk hands the system only the entry's name, but a line naming a path
  // this long could not be handed on to another program: it is not walked.
  if (joined.size() >= PATH_MAX || fstatat(dir, name.c_str(), &link, AT_SYMLINK_NOFOLLOW) != 0) {
    return say_in_order("Couldn't stat ", joined, t.run);
  }
  bool via_link = S_ISLNK(link.st_mode);
  if (!via_link) {
    st = link;
  } else if (fstatat(dir, name.c_str(), &st, 0) != 0) {
    return say_in_order("Couldn't stat ", joined, t.run);
  }
  if (via_link && t.run.state->reader == 0 && link.st_uid != 0 && link.st_uid != st.st_uid) {
    say_in_order("Skipping ", joined, t.run);
  } else if (recursive_flag && S_ISDIR(st.st_mode)) {
    descend(joined, name, st, via_link, t);
  } else if (!S_ISREG(st.st_mode)) {
    say_in_order("Skipping ", joined, t.run);
  } else {
    hand_over({nullptr, joined, t.descent.back().fd, name, st, via_link}, t.run);
  }
}

// Descends into `joined`, the entry `name` whose status is `st`, unless it is
// a directory this descent is already in (a cycle) or one this walk has been
// through already; what is opened must be that directory. One that could not
// be opened or listed is not walked: met again, it is tried again.
void descend(const std::string& joined, const std::string& name, const struct stat& st, bool link,
             tour& t) {
  file_id id{st.st_dev, st.st_ino};
  for (const level& l : t.descent) {
    if (l.id == id) return say_in_order("Directory cycle at ", joined, t.run);
  }
  if (t.walked.contains(id)) return say_in_order("Skipping ", joined, t.run);
  opened_dir d = open_dir(t.descent.back().fd->fd, name.c_str(), link, &id);
  if (d.fd.fd < 0) {
    // A name that now leads to something else is no longer what the walk saw.
    bool moved = errno == ENOTDIR || errno == ELOOP;
    return say_in_order(moved ? "Skipping " : "Couldn't open ", joined, t.run);
  }
  spare_a_descriptor(t);
  if (enter(id, name, joined, link, std::make_shared<fd_holder>(std::move(d.fd)), t)) {
    t.walked.insert(id);
  }
}

}  // namespace
