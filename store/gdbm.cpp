// SPDX-License-Identifier: GPL-3.0-or-later
// GDBM's part of the store: the records in "<path>.pag", reached through
// GDBM's own interface without mapping the file (its ndbm layer maps the
// whole file at every opening, and unmapping it costs more than the store
// itself), and the room allocated ahead of every store.
//
// GDBM extends its file by writing zeros when a store reaches past the end;
// when such a write fails, GDBM 1.23 still writes the directory and header
// that point into the space it could not write, and a bucket of records
// stored long before is lost. So the room a store may take is allocated past
// the end before it, without changing the file's length (GDBM takes a file
// longer than its header records for one hurt by an interrupted write): its
// writes then land in allocated blocks, which neither a full disk nor a quota
// can refuse. The room is allocated again only once what is left of it runs
// short, so most appends change neither the length nor the allocation.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "store/file.h"
#include "store/gdbm_layout.h"
#include "store/internal.h"

// GDBM's handle, and the last value it handed over, kept until the next
// fetch or the close.
struct db_handle {
  GDBM_FILE gdbm = nullptr;
  void* fetched = nullptr;
};

namespace {

// GDBM's largest growth step, measured up to 2,000,000 records with
// `bench/ndbm_growth 2000000` (in a scratch directory on tmpfs): at most
// 12 KiB plus 0.15% of the file (12 KiB at 28 KiB, 20 KiB at 5.7 MB, 264 KiB
// at 181 MB). More than four times that, 64 KiB plus 1/128 of the file, is
// the room allocated ahead, and allocated again once less than half of it is
// left; a 1 MiB file system still holds some 10,000 records, and creation
// asks for the same 64 KiB.
constexpr off_t kRoomFloor = off_t{64} << 10;

// Returns true when what lies past the end the header records, [end, size),
// is room left by a store that did not use it: zeros, no more than it takes.
bool leftover_room(int fd, off_t end, off_t size) {
  char buf[4096];
  for (off_t at = end; at < size && size - end <= room_needed(end);) {
    std::size_t n = static_cast<std::size_t>(std::min<off_t>(size - at, sizeof buf));
    if (!read_all(fd, buf, n, at) || std::any_of(buf, buf + n, [](char c) { return c != 0; }))
      return false;
    at += static_cast<off_t>(n);
  }
  return size - end <= room_needed(end);
}

// Returns true when GDBM refuses the data file, opened for reading, as not a
// database.
bool refused_as_damaged(const db_paths& p) {
  struct stat st;
  int fd = open_regular(p.data, O_RDONLY, st);
  if (fd < 0) return false;
  GDBM_FILE f = gdbm_fd_open(fd, p.data.c_str(), 0,
                             GDBM_READER | GDBM_NOMMAP | GDBM_NOLOCK | GDBM_CLOERROR, nullptr);
  if (f != nullptr) return gdbm_close(f), false;
  gdbm_error e = gdbm_errno;
  return e == GDBM_BAD_MAGIC_NUMBER || e == GDBM_BAD_HEADER || e == GDBM_BLOCK_SIZE_ERROR ||
         e == GDBM_BAD_AVAIL || e == GDBM_FILE_EOF || e == GDBM_NEED_RECOVERY;
}

// Opens the data file for `mode` (GDBM_READER or GDBM_WRITER), without
// blocking on anything but a regular file; returns GDBM's handle, or null,
// with `refused` set when the file opened but GDBM refused it.
GDBM_FILE open_gdbm(const db_paths& p, int mode, bool& refused) {
  int fd = open(p.data.c_str(), (mode == GDBM_READER ? O_RDONLY : O_RDWR) | O_NONBLOCK | O_CLOEXEC);
  refused = fd >= 0;
  if (fd < 0) return nullptr;
  return gdbm_fd_open(fd, p.data.c_str(), 0, mode | GDBM_NOMMAP | GDBM_NOLOCK | GDBM_CLOERROR,
                      nullptr);
}

// Closes `h`, returning false when GDBM's closing sync failed: the store
// may not be on the disk.
bool close_synced(db_handle_ptr& h) {
  bool synced = gdbm_close(h->gdbm) == 0;
  h->gdbm = nullptr;
  h.reset();
  return synced;
}

// Cuts the data file `fd` back to the end its header records, once a store
// that lengthened it to make room is done.
void cut_back(int fd) {
  struct stat st;
  gdbm_header head;
  if (read_gdbm_header(fd, head) && fstat(fd, &st) == 0 && head.next_block < st.st_size)
    ftruncate(fd, head.next_block);
}

// Opens the database for writing; null with GDBM's error.
db_handle_ptr open_writer(const db_paths& p) {
  bool refused;
  GDBM_FILE f = open_gdbm(p, GDBM_WRITER, refused);
  return f == nullptr ? nullptr : db_handle_ptr(new db_handle{f, nullptr});
}

// A database GDBM finds hurt would answer every lookup "not recorded". A
// process killed during a store leaves its room behind, which GDBM takes
// for such hurt: that room is cut back, and anything else is damage.
bool usable(const db_paths& p, db_handle_ptr& h) {
  if (!gdbm_needs_recovery(h->gdbm)) return true;
  h.reset();
  struct stat st;
  gdbm_header head;
  fd_holder fd(open_regular(p.data, O_RDWR, st));
  if (fd.fd < 0 || !read_gdbm_header(fd.fd, head) || head.next_block > st.st_size ||
      !leftover_room(fd.fd, head.next_block, st.st_size) || ftruncate(fd.fd, head.next_block) != 0)
    return false;
  h = open_writer(p);
  return h != nullptr && !gdbm_needs_recovery(h->gdbm);
}

// Makes sure the room a store may take past the end of the data file `fd`
// (status `st`) is allocated; where the file system cannot allocate past the
// end, the file is lengthened, and `lengthened` says so, to be cut back after.
bool make_room(int fd, const struct stat& st, bool& lengthened) {
  off_t room = room_needed(st.st_size);
  reserve_result r = reserve_room(fd, st, room);
  if (r != reserve_result::unsupported) return r == reserve_result::reserved;
  int err = posix_fallocate(fd, st.st_size, room / 2);
  lengthened = true;
  if (err == 0) return true;
  ftruncate(fd, st.st_size);
  errno = err;
  return false;
}

}  // namespace

void db_handle_closer::operator()(db_handle* h) const {
  errno_keeper keep;
  if (h->gdbm != nullptr) gdbm_close(h->gdbm);
  std::free(h->fetched);
  delete h;
}

data_state open_for_writing(const db_paths& p, db_handle_ptr& h) {
  h = open_writer(p);
  if (h == nullptr) return refused_as_damaged(p) ? data_state::damaged : data_state::unreadable;
  return usable(p, h) ? data_state::sound : data_state::damaged;
}

bool fetch(db_handle& h, const digest& d, datum& value) {
  std::free(h.fetched);
  value = gdbm_fetch(h.gdbm, key_of(d));
  h.fetched = value.dptr;
  return value.dptr != nullptr || gdbm_last_errno(h.gdbm) == GDBM_ITEM_NOT_FOUND;
}

const char* data_suffix() {
  return ".pag";
}

off_t room_needed(off_t size) {
  return kRoomFloor + size / 128;
}

// A lookup checks what GDBM checks, and whatever GDBM finds wrong the
// writer's way looks into. It does not look for a store to undo: what such a
// store leaves can hide a record from it, and the append that follows undoes
// the store first and then finds the record. GDBM refuses, as not a
// database, what is not a regular file (no size, or a read that fails),
// which the writer's way then sets aside.
lookup_result lookup_read_only(const db_paths& p, const digest& d, size_key key) {
  bool refused;
  GDBM_FILE f = open_gdbm(p, GDBM_READER, refused);
  if (f == nullptr) return refused ? lookup_result::doubtful : lookup_result::unopened;
  lookup_result found = lookup_result::doubtful;
  if (!gdbm_needs_recovery(f)) {
    datum value = gdbm_fetch(f, key_of(d));
    if (value.dptr != nullptr || gdbm_last_errno(f) == GDBM_ITEM_NOT_FOUND) {
      found = holds(value, key) ? lookup_result::seen : lookup_result::not_seen;
    }
    std::free(value.dptr);
  }
  errno_keeper keep;
  gdbm_close(f);
  return found;
}

store_result store_with_room(const db_paths& p, db_handle_ptr& h, datum key, datum value,
                             bool exists) {
  int fd = gdbm_fdesc(h->gdbm);
  struct stat st;
  gdbm_header head;
  std::vector<region> risk;
  if (fd < 0 || fstat(fd, &st) != 0) return store_result::refused;
  std::string k(key.dptr, static_cast<std::size_t>(key.dsize));
  // A header that this code does not know leaves the store unguarded; one
  // that ends past the file (cut short, or lying) would make GDBM grow it.
  if (read_gdbm_header(fd, head) &&
      (head.next_block > st.st_size ||
       !regions_at_risk(fd, head, k, exists, static_cast<std::size_t>(key.dsize + value.dsize),
                        risk)))
    return store_result::damaged;
  bool lengthened = false;
  if (!make_room(fd, st, lengthened)) return store_result::refused;
  if (!risk.empty() && !journal_write(p, fd, st.st_size, risk)) {
    if (lengthened) ftruncate(fd, st.st_size);
    return store_result::refused;
  }
  fd_holder data(lengthened ? dup(fd) : -1);  // outlives the handle, to cut the file back
  // GDBM 1.23 reports a failed write of the bucket only as a database that
  // needs recovery, with the store said done.
  bool stored = (!lengthened || data.fd >= 0) &&
                gdbm_store(h->gdbm, key, value, GDBM_REPLACE) == 0 && !gdbm_needs_recovery(h->gdbm);
  stored = close_synced(h) && stored;
  // Reported as recorded only once nothing can undo it.
  if (!risk.empty() && !(stored && journal_clear(p))) {
    journal_rollback(p);  // or the next call will
    stored = false;
  }
  if (data.fd >= 0) cut_back(data.fd);
  return stored ? store_result::stored : store_result::refused;
}

void salvage(const std::string& data, record_map& records) {
  struct stat st;
  fd_holder fd(open_regular(data, O_RDONLY, st));
  if (fd.fd >= 0) salvage_gdbm(fd.fd, st.st_size, records);
}

// GDBM syncs at every close of a database opened for writing.
bool durable_after_close(const std::string&) {
  return true;
}
