// SPDX-License-Identifier: GPL-3.0-or-later
#include "store/gdbm_layout.h"

#include <unistd.h>

#include <algorithm>
#include <cstring>

namespace {

constexpr std::uint32_t kMagic = 0x13579acf, kNumsyncMagic = 0x13579ad1;
constexpr int kBucketAvail = 6;           // entries of a bucket's own avail table
constexpr std::size_t kBucketHead = 112;  // av_count, the avail table, bucket_bits, count
constexpr std::size_t kElement = 24;      // hash, 4 bytes of key, where, key and value sizes
constexpr std::size_t kMaxRecord = std::size_t{1} << 20;
constexpr int kAvailBlocks = 8;  // of the chain, more than a store can take

template <typename T>
T at(const unsigned char* p, std::size_t offset) {
  T v;
  std::memcpy(&v, p + offset, sizeof v);
  return v;
}

bool read_exactly(int fd, void* to, std::size_t n, off_t offset) {
  return pread(fd, to, n, offset) == static_cast<ssize_t>(n);
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

// Returns true when the bucket `b` is sound in a file whose allocated part
// ends at `end`: its tables in range and every element pointing inside.
bool sound_bucket(const std::vector<unsigned char>& b, std::int32_t elems, std::int32_t max_bits,
                  off_t first, off_t end) {
  std::int32_t avails = at<std::int32_t>(b.data(), 0), bits = at<std::int32_t>(b.data(), 104),
               count = at<std::int32_t>(b.data(), 108);
  if (avails < 0 || avails > kBucketAvail || bits < 0 || bits > max_bits || count < 0 ||
      count > elems)
    return false;
  for (int i = 0; i < avails; ++i) {
    auto size = at<std::int32_t>(b.data(), 8 + 16 * i);
    auto adr = at<std::int64_t>(b.data(), 16 + 16 * i);
    if (size < 0 || adr < first || adr + size > end) return false;
  }
  std::int32_t used = 0;
  for (std::int32_t i = 0; i < elems; ++i) {
    const unsigned char* e = b.data() + kBucketHead + kElement * static_cast<std::size_t>(i);
    auto hash = at<std::int32_t>(e, 0);
    if (hash == -1) continue;
    auto where = at<std::int64_t>(e, 8);
    auto key = at<std::int32_t>(e, 16), value = at<std::int32_t>(e, 20);
    if (hash < 0 || key <= 0 || value < 0 || static_cast<std::size_t>(key) + value > kMaxRecord ||
        where < first || where + key + value > end)
      return false;
    ++used;
  }
  return used == count;
}

bool read_bucket(int fd, const gdbm_header& h, off_t adr, std::vector<unsigned char>& b) {
  b.resize(static_cast<std::size_t>(h.bucket_size));
  return read_exactly(fd, b.data(), b.size(), adr);
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
  if (!read_exactly(fd, b, sizeof b, 0)) return false;
  auto magic = at<std::uint32_t>(b, 0);
  if (magic != kMagic && magic != kNumsyncMagic) return false;
  h.block_size = at<std::int32_t>(b, 4);
  h.dir = at<std::int64_t>(b, 8);
  h.dir_size = at<std::int32_t>(b, 16);
  h.dir_bits = at<std::int32_t>(b, 20);
  h.bucket_size = at<std::int32_t>(b, 24);
  h.bucket_elems = at<std::int32_t>(b, 28);
  h.next_block = at<std::int64_t>(b, 32);
  std::size_t avail = magic == kMagic ? 40 : 72;  // after the extended header, if any
  h.avail_size = at<std::int32_t>(b, avail);
  h.avail_next = at<std::int64_t>(b, avail + 8);
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
  std::vector<unsigned char> b;
  if (!read_exactly(fd, &adr, sizeof adr, slot) || adr < h.block_size || adr % h.block_size != 0 ||
      adr + h.bucket_size > h.next_block || !read_bucket(fd, h, adr, b) ||
      !sound_bucket(b, h.bucket_elems, h.dir_bits, h.block_size, h.next_block))
    return false;
  bool fits = false;
  for (int i = 0; i < at<std::int32_t>(b.data(), 0); ++i) {
    fits = fits || static_cast<std::size_t>(at<std::int32_t>(b.data(), 8 + 16 * i)) >= record;
  }
  if (!exists && fits && at<std::int32_t>(b.data(), 108) < h.bucket_elems) return true;
  out.push_back({0, static_cast<std::size_t>(h.block_size)});
  out.push_back({h.dir, static_cast<std::size_t>(h.dir_size)});
  out.push_back({adr, static_cast<std::size_t>(h.bucket_size)});
  // What the header's avail table may pull in from the chain, and free.
  std::size_t avail_block = static_cast<std::size_t>(h.avail_size) * 16 / 2 + 32;
  off_t next = h.avail_next;
  for (int i = 0; i < kAvailBlocks && next >= h.block_size && next < h.next_block; ++i) {
    out.push_back({next, avail_block});
    if (!read_exactly(fd, &next, sizeof next, next + 8)) break;
  }
  for (std::int32_t i = 0; exists && i < h.bucket_elems; ++i) {
    const unsigned char* e = b.data() + kBucketHead + kElement * static_cast<std::size_t>(i);
    if (at<std::int32_t>(e, 0) == hash && std::memcmp(e + 4, key.data(), 4) == 0) {
      out.push_back({at<std::int64_t>(e, 8),
                     static_cast<std::size_t>(at<std::int32_t>(e, 16) + at<std::int32_t>(e, 20))});
    }
  }
  return true;
}

void salvage_gdbm(int fd, off_t size, std::map<std::string, std::string>& records) {
  gdbm_header h;
  if (!read_gdbm_header(fd, h)) {
    h.block_size = h.bucket_size = 4096;  // what GDBM chooses on most file systems
    h.bucket_elems = static_cast<std::int32_t>((4096 - kBucketHead - kElement) / kElement + 1);
  }
  std::vector<unsigned char> b;
  std::string entry;
  for (off_t adr = h.block_size; adr + h.bucket_size <= size; adr += h.block_size) {
    off_t data = lseek(fd, adr, SEEK_DATA);  // a sparse file's holes hold no bucket
    if (data < 0) break;
    adr = data / h.block_size * h.block_size;
    if (!read_bucket(fd, h, adr, b)) continue;
    // Each element on its own: one damaged element costs only its record.
    for (std::int32_t i = 0; i < h.bucket_elems; ++i) {
      const unsigned char* e = b.data() + kBucketHead + kElement * static_cast<std::size_t>(i);
      auto hash = at<std::int32_t>(e, 0), key = at<std::int32_t>(e, 16),
           value = at<std::int32_t>(e, 20);
      auto where = at<std::int64_t>(e, 8);
      if (hash < 0 || key <= 0 || value < 0 || key + static_cast<std::size_t>(value) > kMaxRecord ||
          where < h.block_size || where + key + value > size)
        continue;
      entry.resize(static_cast<std::size_t>(key + value));
      if (!read_exactly(fd, entry.data(), entry.size(), where)) continue;
      std::string k = entry.substr(0, static_cast<std::size_t>(key));
      // A bucket left behind may point at space since used for another record.
      if (gdbm_hash(k) != hash ||
          std::memcmp(e + 4, k.data(), std::min<std::size_t>(k.size(), 4)) != 0)
        continue;
      merge(records[k], entry.substr(k.size()));
    }
  }
}
