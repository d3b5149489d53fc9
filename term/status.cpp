// SPDX-License-Identifier: GPL-3.0-or-later
// The status line on a terminal standard error, and SIGINFO's one-off line.
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <ctime>

#include "term/term.h"

namespace {

constexpr long long kRedrawMs = 250;     // at most four draws a second
constexpr long long kSlowFileMs = 1000;  // a file read longer is named

// The terminal the line is drawn on while it is, for the stop handler: a
// stopped run erases it first, so that the shell's prompt does not follow it.
volatile std::sig_atomic_t drawn_on = -1;

void erase_then_stop(int) {
  int saved = errno;
  if (drawn_on >= 0) write(drawn_on, "\r\x1b[K", 4);
  drawn_on = -1;
  sigset_t stop;
  sigemptyset(&stop);
  sigaddset(&stop, SIGTSTP);
  signal(SIGTSTP, SIG_DFL);
  sigprocmask(SIG_UNBLOCK, &stop, nullptr);
  raise(SIGTSTP);  // stops here until continued
  signal(SIGTSTP, erase_then_stop);
  errno = saved;
}

#if defined(SIGINFO)
// The one thing the handler does; the next tick writes the line.
volatile std::sig_atomic_t info_asked = 0;
void ask_info(int) {
  info_asked = 1;
}
#endif

// Returns the number of characters in `s`, valid UTF-8 as shown() leaves it.
std::size_t columns(const std::string& s) {
  return static_cast<std::size_t>(
      std::count_if(s.begin(), s.end(), [](char c) { return (c & 0xc0) != 0x80; }));
}

// Drops characters from the front of `s` until it fits `width` columns.
std::string tail_fitting(const std::string& s, std::size_t width) {
  std::size_t have = columns(s), at = 0;
  for (; have > width; --have) {
    do ++at;
    while (at < s.size() && (s[at] & 0xc0) == 0x80);
  }
  return s.substr(at);
}

void write_all(int fd, const std::string& bytes) {
  for (std::size_t at = 0; at < bytes.size();) {
    ssize_t n = write(fd, bytes.data() + at, bytes.size() - at);
    if (n <= 0) return;
    at += static_cast<std::size_t>(n);
  }
}

std::size_t terminal_width(int fd) {
  winsize ws{};
  return ioctl(fd, TIOCGWINSZ, &ws) == 0 && ws.ws_col > 0 ? ws.ws_col : 80;
}

// Returns true unless the terminal `fd` has another foreground job than this.
bool foreground(int fd) {
  pid_t job = tcgetpgrp(fd);
  return job == -1 || job == getpgrp();
}

// Returns true when the line may be drawn: on a terminal, or where SIGINFO exists.
bool active([[maybe_unused]] const status_line& s) {
#if defined(SIGINFO)
  return true;
#else
  return s.fd >= 0;
#endif
}

// Redraws the line when its time has come, or writes it once after SIGINFO.
void tick(status_line& s) {
#if defined(SIGINFO)
  if (info_asked != 0) {
    info_asked = 0;
    status_clear(s, stderr);
    write_all(STDERR_FILENO, status_text(s, 1000) + "\n");
  }
#endif
  if (s.fd < 0) return;
  long long now = coarse_ms();
  if (now < s.next_draw) return;
  s.next_draw = now + kRedrawMs;
  // A run sent to the background leaves the screen to the shell and its jobs.
  if (!foreground(s.fd)) return;
  std::string line(1, '\r');  // appended, not "\r" + text: GCC 12 warns there at -O2
  line += status_text(s, terminal_width(s.fd) - 1);
  write_all(s.fd, line + "\x1b[K");
  s.drawn = true;
  drawn_on = s.fd;
}

}  // namespace

void status_start(status_line& s) {
#if defined(SIGINFO)
  struct sigaction sa = {};
  sa.sa_handler = ask_info;
  sa.sa_flags = SA_RESTART;
  sigaction(SIGINFO, &sa, nullptr);
#endif
  if (!isatty(STDERR_FILENO)) return;
  s.fd = STDERR_FILENO;
  // A pipe may lead to the same screen (`velorand dir | cat`): a duplicate's
  // line must not be glued to the status there either.
  struct stat out;
  s.out_too = isatty(STDOUT_FILENO) != 0 ||
              (fstat(STDOUT_FILENO, &out) == 0 && (S_ISFIFO(out.st_mode) || S_ISSOCK(out.st_mode)));
  s.next_draw = coarse_ms() + kRedrawMs;
  struct sigaction old = {};
  sigaction(SIGTSTP, nullptr, &old);
  if (old.sa_handler == SIG_DFL) signal(SIGTSTP, erase_then_stop);  // an ignored stop stays so
}

long long coarse_ms() {
  timespec ts{};
#if defined(CLOCK_MONOTONIC_COARSE)
  clock_gettime(CLOCK_MONOTONIC_COARSE, &ts);
#elif defined(CLOCK_MONOTONIC_FAST)
  clock_gettime(CLOCK_MONOTONIC_FAST, &ts);
#else
  clock_gettime(CLOCK_MONOTONIC, &ts);
#endif
  return static_cast<long long>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

void status_walking(status_line& s, const std::string& dir) {
  if (active(s)) s.dir = dir;
}

void status_file_begins(status_line& s, const std::string& path) {
  ++s.files;
  if (!active(s)) return;
  s.file = path;  // kept in the capacity of earlier paths: no allocation per file
  s.file_start = coarse_ms();
}

void status_read(status_line& s, std::size_t bytes) {
  if (!active(s)) return;
  s.bytes += static_cast<long long>(bytes);
  tick(s);
}

void status_file_ends(status_line& s) {
  s.file.clear();
  if (active(s)) tick(s);
}

void status_duplicate(status_line& s) {
  ++s.duplicates;
  status_clear(s, stdout);
}

void status_problem(status_line& s) {
  ++s.problems;
  status_clear(s, stderr);
}

void status_clear(status_line& s, std::FILE* f) {
  if (drawn_on < 0) s.drawn = false;  // a stop erased it
  if (!s.drawn || (f == stdout && !s.out_too)) return;
  drawn_on = -1;
  // Sent to the background, the run leaves the line the shell is on alone.
  if (foreground(s.fd)) write_all(s.fd, "\r\x1b[K");
  s.drawn = false;
}

void status_end(status_line& s) {
  status_clear(s, stderr);
  s.fd = -1;
}

std::string status_text(const status_line& s, std::size_t width) {
  char counts[160];
  std::snprintf(counts, sizeof counts, "%lld files, %.1f MB, %lld duplicates, %lld problems",
                s.files, static_cast<double>(s.bytes) / 1e6, s.duplicates, s.problems);
  std::string text = counts;
  if (text.size() >= width) return text.substr(0, width);
  bool slow = !s.file.empty() && coarse_ms() - s.file_start >= kSlowFileMs;
  const char* label = slow ? " reading " : " in ";
  std::string path = shown(slow ? s.file : s.dir);
  std::size_t room = width - text.size() - std::strlen(label);
  if (path.empty() || room < 8 || room > width) return text;
  // The end of a path says most: it is kept, behind an ellipsis.
  if (columns(path) > room) path = "..." + tail_fitting(path, room - 3);
  return text + label + path;
}
