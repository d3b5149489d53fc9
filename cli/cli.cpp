// SPDX-License-Identifier: GPL-3.0-or-later
#include "cli/cli.h"

#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "common/common.h"
#include "scan/scan.h"
#include "term/term.h"

int recursive_flag = 0;

namespace {

// GNU getopt permutes arguments unless the option string starts with '+';
// other systems' getopt follows POSIX already and would take '+' as a letter.
#if defined(__GLIBC__)
constexpr char kOptions[] = "+r";
#else
constexpr char kOptions[] = "r";
#endif

}  // namespace

void usage(const char* name) {
  std::fprintf(stderr, "%s: [-r] <directory> [directory] ...\n", name);
  std::fputs("\t-r: scan directories recursively\n", stderr);
  std::exit(1);
}

int parse_flags(int argc, char** argv) {
  for (int c; (c = getopt(argc, argv, kOptions)) != -1;) {
    if (c == 'r') {
      recursive_flag = 1;
    } else {
      usage(argv[0]);
    }
  }
  return optind;
}

int run(int argc, char** argv, const char* db_path) {
  if (argc < 2) usage(argc > 0 ? argv[0] : "velorand");
  int first = parse_flags(argc, argv);
  // Each duplicate leaves at once: a run that dies later must not take the
  // duplicates it found with it.
  std::setvbuf(stdout, nullptr, _IOLBF, 0);
  digest_db db = digest_db_at(db_path);
  status_line status;
  status_start(status);
  scan_run scan = scan_start(status, db);
  for (int i = first; i < argc; ++i) scan_dir(argv[i], scan);
  status_end(status);
  // Lost output must not pass for success.
  int error = std::fflush(stdout) == 0 ? status.out_errno : errno;
  if (error == 0 && !std::ferror(stdout)) return 0;
  if (error == 0) {
    std::fprintf(stderr, "%s: write error\n", argv[0]);
  } else {
    std::fprintf(stderr, "%s: write error: %s\n", argv[0], std::strerror(error));
  }
  return 1;
}
