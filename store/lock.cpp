// SPDX-License-Identifier: GPL-3.0-or-later
// The lock every call holds on "<path>.lock", and the job-control stops held
// back while it is: a run stopped holding it would stall every other run.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>

#include "store/internal.h"

namespace {

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

}  // namespace

db_lock::db_lock(int op) {
  sigset_t stops;
  sigemptyset(&stops);
  for (int sig : {SIGTSTP, SIGTTIN, SIGTTOU}) sigaddset(&stops, sig);
  sigprocmask(SIG_BLOCK, &stops, &old_mask);
  // flock needs no write permission; a user who may read the lock may take it.
  file.fd = open(paths().lock.c_str(), O_RDONLY | O_CREAT | O_CLOEXEC, 0600);
  // On a read-only file system nothing can be writing: a lookup needs no lock.
  unlocked_read = file.fd < 0 && errno == EROFS && op == LOCK_SH;
  if (file.fd < 0 || flock(file.fd, op | LOCK_NB) == 0) return;
  if (errno == EWOULDBLOCK && flock_for_a_while(file.fd, op) == 0) return;
  file.reset();
}

bool db_lock::make_exclusive() {
  if (file.fd < 0) return errno = EROFS, false;  // a lookup on a read-only file system
  unlocked_read = false;
  if (flock(file.fd, LOCK_EX | LOCK_NB) == 0) return true;
  if (errno == EWOULDBLOCK && flock_for_a_while(file.fd, LOCK_EX) == 0) return true;
  file.reset();
  return false;
}

db_lock::~db_lock() {
  file.reset();  // the lock goes first, then stops may act
  sigprocmask(SIG_SETMASK, &old_mask, nullptr);
}

int lock_failure() {
  return errno == EWOULDBLOCK ? kDbBusy : kDbUnavailable;
}
