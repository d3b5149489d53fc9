// SPDX-License-Identifier: GPL-3.0-or-later
// The store's part for the libraries that keep one hash file "<path>.db"
// (what differs between them is in bdb.cpp and bsd.cpp). Nothing here knows
// the file's layout: a store is not guarded against a power cut (the store is
// durable once the close returns, but a cut during it can tear the file), and
// what can be salvaged of a damaged file is what the library still iterates over.
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>

#include "store/file.h"
#include "store/internal.h"

struct db_handle {
  DBM* db = nullptr;
};

namespace {

// Writes every record the library iterates over to `out`, each as the
// lengths of key and value and their bytes.
void send_records(const std::string& base, int out) {
  DBM* db = dbm_open(const_cast<char*>(base.c_str()), O_RDONLY, 0);
  if (db == nullptr) return;
  for (datum k = dbm_firstkey(db); k.dptr != nullptr; k = dbm_nextkey(db)) {
    datum v = dbm_fetch(db, k);
    if (v.dptr == nullptr) continue;
    std::uint32_t sizes[2] = {static_cast<std::uint32_t>(k.dsize),
                              static_cast<std::uint32_t>(v.dsize)};
    if (!write_all(out, sizes, sizeof sizes) || !write_all(out, k.dptr, sizes[0]) ||
        !write_all(out, v.dptr, sizes[1]))
      return;
  }
}

}  // namespace

void db_handle_closer::operator()(db_handle* h) const {
  errno_keeper keep;
  if (h->db != nullptr) dbm_close(h->db);
  delete h;
}

data_state open_for_writing(const db_paths& p, db_handle_ptr& h) {
  h.reset(new db_handle{dbm_open(const_cast<char*>(p.db.c_str()), O_RDWR, 0600)});
  return h->db == nullptr ? data_state::unreadable : data_state::sound;
}

bool fetch(db_handle& h, const digest& d, datum& value) {
  dbm_clearerr(h.db);
  value = dbm_fetch(h.db, key_of(d));
  return value.dptr != nullptr || dbm_error(h.db) == 0;
}

const char* data_suffix() {
  return ".db";
}

data_state open_for_reading(const db_paths& p, db_handle_ptr& h) {
  struct stat st;
  // The library would block for ever opening a FIFO.
  if (fd_holder(open_regular(p.data, O_RDONLY, st)).fd < 0)
    return errno == EIO ? data_state::damaged : data_state::unreadable;
  h.reset(new db_handle{dbm_open(const_cast<char*>(p.db.c_str()), O_RDONLY, 0)});
  return h->db == nullptr ? data_state::damaged : data_state::sound;
}

lookup_result look_up(db_handle& h, const digest& d, size_key key) {
  return holds(dbm_fetch(h.db, key_of(d)), key) ? lookup_result::seen : lookup_result::not_seen;
}

bool stores_whole_batches() {
  return false;
}

// One by one, as single appends: the 4.4BSD library writes its pages only at
// its close, where a batch would put the pages of all its records at risk of
// a torn or failed write it cannot report, and Berkeley DB's close keeps a
// failed sync to itself, which would leave a whole batch said recorded.
void store_all(const db_paths& p, db_handle_ptr& h, std::vector<record_store>& stores) {
  for (record_store& s : stores) {
    if (h == nullptr && open_for_writing(p, h) != data_state::sound) return;  // the rest refused
    datum key{s.key.data(), static_cast<int>(s.key.size())};
    datum value{s.value.data(), static_cast<int>(s.value.size())};
    int fd = dbm_dirfno(h->db);  // the one file
    struct stat st;
    if (fd < 0 || fstat(fd, &st) != 0 || !make_room(fd, st)) {
      h.reset();
      continue;
    }
    bool stored = dbm_store(h->db, key, value, DBM_REPLACE) == 0;
    h.reset();
    s.result = stored && durable_after_close(p.data) ? store_result::stored : store_result::refused;
  }
}

// The library may crash on a damaged file: it is read in a child process.
void salvage(const std::string& data, record_map& records) {
  int pipe_fds[2];
  if (pipe(pipe_fds) != 0) return;
  fd_holder from(pipe_fds[0]), to(pipe_fds[1]);
  pid_t pid = fork();
  if (pid == 0) {
    from.reset();
    send_records(data.substr(0, data.size() - 3), to.fd);  // less ".db"
    _exit(0);
  }
  to.reset();
  for (std::uint32_t sizes[2]; pid > 0 && read_all(from.fd, sizes, sizeof sizes);) {
    std::string k(sizes[0], '\0'), v(sizes[1], '\0');
    if (!read_all(from.fd, k.data(), k.size()) || !read_all(from.fd, v.data(), v.size())) break;
    records[k] = v;
  }
  from.reset();
  if (pid > 0) waitpid(pid, nullptr, 0);
}
