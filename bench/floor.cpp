// SPDX-License-Identifier: GPL-3.0-or-later
// The least a run of this design can do, to time the program against: walks
// the trees given, takes OpenSSL's MD5 of every regular file, looks its digest
// up with the database opened read-only (GDBM's reader, without mapping the
// file, as the program does), and for a digest not found with that size
// appends it as plain ndbm does: open, fetch, store, close (one durable write).
// Prints the paths found, one per line. No lock, no checks, no status line.
// With --unmapped, appends through GDBM's own interface without mapping the
// file, as the program does, instead of ndbm's, which maps all of it.
//
// Usage: floor [--unmapped] DB DIR... (the database's files are DB.pag and
// DB.dir).
#include <fcntl.h>
#include <ftw.h>
#include <gdbm.h>
#include <openssl/evp.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "bench/floor_common.h"

extern "C" {
#include <ndbm.h>
}

namespace {

const char* g_db;
std::string g_pag;
bool g_unmapped = false;

bool look_up(datum key, std::int32_t size) {
  GDBM_FILE f = gdbm_open(g_pag.c_str(), 0, GDBM_READER | GDBM_NOMMAP | GDBM_NOLOCK, 0, nullptr);
  if (f == nullptr) return false;
  datum value = gdbm_fetch(f, key);
  bool found = recorded(value, size);
  std::free(value.dptr);
  gdbm_close(f);
  return found;
}

void append_unmapped(datum key, std::int32_t size) {
  GDBM_FILE f =
      gdbm_open(g_pag.c_str(), 0, GDBM_WRCREAT | GDBM_NOMMAP | GDBM_NOLOCK, 0600, nullptr);
  if (f == nullptr) return;
  datum old = gdbm_fetch(f, key);
  std::string value(old.dptr == nullptr ? "" : std::string(old.dptr, old.dsize));
  std::free(old.dptr);
  value.append(reinterpret_cast<const char*>(&size), 4);
  gdbm_store(f, key, datum{value.data(), static_cast<int>(value.size())}, GDBM_REPLACE);
  gdbm_close(f);
}

void append(datum key, std::int32_t size) {
  if (g_unmapped) return append_unmapped(key, size);
  DBM* db = dbm_open(const_cast<char*>(g_db), O_RDWR | O_CREAT, 0600);
  if (db == nullptr) return;
  datum old = dbm_fetch(db, key);
  std::string value(old.dptr == nullptr ? "" : std::string(old.dptr, old.dsize));
  value.append(reinterpret_cast<const char*>(&size), 4);
  dbm_store(db, key, datum{value.data(), static_cast<int>(value.size())}, DBM_REPLACE);
  dbm_close(db);
}

int visit(const char* path, const struct stat* st, int type, FTW*) {
  if (type != FTW_F || !S_ISREG(st->st_mode)) return 0;
  unsigned char md[EVP_MAX_MD_SIZE];
  if (!md5_of_file(path, md)) return 0;
  datum key{reinterpret_cast<char*>(md), 16};
  auto size = static_cast<std::int32_t>(st->st_size);
  if (look_up(key, size)) {
    std::puts(path);
  } else {
    append(key, size);
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  g_unmapped = argc > 1 && std::strcmp(argv[1], "--unmapped") == 0;
  int first = g_unmapped ? 2 : 1;
  if (argc < first + 2) {
    std::fputs("usage: floor [--unmapped] DB DIR...\n", stderr);
    return 2;
  }
  g_db = argv[first];
  g_pag = std::string(g_db) + ".pag";
  for (int i = first + 1; i < argc; ++i) {
    if (nftw(argv[i], visit, 64, FTW_PHYS) != 0) return 1;
  }
  return 0;
}
