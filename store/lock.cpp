// SPDX-License-Identifier: GPL-3.0-or-later
// The lock every call holds on "<path>.lock", and the job-control stops held
// back while it is: a run stopped holding it would stall every other run.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#include <string>
#include <utility>

#include "store/internal.h"

namespace {

bool no_lock_told = false;

// How long a call waits for another run's lock before it says so.
constexpr int kPatience = 2;

void wake_up(int) {}

// Waits for `op` on the lock for at most kPatience, interrupted by an alarm,
// which a signal mask inherited from the caller must not hold back.
int flock_for_a_while(int fd, int op) {
  struct sigaction wake = {}, old = {};
  wake.sa_handler = wake_up;  // no SA_RESTART: the alarm ends the wait with EINTR
  sigemptyset(&wake.sa_mask);
  sigset_t alarm, mask;
  sigemptyset(&alarm);
  sigaddset(&alarm, SIGALRM);
  itimerval patience{}, none{};
  patience.it_value.tv_sec = kPatience;
  sigaction(SIGALRM, &wake, &old);
  sigprocmask(SIG_UNBLOCK, &alarm, &mask);
  setitimer(ITIMER_REAL, &patience, nullptr);
  int r = flock(fd, op);
  int saved = errno;
  setitimer(ITIMER_REAL, &none, nullptr);
  sigprocmask(SIG_SETMASK, &mask, nullptr);
  sigaction(SIGALRM, &old, nullptr);
  errno = r != 0 && saved == EINTR ? EWOULDBLOCK : saved;
  return r;
}

// Takes `op` on the lock `fd`, waiting for another run for a while.
bool take(int fd, int op) {
  if (flock(fd, op | LOCK_NB) == 0) return true;
  return errno == EWOULDBLOCK && flock_for_a_while(fd, op) == 0;
}

// Returns true when `path` still names the lock file open on `fd`.
bool still_in_place(int fd, const std::string& path) {
  struct stat held, named;
  return fstat(fd, &held) == 0 && stat(path.c_str(), &named) == 0 && held.st_ino == named.st_ino &&
         held.st_dev == named.st_dev;
}

// Puts a new lock file of mode 0600 in place of the one open on `old`: a user
// who could open the old one may hold it as long as they like. Under the old
// one's lock when it can be had at once, so that two runs do not both
// replace it; a run waiting on the old one finds it replaced.
void replace_lock(int old, const std::string& path) {
  flock(old, LOCK_EX | LOCK_NB);
  std::string made = path + ".new";
  unlink(made.c_str());
  fd_holder fresh(open(made.c_str(), O_RDONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600));
  if (fresh.fd < 0 || rename(made.c_str(), path.c_str()) != 0) fchmod(old, 0600);
  flock(old, LOCK_UN);
}

// Opens the lock file, made if missing, mode 0600 whatever was done to the
// database's other files (chmod a+r velorand.db.* once was the manual's
// advice): nobody but its owner may hold it.
int open_lock(const std::string& path) {
  for (int tries = 0; tries < 2; ++tries) {
    fd_holder fd(open(path.c_str(), O_RDONLY | O_CREAT | O_CLOEXEC, 0600));
    struct stat st;
    if (fd.fd < 0 || fstat(fd.fd, &st) != 0) return -1;
    if ((st.st_mode & 077) == 0 || st.st_uid != geteuid() || tries > 0) {
      return std::exchange(fd.fd, -1);
    }
    replace_lock(fd.fd, path);
  }
  return -1;
}

}  // namespace

db_lock::db_lock(int op) {
  sigset_t stops;
  sigemptyset(&stops);
  for (int sig : {SIGTSTP, SIGTTIN, SIGTTOU}) sigaddset(&stops, sig);
  sigprocmask(SIG_BLOCK, &stops, &old_mask);
  for (int tries = 0; tries < 3; ++tries) {
    file.fd = open_lock(paths().lock);
    if (file.fd < 0) break;
    if (!take(file.fd, op)) {
      file.reset();
      return;
    }
    if (still_in_place(file.fd, paths().lock)) return;
    file.reset();  // replaced by its owner while this run waited on the old one
  }
  if (file.fd >= 0) return;
  open_errno = errno;
  // On a read-only file system nothing can be writing, and a lock that only
  // its owner may open leaves the others nothing to wait for: they read.
  unlocked_read = op == LOCK_SH && (errno == EROFS || errno == EACCES);
}

bool db_lock::make_exclusive() {
  if (file.fd < 0) return errno = open_errno, false;  // a lookup without the lock
  if (take(file.fd, LOCK_EX)) return true;
  file.reset();
  return false;
}

db_lock::~db_lock() {
  file.reset();  // the lock goes first, then stops may act
  sigprocmask(SIG_SETMASK, &old_mask, nullptr);
}

int lock_failure(const db_lock& lock) {
  if (errno == EWOULDBLOCK) return kDbBusy;
  // A directory in its place, or none that may be made: not the database's fault.
  struct stat st;
  bool cannot_make =
      lock.file.fd < 0 &&
      (errno == EISDIR || (errno == EACCES && lstat(paths().lock.c_str(), &st) != 0));
  if (!cannot_make) return kDbUnavailable;
  // Said once: the calls that follow meet the same lock file.
  return std::exchange(no_lock_told, true) ? kDbUnavailable : kDbNoLock;
}
