// SPDX-License-Identifier: GPL-3.0-or-later
#include "store/paths.h"

#include <filesystem>

namespace {

std::string base_name(const std::string& path) {
  return std::filesystem::path(path).filename();
}

}  // namespace

db_paths db_paths_of(const std::string& db, const char* data_suffix) {
  std::string dir = std::filesystem::path(db).parent_path();
  return {db,          db + data_suffix,       db + ".lock", db + ".journal",
          db + ".new", dir.empty() ? "." : dir};
}

std::string staged_db(const db_paths& p) {
  return p.stage + "/" + base_name(p.db);
}

std::string aside_dir(const db_paths& p, int n) {
  return p.db + ".damaged-" + std::to_string(n);
}

std::string aside_file(const db_paths& p, const std::string& aside, const std::string& suffix) {
  return aside + "/" + base_name(p.db) + suffix;
}
