// SPDX-License-Identifier: GPL-3.0-or-later
// GDBM's part of the store: the records in "<path>.pag", lookups through
// GDBM's own interface, and the room allocated ahead of every store.
//
// GDBM extends its file by writing zeros when a store reaches past the end;
// when such a write fails, GDBM 1.23 still writes the directory and header
// that point into the space it could not write, and a bucket of records
// stored long before is lost. So the room a store may take is allocated
// before it: GDBM then finds the file long enough, makes no write of its own,
// and every change lands in allocated pages of its mapping. GDBM takes a file
// longer than its header records for one hurt by an interrupted write and
// refuses it, so afterwards the file is cut back to that length.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "store/internal.h"

namespace {

// GDBM grows its file by a few blocks per store, except when its hash
// directory doubles. Measured with bench/ndbm_growth up to 2,000,000 records:
// at most 12 KiB below 5 MB, then never more than 0.18% of the file (270 KiB
// at 181 MB). A store goes ahead only with four times that bound free,
// 64 KiB plus 1/128 of the file, so a 1 MiB file system still holds some
// 10,000 records, and creation asks for the same 64 KiB.
constexpr off_t kRoomFloor = off_t{64} << 10;

// Reads the end of the space GDBM's header accounts for into `end`; returns
// false for a header this code does not know.
bool header_end(int fd, off_t& end) {
  constexpr std::uint32_t kMagic64 = 0x13579acf, kNumsyncMagic64 = 0x13579ad1;
  constexpr off_t kNextBlockAt = 32;  // the header's next_block field
  unsigned char h[40];
  std::uint32_t magic;
  std::int64_t next;
  if (pread(fd, h, sizeof h, 0) != static_cast<ssize_t>(sizeof h)) return false;
  std::memcpy(&magic, h, sizeof magic);
  std::memcpy(&next, h + kNextBlockAt, sizeof next);
  end = static_cast<off_t>(next);
  return (magic == kMagic64 || magic == kNumsyncMagic64) && next > 0;
}

bool zeros_from(int fd, off_t from, off_t to) {
  char buf[4096];
  for (off_t at = from; at < to;) {
    ssize_t n = pread(fd, buf, static_cast<std::size_t>(std::min<off_t>(to - at, sizeof buf)), at);
    if (n <= 0) return false;
    if (std::any_of(buf, buf + n, [](char c) { return c != 0; })) return false;
    at += n;
  }
  return true;
}

// Cuts the file back to the length its header records. Unless `known_unused`,
// only when the rest is zeros: room reserved, or grown by GDBM, for a store
// that died before it wrote there.
void trim_to_header(int fd, bool known_unused) {
  struct stat st;
  off_t end = 0;
  if (fstat(fd, &st) != 0 || !header_end(fd, end) || end >= st.st_size) return;
  if (known_unused || zeros_from(fd, end, st.st_size)) ftruncate(fd, end);
}

}  // namespace

const char* data_suffix() {
  return ".pag";
}

off_t room_needed(off_t size) {
  return kRoomFloor + size / 128;
}

// GDBM's own interface, reading without mapping the file, costs a third of
// what its ndbm layer does, which maps and unmaps the whole file.
int lookup_read_only(const digest& d, size_key key) {
  GDBM_FILE f = gdbm_open(paths().data.c_str(), 0,
                          GDBM_READER | GDBM_NOMMAP | GDBM_NOLOCK | GDBM_CLOEXEC, 0, nullptr);
  if (f == nullptr) return kDbUnavailable;
  int found = kDbUnavailable;
  if (!gdbm_needs_recovery(f)) {
    datum value = gdbm_fetch(f, key_of(d));
    if (value.dptr != nullptr || gdbm_last_errno(f) == GDBM_ITEM_NOT_FOUND) {
      found = holds(value, key) ? kSeen : kNotSeen;
    }
    std::free(value.dptr);
  }
  int saved = errno;
  gdbm_close(f);
  errno = saved;
  return found;
}

// A process that died during a store can leave its reserved room behind,
// which GDBM takes for damage; a database still damaged once that is cut
// back would answer every lookup "not recorded", so it is not used.
bool usable(db_handle& h) {
  if (h.db == nullptr || !gdbm_needs_recovery(h.db->file)) return h.db != nullptr;
  h.reset();
  fd_holder data(open(paths().data.c_str(), O_RDWR | O_CLOEXEC));
  if (data.fd >= 0) trim_to_header(data.fd, false);
  h.db = dbm_open(const_cast<char*>(paths().db.c_str()), O_RDWR, 0600);
  if (h.db != nullptr && gdbm_needs_recovery(h.db->file)) {
    h.reset();
    errno = EIO;
  }
  return h.db != nullptr;
}

bool store_with_room(db_handle& h, datum key, datum value) {
  int fd = dbm_pagfno(h.db);
  struct stat st;
  if (fd < 0 || fstat(fd, &st) != 0) return false;
  if (!room_for(fd, st.st_size, room_needed(st.st_size))) return false;
  // Twice the largest growth measured.
  int err = posix_fallocate(fd, st.st_size, room_needed(st.st_size) / 2);
  if (err != 0) {
    ftruncate(fd, st.st_size);
    errno = err;
    return false;
  }
  fd_holder data(dup(fd));  // outlives the handle, to cut the file back after the close
  bool stored = data.fd >= 0 && dbm_store(h.db, key, value, DBM_REPLACE) == 0;
  h.reset();
  if (data.fd >= 0) trim_to_header(data.fd, true);
  return stored;
}
