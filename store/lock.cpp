// SPDX-License-Identifier: GPL-3.0-or-later
// The lock every call holds on "<path>.lock", opened once per run, and the
// job-control stops held back while it is: a run stopped holding it would
// stall every other run. The lock file is its owner's alone (mode 0600),
// whatever was done to the database's other files: a user who could open it
// could hold it as long as they liked.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

#include <utility>

#include "store/file.h"
#include "store/internal.h"

namespace {

constexpr int kPatience = 2;  // seconds a call waits for another run's lock before it says so

void wake_up(int) {}

// Takes `op` on the lock `fd`, waiting for at most kPatience, interrupted by
// an alarm, which a signal mask inherited from the caller must not hold back.
bool take(int fd, int op) {
  if (flock(fd, op | LOCK_NB) == 0) return true;
  if (errno != EWOULDBLOCK) return false;
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
  errno_keeper keep;
  setitimer(ITIMER_REAL, &none, nullptr);
  sigprocmask(SIG_SETMASK, &mask, nullptr);
  sigaction(SIGALRM, &old, nullptr);
  if (r != 0 && keep.saved == EINTR) keep.saved = EWOULDBLOCK;
  return r == 0;
}

// Puts a new lock file of mode 0600 in place of the one open on `old`, under
// the old one's lock when it can be had at once, so that two runs do not
// both replace it; a run holding the old one open finds it replaced.
void replace_lock(int old, const std::string& path) {
  flock(old, LOCK_EX | LOCK_NB);
  std::string made = path + ".new";
  unlink(made.c_str());
  fd_holder fresh(open(made.c_str(), O_RDONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600));
  if (fresh.fd < 0 || rename(made.c_str(), path.c_str()) != 0) fchmod(old, 0600);
  flock(old, LOCK_UN);
}

// Opens the lock file of `db`, made if missing, unless the record holds it
// open already; its owner first replaces one found open to others.
bool open_lock(digest_db& db) {
  for (int tries = 0; db.lock.fd < 0 && tries < 2; ++tries) {
    fd_holder fd(open(db.paths.lock.c_str(), O_RDONLY | O_CREAT | O_CLOEXEC, 0600));
    struct stat st;
    if (fd.fd < 0 || fstat(fd.fd, &st) != 0) return false;
    if ((st.st_mode & 077) != 0 && st.st_uid == geteuid() && tries == 0) {
      replace_lock(fd.fd, db.paths.lock);
      continue;
    }
    db.lock = std::move(fd);
    db.lock_dev = st.st_dev;
    db.lock_ino = st.st_ino;
  }
  return db.lock.fd >= 0;
}

// Returns true when the lock's path still names the file held open: its
// owner may have replaced it, or someone removed it, since it was opened.
bool still_in_place(const digest_db& db) {
  struct stat st;
  return stat(db.paths.lock.c_str(), &st) == 0 && st.st_ino == db.lock_ino &&
         st.st_dev == db.lock_dev;
}

// Returns what keeps `op` from a lock whose file could not be opened, for `err`.
hitch unopened(digest_db& db, int err, int op) {
  // On a read-only file system nothing can be writing, and a lock that only
  // its owner may open leaves the others nothing to wait for: they read.
  if (op == LOCK_SH && (err == EROFS || err == EACCES)) return hitch::none;
  struct stat st;
  bool cannot_make = err == EISDIR || (err == EACCES && lstat(db.paths.lock.c_str(), &st) != 0);
  errno = err;
  if (!cannot_make || std::exchange(db.no_lock_told, true)) return hitch::unavailable;
  return hitch::no_lock;  // said once
}

}  // namespace

call_lock::call_lock(digest_db& d, int op) : db(d) {
  sigset_t stops;
  sigemptyset(&stops);
  for (int sig : {SIGTSTP, SIGTTIN, SIGTTOU}) sigaddset(&stops, sig);
  sigprocmask(SIG_BLOCK, &stops, &old_mask);
  for (int tries = 0; tries < 3; ++tries, db.lock.reset()) {
    if (!open_lock(db)) {
      result = unopened(db, errno, op);
      return;
    }
    if (!take(db.lock.fd, op)) {
      result = errno == EWOULDBLOCK ? hitch::busy : hitch::unavailable;
      return;
    }
    held = still_in_place(db);
    if (held) {
      result = hitch::none;
      return;
    }
    flock(db.lock.fd, LOCK_UN);
  }
}

call_lock::~call_lock() {
  errno_keeper keep;
  if (held) flock(db.lock.fd, LOCK_UN);  // the lock first, then stops
  sigprocmask(SIG_SETMASK, &old_mask, nullptr);
}
