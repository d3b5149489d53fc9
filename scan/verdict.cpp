// SPDX-License-Identifier: GPL-3.0-or-later
// The verdict stage. MD5 is a chain within one file, but independent files
// can share one core, each in a lane of a vector register: the walk hands
// files over up to a window ahead, free lanes open them in walk order and
// read them in pieces of 1 MiB (so a rotating disk seeks at most once a
// MiB), each round compresses what every lane holds, and the head of the
// queue, once digested, gets its verdict: the database is asked in exactly
// the order the walk met the files, and the walk's own lines wait their turn
// among them.
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <iterator>

#include "scan/internal.h"

namespace {

constexpr std::size_t kPiece = std::size_t{1} << 20;

// Files the walk may go ahead of the verdicts, per lane: enough that the
// lanes stay busy while the head of the queue is a long file. A rerun of a
// real tree (/usr/share /usr/include /etc) took 0.93-0.96 s of user time
// with 8, 1.12 with 4 and 1.2 with 2; a waiting file costs about 400 bytes.
constexpr std::size_t kWindowPerLane = 8;

// Descriptors kept for the database, its lock and the standard streams.
constexpr std::size_t kStoreDescriptors = 16;

// Lines of the walk's own it may go ahead by before the files catch up.
constexpr std::size_t kLinesAhead = 1024;

// The files whose pairs are recorded as one batch, with one durable write:
// at most this many, gathered over at most this long, so that a slow file
// holds no record back for long. A batch of 1,000 new files syncs 3 times,
// not 1,000, and holds the exclusive lock some tens of milliseconds.
constexpr std::size_t kBatchFiles = 1000;
constexpr long long kBatchMs = 250;

// A lane holding fewer blocks than this is said to hold few: a call with
// fewer costs markedly more per block.
constexpr std::size_t kFewBlocks = 16;

// Fewer busy lanes than this go one by one: a vector lane is slower than
// the single-stream code, so a half-empty vector is slower than a loop.
constexpr int kVectorFrom = 3;

// Ends the file `p`, read or not.
void end(pending& p, problem how) {
  p.end = how;
  p.done = true;
  p.fd.reset();
  p.dir.reset();
}

// Opens the file `p` for reading, or ends it at once: known already,
// refused, no longer the file the walk saw, or too sparse to read.
void open_file(pending& p, scan_state& s) {
  p.read_started = true;
  recalled r = recall(p, s);
  if (r != recalled::unknown)
    return end(p, r == recalled::digest ? problem::none : problem::not_read);
  opened_file f = open_walked_file(p.dir->fd, p.name.c_str(), p.st, p.follow, s);
  if (f.fd.fd < 0) return end(p, f.end);
  p.fd = std::move(f.fd);
  if (problem worth = worth_reading(p.fd.fd, p.st); worth != problem::none) return end(p, worth);
  // A file read in one piece is asked for whole at once, so that the files a
  // round opens come from the disk together rather than one read after
  // another. A longer one is left to the system's own read-ahead, which keeps
  // its next pieces coming while the lanes digest: asked for explicitly, they
  // would stop it, and the next read past them would wait.
  if (static_cast<std::size_t>(p.st.st_size) > kPiece) {
    posix_fadvise(p.fd.fd, 0, 0, POSIX_FADV_SEQUENTIAL);
  } else {
    posix_fadvise(p.fd.fd, 0, 0, POSIX_FADV_WILLNEED);
  }
  md5_start(p.md5);
  p.left = p.st.st_size;
}

// Gives free lanes the next files waiting, in walk order.
void fill_lanes(scan_state& s) {
  auto next = s.queue.begin();
  for (lane& l : s.lanes) {
    while (l.file == nullptr && next != s.queue.end()) {
      pending& p = *next++;
      if (p.line != problem::none || p.read_started) continue;
      if (twin_ahead(p, s)) break;
      open_file(p, s);
      if (!p.done) l.file = &p;
    }
  }
}

// Ends the lane's file: its tail digested when it was read whole.
void finish(lane& l, bool whole, scan_state& s) {
  pending& p = *l.file;
  if (whole) md5_feed(l.buffer.get() + l.at, l.have - l.at, p.md5);
  problem how = read_ended(p.fd.fd, p.st, whole);
  if (how == problem::none) md5_finish(p.md5, p.content);
  remember(p, how == problem::none, s);
  end(p, how);
  l = {nullptr, std::move(l.buffer), 0, 0};
}

// Reads the lane's next piece after what is left of the last, less than a
// block; a failed read, or a file that ends early, ends the file.
void refill(lane& l, scan_run& run) {
  pending& p = *l.file;
  std::memmove(l.buffer.get(), l.buffer.get() + l.at, l.have - l.at);
  l.have -= l.at;
  l.at = 0;
  std::size_t want = static_cast<std::size_t>(std::min<off_t>(p.left, kPiece));
  ssize_t n;
  do n = read(p.fd.fd, l.buffer.get() + l.have, want);
  while (n < 0 && errno == EINTR);
  if (n <= 0) return finish(l, false, *run.state);
  l.have += static_cast<std::size_t>(n);
  p.left -= n;
  status_read(run.status, static_cast<std::size_t>(n));
}

// Compresses the lane's whole blocks on their own, with the single-stream code.
void compress_alone(lane& l) {
  std::size_t whole = (l.have - l.at) / kMd5Block * kMd5Block;
  md5_blocks(l.buffer.get() + l.at, whole, l.file->md5);
  l.at += whole;
}

// Compresses, in every lane holding a whole block, as many blocks as all of
// them hold. When enough lanes hold many, one holding only a few takes them
// alone, so as not to hold the others back to as few per call.
void compress(scan_state& s) {
  int busy = 0, many = 0;
  for (const lane& l : s.lanes) {
    std::size_t whole = l.file == nullptr ? 0 : (l.have - l.at) / kMd5Block;
    busy += whole != 0;
    many += whole >= kFewBlocks;
  }
  std::size_t least = many >= kVectorFrom ? kFewBlocks : 1;
  const std::uint8_t* data[kMd5MaxLanes] = {};
  md5_state* states[kMd5MaxLanes] = {};
  std::size_t blocks = SIZE_MAX;
  for (std::size_t i = 0; i < s.lanes.size(); ++i) {
    lane& l = s.lanes[i];
    std::size_t whole = l.file == nullptr ? 0 : (l.have - l.at) / kMd5Block;
    if (whole == 0) continue;
    if (busy < kVectorFrom || whole < least) {
      compress_alone(l);
      continue;
    }
    data[i] = l.buffer.get() + l.at;
    states[i] = &l.file->md5;
    blocks = std::min(blocks, whole);
  }
  if (blocks == SIZE_MAX) return;
  md5_lanes_blocks(s.isa, states, data, static_cast<int>(s.lanes.size()), blocks);
  for (std::size_t i = 0; i < s.lanes.size(); ++i) {
    if (data[i] != nullptr) s.lanes[i].at += blocks * kMd5Block;
  }
}

// Moves every lane's file on by one round: opens, reads, compresses, ends.
void digest_round(scan_run& run) {
  scan_state& s = *run.state;
  fill_lanes(s);
  for (lane& l : s.lanes) {
    if (l.file == nullptr || l.have - l.at >= kMd5Block) continue;
    if (l.file->left == 0) {
      finish(l, true, s);
    } else {
      refill(l, run);
    }
  }
  compress(s);
}

// Returns what a dry run's lookup of the file `p` found: a pair it would
// have recorded is held in memory, so that a later file of the same content
// is `seen`, as it would be in a run that records.
seen_result dry_verdict(const pending& p, scan_run& run) {
  unrecorded_pair pair;
  size_key key = size_key_of(p.st.st_size);
  std::memcpy(pair.data(), p.content.data(), p.content.size());
  std::memcpy(pair.data() + p.content.size(), &key, sizeof key);
  std::unordered_set<unrecorded_pair, unrecorded_hash>& held = run.state->unrecorded;
  if (held.contains(pair)) return seen_result::seen;
  seen_result seen = peek_patiently(run.db, p.content, key, *run.state, run.status);
  if (seen == seen_result::not_seen) held.insert(pair);
  return seen;
}

// Records the new pairs of the batch, then says what came of each of its
// files and lines, in order.
void commit_batch(scan_run& run) {
  scan_state& s = *run.state;
  std::vector<pair_to_record> pairs;
  for (const awaiting& a : s.batch) {
    if (a.line == problem::none && a.end == problem::none) pairs.push_back({a.content, a.key});
  }
  if (!pairs.empty()) patiently(run.db, pairs, s, run.status);
  std::size_t next = 0;
  for (const awaiting& a : s.batch) {
    if (a.line != problem::none) {
      say(a.line, a.path, run.status);
      continue;
    }
    if (a.end != problem::none) {
      say(a.end, a.path, run.status);
    } else {
      tell_added(pairs[next++].result, a.path, a.size, run);
    }
    status_file_ends(run.status);
  }
  s.batch.clear();
  s.batch_files = 0;
}

// Commits the batch once its time is up.
void commit_if_due(scan_run& run) {
  scan_state& s = *run.state;
  if (!s.batch.empty() && coarse_ms() - s.batch_since >= kBatchMs) commit_batch(run);
}

// Says what came of the file `p`, read or not, with no batch waiting before
// it: a file read whole only in a dry run, which asks the database at once.
void judge_alone(const pending& p, scan_run& run) {
  if (p.end != problem::none) return say(p.end, p.path, run.status);
  tell_seen(dry_verdict(p, run), p.path, p.st.st_size, run);
}

// Says what came of the files and lines at the head of the queue that are
// ready, in order: at once while no file before them waits for the
// database, else in their batch (a dry run asks it at once, never writing).
// The file it stops at is the one the status line shows.
void judge_ready(scan_run& run) {
  scan_state& s = *run.state;
  while (!s.queue.empty()) {
    pending& p = s.queue.front();
    bool file = p.line == problem::none;
    if (file && !p.shown) status_file_begins(run.status, p.path);
    p.shown = true;
    if (file && !p.done) break;
    bool asks = file && p.end == problem::none && !run.options.dry_run;
    if (s.batch.empty() && !asks) {
      if (file) {
        judge_alone(p, run);
        status_file_ends(run.status);
      } else {
        say(p.line, p.path, run.status);
      }
    } else {
      if (s.batch.empty()) s.batch_since = coarse_ms();
      s.batch.push_back(
          {p.line, std::move(p.path), p.end, p.content, size_key_of(p.st.st_size), p.st.st_size});
      s.batch_files += asks;
    }
    s.files_queued -= file;
    s.queue.pop_front();
    if (s.batch_files >= kBatchFiles || s.batch.size() >= kBatchFiles + kLinesAhead)
      commit_batch(run);
  }
  commit_if_due(run);
}

// Moves the stage on until the head of the queue has had its verdict.
void judge_head(scan_run& run) {
  scan_state& s = *run.state;
  for (std::size_t before = s.queue.size(); s.queue.size() == before;) {
    digest_round(run);
    judge_ready(run);
  }
}

}  // namespace

void start_stage(scan_state& s, md5_isa isa, std::size_t limit) {
  s.isa = isa;
  s.lanes.resize(static_cast<std::size_t>(md5_lane_count(s.isa)));
  for (lane& l : s.lanes) l.buffer.reset(new std::uint8_t[kPiece + kMd5Block]);
  // Each file ahead may hold its directory open, and its own while read;
  // the database, its lock and the standard streams take a few more.
  s.window = std::clamp<std::size_t>(limit / 8, 1, kWindowPerLane * s.lanes.size());
  std::size_t spare = 2 * s.window + kStoreDescriptors;
  s.descriptors = limit > spare + 2 ? limit - spare : 2;
}

void hand_over(pending p, scan_run& run) {
  scan_state& s = *run.state;
  s.queue.push_back(std::move(p));
  ++s.files_queued;
  while (s.files_queued > s.window) judge_head(run);
  commit_if_due(run);
}

void say_in_order(problem kind, const std::string& path, scan_run& run) {
  scan_state& s = *run.state;
  if (s.queue.empty() && s.batch.empty()) return say(kind, path, run.status);
  s.queue.push_back({kind, path, nullptr, {}, {}, false});
  while (s.queue.size() > kLinesAhead) judge_head(run);
  commit_if_due(run);
}

void judge_all(scan_run& run) {
  while (!run.state->queue.empty()) judge_head(run);
  if (!run.state->batch.empty()) commit_batch(run);
}
