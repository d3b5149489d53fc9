// SPDX-License-Identifier: GPL-3.0-or-later
// End-to-end tests: the real program, built with its database at db/velorand.db
// relative to where it runs, in a scratch tree of each case's own.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <pty.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <sstream>
#include <string>
#include <vector>

#include "common/common.h"
#include "md5/md5.h"
#include "tests/scratch.h"

namespace {

const char kUsage[] =
    "velorand: [-r] <directory> [directory] ...\n"
    "\t-r: scan directories recursively\n";

class EndToEnd : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(mkdir(at("db").c_str(), 0755), 0);
    ASSERT_EQ(chmod(at("db").c_str(), 0777), 0);  // for cases run as nobody
  }

  std::string at(const std::string& rel) const { return dir_.path + "/" + rel; }
  void dir(const std::string& rel) { ASSERT_EQ(mkdir(at(rel).c_str(), 0755), 0) << rel; }
  void file(const std::string& rel, const std::string& bytes) { write_file(at(rel), bytes); }
  void link(const std::string& target, const std::string& rel) {
    ASSERT_EQ(symlink(target.c_str(), at(rel).c_str()), 0) << rel;
  }

  run_result run(const std::vector<std::string>& args, bool unprivileged = false) {
    std::vector<std::string> argv{"velorand"};
    argv.insert(argv.end(), args.begin(), args.end());
    return run_program(unprivileged ? reachable_copy() : VELORAND_TEST_PROGRAM, argv, dir_.path,
                       unprivileged);
  }

  // Returns a copy of the program in the scratch directory, which the user
  // nobody can reach wherever the checkout lies (a home of mode 0700).
  std::string reachable_copy() {
    std::string copy = at("velorand");
    if (access(copy.c_str(), X_OK) != 0) {
      write_file(copy, read_file(VELORAND_TEST_PROGRAM));
      chmod(copy.c_str(), 0755);
    }
    return copy;
  }

  std::vector<std::string> listing(const std::string& rel) const { return ::listing(at(rel)); }

  // Returns "<dir>/<name>\n" for each of `names` but the first met in the listing of `rel`.
  std::string all_but_first(const std::string& rel, const std::string& shown_dir,
                            const std::vector<std::string>& names) {
    std::string out;
    bool first = true;
    for (const std::string& n : listing(rel)) {
      if (std::find(names.begin(), names.end(), n) == names.end()) continue;
      if (!first) out += shown_dir + "/" + n + "\n";
      first = false;
    }
    return out;
  }

  // Returns "<shown_dir>/<name>\n" for every entry of `rel` in listing order.
  std::string all_of(const std::string& rel, const std::string& shown_dir) {
    std::string out;
    for (const std::string& n : listing(rel)) out += shown_dir + "/" + n + "\n";
    return out;
  }

  // Removes the database files: everything recorded is forgotten.
  void forget() {
    for (const std::string& f : names_with_prefix(at("db"), "velorand.db")) {
      ASSERT_EQ(unlink(at("db/" + f).c_str()), 0);
    }
  }

  std::map<std::string, std::string> db() { return db_records(at("db/velorand.db")); }

  pid_t hold_lock(unsigned micros) {
    return ::hold_lock(at("db/velorand.db.lock"), LOCK_EX, micros);
  }

  scratch_dir dir_;
};

std::string key_of(const std::string& content) {
  digest d;
  md5_of_memory(content.data(), content.size(), d);
  return std::string(d.begin(), d.end());
}

void expect_run(const run_result& r, int status, const std::string& out, const std::string& err) {
  EXPECT_EQ(r.status, status);
  EXPECT_EQ(r.out, out);
  EXPECT_EQ(r.err, err);
}

// Returns true where files are opened as on other systems than Linux.
bool opened_as_elsewhere() {
  return std::string(VELORAND_FILES) != "linux";
}

// Cases are grouped by where a failure points: the command line, the walk,
// the verdict on a file, the output, and the database runs share.
class Walk : public EndToEnd {};
class Verdict : public EndToEnd {};
class Output : public EndToEnd {};
class Database : public EndToEnd {
 protected:
  // Records old/a, then makes new/copy of the same content and new/fresh;
  // returns the database as it then is.
  std::map<std::string, std::string> record_old_then_make_new() {
    dir("old");
    file("old/a", "seen before");
    expect_run(run({"old"}), 0, "", "");
    dir("new");
    file("new/copy", "seen before");
    file("new/fresh", "never seen");
    return db();
  }
};

// A tree whose only duplicate lies in a subdirectory: a/x, and d/sub/b with
// the same content.
class CommandLine : public EndToEnd {
 protected:
  void SetUp() override {
    EndToEnd::SetUp();
    dir("a");
    file("a/x", "same");
    dir("d");
    dir("d/sub");
    file("d/sub/b", "same");
  }
};

TEST_F(CommandLine, NoArgumentsGivesUsage) {
  expect_run(run({}), 1, "", kUsage);
  EXPECT_TRUE(names_with_prefix(at("db"), "velorand").empty());
}

TEST_F(CommandLine, UsageNamesProgramAsInvoked) {
  run_result r = run_program(VELORAND_TEST_PROGRAM, {"./bin/velorand"}, dir_.path);
  expect_run(r, 1, "",
             "./bin/velorand: [-r] <directory> [directory] ...\n"
             "\t-r: scan directories recursively\n");
}

TEST_F(CommandLine, DashRAloneWalksNothing) {
  expect_run(run({"-r"}), 0, "", "");
}

TEST_F(CommandLine, UnknownOptionWalksNothing) {
  run_result r = run({"-x", "a"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, "");
#if defined(__GLIBC__)
  EXPECT_EQ(r.err, std::string("velorand: invalid option -- 'x'\n") + kUsage);
#else
  EXPECT_TRUE(r.err.size() > sizeof kUsage && r.err.ends_with(kUsage)) << r.err;
#endif
  EXPECT_TRUE(names_with_prefix(at("db"), "velorand").empty());
}

TEST_F(CommandLine, RepeatedOrCombinedDashRRecurse) {
  expect_run(run({"-r", "-r", "a", "d"}), 0, "d/sub/b\n", "");
  forget();
  expect_run(run({"-rr", "a", "d"}), 0, "d/sub/b\n", "");
}

TEST_F(CommandLine, OptionAfterOperandIsAnOperand) {
  expect_run(run({"d", "-r"}), 0, "", "Skipping d/sub\nCouldn't open -r\n");
}

TEST_F(CommandLine, DoubleDashEndsOptions) {
  expect_run(run({"--", "d"}), 0, "", "Skipping d/sub\n");
  expect_run(run({"--", "a"}), 0, "", "");
  expect_run(run({"--", "-r", "a"}), 0, "a/x\n", "Couldn't open -r\n");
}

TEST_F(CommandLine, WithDashRSubdirectoryIsWalked) {
  expect_run(run({"-r", "a", "d"}), 0, "d/sub/b\n", "");
  EXPECT_EQ(db(), (std::map<std::string, std::string>{{key_of("same"), packed_keys({4})}}));
}

// The options beyond -r, on one tree: n1/fresh and n2/twin share a content
// never seen, and n3/"co\npy" (a name holding a newline) has the content of
// old/a, recorded before.
class Options : public EndToEnd {
 protected:
  void SetUp() override {
    EndToEnd::SetUp();
    dir("old");
    file("old/a", "seen before");
    ASSERT_EQ(run({"old"}).status, 0);
    for (const char* d : {"n1", "n2", "n3"}) dir(d);
    file("n1/fresh", "never seen");
    file("n2/twin", "never seen");
    file("n3/co\npy", "seen before");
  }

  // Returns every byte of every file of the database, by name.
  std::map<std::string, std::string> db_files() {
    std::map<std::string, std::string> files;
    for (const std::string& f : names_with_prefix(at("db"), ""))
      files[f] = read_file(at("db/" + f));
    return files;
  }
};

// Returns `err` with the time of a summary line, the last, as "T".
std::string timeless(std::string err) {
  std::size_t s = err.rfind("; ");
  if (err.starts_with("Summary: ") || err.find("\nSummary: ") != std::string::npos) {
    if (s != std::string::npos && err.ends_with(" s\n"))
      err.replace(s + 2, err.size() - s - 5, "T");
  }
  return err;
}

const char kHelp[] =
    "Usage: velorand [-0hnrs] <directory> [directory] ...\n"
    "Prints the path of every regular file in the directories whose content (MD5\n"
    "digest and size) was recorded before, by this run or an earlier one, in the\n"
    "database db/velorand.db; records every other file's content there.\n"
    "\n"
    "  -r          scan directories recursively\n"
    "  -n          dry run: print what the run would print, record nothing\n"
    "  -0          end each path on standard output with a NUL, not a newline\n"
    "              (unless standard output is a terminal)\n"
    "  -s          write a summary line on standard error at the end\n"
    "  -h, --help  show this help and exit\n"
    "  --version   show the version and exit\n"
    "\n"
    "Exit status: 0 after scanning, whatever was reported; 1 on a usage error or\n"
    "when standard output could not be written. See velorand(1).\n";

TEST_F(Options, EachOptionsBytesStatusAndDatabase) {
  using namespace std::string_literals;
  const std::string summary =
      "Summary: 3 files digested, 31 bytes; 2 duplicates, 21 bytes; 0 problems; T s\n";
  const std::vector<std::string> tree{"n1", "n2", "n3"};
  struct row {
    const char* label;
    std::vector<std::string> args;  // before the tree's three directories, when `walks`
    bool walks;
    std::string out, err;
    bool records;  // the content never seen; else the database's files stay as they were
  } rows[] = {
      {"none", {}, true, "n2/twin\nn3/co\npy\n", "", true},
      {"-n: what the run would print, nothing recorded",
       {"-n"},
       true,
       "n2/twin\nn3/co\npy\n",
       "",
       false},
      {"-0: each path ends with a NUL", {"-0"}, true, "n2/twin\0n3/co\npy\0"s, "", true},
      {"-s: the summary at the end", {"-s"}, true, "n2/twin\nn3/co\npy\n", summary, true},
      {"-n0s: combined", {"-n0s"}, true, "n2/twin\0n3/co\npy\0"s, summary, false},
      {"-r -n --: ordinary options", {"-r", "-n", "--"}, true, "n2/twin\nn3/co\npy\n", "", false},
      {"--help", {"--help"}, false, kHelp, "", false},
      {"-h", {"-h"}, false, kHelp, "", false},
      {"-h after another option", {"-r", "-h", "n1"}, false, kHelp, "", false},
      {"--version", {"--version"}, false, "velorand " VELORAND_VERSION "\n", "", false},
      {"--help not first is an operand",
       {"n1", "--help"},
       false,
       "",
       "Couldn't open --help\n",
       true},
  };
  for (const row& r : rows) {
    SCOPED_TRACE(r.label);
    forget();
    ASSERT_EQ(run({"old"}).status, 0);
    const std::map<std::string, std::string> files = db_files(), records = db();
    std::vector<std::string> args = r.args;
    if (r.walks) args.insert(args.end(), tree.begin(), tree.end());
    run_result got = run(args);
    got.err = timeless(got.err);
    expect_run(got, 0, r.out, r.err);
    if (!r.records) {
      EXPECT_EQ(db_files(), files);
      continue;
    }
    std::map<std::string, std::string> want = records;
    want[key_of("never seen")] = packed_keys({10});
    EXPECT_EQ(db(), want);
  }
}

// A dry run over a tree whose database does not exist yet makes none.
TEST_F(Options, DryRunMakesNoDatabase) {
  forget();
  expect_run(run({"-n", "n1", "n2", "n3"}), 0, "n2/twin\n", "");
  EXPECT_TRUE(names_with_prefix(at("db"), "").empty());
}

// Makes a chain of directories named by `component` under `rel`, `depth`
// deep, and a file "f" at its bottom; returns the file's path below `rel`.
std::string deep_tree(const std::string& root, const std::string& component, int depth) {
  int fd = open(root.c_str(), O_RDONLY | O_DIRECTORY);
  std::string path;
  for (int i = 0; i < depth; ++i) {
    EXPECT_EQ(mkdirat(fd, component.c_str(), 0755), 0);
    int next = openat(fd, component.c_str(), O_RDONLY | O_DIRECTORY);
    close(fd);
    fd = next;
    path += component + "/";
  }
  int f = openat(fd, "f", O_WRONLY | O_CREAT, 0644);
  EXPECT_EQ(write(f, "deep", 4), 4);
  close(f);
  close(fd);
  return path + "f";
}

TEST_F(Walk, OperandsWalkedInOrderAndTwice) {
  dir("a");
  dir("b");
  file("a/x", "one");
  file("b/y", "two");
  expect_run(run({"b", "a", "b"}), 0, "b/y\n", "");
  expect_run(run({"a"}), 0, "a/x\n", "");
}

TEST_F(Walk, OperandThatCannotBeListedIsReported) {
  file("plain", "p");
  dir("d");
  file("d/f", "f");
  expect_run(run({"plain", "missing", "", "d", "d"}), 0, "d/f\n",
             "Skipping plain\nCouldn't open missing\nCouldn't open \n");
  EXPECT_EQ(db().size(), 1u);
}

TEST_F(Walk, SubdirectoryThatCannotBeListedIsReported) {
  dir("d");
  dir("d/closed");
  file("d/closed/f", "f");
  ASSERT_EQ(chmod(at("d/closed").c_str(), 0), 0);
  // Root may list any directory: the case runs as nobody then.
  expect_run(run({"-r", "d"}, running_as_root()), 0, "", "Couldn't open d/closed\n");
  // Met again through a link, it is tried again: it was never walked.
  link("closed", "d/again");
  std::string err;
  for (const std::string& n : listing("d")) err += "Couldn't open d/" + n + "\n";
  expect_run(run({"-r", "d"}, running_as_root()), 0, "", err);
}

TEST_F(Walk, ReducedStackAndDescriptorLimits) {
#if defined(__SANITIZE_ADDRESS__)
  GTEST_SKIP() << "AddressSanitizer's frames are several times larger";
#endif
  // The read buffer and a 400-deep descent must both fit a small stack, and
  // the descent a few descriptors.
  dir("s");
  file("s/f", "f");
  dir("d");
  std::string rel = deep_tree(at("d"), "n", 400);
  const std::string prog = VELORAND_TEST_PROGRAM;
  run_result r =
      run_program("/bin/sh", {"sh", "-c", "ulimit -s 144 && " + prog + " s s"}, dir_.path);
  expect_run(r, 0, "s/f\n", "");
  r = run_program("/bin/sh", {"sh", "-c", "ulimit -s 256 && " + prog + " -r d d"}, dir_.path);
  expect_run(r, 0, "d/" + rel + "\n", "");
  // Deeper than the descriptors allow, with entries left in every directory
  // after its subdirectory or before it: the walk opens its way back down.
  std::string level = "e";
  for (int i = 0; i < 100; ++i, level += "/n") {
    dir(level);
    file(level + "/a", "same");
    file(level + "/z", "same");
  }
  r = run({"-r", "e"});
  forget();
  expect_run(run_program("/bin/sh", {"sh", "-c", "ulimit -n 40 && " + prog + " -r e"}, dir_.path),
             0, r.out, "");
}

TEST_F(Walk, EmptyDirectoryWritesNothing) {
  dir("empty");
  expect_run(run({"-r", "empty"}), 0, "", "");
}

TEST_F(Walk, DepthFirstOrder) {
  // Each subdirectory's entries come before the entries that follow it.
  dir("d");
  for (const char* s : {"s1", "s2", "s3"}) {
    dir(std::string("d/") + s);
    file(std::string("d/") + s + "/f", "same");
    file(std::string("d/") + s + "_file", "same");
  }
  // Record the content first so every file is printed, in walk order.
  dir("first");
  file("first/f", "same");
  ASSERT_EQ(run({"first"}).out, "");
  std::string want;
  for (const std::string& n : listing("d")) {
    if (n.find("_file") != std::string::npos) {
      want += "d/" + n + "\n";
    } else {
      want += "d/" + n + "/f\n";
    }
  }
  expect_run(run({"-r", "d"}), 0, want, "");
}

TEST_F(Walk, LinkToFileIsFollowed) {
  dir("d");
  file("target", "linked content");
  link("../target", "d/to_file");
  expect_run(run({"d"}), 0, "", "");
  EXPECT_EQ(db(),
            (std::map<std::string, std::string>{{key_of("linked content"), packed_keys({14})}}));
  expect_run(run({"-r", "d"}), 0, "d/to_file\n", "");
}

TEST_F(Walk, LinkToDirectoryIsSkippedWithoutDashR) {
  dir("d");
  dir("elsewhere");
  file("elsewhere/inner", "inner content");
  link("../elsewhere", "d/to_dir");
  expect_run(run({"d"}), 0, "", "Skipping d/to_dir\n");
  EXPECT_TRUE(db().empty());
}

TEST_F(Walk, LinkToDirectoryIsWalkedWithDashR) {
  dir("d");
  dir("elsewhere");
  file("elsewhere/inner", "inner content");
  link("../elsewhere", "d/to_dir");
  expect_run(run({"-r", "d"}), 0, "", "");
  EXPECT_EQ(db().count(key_of("inner content")), 1u);
}

TEST_F(Walk, DanglingLinkIsReported) {
  dir("d");
  link("nowhere", "d/dangling");
  expect_run(run({"d"}), 0, "", "Couldn't stat d/dangling\n");
  expect_run(run({"-r", "d"}), 0, "", "Couldn't stat d/dangling\n");
}

TEST_F(Walk, TrailingSlashGivesDoubleSlash) {
  dir("d");
  dir("d/sub");
  file("d/a", "x");
  expect_run(run({"d/"}), 0, "", "Skipping d//sub\n");
  expect_run(run({"d/"}), 0, "d//a\n", "Skipping d//sub\n");
}

TEST_F(Walk, DotFilesHandledDotEntriesNever) {
  dir("p");
  dir("h");
  file("p/.profile", "dot");
  file("h/..hidden", "dot");
  expect_run(run({"p", "h"}), 0, "h/..hidden\n", "");
  expect_run(run({"p"}), 0, "p/.profile\n", "");
}

TEST_F(Walk, FifoIsSkippedWithoutBlocking) {
  dir("d");
  ASSERT_EQ(mkfifo(at("d/fifo").c_str(), 0644), 0);
  expect_run(run({"d"}), 0, "", "Skipping d/fifo\n");
}

TEST_F(Walk, LinkToItselfIsACycle) {
  dir("d");
  file("d/f", "f");
  link(".", "d/self");
  expect_run(run({"-r", "d"}), 0, "", "Directory cycle at d/self\n");
}

TEST_F(Walk, LinkToAnAncestorIsACycle) {
  dir("d");
  dir("d/sub");
  link("..", "d/sub/up");
  expect_run(run({"-r", "d"}), 0, "", "Directory cycle at d/sub/up\n");
}

TEST_F(Walk, DirectoryReachedTwiceWithoutCycleIsWalkedTwice) {
  dir("d");
  file("d/f", "f");
  dir("e");
  link("../d", "e/alias");
  expect_run(run({"-r", "d", "e"}), 0, "e/alias/f\n", "");
}

// Links cannot make a walk do more than its tree holds: a directory reached
// again below the same operand is skipped, so thirty folders, each with two
// links to the next, cost thirty folders and not 2^30.
TEST_F(Walk, DirectoryReachedAgainIsSkipped) {
  constexpr int kChain = 30;
  for (int i = 0; i <= kChain; ++i) dir("c" + std::to_string(i));
  file("c" + std::to_string(kChain) + "/f", "end");
  for (int i = 0; i < kChain; ++i) {
    link("../c" + std::to_string(i + 1), "c" + std::to_string(i) + "/a");
    link("../c" + std::to_string(i + 1), "c" + std::to_string(i) + "/b");
  }
  // Depth first through each folder's first link; its second is met on the
  // way back up.
  std::vector<std::string> down{"c0"};
  for (int i = 0; i < kChain; ++i)
    down.push_back(down.back() + "/" + listing("c" + std::to_string(i))[0]);
  std::string err;
  for (int i = kChain - 1; i >= 0; --i) {
    err += "Skipping " + down[i] + "/" + listing("c" + std::to_string(i))[1] + "\n";
  }
  expect_run(run({"-r", "c0"}), 0, "", err);
  EXPECT_EQ(db().size(), 1u);
}

// As root, a link is followed only where its owner could have gone: a link
// a user planted to a file only root may read records nothing.
TEST_F(Walk, RootFollowsALinkOnlyWhereItsOwnerCouldGo) {
  if (!running_as_root()) GTEST_SKIP() << "needs root";
  dir("d");
  file("secret", "PIN=417");
  file("mine", "the user's own");
  ASSERT_EQ(chmod(at("secret").c_str(), 0600), 0);
  ASSERT_EQ(chown(at("mine").c_str(), 65534, 65534), 0);
  link("../secret", "d/to_secret");
  link("../mine", "d/to_mine");
  link("../secret", "d/roots");
  ASSERT_EQ(lchown(at("d/to_secret").c_str(), 65534, 65534), 0);
  ASSERT_EQ(lchown(at("d/to_mine").c_str(), 65534, 65534), 0);
  expect_run(run({"d"}), 0, "", "Skipping d/to_secret\n");
  EXPECT_EQ(db().count(key_of("the user's own")), 1u);
  EXPECT_EQ(db().count(key_of("PIN=417")), 1u);  // through root's own link
  ASSERT_EQ(unlink(at("d/roots").c_str()), 0);
  forget();
  expect_run(run({"d"}), 0, "", "Skipping d/to_secret\n");
  EXPECT_EQ(db().count(key_of("PIN=417")), 0u);
}

// As root, a file with several links is read only where whoever could have
// made the name could read it: a file of root's linked into a user's
// directory (as FreeBSD lets any user do; here root makes the links) or into
// one everyone may write records nothing.
TEST_F(Walk, RootReadsAHardLinkOnlyWhereItsMakerCould) {
  if (!running_as_root()) GTEST_SKIP() << "needs root";
  dir("home");
  dir("share");
  ASSERT_EQ(chown(at("home").c_str(), 65534, 65534), 0);
  ASSERT_EQ(chmod(at("share").c_str(), 01777), 0);
  file("secret", "PIN=417");
  file("open", "for all to read");
  file("mine", "the user's own");
  ASSERT_EQ(chmod(at("secret").c_str(), 0600), 0);
  ASSERT_EQ(chown(at("mine").c_str(), 65534, 65534), 0);
  ASSERT_EQ(chmod(at("mine").c_str(), 0600), 0);
  for (const char* f : {"secret", "open", "mine"}) {
    for (const char* d : {"home/", "share/"}) {
      ASSERT_EQ(::link(at(f).c_str(), at(d + std::string(f)).c_str()), 0);
    }
  }
  std::string err;
  for (const std::string& n : listing("home")) err += n == "secret" ? "Skipping home/secret\n" : "";
  for (const std::string& n : listing("share"))
    err += n == "open" ? "" : "Skipping share/" + n + "\n";
  expect_run(run({"home", "share"}), 0, "share/open\n", err);
  EXPECT_EQ(db(),
            (std::map<std::string, std::string>{{key_of("for all to read"), packed_keys({15})},
                                                {key_of("the user's own"), packed_keys({14})}}));
}

TEST_F(Walk, PathLongerThan1023IsHandled) {
  dir("d");
  std::string rel = deep_tree(at("d"), std::string(200, 'n'), 6);
  ASSERT_GT(rel.size() + 2, 1023u);
  expect_run(run({"-r", "d"}), 0, "", "");
  expect_run(run({"-r", "d"}), 0, "d/" + rel + "\n", "");
}

TEST_F(Walk, PathLongerThan4095IsReported) {
  dir("d");
  std::string component(250, 'n');
  deep_tree(at("d"), component, 18);
  // The first joined path the system refuses is reported, and the walk ends there.
  std::string path = "d";
  while (path.size() + 1 + component.size() < 4096) path += "/" + component;
  path += "/" + component;
  expect_run(run({"-r", "d"}), 0, "", "Couldn't stat " + path + "\n");
}

TEST_F(Output, NamesWithSpacesNewlinesAndStrayBytesAreWrittenExactly) {
  std::vector<std::string> args;
  std::string want;
  for (const char* n : {"with space", "new\nline", "bad\xff\xfe", "tab\tesc\x1b"}) {
    const std::string d = std::to_string(args.size());
    dir(d);
    file(d + "/" + n, "same");
    args.push_back(d);
    want += d + "/" + n + "\n";
  }
  ASSERT_EQ(run(args).status, 0);
  expect_run(run(args), 0, want, "");
}

TEST_F(Verdict, DuplicatesInWalkOrderThenEverythingOnRerun) {
  dir("d");
  file("d/one", "same");
  file("d/two", "same");
  file("d/three", "same");
  file("d/other", "different");
  expect_run(run({"d"}), 0, all_but_first("d", "d", {"one", "two", "three"}), "");
  EXPECT_EQ(db(), (std::map<std::string, std::string>{{key_of("same"), packed_keys({4})},
                                                      {key_of("different"), packed_keys({9})}}));
  expect_run(run({"d"}), 0, all_of("d", "d"), "");
}

// Files are digested several at once, in lanes, while the walk goes ahead:
// every line still comes in walk order, the walk's own among the verdicts,
// and every digest is the file's own, whatever the lengths beside it.
TEST_F(Verdict, LinesKeepWalkOrderWhileFilesAreDigestedTogether) {
  dir("d");
  std::map<std::string, std::string> content;
  for (std::size_t size :
       {0, 1, 55, 56, 63, 64, 65, 127, 4096, 65537, 1 << 20, (1 << 20) + 17, 3 << 20}) {
    std::string c(size, ' ');
    for (std::size_t i = 0; i < size; ++i) c[i] = static_cast<char>((i * 7 + size) % 251);
    for (const char* twin : {"a", "b"}) content[twin + std::to_string(size)] = c;
  }
  for (const auto& [name, c] : content) file("d/" + name, c);
  ASSERT_EQ(mkfifo(at("d/fifo").c_str(), 0644), 0);
  link("nowhere", "d/dangling");
  std::string want;
  std::map<std::string, std::string> records;
  for (const std::string& n : listing("d")) {
    if (n == "fifo") want += "Skipping d/fifo\n";
    if (n == "dangling") want += "Couldn't stat d/dangling\n";
    if (!content.contains(n)) continue;
    const std::string& c = content[n];
    int32_t size = static_cast<int32_t>(c.size());
    if (!records.emplace(key_of(c), packed_keys({size})).second) want += "d/" + n + "\n";
  }
  const std::string prog = VELORAND_TEST_PROGRAM;
  expect_run(run_program("/bin/sh", {"sh", "-c", prog + " d 2>&1"}, dir_.path), 0, want, "");
  EXPECT_EQ(db(), records);
}

TEST_F(Verdict, EmptyFilesShareOneRecord) {
  dir("a");
  dir("b");
  file("a/e", "");
  file("b/e", "");
  expect_run(run({"a", "b"}), 0, "b/e\n", "");
  EXPECT_EQ(db(), (std::map<std::string, std::string>{{key_of(""), packed_keys({0})}}));
}

TEST_F(Verdict, EqualDigestWithOtherSizeKeyIsNotADuplicate) {
  // A record left with another size key under this content's digest.
  store_raw(at("db/velorand.db"), key_of("content"), packed_keys({999}));
  dir("d");
  file("d/f", "content");
  expect_run(run({"d"}), 0, "", "");
  EXPECT_EQ(db()[key_of("content")], packed_keys({999, 7}));
}

TEST_F(Verdict, UnreadableFileIsReported) {
  dir("d");
  file("d/locked", "secret");
  file("d/open", "fine");
  ASSERT_EQ(chmod(at("d/locked").c_str(), 0), 0);
  expect_run(run({"d"}, running_as_root()), 0, "", "Couldn't open d/locked\n");
  EXPECT_EQ(db(), (std::map<std::string, std::string>{{key_of("fine"), packed_keys({4})}}));
}

// Reading a file leaves its access time alone where this user may (root, or
// its owner), so that a scan makes no file look used; where it may not, the
// file is read all the same.
TEST_F(Verdict, AccessTimesAreLeftAlone) {
  if (opened_as_elsewhere()) GTEST_SKIP() << "O_NOATIME is Linux's";
  dir("d");
  file("d/one", "same");
  file("d/two", "same");
  const timespec long_ago[2] = {{1000000000, 0}, {0, UTIME_OMIT}};  // read before written
  for (const char* f : {"d/one", "d/two"})
    ASSERT_EQ(utimensat(AT_FDCWD, at(f).c_str(), long_ago, 0), 0) << f;
  expect_run(run({"d"}), 0, all_but_first("d", "d", {"one", "two"}), "");
  for (const char* f : {"d/one", "d/two"}) {
    struct stat st;
    ASSERT_EQ(stat(at(f).c_str(), &st), 0) << f;
    EXPECT_EQ(st.st_atim.tv_sec, 1000000000) << f;
  }
  if (!running_as_root()) return;
  forget();
  expect_run(run({"d"}, true), 0, all_but_first("d", "d", {"one", "two"}), "");
}

// A user who writes the tree races the walk: right after the program's
// status of `name` (its second with "#2"), `then` runs. Nothing that is not
// the file the walk decided on is read, no run reads more than the tree
// holds, and PIN, which lies outside the tree, is never recorded.
struct race {
  const char* label;
  const char* setup;
  const char* name;
  const char* then;
  std::vector<std::string> args;
  const char* err;
  long max_read;                // bytes, or 0
  const char* every = nullptr;  // when set, err goes on with this and "d/<name>" for all of d
  std::size_t max_lines = 0;    // when set, err is the start of at most this many lines
  const char* err_elsewhere = nullptr;  // where files are opened as elsewhere, if not `err`
};

const race kRaces[] = {
    {"directory swapped for a link",
     "mkdir -p d/sub v && echo f >d/sub/f && echo PIN >v/f",
     "sub",
     "mv d/sub d/was && ln -s ../v d/sub",
     {"-r", "d"},
     "Skipping d/sub\n",
     0},
    {"middle component swapped",
     "mkdir -p a/b/c v/c && echo f >a/b/c/f && echo PIN >v/c/f",
     "c",
     "mv a/b a/was && ln -s ../v a/b",
     {"-r", "a"},
     "",
     0},
    {"file swapped for a link",
     "mkdir d v && echo f >d/f && echo PIN >v/f",
     "f",
     "mv d/f d/was && ln -s ../v/f d/f",
     {"d"},
     "Skipping d/f\n",
     0},
    {"file swapped on a device met before",
     "mkdir w d v && echo w >w/w && echo f >d/f && echo PIN >v/f",
     "f",
     "mv d/f d/was && ln -s ../v/f d/f",
     {"w", "d"},
     "Skipping d/f\n",
     0},
    {"link retargeted after its status",
     "mkdir d v && echo f >f && echo PIN >v/f && ln -s ../f d/l",
     "l#2",
     "ln -sfn ../v/f d/l",
     {"d"},
     "Skipping d/l\n",
     0},
    {"link flipped to a device",
     "mkdir d && echo f >f && ln -s ../f d/l",
     "l#2",
     "ln -sfn /dev/null d/l",
     {"d"},
     "Skipping d/l\n",
     0,
     nullptr,
     0,
     "device opened\nSkipping d/l\n"},  // opened, as the manual says, but never read
    {"file grown while read",
     "mkdir d && head -c 1048576 /dev/zero >d/g",
     "g",
     "head -c 33554432 /dev/zero >>d/g",
     {"d"},
     "Couldn't read d/g\n",
     4 << 20},
    {"change behind a restored mtime",
     "mkdir d && echo aaa >d/f && touch -d @1000000000 d/f",
     "f",
     "sleep 0.05; echo PIN >d/f; touch -d @1000000000 d/f",
     {"d"},
     "Couldn't read d/f\n",
     0},
    {"a terabyte of holes",
     "mkdir d && truncate -s 1T d/f",
     "",
     "",
     {"d"},
     "Skipping d/f\n",
     1 << 20},
    {"a hole beside more data",
     "mkdir d && head -c 3145728 /dev/zero | tr '\\0' x >d/f && truncate -s 4M d/f",
     "",
     "",
     {"d"},
     "",
     5 << 20},
    {"one file, eighty names",
     "mkdir d && head -c 1048576 /dev/urandom >d/f && "
     "for i in $(seq 40); do ln d/f d/h$i && ln -s f d/s$i; done",
     "",
     "",
     {"d"},
     nullptr,
     3 << 20},
    {"one file, eighty names, changed after every look",
     "mkdir d && head -c 1048576 /dev/urandom >d/f && "
     "for i in $(seq 40); do ln d/f d/h$i && ln -s f d/s$i; done",
     "*",
     "n=$(($(cat n 2>/dev/null || echo 0) + 1)) && echo $n >n && touch -d @$n d/f",
     {"d"},
     "",
     3 << 20,
     "Couldn't read "},
    {"a link under many names, its chain retargeted after its first look",
     "mkdir a d v && echo f >f && echo PIN >v/f && ln -s f m && ln -s ../m a/l && "
     "for i in $(seq 20); do ln -P a/l d/l$i; done",
     "l#2",
     "ln -sfn v/f m",
     {"a", "d"},
     "Skipping a/l\n",
     0,
     "Skipping "},
    {"entries whose paths are too long, in one directory",
     "a=$(printf %0250d 0) && p=d && for i in $(seq 16); do p=$p/$a; done && "
     "p=$p/$(printf %070d 0) && mkdir -p $p && ln -s $p x && "
     "for i in $(seq 300); do : >x/$(printf f%07d $i); done",
     "",
     "",
     {"-r", "d"},
     "Couldn't stat d/",
     0,
     nullptr,
     1},
};

TEST_F(Walk, RacingWriterGetsNothingRead) {
  int row = 0;
  for (const race& c : kRaces) {
    const std::string here = at(std::to_string(row++)), count = here + "/read";
    ASSERT_EQ(mkdir(here.c_str(), 0755), 0);
    ASSERT_EQ(mkdir((here + "/db").c_str(), 0755), 0);
    ASSERT_EQ(run_program("/bin/sh", {"sh", "-c", c.setup}, here).status, 0) << c.label;
    std::string out;  // a file under many names: all but the first met are printed
    std::vector<std::string> names = ::listing(here + "/d");
    for (std::size_t i = 1; c.err == nullptr && i < names.size(); ++i)
      out += "d/" + names[i] + "\n";
    setenv("LD_PRELOAD", VELORAND_RACE, 1);
    setenv("ASAN_OPTIONS", "verify_asan_link_order=0", 1);
    setenv("VELORAND_AFTER_STAT", c.name, 1);
    setenv("VELORAND_THEN", c.then, 1);
    setenv("VELORAND_READ_COUNT", count.c_str(), 1);
    std::vector<std::string> argv{"velorand"};
    argv.insert(argv.end(), c.args.begin(), c.args.end());
    run_result r = run_program(VELORAND_TEST_PROGRAM, argv, here);
    for (const char* v :
         {"LD_PRELOAD", "VELORAND_AFTER_STAT", "VELORAND_THEN", "VELORAND_READ_COUNT"})
      unsetenv(v);
    const char* says =
        opened_as_elsewhere() && c.err_elsewhere != nullptr ? c.err_elsewhere : c.err;
    std::string err = says == nullptr ? "" : says;
    for (std::size_t i = 0; c.every != nullptr && i < names.size(); ++i)
      err += c.every + ("d/" + names[i]) + "\n";
    EXPECT_EQ(r.status, 0) << c.label;
    EXPECT_EQ(r.out, out) << c.label;
    if (c.max_lines == 0) {
      EXPECT_EQ(r.err, err) << c.label;
    } else {
      EXPECT_TRUE(r.err.starts_with(err)) << c.label;
      EXPECT_LE(std::count(r.err.begin(), r.err.end(), '\n'), c.max_lines) << c.label;
    }
    EXPECT_EQ(db_records(here + "/db/velorand.db").count(key_of("PIN\n")), 0u) << c.label;
    if (c.max_read != 0) {
      EXPECT_LT(std::stol(read_file(count)), c.max_read) << c.label;
    }
  }
}

// A file of /proc is made up when read, and reading some has effects of its
// own: it is passed over, reached through a link or below an operand.
TEST_F(Verdict, PseudoFileIsSkippedUnread) {
  if (access("/proc/self/mem", F_OK) != 0) GTEST_SKIP() << "no /proc";
  dir("d");
  link("/proc/self/mem", "d/mem");
  link("/proc/self/status", "d/status");
  std::string err;
  for (const std::string& n : listing("d")) err += "Skipping d/" + n + "\n";
  expect_run(run({"d"}), 0, "", err);
  run_result r = run({"/proc/sys/kernel"});
  std::istringstream lines(r.err);
  for (std::string line; std::getline(lines, line);) {
    EXPECT_TRUE(line.starts_with("Skipping /proc/sys/kernel/")) << line;
  }
  EXPECT_EQ(r.out, "");
  EXPECT_TRUE(db().empty());
}

TEST_F(Database, ConcurrentRunsReportEveryDuplicate) {
  // Runs over identical trees, started together: whichever run records a
  // file, another prints it, even when it looked before the record was made.
  constexpr int kFiles = 600;
  const std::vector<std::string> trees{"a", "b", "c"};
  std::string both;
  for (const std::string& t : trees) {
    dir(t);
    for (int i = 0; i < kFiles; ++i) file(t + "/f" + std::to_string(i), std::to_string(i));
    both += std::string(VELORAND_TEST_PROGRAM) + " " + t + " & ";
  }
  for (int trial = 0; trial < 3; ++trial) {
    forget();
    run_result r = run_program("/bin/sh", {"sh", "-c", both + "wait"}, dir_.path);
    EXPECT_EQ(r.err, "");
    std::vector<int> printed(kFiles);
    std::istringstream lines(r.out);
    for (std::string line; std::getline(lines, line);) ++printed.at(std::stoi(line.substr(3)));
    EXPECT_EQ(printed, std::vector<int>(kFiles, trees.size() - 1)) << "trial " << trial;
  }
}

TEST_F(Database, ReadOnlyDatabaseStillReportsDuplicates) {
  const std::map<std::string, std::string> before = record_old_then_make_new();
  // As root, readable but not writable by nobody, who may not open the lock
  // either; otherwise by no one.
  bool root = running_as_root();
  for (const std::string& f : names_with_prefix(at("db"), "velorand.db")) {
    if (f.ends_with(".lock")) continue;
    ASSERT_EQ(chmod(at("db/" + f).c_str(), 0444), 0);
  }
  ASSERT_EQ(chmod(at("db").c_str(), 0555), 0);
  expect_run(run({"new"}, root), 0, "new/copy\n", "Unable to add new/fresh\n");
  EXPECT_EQ(db(), before);
  // A dry run needs no more than to read the data files, and says which
  // files it could not look up when it may not.
  expect_run(run({"-n", "new", "new"}, root), 0, "new/copy\n" + all_of("new", "new"), "");
  EXPECT_EQ(db(), before);
  if (!root) return;
  for (const std::string& f : names_with_prefix(at("db"), "velorand.db")) {
    if (f.ends_with(".lock")) continue;
    ASSERT_EQ(chmod(at("db/" + f).c_str(), 0400), 0);
  }
  std::string unread;
  for (const std::string& n : listing("new")) unread += "Couldn't look up new/" + n + "\n";
  expect_run(run({"-n", "new"}, true), 0, "", unread);
}

// On a read-only file system a dry run answers as a run that records would,
// and a run that records says once why it cannot.
TEST_F(Database, ReadOnlyFileSystemServesADryRun) {
  if (!running_as_root() || mount("tmpfs", at("db").c_str(), "tmpfs", 0, "size=1m,mode=0777") != 0)
    GTEST_SKIP() << "cannot mount a tmpfs here";
  const std::map<std::string, std::string> before = record_old_then_make_new();
  bool ro = mount(nullptr, at("db").c_str(), nullptr, MS_REMOUNT | MS_RDONLY, nullptr) == 0;
  if (ro) {
    expect_run(run({"-n", "new", "new"}), 0, "new/copy\n" + all_of("new", "new"), "");
    expect_run(run({"new"}), 0, "new/copy\n",
               "Couldn't use the database's directory db: Read-only file system\n"
               "Unable to add new/fresh\n");
  }
  EXPECT_EQ(db(), before);
  EXPECT_EQ(umount2(at("db").c_str(), MNT_DETACH), 0);
  ASSERT_TRUE(ro) << "cannot remount read-only";
}

TEST_F(Database, RunWaitingForAnotherRunsLockSaysSo) {
  dir("d");
  file("d/a", "x");
  // Another run holds the lock for longer than a run waits without a word.
  pid_t holder = hold_lock(2'500'000);
  ASSERT_GT(holder, 0);
  expect_run(run({"d"}), 0, "",
             "Waiting for the database, locked by another run: db/velorand.db.lock\n");
  waitpid(holder, nullptr, 0);
  EXPECT_EQ(db().size(), 1u);
}

// A database met damaged, or with a store a power cut interrupted, is dealt
// with once, said in one line, and the run goes on with what it kept.
TEST_F(Database, DamagedOrInterruptedDatabaseIsSaidOnce) {
  dir("a");
  file("a/x", "same");
  file("a/y", "same");
  ASSERT_EQ(run({"a"}).status, 0);
  if (access(at("db/velorand.db.pag").c_str(), F_OK) != 0) GTEST_SKIP() << "GDBM's files only";
  forget();
  file("db/velorand.db.pag", std::string(8192, 'G'));
  expect_run(run({"a"}), 0, all_but_first("a", "a", {"x", "y"}),
             "Moved a damaged database aside, keeping what could be read: "
             "db/velorand.db.damaged-1\n");
  EXPECT_EQ(read_file(at("db/velorand.db.damaged-1/velorand.db.pag")), std::string(8192, 'G'));
  // A journal of no region, made durable before a store that never came.
  std::string j = "VRJOURN1";
  std::int64_t size = static_cast<std::int64_t>(read_file(at("db/velorand.db.pag")).size());
  std::uint64_t regions = 0, sum = 0xcbf29ce484222325ull;
  j.append(reinterpret_cast<const char*>(&size), 8)
      .append(reinterpret_cast<const char*>(&regions), 8);
  for (unsigned char c : j) sum = (sum ^ c) * 0x100000001b3ull;
  file("db/velorand.db.journal", j.append(reinterpret_cast<const char*>(&sum), 8));
  file("a/z", "new");  // lookups leave the journal to the append this takes
  std::string out;
  for (const std::string& n : listing("a")) out += n == "z" ? "" : "a/" + n + "\n";
  expect_run(run({"a"}), 0, out,
             "Repaired the database after an interrupted write: db/velorand.db\n");
  EXPECT_EQ(read_file(at("db/velorand.db.journal")), "");
}

// A lock file left readable to all (the manual once said chmod a+r
// velorand.db.*) gives no other user a hold on root's runs: root puts a lock
// of its own in its place.
TEST_F(Database, LockHeldByAnotherUserStallsNoRunOfRoot) {
  if (!running_as_root()) GTEST_SKIP() << "needs root";
  dir("d");
  file("d/a", "x");
  file("d/b", "x");
  ASSERT_EQ(run({"d"}).status, 0);
  for (const std::string& f : names_with_prefix(at("db"), "velorand.db")) {
    ASSERT_EQ(chmod(at("db/" + f).c_str(), 0644), 0);
  }
  pid_t holder = ::hold_lock(at("db/velorand.db.lock"), LOCK_EX, 60'000'000, true);
  ASSERT_GT(holder, 0);
  file("d/c", "new");
  std::string out;
  for (const std::string& n : listing("d")) out += n == "c" ? "" : "d/" + n + "\n";
  expect_run(run({"d"}), 0, out, "");
  kill(holder, SIGKILL);
  waitpid(holder, nullptr, 0);
  struct stat st;
  ASSERT_EQ(stat(at("db/velorand.db.lock").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  EXPECT_EQ(db().size(), 2u);
}

// New files are recorded in batches: one that cannot be stored (here the
// file size limit leaves the database no room to grow) says `Unable to add`
// for each of its new files, a file equal to one of them too, each in its
// place among the other lines; what was recorded before is still found.
TEST_F(Database, BatchThatCannotBeStoredSaysEachNewFileInPlace) {
  dir("old");
  file("old/a", "seen before");
  expect_run(run({"old"}), 0, "", "");
  dir("d");
  file("d/copy", "seen before");
  file("d/new1", "one");
  file("d/new2", "two");
  file("d/twin", "one");
  ASSERT_EQ(mkfifo(at("d/fifo").c_str(), 0644), 0);
  std::string err;
  for (const std::string& n : listing("d")) {
    if (n != "copy") err += (n == "fifo" ? "Skipping d/" : "Unable to add d/") + n + "\n";
  }
  const std::map<std::string, std::string> before = db();
  off_t largest = 0;
  for (const std::string& f : names_with_prefix(at("db"), "velorand.db")) {
    struct stat st;
    if (stat(at("db/" + f).c_str(), &st) == 0) largest = std::max(largest, st.st_size);
  }
  rlimit old, lim{static_cast<rlim_t>(largest), static_cast<rlim_t>(largest)};
  ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &old), 0);
  lim.rlim_max = old.rlim_max;
  auto was = signal(SIGXFSZ, SIG_IGN);
  ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &lim), 0);
  run_result r = run({"d"});
  setrlimit(RLIMIT_FSIZE, &old);
  signal(SIGXFSZ, was);
  expect_run(r, 0, "d/copy\n", err);
  EXPECT_EQ(db(), before);
}

TEST_F(Database, UnopenableDatabaseReportsEveryFile) {
  ASSERT_EQ(rmdir(at("db").c_str()), 0);
  dir("a");
  dir("b");
  file("a/f", "same");
  file("b/f", "same");
  // The missing directory is said once a run, before the files it leaves unrecorded.
  const std::string missing =
      "Couldn't use the database's directory db: No such file or directory\n"
      "Unable to add a/f\nUnable to add b/f\n";
  expect_run(run({"a", "b"}), 0, "", missing);
  expect_run(run({"a", "b"}), 0, "", missing);
  // A dry run says it too, and answers as if the database were empty.
  expect_run(run({"-n", "a", "b"}), 0, "b/f\n",
             "Couldn't use the database's directory db: No such file or directory\n");
  // A lock that cannot be made is said once.
  dir("db");
  dir("db/velorand.db.lock");
  expect_run(run({"a", "b"}), 0, "",
             "Couldn't open db/velorand.db.lock\nUnable to add a/f\nUnable to add b/f\n");
}

// The README's crontab line, run as cron runs it: sh -c under env -i with
// cron's PATH, no terminal, the program a copy at a full path of the scratch
// tree standing for the installed one, the folders the scratch tree's.
TEST_F(Database, ReadmeCrontabLineListsEachNightsDuplicatesAndMailsOnlyProblems) {
  const std::string readme = read_file(VELORAND_SOURCE_DIR "/README.md");
  const std::string start = "\n    30 3 * * *  ";
  std::size_t at_line = readme.find(start);
  ASSERT_NE(at_line, std::string::npos) << "no crontab line in the README";
  at_line += start.size();
  std::string cmd = readme.substr(at_line, readme.find('\n', at_line) - at_line);
  auto replace = [&cmd](const std::string& from, const std::string& to) {
    std::size_t n = cmd.find(from);
    ASSERT_NE(n, std::string::npos) << from << " not in: " << cmd;
    for (; n != std::string::npos; n = cmd.find(from, n + to.size()))
      cmd.replace(n, from.size(), to);
  };
  replace("/usr/local/bin/velorand", reachable_copy());
  replace("/srv/incoming", at("incoming"));
  replace("/var/lib/velorand", at("lists"));
  replace("\\%", "%");  // as cron reads a crontab
  auto night = [&] {
    return run_program("/usr/bin/env",
                       {"env", "-i", "PATH=/usr/bin:/bin", "SHELL=/bin/sh", "HOME=" + dir_.path,
                        "LOGNAME=root", "/bin/sh", "-c", cmd},
                       dir_.path);
  };
  // The list of the day: the only file of lists/, named by its date.
  auto list = [&] {
    std::vector<std::string> names = listing("lists");
    EXPECT_EQ(names.size(), 1u);
    EXPECT_TRUE(names.size() == 1 && names[0].size() == 15 && names[0].ends_with(".dups"));
    return names.empty() ? "" : read_file(at("lists/" + names[0]));
  };
  dir("lists");
  dir("archive");
  file("archive/kept", "archived");
  ASSERT_EQ(run({"-r", "archive"}).status, 0);  // recorded once
  dir("incoming");
  file("incoming/a", "archived");
  file("incoming/b", "night one");
  file("incoming/c", "night one");
  ASSERT_EQ(mkfifo(at("incoming/fifo").c_str(), 0600), 0);  // noise, not mailed
  const std::string in = at("incoming") + "/";
  std::string want;
  bool first = true;
  for (const std::string& n : listing("incoming")) {
    if (n == "a" || ((n == "b" || n == "c") && !std::exchange(first, false))) want += in + n + "\n";
  }
  expect_run(night(), 0, "", "");
  EXPECT_EQ(list(), want);
  // The night's files move into the archive; the next night's arrive.
  for (const char* n : {"a", "b", "c"}) {
    ASSERT_EQ(
        rename(at("incoming/" + std::string(n)).c_str(), at("archive/" + std::string(n)).c_str()),
        0);
  }
  file("incoming/d", "night one");
  file("incoming/e", "night two");
  expect_run(night(), 0, "", "");
  EXPECT_EQ(list(), in + "d\n");
  // A wrong operand is mailed.
  remove_tree(at("incoming"));
  file("incoming", "not a folder");
  expect_run(night(), 0, "Skipping " + at("incoming") + "\n", "");
}

// A pseudo-terminal in raw mode; what the program writes to it is read back
// from the master side.
struct terminal {
  int master = -1;
  std::string slave_path;
  terminal() {
    int slave = -1;
    char name[256];
    if (openpty(&master, &slave, name, nullptr, nullptr) != 0) return;
    termios t;
    tcgetattr(slave, &t);
    cfmakeraw(&t);
    tcsetattr(slave, TCSANOW, &t);
    slave_path = name;
    chmod(name, 0666);
    close(slave);
  }
  ~terminal() {
    if (master >= 0) close(master);
  }
  void set_width(unsigned short columns) {
    winsize ws{};
    ws.ws_row = 24;
    ws.ws_col = columns;
    ioctl(master, TIOCSWINSZ, &ws);
  }
  std::string drain() {
    std::string s;
    char buf[4096];
    fcntl(master, F_SETFL, O_NONBLOCK);
    for (ssize_t n; (n = read(master, buf, sizeof buf)) > 0;)
      s.append(buf, static_cast<std::size_t>(n));
    return s;
  }
};

TEST_F(Output, TerminalShowsControlCharactersAsQuestionMarks) {
  terminal out, err;
  ASSERT_FALSE(out.slave_path.empty());
  ASSERT_FALSE(err.slave_path.empty());
  // One name per directory, walked in the order given.
  const std::vector<std::string> names = {"a\x1b]0;owned\x07\n", "caf\xc3\xa9", "bad\xff"};
  std::vector<std::string> dirs;
  for (const std::string& n : names) {
    dirs.push_back("d" + std::to_string(dirs.size()));
    dir(dirs.back());
    file(dirs.back() + "/" + n, "same");
  }
  dir("d");
  ASSERT_EQ(mkfifo(at("d/p\x1b[2J").c_str(), 0644), 0);
  dirs.push_back("d");
  std::vector<std::string> argv{"velorand"};
  argv.insert(argv.end(), dirs.begin(), dirs.end());
  ASSERT_EQ(run(dirs).status, 0);  // every regular file is now recorded
  run_result r =
      run_program(VELORAND_TEST_PROGRAM, argv, dir_.path, false, out.slave_path, err.slave_path);
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(out.drain(), "d0/a?]0;owned??\nd1/caf\xc3\xa9\nd2/bad?\n");
  EXPECT_EQ(err.drain(), "Skipping d/p?[2J\n");
}

TEST_F(Output, FullStandardOutputFails) {
  if (access("/dev/full", W_OK) != 0) GTEST_SKIP() << "no /dev/full";
  dir("d");
  file("d/a", "same");
  file("d/b", "same");
  run_result r =
      run_program(VELORAND_TEST_PROGRAM, {"velorand", "d"}, dir_.path, false, "/dev/full");
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "velorand: write error: No space left on device\n");
}

// Returns what a terminal shows after `bytes`: carriage returns, newlines
// and erasing to the end of the line applied.
std::string screen(const std::string& bytes) {
  std::vector<std::string> lines(1);
  std::size_t col = 0;
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    std::string& line = lines.back();
    if (bytes[i] == '\r') {
      col = 0;
    } else if (bytes[i] == '\n') {
      lines.emplace_back();
      col = 0;
    } else if (bytes.compare(i, 3, "\x1b[K") == 0) {
      line.resize(std::min(line.size(), col));
      i += 2;
    } else {
      line.resize(std::max(line.size(), col + 1));
      line[col++] = bytes[i];
    }
  }
  std::string shown;
  for (std::size_t i = 0; i < lines.size(); ++i) shown += (i == 0 ? "" : "\n") + lines[i];
  return shown;
}

TEST_F(Output, StatusLineLeavesOnlyTheLinesOnTheScreen) {
  terminal tty;
  ASSERT_FALSE(tty.slave_path.empty());
  tty.set_width(60);
  const std::string odd = "dir with a long name\x1b[2J";
  dir(odd);
  file(odd + "/x", "same");
  dir("b");
  file("b/x", "same");
  dir("c");
  ASSERT_EQ(mkfifo(at("c/fifo").c_str(), 0644), 0);
  // The first file waits for the lock, so the line is due once it is checked.
  pid_t holder = hold_lock(600'000);
  ASSERT_GT(holder, 0);
  run_result r = run_program(VELORAND_TEST_PROGRAM, {"velorand", odd, "b", "c"}, dir_.path, false,
                             tty.slave_path, tty.slave_path);
  waitpid(holder, nullptr, 0);
  EXPECT_EQ(r.status, 0);
  const std::string raw = tty.drain();
  EXPECT_EQ(screen(raw), "b/x\nSkipping c/fifo\n");
  // Drawn once, within 59 columns, the directory escaped and cut from the left.
  const std::string drawn =
      "\r1 files, 0.0 MB, 0 duplicates, 0 problems in ...ng name?[2J\x1b[K\r\x1b[K";
  EXPECT_EQ(raw.substr(0, drawn.size()), drawn);
}

}  // namespace
