// SPDX-License-Identifier: GPL-3.0-or-later
#include "scan/scan.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <map>
#include <string>

#include "store/store.h"
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

TEST(Scan, EntryNoLongerRegularWhenOpenedIsNotRead) {
  // The walk saw a regular file; by the time it is opened a FIFO stands
  // there, with no writer: reading it would block for ever.
  scratch_dir dir;
  std::string fifo = dir.path + "/entry";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0644), 0);
  struct stat was_regular;
  ASSERT_EQ(stat("/dev/null", &was_regular), 0);
  was_regular.st_mode = S_IFREG | 0644;
  std::string err = captured_stderr([&] {
    status_line status;
    digest_db db = digest_db_at(dir.path + "/velorand.db");  // never reached
    scan_run run = scan_start(status, db);
    check_file(fifo, was_regular, run);
  });
  EXPECT_EQ(err, "Skipping " + fifo + "\n");
}

TEST(Scan, FileChangedSinceTheWalkIsNotRecorded) {
  // Cut or grown between the walk's status and the end of its read, a
  // file's digest is of neither version.
  scratch_dir dir;
  digest_db db = digest_db_at(dir.path + "/velorand.db");  // never reached
  std::string path = dir.path + "/changing";
  write_file(path, "before");
  struct stat walked;
  ASSERT_EQ(stat(path.c_str(), &walked), 0);
  write_file(path, "after, and longer");
  std::string err = captured_stderr([&] {
    status_line status;
    scan_run run = scan_start(status, db);
    check_file(path, walked, run);
  });
  EXPECT_EQ(err, "Couldn't read " + path + "\n");
}

TEST(Scan, EveryInstructionSetRecordsEachFilesOwnDigest) {
  for (md5_isa isa :
       {md5_isa::scalar, md5_isa::sse2, md5_isa::avx2, md5_isa::avx512vl, md5_isa::avx512}) {
    if (isa > md5_best_isa()) continue;
    scratch_dir dir;
    digest_db db = digest_db_at(dir.path + "/velorand.db");
    ASSERT_EQ(mkdir((dir.path + "/t").c_str(), 0755), 0);
    std::map<std::string, std::string> want;
    for (int size : {0, 1, 55, 64, 65, 1000, 70000, (1 << 20) + 5, 2 << 20, 3 << 20}) {
      std::string bytes(static_cast<std::size_t>(size), 'v');
      for (std::size_t i = 0; i < bytes.size(); i += 97) bytes[i] = static_cast<char>(i + size);
      write_file(dir.path + "/t/" + std::to_string(size), bytes);
      digest d;
      md5_of_memory(bytes.data(), bytes.size(), d);
      want[std::string(d.begin(), d.end())] = packed_keys({size});
    }
    status_line status;
    scan_run run = scan_start(status, db, isa);
    scan_dir(dir.path + "/t", run);
    EXPECT_EQ(db_records(dir.path + "/velorand.db"), want) << md5_lane_count(isa) << " lanes";
  }
}

}  // namespace
