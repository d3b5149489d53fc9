// SPDX-License-Identifier: GPL-3.0-or-later
// The journal "<path>.journal": before a store that may rewrite in place
// what the database already holds, the current bytes of those regions and
// the data file's length, made durable first. A store cut short by a power
// cut or a crash is undone from it by the next call; an empty file means
// there is nothing to undo.
//
// Layout: the magic "VRJOURN1", the old length (8 bytes), the number of
// regions (8 bytes), then per region its offset and length (8 bytes each)
// and its bytes, then an FNV-1a hash of all before it (8 bytes), all in host
// byte order. A journal that does not check out was cut short before the
// store began, which therefore changed nothing.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>

#include "store/file.h"
#include "store/internal.h"

namespace {

constexpr char kMagic[8] = {'V', 'R', 'J', 'O', 'U', 'R', 'N', '1'};
constexpr off_t kMaxJournal = off_t{1} << 30;

std::uint64_t fnv1a(const std::string& bytes) {
  std::uint64_t h = 0xcbf29ce484222325ull;
  for (unsigned char c : bytes) h = (h ^ c) * 0x100000001b3ull;
  return h;
}

template <typename T>
void put(std::string& out, T v) {
  out.append(reinterpret_cast<const char*>(&v), sizeof v);
}

// Reads a T at `at` of `in`, advancing `at`; false past the end.
template <typename T>
bool get(const std::string& in, std::size_t& at, T& v) {
  if (in.size() - at < sizeof v) return false;
  std::memcpy(&v, in.data() + at, sizeof v);
  at += sizeof v;
  return true;
}

// Returns the regions and old length a valid journal `j` holds.
bool parse(const std::string& j, off_t& size, std::vector<std::pair<off_t, std::string>>& images) {
  std::size_t at = sizeof kMagic;
  std::uint64_t sum, count;
  std::int64_t old;
  if (j.size() < sizeof kMagic + sizeof sum || std::memcmp(j.data(), kMagic, sizeof kMagic) != 0)
    return false;
  std::memcpy(&sum, j.data() + j.size() - sizeof sum, sizeof sum);
  std::string body = j.substr(0, j.size() - sizeof sum);
  if (fnv1a(body) != sum || !get(body, at, old) || !get(body, at, count) || old < 0) return false;
  size = static_cast<off_t>(old);
  for (std::uint64_t i = 0; i < count; ++i) {
    std::int64_t offset;
    std::uint64_t length;
    if (!get(body, at, offset) || !get(body, at, length) || body.size() - at < length) return false;
    images.push_back({static_cast<off_t>(offset), body.substr(at, length)});
    at += length;
  }
  return at == body.size();
}

}  // namespace

bool journal_write(const db_paths& p, int fd, off_t size, const std::vector<region>& regions) {
  std::string j(kMagic, sizeof kMagic);
  put<std::int64_t>(j, size);
  put<std::uint64_t>(j, regions.size());
  for (const region& r : regions) {
    std::string bytes(r.length, '\0');
    ssize_t n = pread(fd, bytes.data(), bytes.size(), r.at);
    if (n < 0) return false;
    bytes.resize(static_cast<std::size_t>(n));  // a region may reach past the end
    put<std::int64_t>(j, r.at);
    put<std::uint64_t>(j, bytes.size());
    j += bytes;
  }
  put<std::uint64_t>(j, fnv1a(j));
  bool created = access(p.journal.c_str(), F_OK) != 0;
  fd_holder out(open(p.journal.c_str(), O_RDWR | O_CREAT | O_NONBLOCK | O_CLOEXEC, 0600));
  if (out.fd < 0 || !write_all(out.fd, j.data(), j.size(), 0) ||
      ftruncate(out.fd, static_cast<off_t>(j.size())) != 0 || fdatasync(out.fd) != 0)
    return false;
  // A journal just made must be found after a cut too.
  return !created || sync_dir(p.dir);
}

bool journal_clear(const db_paths& p) {
  fd_holder j(open(p.journal.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC));
  return j.fd >= 0 && ftruncate(j.fd, 0) == 0 && fdatasync(j.fd) == 0;
}

hitch journal_rollback(const db_paths& p) {
  struct stat st;
  // One call where there is nothing to undo.
  if (stat(p.journal.c_str(), &st) != 0 || st.st_size == 0) return hitch::none;
  fd_holder j(open_regular(p.journal, O_RDWR, st));
  if (j.fd < 0) return hitch::unavailable;
  if (st.st_size > kMaxJournal) return errno = EIO, hitch::unavailable;
  if (st.st_size == 0) return hitch::none;
  std::string bytes(static_cast<std::size_t>(st.st_size), '\0');
  if (!read_all(j.fd, bytes.data(), bytes.size(), 0)) return hitch::unavailable;
  off_t size = 0;
  std::vector<std::pair<off_t, std::string>> images;
  if (!parse(bytes, size, images)) return journal_clear(p) ? hitch::none : hitch::unavailable;
  fd_holder data(open_regular(p.data, O_RDWR, st));
  if (data.fd < 0) return errno = EIO, hitch::unavailable;
  for (const auto& [at, image] : images)
    if (!write_all(data.fd, image.data(), image.size(), at)) return hitch::unavailable;
  // Content and length are all that matter of each file here: fdatasync.
  if (ftruncate(data.fd, size) != 0 || fdatasync(data.fd) != 0) return hitch::unavailable;
  return journal_clear(p) ? hitch::repaired : hitch::unavailable;
}
