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
#include "store/store.h"

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

// What became of a regular file; all but `recorded` are written out (the
// order of tell's table).
enum class outcome {
  recorded,
  duplicate,
  not_opened,
  not_regular,
  not_read,
  not_added,
  not_looked_up
};

void report(const char* what, const std::string& path, status_line& status) {
  status_problem(status);
  write_path_line(stderr, what, path);
}

// Files from this size on are remembered whatever their links, so that one
// renamed from directory to directory ahead of the walk is not read under
// each name either: a remembered file costs about 130 bytes, under 0.2% of
// what reading it costs. Smaller ones are remembered only while another of
// their names may be met.
constexpr off_t kRememberedFrom = off_t{64} << 10;

// What the run knows of a file it meets: nothing, its digest, or that it was
// read twice already, changing each time, and is not read again.
enum class recalled { unknown, digest, spent };

// Returns what the run knows of the file `p`, its digest put in `p`; forgets
// a hard-linked file met under its last name. A file met again changed since
// its read (size, mtime or ctime) is being written: it is read once more at
// most, and every later name gets `Couldn't read`.
recalled recall(pending& p, scan_state& s) {
  auto it = s.files.find({p.st.st_dev, p.st.st_ino});
  if (it == s.files.end()) return recalled::unknown;
  known_file& k = it->second;
  struct stat was = p.st;
  was.st_size = k.size;
  was.st_mtim = k.mtime;
  was.st_ctim = k.ctime;
  k.pinned = k.pinned || p.follow;
  if (!p.follow && k.unmet > 0) --k.unmet;
  if (k.whole && same_file(was, p.st)) {
    p.content = k.content;
    if (k.unmet == 0 && !k.pinned && k.reads < 2 && k.size < kRememberedFrom) s.files.erase(it);
    return recalled::digest;
  }
  return k.reads < 2 ? recalled::unknown : recalled::spent;
}

// Remembers the file `p`, whose read just ended (`whole` when it gave its
// digest), when another name may lead to it or it was read before.
void remember(const pending& p, bool whole, scan_state& s) {
  auto it = s.files.find({p.st.st_dev, p.st.st_ino});
  if (it != s.files.end()) {  // met changed, read again
    known_file& k = it->second;
    k.size = p.st.st_size;
    k.mtime = p.st.st_mtim;
    k.ctime = p.st.st_ctim;
    k.content = p.content;
    k.reads = 2;
    k.whole = whole;
    return;
  }
  nlink_t others = p.follow ? p.st.st_nlink : p.st.st_nlink - 1;
  if (others == 0 && !p.follow && p.st.st_size < kRememberedFrom) return;
  s.files[{p.st.st_dev, p.st.st_ino}] = {
      p.st.st_size, p.st.st_mtim, p.st.st_ctim, p.content, others, 1, whole, p.follow};
}

// Returns true when a file ahead of `p` in the queue is the same one, not
// read yet: `p` waits for its digest rather than reading it again.
bool twin_ahead(const pending& p, const scan_state& s) {
  for (const pending& q : s.queue) {
    if (&q == &p) return false;
    if (q.line == nullptr && !q.done && q.st.st_dev == p.st.st_dev && q.st.st_ino == p.st.st_ino) {
      return true;
    }
  }
  return false;
}

// Ends the file `p`, read or not.
void end(pending& p, read_end how) {
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
    return end(p, r == recalled::digest ? read_end::whole : read_end::not_read);
  opened_file f = open_walked_file(p.dir->fd, p.name.c_str(), p.st, p.follow, s);
  if (f.fd.fd < 0) return end(p, f.end);
  p.fd = std::move(f.fd);
  if (read_end worth = worth_reading(p.fd.fd, p.st); worth != read_end::whole) return end(p, worth);
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
      if (p.line != nullptr || p.read_started) continue;
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
  read_end how = read_ended(p.fd.fd, p.st, whole);
  if (how == read_end::whole) md5_finish(p.md5, p.content);
  remember(p, how == read_end::whole, s);
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

// Records the pairs of a batch until the call gets past another run's lock,
// saying once that it waits, and past a repair of the database, saying what
// became of it; says when the lock file cannot be made, and once when the
// database's directory cannot be used. Each pair then holds its result.
void patiently(digest_db& db, std::vector<pair_to_record>& pairs, scan_state& s,
               status_line& status);

// Looks the pair up until the call gets past another run's lock, saying once
// that it waits, and once when the database's directory cannot be used.
seen_result peek_patiently(digest_db& db, const digest& d, size_key key, scan_state& s,
                           status_line& status);

// Returns the verdict of a dry run on the file `p`: a pair it would have
// recorded is held in memory, so that a later file of the same content is
// a duplicate, as it would be in a run that records.
outcome dry_verdict(const pending& p, scan_run& run) {
  unrecorded_pair pair;
  size_key key = size_key_of(p.st.st_size);
  std::memcpy(pair.data(), p.content.data(), p.content.size());
  std::memcpy(pair.data() + p.content.size(), &key, sizeof key);
  std::unordered_set<unrecorded_pair, unrecorded_hash>& held = run.state->unrecorded;
  if (held.contains(pair)) return outcome::duplicate;
  seen_result seen = peek_patiently(run.db, p.content, key, *run.state, run.status);
  if (seen == seen_result::seen) return outcome::duplicate;
  if (seen != seen_result::not_seen) return outcome::not_looked_up;
  held.insert(pair);
  return outcome::recorded;
}

// Writes the path of a duplicate on standard output, ended with a NUL when
// asked (flushed at once, as a line would be), or as a line.
bool write_duplicate(const std::string& path, const scan_state& s) {
  if (!s.nul_out) return write_path_line(stdout, "", path);
  return std::fwrite(path.c_str(), 1, path.size() + 1, stdout) == path.size() + 1 &&
         std::fflush(stdout) == 0;
}

// Says what became of the file at `path` of `size` bytes.
void tell(outcome o, const std::string& path, off_t size, scan_run& run) {
  status_line& status = run.status;
  if (o == outcome::duplicate || o == outcome::recorded) {
    ++run.totals.files;
    run.totals.bytes += size;
  }
  if (o == outcome::duplicate) {
    ++run.totals.duplicates;
    run.totals.duplicate_bytes += size;
    status_duplicate(status);
    if (!write_duplicate(path, *run.state) && status.out_errno == 0) status.out_errno = errno;
    return;
  }
  // By outcome: the start of its line on standard error.
  static constexpr const char* kLine[] = {
      nullptr,          nullptr,          "Couldn't open ",   "Skipping ",
      "Couldn't read ", "Unable to add ", "Couldn't look up "};
  static_assert(std::size(kLine) == static_cast<std::size_t>(outcome::not_looked_up) + 1);
  const char* line = kLine[static_cast<int>(o)];
  if (line != nullptr) report(line, path, status);
}

// By how its read ended: what became of a file, `recorded` when it was read
// whole and the database is to say.
constexpr outcome kByEnd[] = {outcome::recorded, outcome::not_opened, outcome::not_regular,
                              outcome::not_regular, outcome::not_read};
static_assert(std::size(kByEnd) == static_cast<std::size_t>(read_end::not_read) + 1);

// Records the new pairs of the batch, then says what came of each of its
// files and lines, in order.
void commit_batch(scan_run& run) {
  scan_state& s = *run.state;
  std::vector<pair_to_record> pairs;
  for (const awaiting& a : s.batch) {
    if (a.line == nullptr && a.end == read_end::whole) pairs.push_back({a.content, a.key});
  }
  if (!pairs.empty()) patiently(run.db, pairs, s, run.status);
  std::size_t next = 0;
  for (const awaiting& a : s.batch) {
    if (a.line != nullptr) {
      report(a.line, a.path, run.status);
      continue;
    }
    outcome o = kByEnd[static_cast<int>(a.end)];
    if (o == outcome::recorded) {
      add_result r = pairs[next++].result;
      o = r == add_result::added_before ? outcome::duplicate
          : r == add_result::added      ? outcome::recorded
                                        : outcome::not_added;
    }
    tell(o, a.path, a.size, run);
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

// Says what came of the files and lines at the head of the queue that are
// ready, in order: at once while no file before them waits for the
// database, else in their batch (a dry run asks it at once, never writing).
// The file it stops at is the one the status line shows.
void judge_ready(scan_run& run) {
  scan_state& s = *run.state;
  while (!s.queue.empty()) {
    pending& p = s.queue.front();
    if (p.line == nullptr && !p.shown) status_file_begins(run.status, p.path);
    p.shown = true;
    if (p.line == nullptr && !p.done) break;
    bool file = p.line == nullptr;
    bool asks = file && p.end == read_end::whole && !run.options.dry_run;
    if (s.batch.empty() && !asks) {
      if (file) {
        outcome o = kByEnd[static_cast<int>(p.end)];
        tell(o == outcome::recorded ? dry_verdict(p, run) : o, p.path, p.st.st_size, run);
        status_file_ends(run.status);
      } else {
        report(p.line, p.path, run.status);
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

// Writes a line about the database, erasing the status line first.
void say(const char* what, const char* path, status_line& status) {
  status_clear(status, stderr);
  write_path_line(stderr, what, path);
}

// Returns true when the store's `err` says the directory that holds the
// database is missing, is no directory, lies on a read-only file system, or
// has no room left for it.
bool dir_unusable(int err) {
  return err == ENOENT || err == ENOTDIR || err == EROFS || err == ENOSPC || err == EDQUOT;
}

// Says, once in a run, that the database's directory cannot be used, and
// why (`err`), before the lines of the files this leaves unrecorded.
void say_dir_unusable(const digest_db& db, int err, scan_state& s, status_line& status) {
  if (std::exchange(s.dir_told, true)) return;
  std::string why = db.paths.dir + ": " + std::strerror(err);
  say("Couldn't use the database's directory ", why.c_str(), status);
}

seen_result peek_patiently(digest_db& db, const digest& d, size_key key, scan_state& s,
                           status_line& status) {
  for (bool waiting = false;;) {
    seen_result r = digest_peek(db, d, key);
    if (r == seen_result::unavailable && dir_unusable(errno)) {
      say_dir_unusable(db, errno, s, status);
      return seen_result::not_seen;  // nothing can be recorded there yet
    }
    if (r != seen_result::busy) return r;
    if (!waiting) {
      say("Waiting for the database, locked by another run: ", db.paths.lock.c_str(), status);
    }
    waiting = true;
  }
}

void patiently(digest_db& db, std::vector<pair_to_record>& pairs, scan_state& s,
               status_line& status) {
  bool waiting = false;
  for (int repairs = 0;;) {
    add_result r = digest_record_batch(db, pairs);
    if (r == add_result::unavailable && dir_unusable(errno)) say_dir_unusable(db, errno, s, status);
    if (r == add_result::no_lock) say("Couldn't open ", db.paths.lock.c_str(), status);
    if (r == add_result::busy && !waiting) {
      say("Waiting for the database, locked by another run: ", db.paths.lock.c_str(), status);
    }
    waiting = waiting || r == add_result::busy;
    if (r == add_result::busy) continue;
    if (r != add_result::repaired && r != add_result::set_aside) return;
    if (++repairs > 2) {  // a repair that does not hold
      for (pair_to_record& p : pairs) {
        if (p.result == r) p.result = add_result::unavailable;
      }
      return;
    }
    if (r == add_result::repaired) {
      say("Repaired the database after an interrupted write: ", db.paths.db.c_str(), status);
    } else {
      say("Moved a damaged database aside, keeping what could be read: ", db.aside.c_str(), status);
    }
  }
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

void say_in_order(const char* what, const std::string& path, scan_run& run) {
  scan_state& s = *run.state;
  if (s.queue.empty() && s.batch.empty()) return report(what, path, run.status);
  s.queue.push_back({what, path, nullptr, {}, {}, false});
  while (s.queue.size() > kLinesAhead) judge_head(run);
  commit_if_due(run);
}

void judge_all(scan_run& run) {
  while (!run.state->queue.empty()) judge_head(run);
  if (!run.state->batch.empty()) commit_batch(run);
}
