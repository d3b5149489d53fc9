// SPDX-License-Identifier: GPL-3.0-or-later
// A damaged database is never trusted and never deleted: its files move
// into "<path>.damaged-N/" beside it, and a new database starts with what
// could be read of them.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <string>

#include "store/internal.h"

namespace fs = std::filesystem;

namespace {

// Creates the first free "<path>.damaged-N" and names it in `dir`.
bool make_aside_dir(std::string& dir) {
  for (int n = 1; n < 10000; ++n) {
    dir = paths().db + ".damaged-" + std::to_string(n);
    if (mkdir(dir.c_str(), 0700) == 0) return true;
    if (errno != EEXIST) return false;
  }
  return false;
}

}  // namespace

bool set_aside(std::string& to) {
  if (!make_aside_dir(to)) return false;
  const fs::path db(paths().db);
  // The data file last: while it is there, a database is there.
  for (const std::string& suffix :
       {std::string(".journal"), std::string(".dir"), std::string(data_suffix())}) {
    std::string from = paths().db + suffix;
    std::string into = to + "/" + db.filename().string() + suffix;
    if (rename(from.c_str(), into.c_str()) != 0 && errno != ENOENT) return false;
  }
  if (!sync_dir(to) || !sync_dir(paths().dir)) return false;
  record_map records;
  salvage(to + "/" + db.filename().string() + data_suffix(), records);
  return create_db(records);
}
