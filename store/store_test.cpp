// SPDX-License-Identifier: GPL-3.0-or-later
#include "store/store.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <functional>
#include <new>
#include <sstream>
#include <string>
#include <vector>

#include "tests/scratch.h"

extern "C" {
#include <ndbm.h>
}

using namespace std::string_literals;

namespace {

// Each case keeps its database in the directory "db" of a scratch directory
// of its own, where it runs, so that the cases name its files briefly.
class Store : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(chdir(dir_.path.c_str()), 0);
    ASSERT_EQ(mkdir("db", 0755), 0);
  }
  void TearDown() override {
    if (mounted_) umount2("db", MNT_DETACH);
    chdir("/");
  }
  std::map<std::string, std::string> records() { return db_records("db/velorand.db"); }

  scratch_dir dir_;
  digest_db db_ = digest_db_at(dir_.path + "/db/velorand.db");
  bool mounted_ = false;
};

digest digest_of(int n, std::uint8_t last = 0) {
  return numbered_digest(n, last);
}

std::string key_bytes(const digest& d) {
  return std::string(d.begin(), d.end());
}

TEST_F(Store, FirstUseCreatesDatabaseOwnerOnly) {
  mode_t old = umask(022);
  EXPECT_EQ(digest_seen(db_, digest_of(1), 7), seen_result::not_seen);
  umask(old);
  std::vector<std::string> files = names_with_prefix("db", "velorand.db");
  ASSERT_FALSE(files.empty());
  for (const std::string& f : files) {
    struct stat st;
    ASSERT_EQ(stat(("db/" + f).c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u) << f;
  }
  EXPECT_TRUE(records().empty());
  EXPECT_EQ(digest_add(db_, digest_of(1), 7), add_result::added);
  EXPECT_EQ(records(),
            (std::map<std::string, std::string>{{key_bytes(digest_of(1)), packed_keys({7})}}));
  EXPECT_EQ(digest_seen(db_, digest_of(1), 7), seen_result::seen);
}

TEST_F(Store, UmaskLimitsCreationMode) {
  mode_t old = umask(0277);
  EXPECT_EQ(digest_add(db_, digest_of(1), 7), add_result::added);
  umask(old);
  for (const std::string& f : names_with_prefix("db", "velorand.db")) {
    struct stat st;
    ASSERT_EQ(stat(("db/" + f).c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0400u) << f;
  }
}

TEST_F(Store, SecondKeyAppendsAfterFirst) {
  EXPECT_EQ(digest_add(db_, digest_of(1), 100), add_result::added);
  EXPECT_EQ(digest_add(db_, digest_of(1), 200), add_result::added);
  EXPECT_EQ(records()[key_bytes(digest_of(1))], packed_keys({100, 200}));
  EXPECT_EQ(digest_seen(db_, digest_of(1), 100), seen_result::seen);
  EXPECT_EQ(digest_seen(db_, digest_of(1), 200), seen_result::seen);
  EXPECT_EQ(digest_seen(db_, digest_of(1), 300), seen_result::not_seen);
  EXPECT_EQ(digest_seen(db_, digest_of(2), 100), seen_result::not_seen);
}

TEST_F(Store, RecordLooksUpThenAppends) {
  EXPECT_EQ(digest_record(db_, digest_of(1), 7), add_result::added);
  EXPECT_EQ(digest_record(db_, digest_of(1), 7), add_result::added_before);
  EXPECT_EQ(digest_record(db_, digest_of(1), 8), add_result::added);
  EXPECT_EQ(records()[key_bytes(digest_of(1))], packed_keys({7, 8}));
}

TEST_F(Store, AddingARecordedPairChangesNothing) {
  EXPECT_EQ(digest_add(db_, digest_of(1), 100), add_result::added);
  EXPECT_EQ(digest_add(db_, digest_of(1), 100), add_result::added_before);
  EXPECT_EQ(records()[key_bytes(digest_of(1))], packed_keys({100}));
}

TEST_F(Store, TrailingBytesAreNotAnEntry) {
  // 0x00000009 then two stray bytes that would read as 0x0000BBAA with zeros after them.
  store_raw("db/velorand.db", key_bytes(digest_of(1)), packed_keys({9}) + "\xAA\xBB");
  EXPECT_EQ(digest_seen(db_, digest_of(1), 9), seen_result::seen);
  EXPECT_EQ(digest_seen(db_, digest_of(1), 0xBBAA), seen_result::not_seen);
  EXPECT_EQ(digest_add(db_, digest_of(1), 5), add_result::added);
  EXPECT_EQ(records()[key_bytes(digest_of(1))], packed_keys({9, 5}));
}

TEST_F(Store, ShortValueHoldsNoEntry) {
  store_raw("db/velorand.db", key_bytes(digest_of(1)), "\x01\x00"s);
  EXPECT_EQ(digest_seen(db_, digest_of(1), 1), seen_result::not_seen);
  EXPECT_EQ(digest_add(db_, digest_of(1), 1), add_result::added);
  EXPECT_EQ(records()[key_bytes(digest_of(1))], packed_keys({1}));
}

TEST_F(Store, SizeKeysCompareAsSigned32Bits) {
  struct {
    const char* label;
    long long size;
    size_key key;
  } cases[] = {
      {"zero", 0, 0},
      {"2^32 wraps to zero", 1ll << 32, 0},
      {"2^32 + 5", (1ll << 32) + 5, 5},
      {"2^31 is negative", 1ll << 31, INT32_MIN},
      {"2^32 - 1 is -1", (1ll << 32) - 1, -1},
  };
  for (const auto& c : cases) EXPECT_EQ(size_key_of(c.size), c.key) << c.label;

  EXPECT_EQ(digest_add(db_, digest_of(1), size_key_of(1ll << 31)), add_result::added);
  EXPECT_EQ(digest_seen(db_, digest_of(1), size_key_of((1ll << 31) + (1ll << 32))),
            seen_result::seen);
  EXPECT_EQ(digest_seen(db_, digest_of(1), size_key_of((1ll << 31) - 1)), seen_result::not_seen);
  EXPECT_EQ(digest_add(db_, digest_of(2), -1), add_result::added);
  EXPECT_EQ(digest_seen(db_, digest_of(2), -1), seen_result::seen);
  EXPECT_EQ(digest_seen(db_, digest_of(2), 0x7fffffff), seen_result::not_seen);
}

TEST_F(Store, DigestsDifferingInLastByteAreTwoRecords) {
  EXPECT_EQ(digest_add(db_, digest_of(1, 0), 4), add_result::added);
  EXPECT_EQ(digest_seen(db_, digest_of(1, 1), 4), seen_result::not_seen);
  EXPECT_EQ(digest_add(db_, digest_of(1, 1), 4), add_result::added);
  EXPECT_EQ(records().size(), 2u);
}

TEST_F(Store, MissingDirectoryCannotBeOpened) {
  ASSERT_EQ(rmdir("db"), 0);
  errno = 0;
  EXPECT_EQ(digest_seen(db_, digest_of(1), 1), seen_result::unavailable);
  EXPECT_EQ(errno, ENOENT);
  EXPECT_EQ(digest_add(db_, digest_of(1), 1), add_result::unavailable);
  EXPECT_EQ(errno, ENOENT);
  EXPECT_EQ(access("db", F_OK), -1);
}

// Points the first element of every bucket GDBM's directory reaches past
// the end of the file, as a stray write might.
void damage_buckets(const std::string& pag) {
  std::string f = read_file(pag);
  std::int64_t dir, bad = std::int64_t{1} << 40;
  std::int32_t dir_size;
  std::memcpy(&dir, f.data() + 8, 8);
  std::memcpy(&dir_size, f.data() + 16, 4);
  for (std::int64_t i = 0; i < dir_size / 8; ++i) {
    std::int64_t bucket;
    std::memcpy(&bucket, f.data() + dir + 8 * i, 8);
    for (std::int64_t e = bucket + 112; e < bucket + 4096 - 24; e += 24) {
      if (f.compare(e, 4, "\xff\xff\xff\xff") != 0) {
        f.replace(e + 8, 8, reinterpret_cast<const char*>(&bad), 8);
        break;
      }
    }
  }
  write_file(pag, f);
}

// Damage of each kind: the database is moved aside whole, neither trusted
// nor deleted, and a new one holds what could be read of it, without growing.
TEST_F(Store, DamagedDatabaseIsSetAsideKeepingWhatCanBeRead) {
  const std::string pag = "db/velorand.db.pag", aside = "db/velorand.db.damaged-1/velorand.db.pag";
  auto poke = [&](off_t at, char byte) {
    std::string f = read_file(pag);
    f[static_cast<std::size_t>(at)] = byte;
    write_file(pag, f);
  };
  struct {
    const char* label;
    std::function<void()> damage;
    int kept;  // of the 300 records, at least
  } cases[] = {
      {"garbage", [&] { write_file(pag, std::string(8192, 'G')); }, 0},
      {"data past its end", [&] { write_file(pag, read_file(pag) + std::string(4096, 'D')); }, 300},
      {"header ends at 256 MiB", [&] { poke(35, '\x10'); }, 300},
      {"header ends at 4 GiB", [&] { poke(36, '\x01'); }, 300},
      {"cut short", [&] { truncate(pag.c_str(), 12288); }, 0},
      {"sparse 10 GiB", [&] { truncate(pag.c_str(), off_t{10} << 30); }, 300},
      {"FIFO", [&] { unlink(pag.c_str()), mkfifo(pag.c_str(), 0600); }, 0},
      {"buckets damaged", [&] { damage_buckets(pag); }, 290},
  };
  for (const auto& c : cases) {
    remove_tree("db");
    ASSERT_EQ(mkdir("db", 0755), 0);
    for (int i = 0; i < 300; ++i) ASSERT_EQ(digest_add(db_, digest_of(i), i), add_result::added);
    if (access(pag.c_str(), F_OK) != 0) GTEST_SKIP() << "GDBM's files only";
    c.damage();
    struct stat damaged, moved, now;
    ASSERT_EQ(lstat(pag.c_str(), &damaged), 0);
    add_result r = digest_add(db_, digest_of(1000), 1);
    if (r == add_result::added) r = digest_add(db_, digest_of(1001), 1);  // not the damaged bucket
    EXPECT_EQ(r, add_result::set_aside) << c.label;
    EXPECT_EQ(db_.aside, dir_.path + "/db/velorand.db.damaged-1") << c.label;
    ASSERT_EQ(lstat(aside.c_str(), &moved), 0) << c.label;
    EXPECT_EQ(moved.st_ino, damaged.st_ino) << c.label;
    EXPECT_EQ(moved.st_size, damaged.st_size) << c.label;
    int kept = 0;
    for (int i = 0; i < 300; ++i) kept += digest_seen(db_, digest_of(i), i) == seen_result::seen;
    EXPECT_GE(kept, c.kept) << c.label;
    EXPECT_EQ(digest_add(db_, digest_of(2000), 2), add_result::added) << c.label;
    ASSERT_EQ(stat(pag.c_str(), &now), 0);
    EXPECT_LT(now.st_size, 1 << 20) << c.label;
  }
}

TEST_F(Store, NoPermissionCannotBeOpened) {
  // An unprivileged process may neither create the database in db/ (nor its
  // lock, which is said) nor open one that belongs to another user.
  auto both_fail = [this](add_result add) {
    return [this, add] {
      return digest_seen(db_, digest_of(1), 1) == seen_result::unavailable &&
                     digest_add(db_, digest_of(1), 1) == add
                 ? 0
                 : 1;
    };
  };
  if (running_as_root()) {
    EXPECT_EQ(run_in_child(both_fail(add_result::no_lock), true), 0) << "cannot create";
    ASSERT_EQ(digest_add(db_, digest_of(1), 1), add_result::added);
    ASSERT_EQ(chmod("db", 0777), 0);
    EXPECT_EQ(run_in_child(both_fail(add_result::unavailable), true), 0) << "cannot open";
  } else {
    ASSERT_EQ(chmod("db", 0555), 0);
    EXPECT_EQ(both_fail(add_result::no_lock)(), 0) << "cannot create";
  }
  EXPECT_EQ(digest_seen(db_, digest_of(1), 1),
            running_as_root() ? seen_result::seen : seen_result::unavailable);
}

// Several processes record into one database at once: overlapping digests
// with distinct keys, and some pairs recorded by all of them.
TEST_F(Store, ConcurrentRunsLoseNothing) {
  constexpr int kProcs = 4;
  constexpr int kDigests = 150;
  std::vector<pid_t> kids;
  for (int p = 0; p < kProcs; ++p) {
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      int bad = 0;
      // One process records in overlapping batches of ten, as a run does.
      for (int i = 0; p == 2 && i < kDigests; i += 10) {
        std::vector<pair_to_record> batch;
        for (int j = i; j < i + 10; ++j) batch.push_back({digest_of(j), p});
        for (int j = i; j < i + 10; ++j) batch.push_back({digest_of(j), 1000});
        bad += digest_record_batch(db_, batch) != add_result::added;
        for (const pair_to_record& r : batch)
          bad +=
              r.result != add_result::added && (r.key == p || r.result != add_result::added_before);
      }
      for (int i = 0; p != 2 && i < kDigests; ++i) {
        bad += digest_add(db_, digest_of(i), p) != add_result::added;
        // Half the processes look up first, as a run does.
        add_result shared =
            p % 2 ? digest_record(db_, digest_of(i), 1000) : digest_add(db_, digest_of(i), 1000);
        bad += shared != add_result::added && shared != add_result::added_before;
      }
      _exit(bad == 0 ? 0 : 1);
    }
    kids.push_back(pid);
  }
  for (pid_t pid : kids) {
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  }
  std::map<std::string, std::string> all = records();
  ASSERT_EQ(all.size(), static_cast<std::size_t>(kDigests));
  for (int i = 0; i < kDigests; ++i) {
    const std::string& v = all[key_bytes(digest_of(i))];
    ASSERT_EQ(v.size(), (kProcs + 1) * sizeof(size_key)) << "digest " << i;
    for (int p = 0; p < kProcs; ++p)
      EXPECT_EQ(digest_seen(db_, digest_of(i), p), seen_result::seen);
    EXPECT_EQ(digest_seen(db_, digest_of(i), 1000), seen_result::seen);
  }
}

// Adds new pairs until one is refused; returns through the exit status 0 when
// a refusal came, and writes how many were stored first to `count_path`.
int add_until_refused(digest_db& db, const char* count_path, int limit) {
  int i = 0;
  for (; i < limit; ++i) {
    add_result r = digest_add(db, digest_of(i), i);
    if (r == add_result::refused) break;
    if (r != add_result::added && r != add_result::added_before) return 2;  // before the loop
  }
  FILE* f = std::fopen(count_path, "w");
  std::fprintf(f, "%d", i);
  std::fclose(f);
  return i < limit ? 0 : 1;
}

// Checks that every pair stored before the refusal is found, by lookup and
// by the library's own iteration, and that nothing else is there.
void expect_consistent(digest_db& db, int stored) {
  ASSERT_GT(stored, 0);
  bool ok = false;
  std::map<std::string, std::string> all = db_records("db/velorand.db", &ok);
  ASSERT_TRUE(ok);
  EXPECT_EQ(all.size(), static_cast<std::size_t>(stored));
  int found = 0;
  for (int i = 0; i < stored; ++i) found += digest_seen(db, digest_of(i), i) == seen_result::seen;
  EXPECT_EQ(found, stored);
}

TEST_F(Store, FileSizeLimitRefusesBeforeTheLibraryFails) {
  // Under a file size limit the library's writes would fail once its file
  // must grow, leaving it unreadable; the append is refused before that.
  int status = run_in_child([this] {
    signal(SIGXFSZ, SIG_IGN);
    if (digest_add(db_, digest_of(0), 0) != add_result::added) return 3;
    off_t largest = 0;
    for (const std::string& f : names_with_prefix("db", "velorand.db")) {
      struct stat st;
      if (stat(("db/" + f).c_str(), &st) == 0) largest = std::max(largest, st.st_size);
    }
    rlimit lim{static_cast<rlim_t>(largest), static_cast<rlim_t>(largest)};
    if (setrlimit(RLIMIT_FSIZE, &lim) != 0) return 4;
    return add_until_refused(db_, "count", 100000);
  });
  ASSERT_EQ(status, 0);
  expect_consistent(db_, std::stoi(read_file("count")));
}

TEST_F(Store, SalvagePastTheFileSizeLimitIsRefusedNotKilled) {
  // The new database would take some 190 KB; under a limit of 100 KiB it
  // must be refused before the library's writes meet SIGXFSZ.
  const std::string pag = "db/velorand.db.pag";
  for (int i = 0; i < 2000; ++i) ASSERT_EQ(digest_add(db_, digest_of(i), i), add_result::added);
  if (access(pag.c_str(), F_OK) != 0) GTEST_SKIP() << "GDBM's files only";
  write_file(pag, read_file(pag) + std::string(4096, 'D'));
  int status = run_in_child([this] {
    rlimit lim{100 << 10, 100 << 10};
    if (setrlimit(RLIMIT_FSIZE, &lim) != 0) return 4;
    return digest_add(db_, digest_of(5000), 1) == add_result::unavailable && errno == EFBIG ? 0 : 3;
  });
  EXPECT_EQ(status, 0);
  EXPECT_EQ(access("db/velorand.db.damaged-1/velorand.db.pag", F_OK), 0);  // kept whole
}

// Mounts a tmpfs of `size` on db/, or returns false when this process may not.
bool mount_small(const char* size) {
  std::string options = std::string("size=") + size + ",mode=0755";
  return running_as_root() && mount("tmpfs", "db", "tmpfs", 0, options.c_str()) == 0;
}

TEST_F(Store, FullFileSystemLeavesDatabaseConsistent) {
  // A 1 MiB file system holds thousands of records, then refuses the rest.
  if (!(mounted_ = mount_small("1m"))) GTEST_SKIP() << "cannot mount a tmpfs here";
  ASSERT_EQ(run_in_child([this] { return add_until_refused(db_, "count", 1000000); }), 0);
  int stored = std::stoi(read_file("count"));
  EXPECT_GT(stored, 1000);
  expect_consistent(db_, stored);
  // Once refused, an append stays refused and changes nothing.
  EXPECT_EQ(digest_add(db_, digest_of(stored), stored), add_result::refused);
  EXPECT_EQ(errno, ENOSPC);
  expect_consistent(db_, stored);
}

// Once the room for the next stores is allocated, another process takes
// every block left but the few a journal needs: the stores that grow the
// database still do, into that room, until it runs short and appends are
// refused with nothing lost. (Berkeley DB's room is only checked free.)
TEST_F(Store, FileSystemFilledByAnotherProcessLosesNothing) {
  const std::string library = VELORAND_LIBRARY;
  if (library == "bdb") GTEST_SKIP() << "no room allocated ahead";
  if (std::string(VELORAND_FILES) != "linux") GTEST_SKIP() << "no room allocated ahead off Linux";
  if (!(mounted_ = mount_small("1m"))) GTEST_SKIP() << "cannot mount a tmpfs here";
  const std::string data = library == "gdbm" ? "db/velorand.db.pag" : "db/velorand.db.db";
  ASSERT_EQ(digest_add(db_, digest_of(0), 0), add_result::added);
  struct stat filled, after;
  ASSERT_EQ(stat(data.c_str(), &filled), 0);
  ASSERT_EQ(run_in_child([this] {
              int fd = open("db/filler", O_WRONLY | O_CREAT, 0600);
              for (std::size_t n : {4096, 1}) {
                while (write(fd, std::string(n, 'f').data(), n) > 0) {
                }
              }
              struct stat st;
              return fstat(fd, &st) == 0 && ftruncate(fd, st.st_size - (16 << 10)) == 0 ? 0 : 1;
            }),
            0);
  ASSERT_EQ(run_in_child([this] { return add_until_refused(db_, "count", 1000000); }), 0);
  ASSERT_EQ(stat(data.c_str(), &after), 0);
  EXPECT_GT(after.st_size, filled.st_size) << "no store grew the database";
  expect_consistent(db_, std::stoi(read_file("count")));
  EXPECT_EQ(digest_add(db_, digest_of(1000000), 1), add_result::refused);
  EXPECT_EQ(errno, ENOSPC);
}

// As root, the blocks a file system keeps back for root are root's to use:
// users who fill the disk do not stop root's runs from recording.
TEST_F(Store, RootWritesTheBlocksKeptBackForIt) {
  if (!running_as_root() || std::system("mke2fs -q -F -m 50 img 2048 >/dev/null 2>&1") != 0 ||
      !(mounted_ = mount("img", "db", "ext2", 0, nullptr) == 0 ||
                   std::system("mount -o loop img db 2>/dev/null") == 0))
    GTEST_SKIP() << "cannot mount a file system with blocks kept back here";
  ASSERT_EQ(chmod("db", 0777), 0);
  ASSERT_EQ(run_in_child(
                [this] {
                  FILE* f = std::fopen("db/filler", "w");
                  while (f != nullptr && std::fputs(std::string(4096, 'f').c_str(), f) >= 0 &&
                         std::fflush(f) == 0) {
                  }
                  return 0;
                },
                true),
            0);
  struct statvfs vfs;
  ASSERT_EQ(statvfs("db", &vfs), 0);
  ASSERT_LT(vfs.f_bavail * vfs.f_frsize, 64u << 10) << "users' room left";
  EXPECT_EQ(digest_add(db_, digest_of(1), 1), add_result::added);
  EXPECT_EQ(digest_seen(db_, digest_of(1), 1), seen_result::seen);
}

// On a read-only file system no run can be writing: lookups read without
// the lock file, which cannot be made there.
TEST_F(Store, ReadOnlyFileSystemLooksUpWithoutALock) {
  if (!(mounted_ = mount_small("1m"))) GTEST_SKIP() << "cannot mount a tmpfs here";
  // Recorded by another process: a lock file held open, once unlinked, keeps
  // the file system from being made read-only.
  ASSERT_EQ(run_in_child([] {
              digest_db other = digest_db_at("db/velorand.db");
              return digest_add(other, digest_of(1), 1) == add_result::added ? 0 : 1;
            }),
            0);
  ASSERT_EQ(unlink("db/velorand.db.lock"), 0);
  ASSERT_EQ(mount(nullptr, "db", nullptr, MS_REMOUNT | MS_RDONLY, nullptr), 0);
  EXPECT_EQ(digest_seen(db_, digest_of(1), 1), seen_result::seen);
  EXPECT_EQ(digest_seen(db_, digest_of(2), 1), seen_result::not_seen);
  EXPECT_EQ(digest_add(db_, digest_of(2), 1), add_result::unavailable);
}

TEST_F(Store, NearlyFullFileSystemRefusesCreation) {
  if (!(mounted_ = mount_small("1m"))) GTEST_SKIP() << "cannot mount a tmpfs here";
  struct statvfs vfs;
  ASSERT_EQ(statvfs("db", &vfs), 0);
  write_file("db/filler", std::string(vfs.f_bavail * vfs.f_frsize - 8192, 'f'));
  EXPECT_EQ(digest_add(db_, digest_of(1), 1), add_result::unavailable);
  EXPECT_EQ(errno, ENOSPC);
  EXPECT_EQ(names_with_prefix("db", "velorand.db"), std::vector<std::string>{"velorand.db.lock"});
  ASSERT_EQ(unlink("db/filler"), 0);
  EXPECT_EQ(digest_add(db_, digest_of(1), 1), add_result::added);
  EXPECT_EQ(digest_seen(db_, digest_of(1), 1), seen_result::seen);
}

// The records a run of appends of digests 0..count-1 should leave, but for
// the ones it reported as not recorded.
std::map<std::string, std::string> expected(int count, const std::vector<int>& refused = {}) {
  std::map<std::string, std::string> want;
  for (int i = 0; i < count; ++i) want[key_bytes(digest_of(i))] = packed_keys({i});
  for (int i : refused) want.erase(key_bytes(digest_of(i)));
  return want;
}

struct fault_run {
  std::vector<int> refused;
  long calls = -1;
};

// Runs the fault driver here, appending digests from..to-1 with its k-th
// call that needs space failing; in `mode` "lengthen" as on a file system
// that cannot allocate past a file's end, in "sync" failing its k-th sync.
// With `batch`, in batches of that many.
fault_run run_failing(long k, int from, int to, const std::string& mode = "", int batch = 0) {
  fault_run f;
  std::vector<std::string> argv{"fault_driver", std::to_string(k), std::to_string(from),
                                std::to_string(to), "db/velorand.db"};
  if (!mode.empty() || batch > 0) argv.push_back(mode.empty() ? "-" : mode);
  if (batch > 0) argv.push_back(std::to_string(batch));
  run_result r = run_program(VELORAND_FAULT_DRIVER, argv, ".");
  EXPECT_EQ(r.status, 0) << r.err;
  std::istringstream lines(r.out);
  for (std::string line; std::getline(lines, line);) {
    if (line.rfind("calls ", 0) == 0) {
      f.calls = std::stol(line.substr(6));
    } else {
      f.refused.push_back(std::stoi(line));
    }
  }
  return f;
}

std::map<std::string, std::string> save_db() {
  std::map<std::string, std::string> files;
  for (const std::string& f : names_with_prefix("db", "velorand.db"))
    files[f] = read_file("db/" + f);
  return files;
}

void restore_db(const std::map<std::string, std::string>& files) {
  for (const std::string& f : names_with_prefix("db", "velorand.db")) unlink(("db/" + f).c_str());
  for (const auto& [name, bytes] : files) write_file("db/" + name, bytes);
}

// For every k, a run of appends whose k-th call needing space fails (in the
// library or ours) keeps every record stored before it, and reports each
// pair it did not record; the database stays readable to the end. The run
// crosses allocations of room and appends that journal first. A failed sync
// leaves its store in the page cache: the pair may be there, but must be
// reported as not recorded, for it may not be on the disk.
TEST_F(Store, WriteFailingAnywhereLosesNoEarlierRecord) {
  constexpr int kBefore = 150;  // appends 166 and 242 split a bucket
  for (int i = 0; i < kBefore; ++i) ASSERT_EQ(digest_add(db_, digest_of(i), i), add_result::added);
  const std::map<std::string, std::string> saved = save_db();
  const std::string library = VELORAND_LIBRARY;
  const struct {
    const char* label;
    int to;
    std::string mode;
    int batch = 0;  // a batch refused is refused whole: each of its pairs said not recorded
  } cases[] = {{"allocating past the end", 400, ""},
               {"lengthening the file", 180, "lengthen"},
               {"syncing", 250, "sync"},
               {"any write, even into allocated blocks", 180, "eio"},
               {"batches of 25, allocating past the end", 400, "", 25},
               {"batches of 25, syncing", 250, "sync", 25},
               {"batches of 25, any write", 250, "eio", 25}};
  for (const auto& c : cases) {
    // The 4.4BSD library writes its pages at the close, unguarded where no
    // room can be allocated ahead, or when a write fails: there a failed
    // write may lose records stored before, which is recorded, not refused.
    // Berkeley DB's close keeps a failed sync to itself.
    const bool ahead = c.mode != "lengthen" && std::string(VELORAND_FILES) == "linux";
    const bool guarded = !(!ahead && library == "bsd") && !(c.mode == "eio" && library == "bsd") &&
                         !(c.mode == "sync" && library == "bdb");
    restore_db(saved);
    const long calls = run_failing(0, kBefore, c.to, c.mode, c.batch).calls;
    ASSERT_GT(calls, 0) << c.label;
    long losing = 0;
    for (long k = 1; k <= calls; ++k) {
      restore_db(saved);
      fault_run f = run_failing(k, kBefore, c.to, c.mode, c.batch);
      bool ok = false;
      if (!guarded) {
        losing += db_records("db/velorand.db", &ok) != expected(c.to, f.refused) ||
                  (c.mode == "sync" && f.refused.empty());
        continue;
      }
      // The next use repairs what a failure left, as the next run would.
      EXPECT_EQ(digest_seen(db_, digest_of(0), 0), seen_result::seen) << c.label << " k=" << k;
      const auto records = db_records("db/velorand.db", &ok), want = expected(c.to, f.refused);
      if (c.mode == "sync" || c.mode == "eio") {
        // A failed sync must be reported; a failed write only leaves its pair
        // recorded (a library may write it again) or reported.
        EXPECT_TRUE(c.mode == "eio" || !f.refused.empty()) << c.label << " k=" << k;
        EXPECT_TRUE(std::includes(records.begin(), records.end(), want.begin(), want.end()))
            << c.label << " k=" << k;
      } else {
        EXPECT_EQ(records, want) << c.label << " k=" << k;
      }
      ASSERT_TRUE(ok) << c.label << " k=" << k;
    }
    if (!guarded) {
      RecordProperty("failed_" + c.mode + "_losing_or_unreported",
                     std::to_string(losing) + " of " + std::to_string(calls));
    }
  }
}

// The same from no database at all: a creation that fails leaves nothing the
// next append cannot complete.
TEST_F(Store, WriteFailingDuringCreationLeavesNothingBroken) {
  constexpr int kRun = 5;
  const long calls = run_failing(0, 0, kRun).calls;
  const std::vector<std::string> files = names_with_prefix("db", "velorand.db");
  for (long k = 1; k <= calls; ++k) {
    restore_db({});
    fault_run f = run_failing(k, 0, kRun);
    EXPECT_GE(digest_seen(db_, digest_of(0), 0), seen_result::not_seen) << "k=" << k;
    EXPECT_EQ(records(), expected(kRun, f.refused)) << "k=" << k;
    EXPECT_EQ(names_with_prefix("db", "velorand.db"), files) << "k=" << k;
  }
}

// A process killed anywhere in an append loses none of the pairs it had
// been told were stored, and the next process carries on.
TEST_F(Store, KilledAppendingLosesNothing) {
  int next = 0;
  for (int trial = 0; trial < 12; ++trial) {
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      close(fds[0]);
      for (int i = next;; ++i) {
        if (digest_add(db_, digest_of(i), i) != add_result::added ||
            write(fds[1], &i, sizeof i) != sizeof i)
          _exit(1);
      }
    }
    close(fds[1]);
    pollfd p{fds[0], POLLIN, 0};
    poll(&p, 1, 5 + trial * 7);
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
    for (int i; read(fds[0], &i, sizeof i) == sizeof i;) next = i + 1;
    close(fds[0]);
    // 2 when the killed process stored it before it could say so; the store
    // it was killed in may first be undone.
    add_result r = digest_add(db_, digest_of(next), next);
    if (r == add_result::repaired) r = digest_add(db_, digest_of(next), next);
    ASSERT_TRUE(r == add_result::added || r == add_result::added_before)
        << "trial " << trial << ": " << static_cast<int>(r);
    ++next;
    std::map<std::string, std::string> all = records();
    // The killed append may or may not have landed; every earlier one has.
    all.erase(key_bytes(digest_of(next - 2)));
    std::map<std::string, std::string> want = expected(next);
    want.erase(key_bytes(digest_of(next - 2)));
    ASSERT_EQ(all, want) << "trial " << trial;
  }
}

// Appends digests from..to-1 to a database holding 0..from-1 under the
// power driver, on tmpfs where the checks' own syncs cost nothing, and checks
// what it found. With GDBM no state may fail. Berkeley DB's store is not
// guarded, its file's layout being unknown here: a cut can cost records
// stored before, which is recorded, but no state may crash or be refused.
// With `batch`, the digests are recorded in batches of that many, each of
// which GDBM leaves whole or not at all; the others store a batch as single
// appends, so a cut may leave part of one (status 6).
void cut_power(int from, int to, int batch = 0) {
  scratch_dir shm("/dev/shm");
  digest_db db = digest_db_at(shm.path + "/velorand.db");
  for (int i = 0; i < from; ++i) ASSERT_EQ(digest_add(db, digest_of(i), i), add_result::added);
  bool guarded = access((shm.path + "/velorand.db.pag").c_str(), F_OK) == 0;
  std::vector<std::string> argv{"power_driver", db.paths.db, std::to_string(from),
                                std::to_string(to), shm.path + "/check/velorand.db"};
  if (batch > 0) argv.push_back(std::to_string(batch));
  run_result r = run_program(VELORAND_POWER_DRIVER, argv, ".");
  ASSERT_EQ(r.status, 0) << r.err;
  long states = 0, failed = -1, lost = 0;
  std::istringstream lines(r.out);
  for (std::string line; std::getline(lines, line);) {
    if (line.starts_with("states "))
      std::sscanf(line.c_str(), "states %ld failed %ld", &states, &failed);
    bool lost_only = line.ends_with(": status 1");
    lost += lost_only || (line.ends_with(": status 6") && !guarded);
    EXPECT_TRUE(line.starts_with("states ") || (lost_only && !guarded) ||
                (line.ends_with(": status 6") && !guarded))
        << line;
  }
  EXPECT_GT(states, batch > 0 ? (to - from) / batch : 2 * (to - from))
      << "too few states to show anything";
  EXPECT_EQ(failed, lost);
  ::testing::Test::RecordProperty("states_losing_records",
                                  std::to_string(lost) + " of " + std::to_string(states));
}

// A power cut anywhere between two syncs, in a young database whose buckets
// split and whose directory doubles several times, and in a grown one: no
// state it can leave loses a record stored before the append it cut, is
// refused, or stops the next append.
TEST_F(Store, PowerCutInYoungDatabaseLosesNoEarlierRecord) {
  cut_power(100, 500);
}

TEST_F(Store, PowerCutInGrownDatabaseLosesNoEarlierRecord) {
  cut_power(1290, 1380);  // where eight of its appends split a bucket
}

// A power cut anywhere in the commit of a batch leaves the database as it
// was before the batch or with the whole batch: batches that split buckets
// and double the directory of a young database, several splits in one batch
// of a grown one, and one batch of 300 records.
TEST_F(Store, PowerCutInABatchLeavesItWholeOrNotAtAll) {
  const struct {
    const char* label;
    int from, to, batch;
  } cases[] = {{"young, batches of 60", 100, 400, 60},
               {"grown, batches of 45", 1290, 1380, 45},
               {"one batch of 300", 1000, 1300, 300}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    cut_power(c.from, c.to, c.batch);
  }
}

// A run keeps the database open for its lookups: what another run records,
// or a database put in its place, it notices at its next lookup.
TEST_F(Store, LookupsNoticeWhatAnotherRunChanged) {
  const struct {
    const char* label;
    std::function<void(const digest&)> change;
  } cases[] = {
      {"another run records it",
       [](const digest& d) {
         ASSERT_EQ(run_in_child([d] {
                     digest_db other = digest_db_at("db/velorand.db");
                     return digest_add(other, d, 1) == add_result::added ? 0 : 1;
                   }),
                   0);
       }},
      {"a database holding it put in place",
       [](const digest& d) {
         remove_tree("db2");
         ASSERT_EQ(mkdir("db2", 0755), 0);
         digest_db other = digest_db_at("db2/velorand.db");
         for (int i = 0; i < 100; ++i)
           ASSERT_EQ(digest_add(other, digest_of(i), 1), add_result::added);
         ASSERT_EQ(digest_add(other, d, 1), add_result::added);
         for (const std::string& f : names_with_prefix("db2", "velorand.db")) {
           if (!f.ends_with(".lock")) {
             ASSERT_EQ(rename(("db2/" + f).c_str(), ("db/" + f).c_str()), 0);
           }
         }
       }},
  };
  ASSERT_EQ(digest_add(db_, digest_of(1000), 1), add_result::added);
  int n = 2000;
  for (const auto& c : cases) {
    const digest d = digest_of(++n);
    EXPECT_EQ(digest_seen(db_, digest_of(1000), 1), seen_result::seen) << c.label;
    EXPECT_EQ(digest_seen(db_, d, 1), seen_result::not_seen) << c.label;
    c.change(d);
    EXPECT_EQ(digest_seen(db_, d, 1), seen_result::seen) << c.label;
    EXPECT_EQ(digest_record(db_, d, 1), add_result::added_before) << c.label;
  }
  EXPECT_EQ(digest_seen(db_, digest_of(1000), 1), seen_result::not_seen) << "the replaced one's";
}

// A user who may not open the lock file looks up without it, the database
// opened for each lookup: a change made meanwhile is seen at once.
TEST_F(Store, ReaderWithoutTheLockFileOpensForEachLookup) {
  if (!running_as_root()) GTEST_SKIP() << "needs a second user";
  ASSERT_EQ(digest_add(db_, digest_of(1), 1), add_result::added);
  ASSERT_EQ(chmod("db", 0777), 0);
  for (const std::string& f : names_with_prefix("db", "velorand.db")) {
    if (!f.ends_with(".lock")) {
      ASSERT_EQ(chmod(("db/" + f).c_str(), 0666), 0);
    }
  }
  EXPECT_EQ(run_in_child(
                [] {
                  digest_db other = digest_db_at("db/velorand.db");
                  if (digest_seen(other, digest_of(1), 1) != seen_result::seen) return 1;
                  if (digest_seen(other, digest_of(2), 2) != seen_result::not_seen) return 2;
                  store_raw("db/velorand.db", key_bytes(digest_of(2)), packed_keys({2}));
                  if (digest_seen(other, digest_of(2), 2) != seen_result::seen) return 3;
                  std::vector<pair_to_record> batch{{digest_of(1), 1}, {digest_of(3), 3}};
                  if (digest_record_batch(other, batch) != add_result::unavailable) return 4;
                  return batch[0].result == add_result::added_before &&
                                 batch[1].result == add_result::unavailable
                             ? 0
                             : 5;
                },
                true),
            0);
}

TEST_F(Store, FileSizeLimitRefusesCreationWithoutAKill) {
  int status = run_in_child([this] {
    rlimit lim{8192, 8192};
    if (setrlimit(RLIMIT_FSIZE, &lim) != 0) return 4;
    return digest_add(db_, digest_of(0), 0) == add_result::unavailable && errno == EFBIG ? 0 : 3;
  });
  EXPECT_EQ(status, 0);
  EXPECT_EQ(names_with_prefix("db", "velorand.db"), std::vector<std::string>{"velorand.db.lock"});
  EXPECT_EQ(digest_add(db_, digest_of(0), 0), add_result::added);
}

}  // namespace

namespace {

// A lookup reads through another interface than the library's ndbm layer on
// some systems: it must answer from exactly the records ndbm holds.
TEST_F(Store, LookupAgreesWithTheLibrary) {
  for (int i = 0; i < 3000; ++i)
    ASSERT_EQ(digest_add(db_, digest_of(i), i % 7 - 3), add_result::added);
  for (int i = 0; i < 3000; i += 3)
    ASSERT_EQ(digest_add(db_, digest_of(i), 1 << 30), add_result::added);
  store_raw("db/velorand.db", key_bytes(digest_of(5000)), packed_keys({9}) + "xy");
  for (const auto& [key, value] : records()) {
    digest d;
    std::memcpy(d.data(), key.data(), d.size());
    for (std::size_t at = 0; at + 4 <= value.size(); at += 4) {
      size_key k;
      std::memcpy(&k, value.data() + at, sizeof k);
      ASSERT_EQ(digest_seen(db_, d, k), seen_result::seen)
          << "entry " << at / 4 << " of " << value.size();
    }
    ASSERT_EQ(digest_seen(db_, d, 77), seen_result::not_seen);
  }
  EXPECT_EQ(digest_seen(db_, digest_of(3001), 0), seen_result::not_seen);
}

// Both calls wait out a lock held for a while, and give up with `busy` when
// it is held longer; a shared lock keeps appends out but lets lookups in.
TEST_F(Store, HeldLockMakesCallsWaitThenSayBusy) {
  ASSERT_EQ(digest_add(db_, digest_of(1), 1), add_result::added);
  for (int op : {LOCK_SH, LOCK_EX}) {
    pid_t pid = hold_lock("db/velorand.db.lock", op, 60'000'000);
    ASSERT_GT(pid, 0);
    EXPECT_EQ(digest_seen(db_, digest_of(1), 1),
              op == LOCK_SH ? seen_result::seen : seen_result::busy)
        << op;
    EXPECT_EQ(digest_add(db_, digest_of(2), 2), add_result::busy) << op;
    // The wait ends even for a process that inherits SIGALRM blocked.
    EXPECT_EQ(run_in_child([this] {
                sigset_t alarm;
                sigemptyset(&alarm);
                sigaddset(&alarm, SIGALRM);
                sigprocmask(SIG_BLOCK, &alarm, nullptr);
                return digest_add(db_, digest_of(2), 2) == add_result::busy ? 0 : 1;
              }),
              0)
        << op;
    // A caller's pending alarm is left alone: neither fired, cancelled nor moved.
    EXPECT_EQ(run_in_child([this] {
                signal(SIGALRM, [](int) { _exit(5); });
                alarm(100);
                if (digest_add(db_, digest_of(2), 2) != add_result::busy) return 1;
                unsigned left = alarm(0);
                return left >= 90 && left <= 100 ? 0 : 2;
              }),
              0)
        << op;
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
  }
  EXPECT_EQ(digest_add(db_, digest_of(2), 2), add_result::added);
}

// Ctrl-Z lands while a run holds the lock most of the time: the stop must
// wait until the lock is given back, or every other run would stall.
TEST_F(Store, StoppedRunHoldsNoLock) {
  pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    setpgid(0, 0);  // a group of its own whose parent is in the session: stops apply
    for (int i = 0;; ++i) digest_add(db_, digest_of(i), i);
  }
  // Here too, before any stop is sent: one that reached the child still in
  // this process's group, which may be orphaned, would be discarded.
  setpgid(pid, pid);
  int fd = open("db/velorand.db.lock", O_RDONLY | O_CREAT, 0600);
  ASSERT_GE(fd, 0);
  for (int trial = 0; trial < 10; ++trial) {
    usleep(static_cast<useconds_t>(2000 + trial * 1700));
    ASSERT_EQ(kill(pid, SIGTSTP), 0);
    int status = 0;
    for (int waited = 0; waitpid(pid, &status, WUNTRACED | WNOHANG) == 0 && waited < 1000; ++waited)
      usleep(10000);
    // On failure, the child's signal masks and state say why it did not stop.
    const std::string state = read_file("/proc/" + std::to_string(pid) + "/status");
    if (!WIFSTOPPED(status)) kill(pid, SIGKILL);
    ASSERT_TRUE(WIFSTOPPED(status)) << "trial " << trial << "\n" << state;
    EXPECT_EQ(flock(fd, LOCK_EX | LOCK_NB), 0) << "trial " << trial;
    flock(fd, LOCK_UN);
    kill(pid, SIGCONT);
  }
  close(fd);
  kill(pid, SIGKILL);
  waitpid(pid, nullptr, 0);
}

}  // namespace

// Debian's 4.4BSD library reads the four bytes after a datum's length as the
// upper half of its own size_t length: every datum made with our declaration
// of it (store/ndbm_44bsd/ndbm.h, whose guard tells) must hold zero there.
TEST(Declaration, DatumHoldsNothingAboveItsLength) {
#ifndef VELORAND_NDBM_44BSD_H_
  GTEST_SKIP() << "the library's own declaration is in use";
#else
  alignas(datum) unsigned char bytes[sizeof(datum)];
  std::memset(bytes, 0xff, sizeof bytes);  // what a stack may hold
  new (bytes) datum{nullptr, 16};
  std::uint64_t length = 0;
  std::memcpy(&length, bytes + offsetof(datum, dsize), sizeof length);
  EXPECT_EQ(length, 16u);
#endif
}
