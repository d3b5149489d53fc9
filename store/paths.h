// SPDX-License-Identifier: GPL-3.0-or-later
// The names of the database's files: pure functions of the path handed to
// the library. Only store/ includes this header.
#ifndef VELORAND_STORE_PATHS_H_
#define VELORAND_STORE_PATHS_H_

#include <string>

#include "store/store.h"

// Returns the paths derived from `db`, whose data file the library names
// with `data_suffix`.
db_paths db_paths_of(const std::string& db, const char* data_suffix);

// Returns the path handed to the library for the database built in the stage.
std::string staged_db(const db_paths& p);

// Returns the path of the `n`-th directory a damaged database may be moved into.
std::string aside_dir(const db_paths& p, int n);

// Returns the path, in the directory `aside`, that the file of `p` whose name
// ends in `suffix` moves to.
std::string aside_file(const db_paths& p, const std::string& aside, const std::string& suffix);

#endif  // VELORAND_STORE_PATHS_H_
