// SPDX-License-Identifier: GPL-3.0-or-later
#include "term/term.h"

#include <gtest/gtest.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include <cstdio>
#include <string>

namespace {

TEST(Term, TerminalSeesOnlyPrintableCharacters) {
  int master = -1, slave = -1;
  ASSERT_EQ(openpty(&master, &slave, nullptr, nullptr, nullptr), 0);
  termios t;
  tcgetattr(slave, &t);
  cfmakeraw(&t);
  tcsetattr(slave, TCSANOW, &t);
  std::FILE* tty = fdopen(slave, "w");
  std::FILE* file = std::tmpfile();
  struct {
    const char* label;
    std::string path;
    std::string on_terminal;
  } cases[] = {
      {"plain", "d/a b", "d/a b"},
      {"escape sequence", "d/\x1b[2J", "d/?[2J"},
      {"newline and tab", "d/a\nb\tc", "d/a?b?c"},
      {"delete", "d/\x7f", "d/?"},
      {"two-byte letter", "d/caf\xc3\xa9", "d/caf\xc3\xa9"},
      {"four-byte symbol", "d/\xf0\x9f\x98\x80", "d/\xf0\x9f\x98\x80"},
      {"C1 control as UTF-8",
       "d/\xc2\x9b"
       "2J",
       "d/??2J"},
      {"bare C1 byte",
       "d/\x9b"
       "2J",
       "d/?2J"},
      {"invalid byte", "d/\xff", "d/?"},
      {"overlong slash", "d/\xc0\xaf", "d/??"},
      {"surrogate", "d/\xed\xa0\x80", "d/???"},
      {"truncated sequence", "d/\xe2\x82", "d/??"},
      {"right-to-left override",
       "d/\xe2\x80\xae"
       "gpj.exe",
       "d/???gpj.exe"},
      {"zero-width space",
       "d/a\xe2\x80\x8b"
       "b",
       "d/a???b"},
      {"byte order mark",
       "d/\xef\xbb\xbf"
       "x",
       "d/???x"},
  };
  std::string want_tty, want_file;
  for (const auto& c : cases) {
    EXPECT_TRUE(write_path_line(tty, "", c.path)) << c.label;
    EXPECT_TRUE(write_path_line(file, "Skipping ", c.path)) << c.label;
    want_tty += c.on_terminal + "\n";
    want_file += "Skipping " + c.path + "\n";
  }
  std::fclose(tty);
  std::string got;
  char buf[4096];
  for (ssize_t n; (n = read(master, buf, sizeof buf)) > 0;) {
    got.append(buf, static_cast<std::size_t>(n));
    if (got.size() >= want_tty.size()) break;
  }
  close(master);
  EXPECT_EQ(got, want_tty);
  std::rewind(file);
  std::string written;
  for (int c; (c = std::fgetc(file)) != EOF;) written += static_cast<char>(c);
  std::fclose(file);
  EXPECT_EQ(written, want_file);
}

}  // namespace

namespace {

TEST(Term, StatusTextFitsTheWidth) {
  status_line s;
  s.files = 12;
  s.bytes = 3'400'000;
  s.duplicates = 5;
  s.problems = 1;
  const std::string counts = "12 files, 3.4 MB, 5 duplicates, 1 problems";
  const std::string kE5 = "\xc3\xa9\xc3\xa9\xc3\xa9\xc3\xa9\xc3\xa9";  // five e-acute
  struct {
    const char* label;
    std::string dir;
    std::size_t width;
    std::string want;
  } cases[] = {
      {"room for all", "a/b", 80, counts + " in a/b"},
      {"no directory yet", "", 80, counts},
      {"path cut from the left", "first/second/third", counts.size() + 14,
       counts + " in ...d/third"},
      {"no room for a path", "a/b", counts.size() + 5, counts},
      {"counts cut", "a/b", 10, counts.substr(0, 10)},
      {"escape shown as ?", "d/\x1b[2J", 80, counts + " in d/?[2J"},
      {"cut keeps whole characters", "dir/" + kE5, counts.size() + 12, counts + " in ..." + kE5},
  };
  for (const auto& c : cases) {
    s.dir = c.dir;
    EXPECT_EQ(status_text(s, c.width), c.want) << c.label;
  }
  // A file read for over a second is named instead of its directory.
  s.dir = "a/b";
  s.file = "a/b/big";
  s.file_start = coarse_ms();
  EXPECT_EQ(status_text(s, 80), counts + " in a/b");
  s.file_start -= 1500;
  EXPECT_EQ(status_text(s, 80), counts + " reading a/b/big");
}

}  // namespace
