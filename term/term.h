// SPDX-License-Identifier: GPL-3.0-or-later
// Output that may meet a terminal. A path written to a terminal shows control
// characters and invalid UTF-8 as '?', so that a crafted file name cannot
// move the cursor or rewrite the screen; written to a pipe or a file, it goes
// byte for byte, as scripts expect.
//
// The status line: status_start enables it when standard error is a
// terminal. The walk tells it what happens, and it redraws itself in place at
// most four times a second on a coarse clock; status_clear erases it before
// any other line is written, and status_end for good. Where the system has
// SIGINFO, the signal makes the next redraw write it once as a line of its
// own, terminal or not.
#ifndef VELORAND_TERM_TERM_H_
#define VELORAND_TERM_TERM_H_

#include <cstddef>
#include <cstdio>
#include <string>

struct status_line {
  int fd = -1;           // standard error when it is a terminal, or -1
  bool out_too = false;  // standard output may reach the screen too
  bool drawn = false;    // the line is on the screen
  long long files = 0, bytes = 0, duplicates = 0, problems = 0;
  std::string dir;                          // the directory being walked
  std::string file;                         // the file being read, or empty
  long long file_start = 0, next_draw = 0;  // coarse clock, milliseconds
  int out_errno = 0;                        // why a duplicate's line was not written
};

// Returns `path` with every byte that is not part of a printable character
// of valid UTF-8 replaced by '?'.
std::string shown(const std::string& path);

// Writes `prefix`, `path` and a newline to `f`, showing `path` as shown()
// does when `f` is a terminal; returns false when the write fails.
bool write_path_line(std::FILE* f, const char* prefix, const std::string& path);

// Enables `s` on a terminal standard error, and answers SIGINFO where the
// system has it.
void status_start(status_line& s);

// What the walk tells it: the directory it is in; a file whose reading
// begins (named if it reads slowly), then the bytes read, then its end; a
// duplicate or a problem, which erase the line when the path's line is for its
// terminal.
void status_walking(status_line& s, const std::string& dir);
void status_file_begins(status_line& s, const std::string& path);
void status_read(status_line& s, std::size_t bytes);
void status_file_ends(status_line& s);
void status_duplicate(status_line& s);
void status_problem(status_line& s);

// Returns the coarse monotonic clock in milliseconds.
long long coarse_ms();

// Erases the line from the screen before `f` gets a line of its own.
void status_clear(status_line& s, std::FILE* f);

// Erases the line for good.
void status_end(status_line& s);

// Returns the line's text fitted to `width` columns: the counts, then the
// directory walked or a file read for over a second, cut from the left.
std::string status_text(const status_line& s, std::size_t width);

#endif  // VELORAND_TERM_TERM_H_
