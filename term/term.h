// SPDX-License-Identifier: GPL-3.0-or-later
// Output that may meet a terminal. A path written to a terminal shows control
// characters and invalid UTF-8 as '?', so that a crafted file name cannot
// move the cursor or rewrite the screen; written to a pipe or a file, it goes
// byte for byte, as scripts expect.
//
// The status line: status_start enables it when standard error is a
// terminal. The walk tells it what happens (status_walking, then for each
// file status_file_begins, the status_reader's call per chunk read and
// status_file_ends;
// status_duplicate and status_problem before their lines), and it redraws
// itself in place at most four times a second on a coarse clock; status_clear
// erases it before any other line is written, and status_end for good. Where
// the system has SIGINFO, the signal makes the next redraw write it once as a
// line of its own, terminal or not.
#ifndef VELORAND_TERM_TERM_H_
#define VELORAND_TERM_TERM_H_

#include <csignal>
#include <cstddef>
#include <cstdio>
#include <string>

struct status_line {
  int fd = -1;           // standard error when it is a terminal, or -1
  bool out_too = false;  // standard output is a terminal too
  bool drawn = false;    // the line is on the screen
  long long files = 0, bytes = 0, duplicates = 0, problems = 0;
  std::string dir;                          // the directory being walked
  std::string file;                         // the file being read, or empty
  long long file_start = 0, next_draw = 0;  // coarse clock, milliseconds
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

// Notes that the walk is in `dir`.
void status_walking(status_line& s, const std::string& dir);

// Counts a file whose reading begins; `path` is named if it reads slowly.
void status_file_begins(status_line& s, const std::string& path);

// Returns the call that counts bytes read of the file into the status_line it
// is given (the form md5_of_stream's progress call takes), or null when
// nothing would show them.
using read_counter = void (*)(void* s, std::size_t bytes);
read_counter status_reader(const status_line& s);

// Notes that the file's verdict is reached.
void status_file_ends(status_line& s);

// Counts a duplicate, and erases the line when its path shares the terminal.
void status_duplicate(status_line& s);

// Counts a problem, and erases the line before its message.
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
