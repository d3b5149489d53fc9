// SPDX-License-Identifier: GPL-3.0-or-later
// GDBM's file as GDBM 1.x (64-bit offsets) lays it out, read with bounds
// checked: never trusted, so that damage is seen before GDBM meets it.
//
// Block 0 holds the header and the header's avail table; the header points
// to the directory, an array of bucket addresses indexed by the top bits of
// a key's hash; a bucket (one block, at a block-aligned address) holds its
// own small avail table and the elements, each with the key's hash, the
// first bytes of the key, and where key and value lie. A store changes in
// place only its bucket, unless the key is already there, the bucket is full
// (a split, which rewrites the directory and the header) or the bucket's own
// free space cannot take the record (the header's avail changes).
// Only store/ includes this header.
#ifndef VELORAND_STORE_GDBM_LAYOUT_H_
#define VELORAND_STORE_GDBM_LAYOUT_H_

#include <sys/types.h>

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "store/internal.h"

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

// Reads the header of the data file `fd` into `h`; returns false when it is
// not one this code knows, or its fields do not agree with each other.
bool read_gdbm_header(int fd, gdbm_header& h);

// Appends to `out` what a store of `key` (already present when `exists`,
// taking `record` bytes with its value) may overwrite of what the database
// holds now; appends nothing when the store can change only its bucket and
// free space. Returns false when the key's bucket is damaged.
bool regions_at_risk(int fd, const gdbm_header& h, const std::string& key, bool exists,
                     std::size_t record, std::vector<region>& out);

// Adds to `records` every key and value that a sound bucket anywhere in the
// file holds, also one the directory no longer reaches; a key met twice gets
// the size keys of both values.
void salvage_gdbm(int fd, off_t size, std::map<std::string, std::string>& records);

#endif  // VELORAND_STORE_GDBM_LAYOUT_H_
