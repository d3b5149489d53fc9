// Output that may meet a terminal. A path written to a terminal shows control
// characters and invalid UTF-8 as '?', so that a crafted file name cannot
// move the cursor or rewrite the screen; written to a pipe or a file, it goes
// byte for byte, as scripts expect.
#ifndef VELORAND_TERM_TERM_H_
#define VELORAND_TERM_TERM_H_

#include <cstdio>
#include <string>

// Returns `path` with every byte that is not part of a printable character
// of valid UTF-8 replaced by '?'.
std::string shown(const std::string& path);

// Writes `prefix`, `path` and a newline to `f`, showing `path` as shown()
// does when `f` is a terminal; returns false when the write fails.
bool write_path_line(std::FILE* f, const char* prefix, const std::string& path);

#endif  // VELORAND_TERM_TERM_H_
