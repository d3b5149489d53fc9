// SPDX-License-Identifier: GPL-3.0-or-later
// Measures how the ndbm library's data file grows: stores N records of one
// size key each, opening and closing the database around every store as the
// program does (a library that caches pages writes them at the close), and
// prints every new largest growth step with the file's size at that point.
// This is the measurement behind the free space the database asks for before
// an append.
//
// Usage: ndbm_growth <records> (in a scratch directory, best on tmpfs; it
// writes growth.db*).
#include <fcntl.h>
#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>

extern "C" {
#include <ndbm.h>
}

// Returns the size of the library's data file: GDBM's .pag, or the one file
// Berkeley DB and the BSDs keep.
long long data_size() {
  struct stat st;
  if (stat("growth.db.pag", &st) == 0 || stat("growth.db.db", &st) == 0) return st.st_size;
  return -1;
}

int main(int argc, char** argv) {
  long records = argc > 1 ? std::atol(argv[1]) : 1000000;
  long long size = 0, largest = 0;
  std::mt19937_64 rng(1);
  for (long i = 0; i < records; ++i) {
    DBM* db = dbm_open(const_cast<char*>("growth.db"), O_RDWR | O_CREAT, 0600);
    if (db == nullptr) {
      std::perror("growth.db");
      return 1;
    }
    std::uint64_t key[2] = {rng(), rng()};
    std::int32_t value = static_cast<std::int32_t>(i);
    datum k{reinterpret_cast<char*>(key), 16}, v{reinterpret_cast<char*>(&value), 4};
    if (dbm_store(db, k, v, DBM_REPLACE) != 0) return 1;
    dbm_close(db);
    long long now = data_size();
    if (i > 0 && now - size > largest) {
      largest = now - size;
      std::printf("record %ld: step %lld bytes at file size %lld (%.3f%%)\n", i, largest, now,
                  100.0 * static_cast<double>(largest) / static_cast<double>(now));
    }
    size = now;
  }
  std::printf("%ld records: file size %lld, largest step %lld bytes\n", records, size, largest);
}
