// SPDX-License-Identifier: GPL-3.0-or-later
// A damaged database is never trusted and never deleted: its files move
// into "<path>.damaged-N/" beside it, and a new database starts with what
// could be read of them.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string>

#include "store/file.h"
#include "store/internal.h"
#include "store/paths.h"

namespace {

// Creates the first free "<path>.damaged-N" and names it in `dir`.
bool make_aside_dir(const db_paths& p, std::string& dir) {
  for (int n = 1; n < 10000; ++n) {
    dir = aside_dir(p, n);
    if (mkdir(dir.c_str(), 0700) == 0) return true;
    if (errno != EEXIST) return false;
  }
  return false;
}

}  // namespace

bool set_aside(const db_paths& p, std::string& to) {
  if (!make_aside_dir(p, to)) return false;
  // The data file last: while it is there, a database is there.
  for (const std::string& suffix :
       {std::string(".journal"), std::string(".dir"), std::string(data_suffix())}) {
    std::string from = p.db + suffix, into = moved_file(p, to, suffix);
    if (rename(from.c_str(), into.c_str()) != 0 && errno != ENOENT) return false;
  }
  if (!sync_dir(to) || !sync_dir(p.dir)) return false;
  record_map records;
  salvage(moved_file(p, to, data_suffix()), records);
  return create_db(p, records);
}
