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
//
// GDBM 1.x lays out its file (64-bit offsets) as follows; it is read here with
// bounds checked, never trusted, so that damage is seen before GDBM meets it.
// Block 0 holds the header and the header's avail table; the header points
// to the directory, an array of bucket addresses indexed by the top bits of
// a key's hash; a bucket (one block, at a block-aligned address) holds its
// own small avail table and the elements, each with the key's hash, the
// first bytes of the key, and where key and value lie. A store changes in
// place only its bucket, unless the key is already there, the bucket is full
// (a split, which rewrites the directory and the header) or the bucket's own
// free space cannot take the record (the header's avail changes).
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "store/file.h"
#include "store/internal.h"

// GDBM's handle, and the last value it handed over, kept until the next fetch or the close.
struct db_handle {
  GDBM_FILE gdbm = nullptr;
  void* fetched = nullptr;
};

namespace {

// The header as it lies at the file's start, then the head of its avail
// table, which the numsync magic's extended header puts 32 bytes further on.
struct gdbm_header {
  std::uint32_t magic;
  std::int32_t block_size;
  std::int64_t dir;
  std::int32_t dir_size, dir_bits, bucket_size, bucket_elems;
  std::int64_t next_block;
  std::int32_t avail_size, avail_count;  // entries the table can hold, and holds
  std::int64_t avail_next;               // the first avail block on disk, or 0
};

constexpr int kBucketAvail = 6;  // entries of a bucket's own avail table

// An entry of an avail table: free space of `size` bytes at `adr`.
struct gdbm_avail {
  std::int32_t size, pad;
  std::int64_t adr;
};

// An element of a bucket: a hash of -1 marks it empty.
struct gdbm_element {
  std::int32_t hash;
  char key_start[4];  // the key's first bytes
  std::int64_t where;
  std::int32_t key_size, value_size;
};

// A bucket as it lies on disk, its elements after this head.
struct gdbm_bucket_head {
  std::int32_t avail_count, pad;
  gdbm_avail avail[kBucketAvail];
  std::int32_t bits, count;
};

// A bucket as read from the file: its head, and its bytes for the elements.
struct gdbm_bucket {
  gdbm_bucket_head head;
  std::vector<unsigned char> bytes;
};

constexpr std::uint32_t kMagic = 0x13579acf, kNumsyncMagic = 0x13579ad1;
constexpr std::size_t kHeadAvail = 40, kHeadAvailExtended = 72, kAvailNext = 8;
constexpr std::size_t kBucketHead = sizeof(gdbm_bucket_head), kElement = sizeof(gdbm_element);
static_assert(offsetof(gdbm_header, avail_size) == kHeadAvail && kBucketHead == 112 &&
              kElement == 24 && offsetof(gdbm_bucket_head, bits) == 104 &&
              offsetof(gdbm_element, where) == 8);
constexpr std::size_t kMaxRecord = std::size_t{1} << 20;
constexpr int kAvailBlocks = 8;  // of the chain, more than a store can take

// GDBM's hash of a key: 31 bits, whose top bits index the directory.
std::int32_t gdbm_hash(std::string_view key) {
  std::uint32_t value = 0x238F13AFu * static_cast<std::uint32_t>(key.size());
  for (std::size_t i = 0; i < key.size(); ++i) {
    std::uint32_t byte = static_cast<std::uint32_t>(static_cast<signed char>(key[i]));
    value = (value + (byte << (i * 5 % 24))) & 0x7FFFFFFF;
  }
  return static_cast<std::int32_t>((1103515243u * value + 12345) & 0x7FFFFFFF);
}

gdbm_element element(const gdbm_bucket& b, std::int32_t i) {
  gdbm_element e;
  std::memcpy(&e, b.bytes.data() + kBucketHead + kElement * static_cast<std::size_t>(i), kElement);
  return e;
}

// Returns true when element `e` points at a record wholly within [first, end).
bool sound_element(const gdbm_element& e, off_t first, off_t end) {
  return e.hash >= 0 && e.key_size > 0 && e.value_size >= 0 &&
         static_cast<std::size_t>(e.key_size) + e.value_size <= kMaxRecord && e.where >= first &&
         e.where + e.key_size + e.value_size <= end;
}

// Returns true when the bucket `b` is sound in the file of header `h`: its
// tables in range and every element pointing inside.
bool sound_bucket(const gdbm_bucket& b, const gdbm_header& h) {
  const gdbm_bucket_head& head = b.head;
  if (head.avail_count < 0 || head.avail_count > kBucketAvail || head.bits < 0 ||
      head.bits > h.dir_bits || head.count < 0 || head.count > h.bucket_elems)
    return false;
  for (int i = 0; i < head.avail_count; ++i) {
    const gdbm_avail& a = head.avail[i];
    if (a.size < 0 || a.adr < h.block_size || a.adr + a.size > h.next_block) return false;
  }
  std::int32_t used = 0;
  for (std::int32_t i = 0; i < h.bucket_elems; ++i) {
    gdbm_element e = element(b, i);
    if (e.hash == -1) continue;
    if (!sound_element(e, h.block_size, h.next_block)) return false;
    ++used;
  }
  return used == head.count;
}

bool read_bucket(int fd, const gdbm_header& h, off_t adr, gdbm_bucket& b) {
  b.bytes.resize(static_cast<std::size_t>(h.bucket_size));
  if (!read_all(fd, b.bytes.data(), b.bytes.size(), adr)) return false;
  std::memcpy(&b.head, b.bytes.data(), sizeof b.head);
  return true;
}

// Merges the size keys of `more` into `value`: the longer first, then
// whatever whole entries of the other it lacks.
void merge(std::string& value, std::string more) {
  if (more.size() > value.size()) std::swap(value, more);
  for (std::size_t i = 0; i + sizeof(size_key) <= more.size(); i += sizeof(size_key)) {
    size_key key;
    std::memcpy(&key, more.data() + i, sizeof key);
    if (!holds({value.data(), static_cast<int>(value.size())}, key))
      value.append(more, i, sizeof key);
  }
}

// Reads the header of the data file `fd` into `h`; returns false when it is
// not one this code knows, or its fields do not agree with each other.
bool read_gdbm_header(int fd, gdbm_header& h) {
  unsigned char b[88];
  if (!read_all(fd, b, sizeof b, 0)) return false;
  std::memcpy(&h, b, kHeadAvail);
  if (h.magic != kMagic && h.magic != kNumsyncMagic) return false;
  std::size_t avail = h.magic == kMagic ? kHeadAvail : kHeadAvailExtended;
  std::memcpy(&h.avail_size, b + avail, sizeof h - kHeadAvail);
  std::int64_t block = h.block_size;
  return block >= 512 && block <= (1 << 24) && (block & (block - 1)) == 0 && h.dir_bits >= 0 &&
         h.dir_bits <= 31 && h.dir_size == (std::int64_t{8} << h.dir_bits) && h.dir >= block &&
         h.dir + h.dir_size <= h.next_block && h.bucket_size == h.block_size &&
         h.bucket_elems ==
             static_cast<std::int32_t>((h.bucket_size - kBucketHead - kElement) / kElement + 1) &&
         h.next_block % block == 0 && h.avail_size > 1 && h.avail_next >= 0 &&
         h.avail_next < h.next_block;
}

// Reads into `b` the bucket at `adr` that the directory gives for `hash`;
// returns false when it is damaged.
bool bucket_of(int fd, const gdbm_header& h, std::int32_t hash, std::int64_t& adr, gdbm_bucket& b) {
  off_t slot = h.dir + 8 * static_cast<off_t>(hash >> (31 - h.dir_bits));
  return read_all(fd, &adr, sizeof adr, slot) && adr >= h.block_size && adr % h.block_size == 0 &&
         adr + h.bucket_size <= h.next_block && read_bucket(fd, h, adr, b) && sound_bucket(b, h);
}

// Appends the header's block, the directory and the first `blocks` blocks of
// the avail chain: what a store that splits a bucket or changes the header's
// avail table may rewrite, or free and then reuse.
void shared_regions(int fd, const gdbm_header& h, int blocks, std::vector<region>& out) {
  out.push_back({0, static_cast<std::size_t>(h.block_size)});
  out.push_back({h.dir, static_cast<std::size_t>(h.dir_size)});
  std::size_t avail_block = static_cast<std::size_t>(h.avail_size) * sizeof(gdbm_avail) / 2 + 32;
  off_t next = h.avail_next;
  for (int i = 0; i < blocks && next >= h.block_size && next < h.next_block; ++i) {
    out.push_back({next, avail_block});
    if (!read_all(fd, &next, sizeof next, next + kAvailNext)) break;
  }
}

// Appends the record of `key` that bucket `b` holds, which a store that
// replaces it frees.
void old_record(const gdbm_bucket& b, const gdbm_header& h, std::int32_t hash, datum key,
                std::vector<region>& out) {
  for (std::int32_t i = 0; i < h.bucket_elems; ++i) {
    gdbm_element e = element(b, i);
    if (e.hash == hash && std::memcmp(e.key_start, key.dptr, sizeof e.key_start) == 0)
      out.push_back({e.where, static_cast<std::size_t>(e.key_size + e.value_size)});
  }
}

// Appends to `out` what a store of `key` (present before when `exists`) and
// `value` may overwrite of what the database holds; nothing when it can change
// only its bucket and free space. Returns false when the key's bucket is damaged.
bool regions_at_risk(int fd, const gdbm_header& h, datum key, datum value, bool exists,
                     std::vector<region>& out) {
  std::int32_t hash = gdbm_hash({key.dptr, static_cast<std::size_t>(key.dsize)});
  auto record = static_cast<std::size_t>(key.dsize + value.dsize);
  std::int64_t adr = 0;
  gdbm_bucket b;
  if (!bucket_of(fd, h, hash, adr, b)) return false;
  bool fits =
      std::any_of(b.head.avail, b.head.avail + b.head.avail_count,
                  [&](const gdbm_avail& a) { return static_cast<std::size_t>(a.size) >= record; });
  if (!exists && fits && b.head.count < h.bucket_elems) return true;
  shared_regions(fd, h, kAvailBlocks, out);
  out.push_back({adr, static_cast<std::size_t>(h.bucket_size)});
  if (exists) old_record(b, h, hash, key, out);
  return true;
}

// Appends to `out` everything the stores of a batch may overwrite of what
// the database holds before it, all read before any of them writes. A store
// writes its bucket, the header, the directory, the avail chain, space free
// before the batch, or space an earlier store of the batch freed; what a
// store frees is a bucket it splits, the directory it doubles, an avail
// block it pops or the record it replaces. A bucket split or a directory
// doubled in the batch was either there before, and so is listed here (each
// key's bucket as the directory gives it now, the directory, the chain), or
// was made in the batch in space free before it, as was every record and
// avail block the batch writes: undoing the listed regions and the length
// leaves that space free again. Returns false when a key's bucket is damaged.
bool batch_at_risk(int fd, const gdbm_header& h, const std::vector<record_store>& stores,
                   std::vector<region>& out) {
  shared_regions(fd, h, kAvailBlocks + static_cast<int>(stores.size()), out);
  for (const record_store& s : stores) {
    std::int32_t hash = gdbm_hash(s.key);
    std::int64_t adr = 0;
    gdbm_bucket b;
    if (!bucket_of(fd, h, hash, adr, b)) return false;
    out.push_back({adr, static_cast<std::size_t>(h.bucket_size)});
    datum key{const_cast<char*>(s.key.data()), static_cast<int>(s.key.size())};
    if (s.exists) old_record(b, h, hash, key, out);
  }
  std::sort(out.begin(), out.end(), [](const region& x, const region& y) {
    return x.at < y.at || (x.at == y.at && x.length < y.length);
  });
  out.erase(std::unique(out.begin(), out.end(),
                        [](const region& x, const region& y) {
                          return x.at == y.at && x.length == y.length;
                        }),
            out.end());
  return true;
}

// Returns true when what lies past the end the header records, [end, size),
// is room left by a store that did not use it: zeros, no more than it takes.
bool leftover_room(int fd, off_t end, off_t size) {
  if (size - end > room_needed(end)) return false;
  char buf[4096];
  for (off_t at = end; at < size; at += off_t{sizeof buf}) {
    std::size_t n = static_cast<std::size_t>(std::min<off_t>(size - at, sizeof buf));
    if (!read_all(fd, buf, n, at) || std::any_of(buf, buf + n, [](char c) { return c != 0; }))
      return false;
  }
  return true;
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

// Cuts the data file `fd` back to the end its header records, once a store
// that lengthened it to make room is done.
void cut_back(int fd) {
  struct stat st;
  gdbm_header head;
  if (read_gdbm_header(fd, head) && fstat(fd, &st) == 0 && head.next_block < st.st_size)
    ftruncate(fd, head.next_block);
}

// Returns true when GDBM refuses the data file, opened for reading, as not a database.
bool refused_as_damaged(const db_paths& p) {
  bool opened;
  GDBM_FILE f = open_gdbm(p, GDBM_READER, opened);
  if (f != nullptr) return gdbm_close(f), false;
  gdbm_error e = gdbm_errno;
  return opened &&
         (e == GDBM_BAD_MAGIC_NUMBER || e == GDBM_BAD_HEADER || e == GDBM_BLOCK_SIZE_ERROR ||
          e == GDBM_BAD_AVAIL || e == GDBM_FILE_EOF || e == GDBM_NEED_RECOVERY);
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

// Makes sure the `room` the stores may take past the end of the data file
// `fd` (status `st`) is allocated; where the file system cannot allocate past
// the end, the file is lengthened, and `lengthened` says so, to be cut back after.
bool make_room(int fd, const struct stat& st, off_t room, bool& lengthened) {
  reserve_result r = reserve_room(fd, st, room);
  if (r != reserve_result::unsupported) return r == reserve_result::reserved;
  int err = posix_fallocate(fd, st.st_size, room / 2);
  lengthened = true;
  if (err == 0) return true;
  ftruncate(fd, st.st_size);
  return errno = err, false;
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

// A lookup checks what GDBM checks, and whatever GDBM finds wrong the
// writer's way looks into. It does not look for a store to undo: what such a
// store leaves can hide a record from it, and the append that follows undoes
// the store first and then finds the record. GDBM refuses, as not a
// database, what is not a regular file (no size, or a read that fails),
// which the writer's way then sets aside.
data_state open_for_reading(const db_paths& p, db_handle_ptr& h) {
  bool refused;
  GDBM_FILE f = open_gdbm(p, GDBM_READER, refused);
  if (f == nullptr) return refused ? data_state::damaged : data_state::unreadable;
  h.reset(new db_handle{f, nullptr});
  return gdbm_needs_recovery(f) ? data_state::damaged : data_state::sound;
}

lookup_result look_up(db_handle& h, const digest& d, size_key key) {
  datum value;
  if (gdbm_needs_recovery(h.gdbm) || !fetch(h, d, value)) return lookup_result::doubtful;
  return holds(value, key) ? lookup_result::seen : lookup_result::not_seen;
}

// A batch asks, beside the room of one store, for the room of a record of
// its own and a bucket split every few records; the journal, which undoes
// the whole batch, covers a write that fails for want of space all the same.
void store_all(const db_paths& p, db_handle_ptr& h, std::vector<record_store>& stores) {
  auto all = [&](store_result r) {
    for (record_store& s : stores) s.result = r;
  };
  int fd = gdbm_fdesc(h->gdbm);
  struct stat st;
  gdbm_header head;
  std::vector<region> risk;
  if (fd < 0 || fstat(fd, &st) != 0) return all(store_result::refused);
  auto n = static_cast<off_t>(stores.size());
  datum key{stores[0].key.data(), static_cast<int>(stores[0].key.size())};
  datum value{stores[0].value.data(), static_cast<int>(stores[0].value.size())};
  // A header that this code does not know leaves the store unguarded; one
  // that ends past the file (cut short, or lying) would make GDBM grow it.
  if (read_gdbm_header(fd, head) &&
      (head.next_block > st.st_size ||
       !(n == 1 ? regions_at_risk(fd, head, key, value, stores[0].exists, risk)
                : batch_at_risk(fd, head, stores, risk))))
    return all(store_result::damaged);
  bool lengthened = false;
  off_t room = room_needed(st.st_size) + (n - 1) * (n == 1 ? 0 : off_t{512});
  if (!make_room(fd, st, room, lengthened)) return all(store_result::refused);
  if (!risk.empty() && !journal_write(p, fd, st.st_size, risk)) {
    if (lengthened) ftruncate(fd, st.st_size);
    return all(store_result::refused);
  }
  fd_holder data(lengthened ? dup(fd) : -1);  // outlives the handle, to cut the file back
  bool stored = !lengthened || data.fd >= 0;
  // GDBM 1.23 reports a failed write of the bucket only as a database that
  // needs recovery, with the store said done.
  for (std::size_t i = 0; stored && i < stores.size(); ++i) {
    datum k{stores[i].key.data(), static_cast<int>(stores[i].key.size())};
    datum v{stores[i].value.data(), static_cast<int>(stores[i].value.size())};
    stored = gdbm_store(h->gdbm, k, v, GDBM_REPLACE) == 0 && !gdbm_needs_recovery(h->gdbm);
  }
  // A closing sync that fails leaves the stores perhaps not on the disk.
  stored = gdbm_close(std::exchange(h->gdbm, nullptr)) == 0 && stored;
  h.reset();
  // Reported as recorded only once nothing can undo them.
  if (!risk.empty() && !(stored && journal_clear(p))) {
    journal_rollback(p);  // or the next call will
    stored = false;
  }
  if (data.fd >= 0) cut_back(data.fd);
  all(stored ? store_result::stored : store_result::refused);
}

bool stores_whole_batches() {
  return true;
}

// GDBM syncs at every close of a database opened for writing.
bool durable_after_close(const std::string&) {
  return true;
}

// What a sound bucket anywhere in the file holds is read, also where the
// directory no longer reaches it; a key met twice gets both values' size keys.
void salvage(const std::string& data, record_map& records) {
  struct stat st;
  fd_holder fd(open_regular(data, O_RDONLY, st));
  gdbm_header h{};
  if (fd.fd < 0) return;
  if (!read_gdbm_header(fd.fd, h)) {
    h.block_size = h.bucket_size = 4096;  // what GDBM chooses on most file systems
    h.bucket_elems = static_cast<std::int32_t>((4096 - kBucketHead - kElement) / kElement + 1);
  }
  gdbm_bucket b;
  std::string entry;
  for (off_t adr = h.block_size; adr + h.bucket_size <= st.st_size; adr += h.block_size) {
    off_t found = lseek(fd.fd, adr, SEEK_DATA);  // a sparse file's holes hold no bucket
    if (found < 0) break;
    adr = found / h.block_size * h.block_size;
    if (!read_bucket(fd.fd, h, adr, b)) continue;
    // Each element on its own: one damaged element costs only its record.
    for (std::int32_t i = 0; i < h.bucket_elems; ++i) {
      gdbm_element e = element(b, i);
      if (!sound_element(e, h.block_size, st.st_size)) continue;
      entry.resize(static_cast<std::size_t>(e.key_size + e.value_size));
      if (!read_all(fd.fd, entry.data(), entry.size(), e.where)) continue;
      std::string k = entry.substr(0, static_cast<std::size_t>(e.key_size));
      // A bucket left behind may point at space since used for another record.
      if (gdbm_hash(k) != e.hash ||
          std::memcmp(e.key_start, k.data(), std::min<std::size_t>(k.size(), 4)) != 0)
        continue;
      merge(records[k], entry.substr(k.size()));
    }
  }
}
