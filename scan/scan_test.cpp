#include "scan/scan.h"

#include <gtest/gtest.h>
#include <pty.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <cstdio>
#include <string>

#include "tests/scratch.h"

namespace {

// Runs `body` with standard error sent to a file and returns what it wrote.
template <typename Body>
std::string captured_stderr(Body body) {
  std::fflush(stderr);
  std::FILE* tmp = std::tmpfile();
  int saved = dup(2);
  dup2(fileno(tmp), 2);
  body();
  std::fflush(stderr);
  dup2(saved, 2);
  close(saved);
  std::string s;
  std::rewind(tmp);
  for (int c; (c = std::fgetc(tmp)) != EOF;) s += static_cast<char>(c);
  std::fclose(tmp);
  return s;
}

TEST(CheckFile, EntryNoLongerRegularWhenOpenedIsNotRead) {
  // The walk saw a regular file; by the time it is opened a FIFO stands
  // there, with no writer: reading it would block for ever.
  scratch_dir dir;
  std::string fifo = dir.path + "/entry";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0644), 0);
  struct stat was_regular;
  ASSERT_EQ(stat("/dev/null", &was_regular), 0);
  was_regular.st_mode = S_IFREG | 0644;
  std::string err = captured_stderr([&] { check_file(fifo, was_regular); });
  EXPECT_EQ(err, "Skipping " + fifo + "\n");
}

TEST(WritePathLine, TerminalSeesOnlyPrintableCharacters) {
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
