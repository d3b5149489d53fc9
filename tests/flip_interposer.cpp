// SPDX-License-Identifier: GPL-3.0-or-later
// Preloaded into the program by a test: when the program opens the path in
// VELORAND_FLIP, that link is first pointed at /dev/null, as a user racing
// the walk would between its status and its open; and any descriptor the
// program gets on a device, other than through O_PATH, is reported on
// standard error as "device opened".
#include <dlfcn.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdarg>
#include <cstdlib>
#include <cstring>

namespace {

int flip_then_open(const char* path, int flags, mode_t mode) {
  static auto real = reinterpret_cast<int (*)(const char*, int, ...)>(dlsym(RTLD_NEXT, "open"));
  const char* flip = std::getenv("VELORAND_FLIP");
  if (flip != nullptr && std::strcmp(path, flip) == 0) {
    unlink(flip);
    symlink("/dev/null", flip);
  }
  int fd = real(path, flags, mode);
  struct stat st;
  if (fd >= 0 && (flags & O_PATH) == 0 && fstat(fd, &st) == 0 && S_ISCHR(st.st_mode)) {
    write(2, "device opened\n", 14);
  }
  return fd;
}

}  // namespace

extern "C" {

int open(const char* path, int flags, ...) {
  va_list ap;
  va_start(ap, flags);
  mode_t mode = (flags & O_CREAT) != 0 ? static_cast<mode_t>(va_arg(ap, int)) : 0;
  va_end(ap);
  return flip_then_open(path, flags, mode);
}

// The same, under the name large-file builds call.
int open64(const char* path, int flags, ...) __attribute__((alias("open")));

}  // extern "C"
