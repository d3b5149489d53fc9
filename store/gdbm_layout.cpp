// SPDX-License-Identifier: GPL-3.0-or-later
#include "store/gdbm_layout.h"

#include <unistd.h>

#include <algorithm>
#include <cstddef>
#include <cstring>

#include "store/file.h"

namespace {

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

template <typename T>
T at(const unsigned char* p, std::size_t offset) {
  T v;
  std::memcpy(&v, p + offset, sizeof v);
  return v;
}

// GDBM's hash of a key: 31 bits, whose top bits index the directory.
std::int32_t gdbm_hash(const std::string& key) {
  std::uint32_t value = 0x238F13AFu * static_cast<std::uint32_t>(key.size());
  for (std::size_t i = 0; i < key.size(); ++i) {
    std::uint32_t byte = static_cast<std::uint32_t>(static_cast<signed char>(key[i]));
    value = (value + (byte << (i * 5 % 24))) & 0x7FFFFFFF;
  }
  return static_cast<std::int32_t>((1103515243u * value + 12345) & 0x7FFFFFFF);
}

gdbm_element element(const gdbm_bucket& b, std::int32_t i) {
  return at<gdbm_element>(b.bytes.data(), kBucketHead + kElement * static_cast<std::size_t>(i));
}

// Returns true when element `e` points at a record wholly within [first, end).
bool sound_element(const gdbm_element& e, off_t first, off_t end) {
  return e.hash >= 0 && e.key_size > 0 && e.value_size >= 0 &&
         static_cast<std::size_t>(e.key_size) + e.value_size <= kMaxRecord && e.where >= first &&
         e.where + e.key_size + e.value_size <= end;
}

// Returns true when the bucket `b` is sound in a file whose allocated part
// ends at `end`: its tables in range and every element pointing inside.
bool sound_bucket(const gdbm_bucket& b, std::int32_t elems, std::int32_t max_bits, off_t first,
                  off_t end) {
  const gdbm_bucket_head& h = b.head;
  if (h.avail_count < 0 || h.avail_count > kBucketAvail || h.bits < 0 || h.bits > max_bits ||
      h.count < 0 || h.count > elems)
    return false;
  for (int i = 0; i < h.avail_count; ++i) {
    const gdbm_avail& a = h.avail[i];
    if (a.size < 0 || a.adr < first || a.adr + a.size > end) return false;
  }
  std::int32_t used = 0;
  for (std::int32_t i = 0; i < elems; ++i) {
    gdbm_element e = element(b, i);
    if (e.hash == -1) continue;
    if (!sound_element(e, first, end)) return false;
    ++used;
  }
  return used == h.count;
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
  for (std::size_t i = 0; i + 4 <= more.size(); i += 4) {
    bool held = false;
    for (std::size_t j = 0; j + 4 <= value.size() && !held; j += 4) {
      held = value.compare(j, 4, more, i, 4) == 0;
    }
    if (!held) value.append(more, i, 4);
  }
}

}  // namespace

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

bool regions_at_risk(int fd, const gdbm_header& h, const std::string& key, bool exists,
                     std::size_t record, std::vector<region>& out) {
  std::int32_t hash = gdbm_hash(key);
  std::int64_t adr = 0;
  off_t slot = h.dir + 8 * static_cast<off_t>(hash >> (31 - h.dir_bits));
  gdbm_bucket b;
  if (!read_all(fd, &adr, sizeof adr, slot) || adr < h.block_size || adr % h.block_size != 0 ||
      adr + h.bucket_size > h.next_block || !read_bucket(fd, h, adr, b) ||
      !sound_bucket(b, h.bucket_elems, h.dir_bits, h.block_size, h.next_block))
    return false;
  bool fits = false;
  for (int i = 0; i < b.head.avail_count; ++i) {
    fits = fits || static_cast<std::size_t>(b.head.avail[i].size) >= record;
  }
  if (!exists && fits && b.head.count < h.bucket_elems) return true;
  out.push_back({0, static_cast<std::size_t>(h.block_size)});
  out.push_back({h.dir, static_cast<std::size_t>(h.dir_size)});
  out.push_back({adr, static_cast<std::size_t>(h.bucket_size)});
  // What the header's avail table may pull in from the chain, and free.
  std::size_t avail_block = static_cast<std::size_t>(h.avail_size) * sizeof(gdbm_avail) / 2 + 32;
  off_t next = h.avail_next;
  for (int i = 0; i < kAvailBlocks && next >= h.block_size && next < h.next_block; ++i) {
    out.push_back({next, avail_block});
    if (!read_all(fd, &next, sizeof next, next + kAvailNext)) break;
  }
  for (std::int32_t i = 0; exists && i < h.bucket_elems; ++i) {
    gdbm_element e = element(b, i);
    if (e.hash == hash && std::memcmp(e.key_start, key.data(), sizeof e.key_start) == 0) {
      out.push_back({e.where, static_cast<std::size_t>(e.key_size + e.value_size)});
    }
  }
  return true;
}

void salvage_gdbm(int fd, off_t size, std::map<std::string, std::string>& records) {
  gdbm_header h{};
  if (!read_gdbm_header(fd, h)) {
    h.block_size = h.bucket_size = 4096;  // what GDBM chooses on most file systems
    h.bucket_elems = static_cast<std::int32_t>((4096 - kBucketHead - kElement) / kElement + 1);
  }
  gdbm_bucket b;
  std::string entry;
  for (off_t adr = h.block_size; adr + h.bucket_size <= size; adr += h.block_size) {
    off_t data = lseek(fd, adr, SEEK_DATA);  // a sparse file's holes hold no bucket
    if (data < 0) break;
    adr = data / h.block_size * h.block_size;
    if (!read_bucket(fd, h, adr, b)) continue;
    // Each element on its own: one damaged element costs only its record.
    for (std::int32_t i = 0; i < h.bucket_elems; ++i) {
      gdbm_element e = element(b, i);
      if (!sound_element(e, h.block_size, size)) continue;
      entry.resize(static_cast<std::size_t>(e.key_size + e.value_size));
      if (!read_all(fd, entry.data(), entry.size(), e.where)) continue;
      std::string k = entry.substr(0, static_cast<std::size_t>(e.key_size));
      // A bucket left behind may point at space since used for another record.
      if (gdbm_hash(k) != e.hash ||
          std::memcmp(e.key_start, k.data(), std::min<std::size_t>(k.size(), 4)) != 0)
        continue;
      merge(records[k], entry.substr(k.size()));
    }
  }
}
