// SPDX-License-Identifier: GPL-3.0-or-later
// What the scan's files share. scan.cpp walks and hands each regular file,
// and each line of its own, to the verdict stage (verdict.cpp), which digests
// several files at once in lanes, a window ahead, and gives each its verdict
// and line in the order the walk met them. A file is opened by open_linux.cpp
// or open_posix.cpp (chosen by the build) and its read checked by read.cpp;
// known.cpp holds what the run knows of files and links by their identity,
// and lines.cpp writes every line, the database's outcomes among them.
// Only scan/ includes this header.
#ifndef VELORAND_SCAN_INTERNAL_H_
#define VELORAND_SCAN_INTERNAL_H_

#include <sys/stat.h>

#include <array>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <deque>
#include <map>
#include <memory>
#include <unordered_set>
#include <utility>
#include <vector>

#include "common/common.h"
#include "md5/md5.h"
#include "scan/scan.h"

using file_id = std::pair<dev_t, ino_t>;

// Each kind of line the run writes on standard error, in the order of the
// tables of lines in the README and the manual; `none` is no line (a file
// read whole, its verdict yet to come, or recorded). All but the database's
// own lines (`lock_not_made`, `dir_unusable`, `waiting`, `repaired`,
// `set_aside`) count as a problem with an entry.
enum class problem : std::uint8_t {
  none,
  not_statted,    // Couldn't stat <path>
  skipped,        // Skipping <path>
  not_opened,     // Couldn't open <path>
  lock_not_made,  // Couldn't open <lock file>, once
  not_read,       // Couldn't read <path>
  dir_unusable,   // Couldn't use the database's directory <directory>: <reason>
  not_added,      // Unable to add <path>
  not_looked_up,  // Couldn't look up <path>
  cycle,          // Directory cycle at <path>
  waiting,        // Waiting for the database, locked by another run: <lock file>
  repaired,       // Repaired the database after an interrupted write: <database>
  set_aside,      // Moved a damaged database aside, keeping what could be read: <directory>
};

// A file already read in this run, under the status it was last read with:
// met again under another name, unchanged, it is not read again; changed, it
// is a file being written, read once more at most.
struct known_file {
  off_t size;
  timespec mtime, ctime;
  digest content;
  nlink_t unmet;       // its other hard links not met yet
  std::uint8_t reads;  // reads of it begun in this run, 1 or 2
  bool whole;          // `content` is its digest under this status
  bool pinned;         // reached through a symbolic link, so it may be met again any time
};

// Where a symbolic link met under several names led when first followed:
// the status of its target, or the errno that following it gave.
struct followed_link {
  int error;
  struct stat target;
};

// A regular file the walk decided on, or a line of the walk's own, waiting
// for its turn; a file is open only while its lane reads it.
struct pending {
  problem line;                    // the walk's own line, or `none` for a file
  std::string path;                // as written in lines
  std::shared_ptr<fd_holder> dir;  // the file's directory, held while it waits
  std::string name;                // its entry there
  struct stat st;
  bool follow;  // a symbolic link the walk follows
  bool read_started = false, done = false, shown = false;
  problem end = problem::none;  // how the file's read ended
  fd_holder fd = {};
  off_t left = 0;  // bytes still to read
  md5_state md5 = {};
  digest content = {};
};

// A file or a line whose turn came after a file that needs the database,
// held until that file's batch is committed.
struct awaiting {
  problem line;  // as in `pending`
  std::string path;
  problem end;
  digest content;
  size_key key;
  off_t size;
};

// One lane of the digest: the file it reads and the piece read last.
struct lane {
  pending* file = nullptr;
  std::unique_ptr<std::uint8_t[]> buffer;  // left uninitialized: a short file touches one page
  std::size_t at = 0, have = 0;            // digested up to `at` of `have` bytes
};

// A pair of digest and size key a dry run would have recorded, the size key's
// bytes after the digest's; the digest is uniform enough to be its own hash.
using unrecorded_pair = std::array<std::uint8_t, 20>;
struct unrecorded_hash {
  std::size_t operator()(const unrecorded_pair& p) const noexcept {
    std::size_t h;
    std::memcpy(&h, p.data(), sizeof h);
    return h;
  }
};

struct scan_state {
  uid_t reader;             // the effective user
  std::size_t descriptors;  // directories the walk may hold open at once
  std::size_t window;       // files the walk may go ahead of the verdicts
  std::map<file_id, known_file> files;
  std::map<file_id, followed_link> links;           // by the link's own device and inode
  std::map<std::pair<uid_t, gid_t>, bool> members;  // whether a user is in a group
  std::map<dev_t, bool> pseudo;  // by device: a file system that keeps no content
  md5_isa isa;
  std::vector<lane> lanes;
  std::deque<pending> queue;  // in walk order
  std::size_t files_queued = 0;
  bool nul_out = false;   // paths end with a NUL on standard output
  bool dir_told = false;  // that the database's directory cannot be used
  std::unordered_set<unrecorded_pair, unrecorded_hash> unrecorded;  // by a dry run
  std::vector<awaiting> batch;  // in walk order, from its first file that needs the database
  std::size_t batch_files = 0;  // of them, those that need it
  long long batch_since = 0;    // when the first came, on the coarse clock (ms)
};

// What the run knows of a file it meets: nothing, its digest, or that it was
// read twice already, changing each time, and is not read again.
enum class recalled { unknown, digest, spent };

// Returns what the run knows of the file `p`, its digest put in `p`; forgets
// a hard-linked file met under its last name. A file met again changed since
// its read (size, mtime or ctime) is being written: it is read once more at
// most, and every later name gets `Couldn't read`.
recalled recall(pending& p, scan_state& s);

// Remembers the file `p`, whose read just ended (`whole` when it gave its
// digest), when another name may lead to it or it was read before.
void remember(const pending& p, bool whole, scan_state& s);

// Returns true when a file ahead of `p` in the queue is the same one, not
// read yet: `p` waits for its digest rather than reading it again.
bool twin_ahead(const pending& p, const scan_state& s);

// Takes in `st` the status of what the symbolic link `name` in `dir`, of
// status `link`, leads to. A link with several names (hard links to one
// link) is followed once a run: its other names reuse what that found, and
// the open checks it as it checks any name, so a chain of long links costs
// once per link and not once per name, and gives the same answer each time.
bool follow(int dir, const std::string& name, const struct stat& link, struct stat& st,
            scan_state& s);

// Writes the line of `kind` naming `path` on standard error at once, the
// status line erased first, and counted there when it is a problem with an
// entry. REQUIRES: `kind` is not `none`.
void say(problem kind, const std::string& path, status_line& status);

// Says what came of a file of `size` bytes read whole, `path` in lines, by
// what recording its pair returned: its path on standard output when it was
// recorded before, `Unable to add` when it could not be recorded. Counts it
// in the run's totals when it was judged.
void tell_added(add_result r, const std::string& path, off_t size, scan_run& run);

// Says what came of a file as tell_added does, by what a dry run's lookup of
// its pair returned: `Couldn't look up` when it could not be looked up.
void tell_seen(seen_result r, const std::string& path, off_t size, scan_run& run);

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

// Sets up the lanes of `s` for `isa`, and shares the `limit` on descriptors
// between the walk and the lanes.
void start_stage(scan_state& s, md5_isa isa, std::size_t limit);

// Hands the file `p` over for its verdict, which comes in walk order.
void hand_over(pending p, scan_run& run);

// Writes the line of `kind` naming `path` on standard error, in walk order.
void say_in_order(problem kind, const std::string& path, scan_run& run);

// Gives every file handed over its verdict and says every line, in order.
void judge_all(scan_run& run);

// A file the walk decided on, open for reading, or why it is not.
struct opened_file {
  fd_holder fd;
  problem end;  // `none` when `fd` is open
};

// Opens for reading the entry `name` of the directory `dir` when it is still
// the regular file `st` the walk decided on. `follow` says the entry is a
// symbolic link the walk may follow. A device or a file of a file system that
// keeps no content of its own (/proc, /sys and the like) is not read, and
// where the platform allows, not opened either: it may act when opened.
opened_file open_walked_file(int dir, const char* name, const struct stat& st, bool follow,
                             scan_state& s);

// What a file system does with its files' content.
enum class fs_content { unknown, kept, made_up };

// Returns whether the file system of `fd` keeps its files' content or makes
// them up when read (/proc, /sys and the like, whose reading may act), or
// `unknown` with errno set when it cannot be told.
fs_content fs_content_of(int fd);

// Returns `skipped` when the holes of the file `fd`, of status `st`, add up
// to more than its data plus 1 MiB, `not_read` when its offset cannot be
// brought back to its start, else `none`, its offset at the start.
problem worth_reading(int fd, const struct stat& st);

// Returns how the read of the file `fd`, the one of status `st`, ended, after
// taking its status again: `none` when every byte up to its size was read
// (`whole`) and it did not change, `skipped` when it is another file now,
// else `not_read`.
problem read_ended(int fd, const struct stat& st, bool whole);

// Returns what `look()` returns (a descriptor, or 0 for a status), asked up
// to three times while it fails with ELOOP: a lookup through a long chain of
// links that the kernel retries within itself now and then counts links
// twice and fails within the limit (Linux 6.18: 8 times in 3,000 through 39
// links, none asked thrice), while a real loop fails every time.
template <typename Look>
int through_links(Look look) {
  int r = look();
  for (int again = 0; r < 0 && errno == ELOOP && again < 2; ++again) r = look();
  return r;
}

// Returns true when `now` is the file `was`, unchanged: same device, inode,
// size, modification and change time (which no user can set back).
bool same_file(const struct stat& was, const struct stat& now);

#endif  // VELORAND_SCAN_INTERNAL_H_
