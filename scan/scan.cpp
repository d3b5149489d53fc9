// SPDX-License-Identifier: GPL-3.0-or-later
#include "scan/scan.h"

#include <dirent.h>
#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <deque>
#include <memory>
#include <set>
#include <utility>
#include <vector>

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
  uid_t owner;  // who may write it: its owner, and its group or all by its mode
  gid_t group;
  mode_t mode;
  std::deque<char> names;  // its entries, each ended by a NUL: a byte more than the name
  std::size_t next = 0;
  bool said_too_long = false;  // an entry whose path would be too long was reported
};

// The walk under one operand: the directories it is in, those it has walked
// (none is walked twice, so links cannot multiply the work), and the run.
struct tour {
  std::deque<level> descent;  // never moved: a listing is not copied as the walk descends
  std::set<file_id> walked;
  scan_run& run;
  status_line& status;
};

// A directory opened for listing, which it is, and its status.
struct opened_dir {
  fd_holder fd;
  file_id id;
  struct stat st;
};

opened_dir open_dir(int at, const char* name, bool follow, const file_id* want);
bool enter(const struct stat& st, const std::string& name, const std::string& path, bool via_link,
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

scan_run scan_start(status_line& status, digest_db& db, md5_isa isa, scan_options options) {
  scan_run run{status, db, {new scan_state{}, [](scan_state* s) { delete s; }}, options};
  run.state->reader = geteuid();
  run.state->nul_out = options.nul && isatty(STDOUT_FILENO) == 0;
  start_stage(*run.state, isa, descriptor_limit());
  return run;
}

int scan_dir(const std::string& path, scan_run& run) {
  tour t{{}, {}, run, run.status};
  opened_dir d = open_dir(AT_FDCWD, path.c_str(), true, nullptr);
  // A directory that vanished, or that this user may not read, must not pass
  // for an empty one: a mistyped cron line would look like a clean run.
  if (d.fd.fd < 0) {
    say_in_order(errno == ENOTDIR ? problem::skipped : problem::not_opened, path, run);
  } else if (enter(d.st, path, path, true, std::make_shared<fd_holder>(std::move(d.fd)), t)) {
    // The operand is part of the descent: a link back to it is a cycle too.
    if (recursive_flag) t.walked.insert(t.descent.back().id);
    walk(t);
  }
  judge_all(run);
  return 0;
}

void check_file(const std::string& joined_path, const struct stat& st, scan_run& run) {
  auto here = std::make_shared<fd_holder>(AT_FDCWD);
  hand_over({problem::none, joined_path, std::move(here), joined_path, st, true}, run);
  judge_all(run);
}

namespace {

// Returns the entry `name` of the directory `at` open for listing, following
// a link only when `follow`, with its identity, when it is the directory
// `want` (any directory when null); else an empty holder, with errno ENOTDIR
// when the name leads elsewhere.
opened_dir open_dir(int at, const char* name, bool follow, const file_id* want) {
  int flags = O_RDONLY | O_DIRECTORY | O_NONBLOCK | O_CLOEXEC | (follow ? 0 : O_NOFOLLOW);
  opened_dir d{fd_holder(through_links([&] { return openat(at, name, flags); })), {}, {}};
  if (d.fd.fd < 0 || fstat(d.fd.fd, &d.st) != 0) {
    d.fd.reset();
    return d;
  }
  d.id = {d.st.st_dev, d.st.st_ino};
  if (want != nullptr && d.id != *want) {
    d.fd.reset();
    errno = ENOTDIR;
  }
  return d;
}

// Returns the names in the directory `fd`, in the order it lists them, each
// ended by a NUL; false when it cannot be read.
bool list(int fd, std::deque<char>& names) {
  fd_holder copy(dup(fd));
  DIR* d = copy.fd < 0 ? nullptr : fdopendir(copy.fd);
  if (d == nullptr) return false;
  copy.fd = -1;  // the stream owns it now, and closes it
  errno = 0;
  while (dirent* e = readdir(d))
    names.insert(names.end(), e->d_name, e->d_name + std::strlen(e->d_name) + 1);
  int saved = errno;
  closedir(d);
  return (errno = saved) == 0;
}

// Adds the directory `fd`, of status `st`, the entry `name` of the innermost
// one, reached as `path`, to the descent once it is listed; says when it
// cannot be. Its whole listing is kept, a byte more than each name, in
// pieces that are never copied to grow: the descriptor may be closed before
// the walk comes back to it, and a position in a listing does not outlive
// its descriptor everywhere (fts keeps whole listings too).
bool enter(const struct stat& st, const std::string& name, const std::string& path, bool via_link,
           std::shared_ptr<fd_holder> fd, tour& t) {
  std::deque<char> names;
  if (!list(fd->fd, names)) {
    say_in_order(problem::not_opened, path, t.run);
    return false;
  }
  t.descent.push_back({{st.st_dev, st.st_ino},
                       name,
                       via_link,
                       std::move(fd),
                       path,
                       st.st_uid,
                       st.st_gid,
                       st.st_mode,
                       std::move(names)});
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
    name.clear();
    while (l.names[l.next] != '\0') name.push_back(l.names[l.next++]);
    ++l.next;
    if (name == "." || name == "..") continue;
    joined.assign(l.path).append(1, '/').append(name);
    if (l.fd->fd < 0 && !reopen_innermost(t)) {
      l.next = l.names.size();
      say_in_order(problem::not_opened, l.path, t.run);
      continue;
    }
    entry(joined, name, t);
  }
}

// Returns true when the user `uid` could read the file `st`, by its mode:
// as its owner (who may change its mode), a member of its group, or anyone.
// Whether `uid` is in the group is asked of the system once a run.
bool may_read(uid_t uid, const struct stat& st, scan_state& s) {
  if (uid == 0 || uid == st.st_uid || (st.st_mode & S_IROTH) != 0) return true;
  if ((st.st_mode & S_IRGRP) == 0) return false;
  auto [it, first] = s.members.try_emplace({uid, st.st_gid}, false);
  if (!first) return it->second;
  passwd pw, *found = nullptr;
  std::vector<char> text(16384);
  if (getpwuid_r(uid, &pw, text.data(), text.size(), &found) != 0 || found == nullptr) {
    return false;
  }
  int count = 64;
  std::vector<gid_t> groups(static_cast<std::size_t>(count));
  if (getgrouplist(pw.pw_name, pw.pw_gid, groups.data(), &count) < 0) {
    groups.resize(static_cast<std::size_t>(count));
    if (getgrouplist(pw.pw_name, pw.pw_gid, groups.data(), &count) < 0) return false;
  }
  groups.resize(static_cast<std::size_t>(count));
  return it->second = std::find(groups.begin(), groups.end(), st.st_gid) != groups.end();
}

// Returns true when whoever could have made a name in the directory `d` (its
// owner; its group, or everyone, where its mode lets them write) could read
// the file `st`: a hard link gives its maker no right to read the file.
bool makers_could_read(const level& d, const struct stat& st, scan_state& s) {
  bool others = (st.st_mode & S_IROTH) != 0;
  if ((d.mode & S_IWOTH) != 0 && !others) return false;
  if ((d.mode & S_IWGRP) != 0 && !others &&
      !(st.st_gid == d.group && (st.st_mode & S_IRGRP) != 0)) {
    return false;
  }
  return may_read(d.owner, st, s);
}

// Puts the entry `name` of the innermost directory, `joined` in lines, into
// its outcome. As root, a symbolic link is followed only where its owner
// could have gone: one that neither root nor the owner of its target owns is
// skipped; and a file with several links is read only where whoever could
// have made this one could read it.
void entry(const std::string& joined, const std::string& name, tour& t) {
  level& here = t.descent.back();
  int dir = here.fd->fd;
  scan_state& s = *t.run.state;
  struct stat link, st;
  // The walk hands the system only the entry's name, but a line naming a path
  // this long could not be handed on to another program: it is not walked.
  // Said once a directory: such entries cost their maker a few bytes each,
  // their lines 4 KiB each.
  if (joined.size() >= PATH_MAX) {
    if (std::exchange(here.said_too_long, true)) return;
    return say_in_order(problem::not_statted, joined, t.run);
  }
  if (fstatat(dir, name.c_str(), &link, AT_SYMLINK_NOFOLLOW) != 0) {
    return say_in_order(problem::not_statted, joined, t.run);
  }
  bool via_link = S_ISLNK(link.st_mode);
  if (!via_link) {
    st = link;
  } else if (!follow(dir, name, link, st, s)) {
    return say_in_order(problem::not_statted, joined, t.run);
  }
  bool root = s.reader == 0;
  if (via_link && root && link.st_uid != 0 && link.st_uid != st.st_uid) {
    say_in_order(problem::skipped, joined, t.run);
  } else if (recursive_flag && S_ISDIR(st.st_mode)) {
    descend(joined, name, st, via_link, t);
  } else if (!S_ISREG(st.st_mode)) {
    say_in_order(problem::skipped, joined, t.run);
  } else if (!via_link && root && st.st_nlink > 1 && !makers_could_read(here, st, s)) {
    say_in_order(problem::skipped, joined, t.run);
  } else {
    hand_over({problem::none, joined, here.fd, name, st, via_link}, t.run);
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
    if (l.id == id) return say_in_order(problem::cycle, joined, t.run);
  }
  if (t.walked.contains(id)) return say_in_order(problem::skipped, joined, t.run);
  opened_dir d = open_dir(t.descent.back().fd->fd, name.c_str(), link, &id);
  if (d.fd.fd < 0) {
    // A name that now leads to something else is no longer what the walk saw.
    bool moved = errno == ENOTDIR || errno == ELOOP;
    return say_in_order(moved ? problem::skipped : problem::not_opened, joined, t.run);
  }
  spare_a_descriptor(t);
  if (enter(d.st, name, joined, link, std::make_shared<fd_holder>(std::move(d.fd)), t)) {
    t.walked.insert(id);
  }
}

}  // namespace
