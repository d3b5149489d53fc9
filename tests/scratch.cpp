// SPDX-License-Identifier: GPL-3.0-or-later
#include "tests/scratch.h"

#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

extern "C" {
#include <ndbm.h>
}

namespace {

constexpr uid_t kNobody = 65534;

// Removes `name` in the directory `dirfd` with everything below it, working
// relative to open directories so that no path length limit applies.
void remove_at(int dirfd, const char* name) {
  struct stat st;
  if (fstatat(dirfd, name, &st, AT_SYMLINK_NOFOLLOW) != 0) return;
  if (!S_ISDIR(st.st_mode)) {
    unlinkat(dirfd, name, 0);
    return;
  }
  fchmodat(dirfd, name, 0700, 0);
  int fd = openat(dirfd, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW);
  DIR* d = fd < 0 ? nullptr : fdopendir(fd);
  if (d != nullptr) {
    std::vector<std::string> names;
    while (dirent* e = readdir(d)) {
      if (std::strcmp(e->d_name, ".") != 0 && std::strcmp(e->d_name, "..") != 0) {
        names.push_back(e->d_name);
      }
    }
    for (const std::string& n : names) remove_at(::dirfd(d), n.c_str());
    closedir(d);
  }
  unlinkat(dirfd, name, AT_REMOVEDIR);
}

void drop_privileges() {
  if (geteuid() != 0) return;
  if (setgid(kNobody) != 0 || setuid(kNobody) != 0) _exit(125);
}

int wait_status(pid_t pid) {
  int status = 0;
  while (waitpid(pid, &status, 0) < 0) {
    if (errno != EINTR) return -1;
  }
  if (WIFEXITED(status)) return WEXITSTATUS(status);
  return 128 + WTERMSIG(status);
}

std::string slurp_fd(int fd) {
  std::string s;
  char buf[65536];
  lseek(fd, 0, SEEK_SET);
  for (ssize_t n; (n = read(fd, buf, sizeof buf)) > 0;) s.append(buf, static_cast<std::size_t>(n));
  return s;
}

}  // namespace

scratch_dir::scratch_dir(const char* fallback) {
  const char* tmp = std::getenv("TMPDIR");
  std::string pattern =
      std::string(tmp != nullptr && *tmp != '\0' ? tmp : fallback) + "/velorand-test-XXXXXX";
  if (mkdtemp(pattern.data()) == nullptr) ADD_FAILURE() << "mkdtemp failed";
  path = pattern;
  chmod(path.c_str(), 0755);
}

scratch_dir::~scratch_dir() {
  remove_tree(path);
}

void remove_tree(const std::string& path) {
  remove_at(AT_FDCWD, path.c_str());
}

bool write_file(const std::string& path, const std::string& bytes) {
  std::ofstream f(path, std::ios::binary | std::ios::trunc);
  f << bytes;
  f.close();
  EXPECT_TRUE(f.good()) << "cannot write " << path;
  return f.good();
}

std::string read_file(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  if (!f) return "<missing>";
  std::ostringstream s;
  s << f.rdbuf();
  return s.str();
}

std::vector<std::string> listing(const std::string& dir) {
  std::vector<std::string> names;
  DIR* d = opendir(dir.c_str());
  if (d == nullptr) return names;
  while (dirent* e = readdir(d)) {
    if (std::strcmp(e->d_name, ".") != 0 && std::strcmp(e->d_name, "..") != 0) {
      names.push_back(e->d_name);
    }
  }
  closedir(d);
  return names;
}

std::vector<std::string> names_with_prefix(const std::string& dir, const std::string& prefix) {
  std::vector<std::string> names;
  for (const std::string& n : listing(dir)) {
    if (n.compare(0, prefix.size(), prefix) == 0) names.push_back(n);
  }
  std::sort(names.begin(), names.end());
  return names;
}

int run_in_child(const std::function<int()>& body, bool unprivileged) {
  pid_t pid = fork();
  if (pid == 0) {
    if (unprivileged) drop_privileges();
    _exit(body());
  }
  return pid < 0 ? -1 : wait_status(pid);
}

bool running_as_root() {
  return geteuid() == 0;
}

std::map<std::string, std::string> db_records(const std::string& path, bool* ok) {
  std::map<std::string, std::string> records;
  DBM* db = dbm_open(const_cast<char*>(path.c_str()), O_RDONLY, 0);
  if (ok != nullptr) *ok = db != nullptr;
  if (db == nullptr) return records;
  for (datum k = dbm_firstkey(db); k.dptr != nullptr; k = dbm_nextkey(db)) {
    std::string key(static_cast<const char*>(k.dptr), static_cast<std::size_t>(k.dsize));
    datum v = dbm_fetch(db, k);
    records[key] = v.dptr == nullptr ? "<unfetchable>"
                                     : std::string(static_cast<const char*>(v.dptr),
                                                   static_cast<std::size_t>(v.dsize));
  }
  dbm_close(db);
  return records;
}

bool holds_all(const std::string& path, const std::map<std::string, std::string>& want) {
  DBM* db = dbm_open(const_cast<char*>(path.c_str()), O_RDONLY, 0);
  if (db == nullptr) return false;
  bool all = true;
  for (const auto& [key, value] : want) {
    datum k{const_cast<char*>(key.data()), static_cast<int>(key.size())};
    datum v = dbm_fetch(db, k);
    all = all && v.dptr != nullptr &&
          std::string(static_cast<const char*>(v.dptr), static_cast<std::size_t>(v.dsize)) == value;
  }
  dbm_close(db);
  return all;
}

std::string packed_keys(std::initializer_list<std::int32_t> keys) {
  std::string v;
  for (std::int32_t k : keys) v.append(reinterpret_cast<const char*>(&k), sizeof k);
  return v;
}

void store_raw(const std::string& path, const std::string& key, const std::string& value) {
  DBM* db = dbm_open(const_cast<char*>(path.c_str()), O_RDWR | O_CREAT, 0600);
  ASSERT_NE(db, nullptr) << path;
  datum k{const_cast<char*>(key.data()), static_cast<int>(key.size())};
  datum v{const_cast<char*>(value.data()), static_cast<int>(value.size())};
  EXPECT_EQ(dbm_store(db, k, v, DBM_REPLACE), 0);
  dbm_close(db);
}

run_result run_program(const std::string& file, const std::vector<std::string>& argv,
                       const std::string& cwd, bool unprivileged, const std::string& stdout_path,
                       const std::string& stderr_path) {
  run_result r;
  FILE* out = std::tmpfile();
  FILE* err = std::tmpfile();
  pid_t pid = fork();
  if (pid == 0) {
    if (chdir(cwd.c_str()) != 0) _exit(126);
    int in = open("/dev/null", O_RDONLY);
    int o = stdout_path.empty() ? fileno(out) : open(stdout_path.c_str(), O_WRONLY);
    int e = stderr_path.empty() ? fileno(err) : open(stderr_path.c_str(), O_WRONLY);
    if (in < 0 || o < 0 || e < 0) _exit(126);
    dup2(in, 0);
    dup2(o, 1);
    dup2(e, 2);
    if (unprivileged) drop_privileges();
    std::vector<char*> args;
    for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    execv(file.c_str(), args.data());
    _exit(127);
  }
  r.status = wait_status(pid);
  r.out = slurp_fd(fileno(out));
  r.err = slurp_fd(fileno(err));
  std::fclose(out);
  std::fclose(err);
  return r;
}

int hold_lock(const std::string& lock_path, int op, unsigned micros, bool unprivileged) {
  int ready[2];
  if (pipe(ready) != 0) return -1;
  pid_t pid = fork();
  if (pid == 0) {
    if (unprivileged) drop_privileges();
    int fd = open(lock_path.c_str(), O_RDONLY | O_CREAT, 0600);
    if (fd < 0 || flock(fd, op) != 0 || write(ready[1], "1", 1) != 1) _exit(1);
    usleep(micros);
    _exit(0);
  }
  char c;
  bool held = pid > 0 && read(ready[0], &c, 1) == 1;
  close(ready[0]);
  close(ready[1]);
  return held ? pid : -1;
}
