// SPDX-License-Identifier: GPL-3.0-or-later
// Paths as a terminal may safely show them, and lines written whole.
#include <unistd.h>

#include <algorithm>
#include <cstdint>

#include "term/term.h"

namespace {

// Returns the length of the valid UTF-8 sequence for a printable character at
// `s`, or 0 when the byte there must be shown as '?'.
std::size_t printable_length(const unsigned char* s, std::size_t left) {
  if (s[0] >= 0x20 && s[0] < 0x7f) return 1;
  std::size_t n = s[0] >= 0xf0 && s[0] < 0xf5 ? 4 : s[0] >= 0xe0 ? 3 : s[0] >= 0xc2 ? 2 : 0;
  if (s[0] >= 0xf5 || n == 0 || n > left) return 0;
  std::uint32_t cp = s[0] & (0x7f >> n);
  for (std::size_t i = 1; i < n; ++i) {
    if ((s[i] & 0xc0) != 0x80) return 0;
    cp = cp << 6 | (s[i] & 0x3f);
  }
  static constexpr std::uint32_t kLeast[] = {0, 0, 0x80, 0x800, 0x10000};
  bool ok = cp >= kLeast[n] && cp >= 0xa0 && cp <= 0x10ffff && (cp < 0xd800 || cp > 0xdfff);
  // Zero-width characters and bidirectional overrides can make one path
  // look like another on a terminal.
  bool hidden = (cp >= 0x200b && cp <= 0x200f) || (cp >= 0x202a && cp <= 0x202e) ||
                (cp >= 0x2066 && cp <= 0x2069) || cp == 0xfeff;
  return ok && !hidden ? n : 0;
}

bool needs_escaping(const std::string& path) {
  return std::any_of(path.begin(), path.end(),
                     [](unsigned char c) { return c < 0x20 || c >= 0x7f; });
}

}  // namespace

std::string shown(const std::string& path) {
  std::string out;
  const auto* s = reinterpret_cast<const unsigned char*>(path.data());
  for (std::size_t i = 0; i < path.size();) {
    std::size_t n = printable_length(s + i, path.size() - i);
    if (n == 0) {
      out += '?';
      n = 1;
    } else {
      out.append(path, i, n);
    }
    i += n;
  }
  return out;
}

bool write_path_line(std::FILE* f, const char* prefix, const std::string& path) {
  bool escape = needs_escaping(path) && isatty(fileno(f));
  if (*prefix == '\0' && !escape) {
    return std::fwrite(path.data(), 1, path.size(), f) == path.size() && std::putc('\n', f) != EOF;
  }
  // One write, so that an unbuffered stream gets the line whole.
  std::string line = prefix;
  if (escape) {
    line += shown(path);
  } else {
    line += path;
  }
  line += '\n';
  return std::fwrite(line.data(), 1, line.size(), f) == line.size();
}
