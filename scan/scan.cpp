#include "scan/scan.h"

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <utility>
#include <vector>

#include "common/common.h"
#include "md5/md5.h"
#include "store/store.h"

namespace {

// stdio's own buffer is one file system block (4 KiB here); with 128 KiB a
// large file takes a 32nd of the read calls.
constexpr std::size_t kReadBuffer = std::size_t{128} << 10;

using dir_id = std::pair<dev_t, ino_t>;

// Owns the array scandir returns.
struct listing {
  dirent** entries = nullptr;
  int count = 0;
  explicit listing(const std::string& path)
      : count(scandir(path.c_str(), &entries, nullptr, nullptr)) {}
  ~listing() {
    for (int i = 0; i < count; ++i) std::free(entries[i]);
    std::free(entries);
  }
  listing(const listing&) = delete;
  listing& operator=(const listing&) = delete;
};

// Owns a stream opened on a file.
struct stream {
  std::FILE* f = nullptr;
  ~stream() {
    if (f != nullptr) std::fclose(f);
  }
};

// Returns the length of the valid UTF-8 sequence for a printable character at
// `s`, or 0 when the byte there must be shown as '?'.
std::size_t printable_length(const unsigned char* s, std::size_t left) {
  if (s[0] >= 0x20 && s[0] < 0x7f) return 1;
  std::size_t n = s[0] >= 0xf0 && s[0] < 0xf5 ? 4 : s[0] >= 0xe0 ? 3 : s[0] >= 0xc2 ? 2 : 0;
  if (s[0] >= 0xf5 || n == 0 || n > left) return 0;
  std::uint32_t cp = s[0] & (0x7f >> n);
  for (std::size_t i = 1; i < n; ++i) {
    if ((s[i] & 0xc0) != 0x80) return 0;
    cp = cp << 6 | (s[i] & 0x3f);
  }
  static constexpr std::uint32_t kLeast[] = {0, 0, 0x80, 0x800, 0x10000};
  bool ok = cp >= kLeast[n] && cp >= 0xa0 && cp <= 0x10ffff && (cp < 0xd800 || cp > 0xdfff);
  return ok ? n : 0;
}

bool needs_escaping(const std::string& path) {
  for (unsigned char c : path) {
    if (c < 0x20 || c >= 0x7f) return true;
  }
  return false;
}

std::string shown(const std::string& path) {
  std::string out;
  const auto* s = reinterpret_cast<const unsigned char*>(path.data());
  for (std::size_t i = 0; i < path.size();) {
    std::size_t n = printable_length(s + i, path.size() - i);
    if (n == 0) {
      out += '?';
      n = 1;
    } else {
      out.append(path, i, n);
    }
    i += n;
  }
  return out;
}

void report(const char* what, const std::string& path) {
  write_path_line(stderr, what, path);
}

void walk(const std::string& path, std::vector<dir_id>& descent);

// Descends into `joined`, unless it is a directory this descent is already in.
void descend(const std::string& joined, const struct stat& st, std::vector<dir_id>& descent) {
  dir_id id{st.st_dev, st.st_ino};
  for (const dir_id& d : descent) {
    if (d == id) return report("Directory cycle at ", joined);
  }
  descent.push_back(id);
  walk(joined, descent);
  descent.pop_back();
}

void walk(const std::string& path, std::vector<dir_id>& descent) {
  listing list(path);
  // A directory that vanished, or that this user may not read, must not pass
  // for an empty one: a mistyped cron line would look like a clean run.
  if (list.count < 0) return report(errno == ENOTDIR ? "Skipping " : "Couldn't open ", path);
  std::string joined;
  for (int i = 0; i < list.count; ++i) {
    const char* name = list.entries[i]->d_name;
    if (std::strcmp(name, ".") == 0 || std::strcmp(name, "..") == 0) continue;
    joined.assign(path).append(1, '/').append(name);
    struct stat st;
    if (stat(joined.c_str(), &st) != 0) {
      report("Couldn't stat ", joined);
    } else if (recursive_flag && S_ISDIR(st.st_mode)) {
      descend(joined, st, descent);
    } else if (!S_ISREG(st.st_mode)) {
      report("Skipping ", joined);
    } else {
      check_file(joined, st);
    }
  }
}

// Opens `path` for reading without blocking and returns the stream, or null
// after reporting why not. Only a file that is still regular once open is read.
std::FILE* open_regular(const std::string& path) {
  int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  if (fd < 0) {
    report("Couldn't open ", path);
    return nullptr;
  }
  struct stat st;
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    close(fd);
    report("Skipping ", path);
    return nullptr;
  }
  std::FILE* f = fdopen(fd, "r");
  if (f == nullptr) {
    close(fd);
    report("Couldn't open ", path);
  }
  return f;
}

// Returns 0 after writing the digest of the file at `path` to `out`, or 1
// after reporting why it could not be read to the end.
int digest_file(const std::string& path, digest& out) {
  // Static, not on the stack: a reduced stack limit or a deep walk must not
  // overflow. One stream at a time uses it, and it is closed before return.
  static char buf[kReadBuffer];
  stream s{open_regular(path)};
  if (s.f == nullptr) return 1;
  std::setvbuf(s.f, buf, _IOFBF, sizeof buf);
  if (md5_of_stream(s.f, out) == 0) return 0;
  report("Couldn't read ", path);
  return 1;
}

// Calls `op` until it gets past another run's lock, saying once that it waits.
int patiently(int (*op)(const digest&, size_key), const digest& d, size_key key) {
  int r = op(d, key);
  if (r == kDbBusy) report("Waiting for the database, locked by another run: ", digest_lock_path());
  while (r == kDbBusy) r = op(d, key);
  return r;
}

}  // namespace

bool write_path_line(std::FILE* f, const char* prefix, const std::string& path) {
  bool escape = needs_escaping(path) && isatty(fileno(f));
  if (*prefix == '\0' && !escape) {
    return std::fwrite(path.data(), 1, path.size(), f) == path.size() && std::putc('\n', f) != EOF;
  }
  // One write, so that an unbuffered stream gets the line whole.
  std::string line = prefix;
  if (escape) {
    line += shown(path);
  } else {
    line += path;
  }
  line += '\n';
  return std::fwrite(line.data(), 1, line.size(), f) == line.size();
}

int scan_dir(const std::string& path) {
  std::vector<dir_id> descent;
  struct stat st;
  // The operand is part of the descent: a link back to it is a cycle too.
  if (recursive_flag && stat(path.c_str(), &st) == 0) descent.push_back({st.st_dev, st.st_ino});
  walk(path, descent);
  return 0;
}

void check_file(const std::string& joined_path, const struct stat& status) {
  digest d;
  if (digest_file(joined_path, d) != 0) return;
  size_key key = size_key_of(status.st_size);
  int added = patiently(digest_seen, d, key) == 1 ? 2 : patiently(digest_add, d, key);
  // 2: recorded before, by an earlier file or by a run going on beside this one.
  if (added == 2) {
    write_path_line(stdout, "", joined_path);
  } else if (added != 0) {
    report("Unable to add ", joined_path);
  }
}
