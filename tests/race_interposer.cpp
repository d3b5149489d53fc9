// SPDX-License-Identifier: GPL-3.0-or-later
// Preloaded into the program by a test, to play a user racing the walk:
// right after the program first takes the status of an entry whose name ends
// in VELORAND_AFTER_STAT (or, written "name#2", its second status), the shell
// command VELORAND_THEN runs (a swap, a write), between the program's look
// and what it does next; written "*", after every status of any entry (a
// writer who keeps changing a file while the walk goes on). Any descriptor the
// program gets on a device, other than through O_PATH, is reported on
// standard error as "device opened". At exit, the bytes the program read
// (the command's not counted) are written to the file VELORAND_READ_COUNT
// when it is set.
#include <dlfcn.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

// Returns the bytes this process and its reaped children have read.
long bytes_read() {
  long n = -1;
  std::FILE* io = std::fopen("/proc/self/io", "r");
  if (io == nullptr) return n;
  char line[128];
  while (std::fgets(line, sizeof line, io) != nullptr) {
    if (std::strncmp(line, "rchar: ", 7) == 0) n = std::atol(line + 7);
  }
  std::fclose(io);
  return n;
}

long read_by_the_command = 0;

// Runs the shell command `command`, its reads not counted as the program's.
void run(const char* command) {
  unsetenv("LD_PRELOAD");
  long before = bytes_read();
  if (std::system(command) != 0) write(2, "race command failed\n", 20);
  read_by_the_command += bytes_read() - before;
}

// Runs the command once, when `path` ends in the name the test gave.
void after_status(const char* path) {
  static int met = 0;
  const char* name = std::getenv("VELORAND_AFTER_STAT");
  const char* command = std::getenv("VELORAND_THEN");
  if (name == nullptr || command == nullptr || path == nullptr) return;
  if (std::strcmp(name, "*") == 0) return run(command);
  const char* base = std::strrchr(path, '/');
  base = base == nullptr ? path : base + 1;
  const char* count = std::strchr(name, '#');
  std::size_t length =
      count == nullptr ? std::strlen(name) : static_cast<std::size_t>(count - name);
  if (std::strlen(base) != length || std::strncmp(base, name, length) != 0) return;
  if (++met < (count == nullptr ? 1 : std::atoi(count + 1))) return;
  unsetenv("VELORAND_AFTER_STAT");  // once, and not in the shell either
  run(command);
}

int checked(int fd, int flags) {
  struct stat st;
  if (fd >= 0 && (flags & O_PATH) == 0 && fstat(fd, &st) == 0 && S_ISCHR(st.st_mode)) {
    write(2, "device opened\n", 14);
  }
  return fd;
}

template <typename F>
F next(const char* name) {
  return reinterpret_cast<F>(dlsym(RTLD_NEXT, name));
}

mode_t mode_of(int flags, va_list ap) {
  return (flags & O_CREAT) != 0 ? static_cast<mode_t>(va_arg(ap, int)) : 0;
}

__attribute__((destructor)) void count_reads() {
  const char* to = std::getenv("VELORAND_READ_COUNT");
  std::FILE* out = to == nullptr ? nullptr : std::fopen(to, "w");
  if (out == nullptr) return;
  std::fprintf(out, "%ld\n", bytes_read() - read_by_the_command);
  std::fclose(out);
}

}  // namespace

extern "C" {

int stat(const char* path, struct stat* st) {
  int r = next<int (*)(const char*, struct stat*)>("stat")(path, st);
  after_status(path);
  return r;
}

int lstat(const char* path, struct stat* st) {
  int r = next<int (*)(const char*, struct stat*)>("lstat")(path, st);
  after_status(path);
  return r;
}

int fstatat(int dir, const char* path, struct stat* st, int flags) {
  int r = next<int (*)(int, const char*, struct stat*, int)>("fstatat")(dir, path, st, flags);
  after_status(path);
  return r;
}

int open(const char* path, int flags, ...) {
  va_list ap;
  va_start(ap, flags);
  mode_t mode = mode_of(flags, ap);
  va_end(ap);
  return checked(next<int (*)(const char*, int, ...)>("open")(path, flags, mode), flags);
}

int openat(int dir, const char* path, int flags, ...) {
  va_list ap;
  va_start(ap, flags);
  mode_t mode = mode_of(flags, ap);
  va_end(ap);
  return checked(next<int (*)(int, const char*, int, ...)>("openat")(dir, path, flags, mode),
                 flags);
}

// The same, under the names large-file builds call.
int fstatat64(int dir, const char* path, struct stat64* st, int flags) {
  int r = next<int (*)(int, const char*, struct stat64*, int)>("fstatat64")(dir, path, st, flags);
  after_status(path);
  return r;
}
int open64(const char* path, int flags, ...) __attribute__((alias("open")));
int openat64(int dir, const char* path, int flags, ...) __attribute__((alias("openat")));

}  // extern "C"
