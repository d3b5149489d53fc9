// Measures how the ndbm library's data file grows: stores N records of one
// size key each (as first runs do) in one opening, and prints every new
// largest single growth step with the file's size at that point. This is the
// measurement behind the free space the database asks for before an append.
//
// Usage: gdbm_growth <records> (in a scratch directory; it writes growth.db*).
#include <fcntl.h>
#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>

extern "C" {
#include <ndbm.h>
}

int main(int argc, char** argv) {
  long records = argc > 1 ? std::atol(argv[1]) : 1000000;
  DBM* db = dbm_open(const_cast<char*>("growth.db"), O_RDWR | O_CREAT, 0600);
  if (db == nullptr) {
    std::perror("growth.db");
    return 1;
  }
  int fd = dbm_pagfno(db);
  struct stat st;
  fstat(fd, &st);
  long long size = st.st_size, largest = 0;
  std::mt19937_64 rng(1);
  for (long i = 0; i < records; ++i) {
    std::uint64_t key[2] = {rng(), rng()};
    std::int32_t value = static_cast<std::int32_t>(i);
    datum k{reinterpret_cast<char*>(key), 16}, v{reinterpret_cast<char*>(&value), 4};
    if (dbm_store(db, k, v, DBM_REPLACE) != 0) return 1;
    fstat(fd, &st);
    if (st.st_size - size > largest) {
      largest = st.st_size - size;
      std::printf("record %ld: step %lld bytes at file size %lld (%.3f%%)\n", i, largest,
                  static_cast<long long>(st.st_size), 100.0 * largest / st.st_size);
    }
    size = st.st_size;
  }
  dbm_close(db);
  std::printf("%ld records: file size %lld, largest step %lld bytes\n", records, size, largest);
}
