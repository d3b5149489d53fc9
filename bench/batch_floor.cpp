// SPDX-License-Identifier: GPL-3.0-or-later
// The least a run that records in batches can do, to time the program's
// first run against: walks the trees given, takes OpenSSL's MD5 of every
// regular file, looks its digest up in one GDBM database opened once for the
// whole run (its own interface, without mapping the file), stores a digest
// not found with that size, and syncs after every 1,000 stores and at the
// end. Prints the paths found, one per line. No lock, no journal, no checks,
// no status line.
//
// Usage: batch_floor DB DIR... (the database's file is DB.pag).
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

namespace {

constexpr int kBatch = 1000;  // stores a sync

GDBM_FILE g_db = nullptr;
int g_unsynced = 0;

int visit(const char* path, const struct stat* st, int type, FTW*) {
  if (type != FTW_F || !S_ISREG(st->st_mode)) return 0;
  unsigned char md[EVP_MAX_MD_SIZE];
  if (!md5_of_file(path, md)) return 0;
  datum key{reinterpret_cast<char*>(md), 16};
  auto size = static_cast<std::int32_t>(st->st_size);
  datum old = gdbm_fetch(g_db, key);
  if (recorded(old, size)) {
    std::puts(path);
  } else {
    std::string value(old.dptr == nullptr ? "" : std::string(old.dptr, old.dsize));
    value.append(reinterpret_cast<const char*>(&size), 4);
    gdbm_store(g_db, key, datum{value.data(), static_cast<int>(value.size())}, GDBM_REPLACE);
    if (++g_unsynced == kBatch) {
      gdbm_sync(g_db);
      g_unsynced = 0;
    }
  }
  std::free(old.dptr);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fputs("usage: batch_floor DB DIR...\n", stderr);
    return 2;
  }
  std::string pag = std::string(argv[1]) + ".pag";
  g_db = gdbm_open(pag.c_str(), 0, GDBM_WRCREAT | GDBM_NOMMAP | GDBM_NOLOCK, 0600, nullptr);
  if (g_db == nullptr) return 1;
  for (int i = 2; i < argc; ++i) {
    if (nftw(argv[i], visit, 64, FTW_PHYS) != 0) return 1;
  }
  return gdbm_close(g_db) == 0 ? 0 : 1;  // syncs what is left
}
