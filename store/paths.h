// SPDX-License-Identifier: GPL-3.0-or-later
// The names of the database's files: pure functions of the path handed to
// the library, every one starting with it. Only store/ includes this header.
#ifndef VELORAND_STORE_PATHS_H_
#define VELORAND_STORE_PATHS_H_

#include <filesystem>
#include <string>

#include "store/store.h"

// Returns the paths derived from `db`, whose data file the library names with `data_suffix`.
inline db_paths db_paths_of(const std::string& db, const char* data_suffix) {
  std::string dir = std::filesystem::path(db).parent_path();
  return {db, db + data_suffix, db + ".lock", db + ".journal", dir.empty() ? "." : dir};
}

// Returns the directory where a new database is built: "<db>.new".
inline std::string stage_dir(const db_paths& p) {
  return p.db + ".new";
}

// Returns the database's path moved into the directory `dir`, less the
// suffixes the library adds: the stage, or where a damaged one goes.
inline std::string moved_to(const db_paths& p, const std::string& dir) {
  return dir + "/" + std::filesystem::path(p.db).filename().string();
}

// Returns the `n`-th directory a damaged database may be moved into.
inline std::string aside_dir(const db_paths& p, int n) {
  return p.db + ".damaged-" + std::to_string(n);
}

#endif  // VELORAND_STORE_PATHS_H_
