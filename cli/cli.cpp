// SPDX-License-Identifier: GPL-3.0-or-later
#include "cli/cli.h"

#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "common/common.h"
#include "scan/scan.h"
#include "term/term.h"

int recursive_flag = 0;

namespace {

// GNU getopt permutes arguments unless the option string starts with '+';
// other systems' getopt follows POSIX already and would take '+' as a letter.
#if defined(__GLIBC__)
constexpr char kOptions[] = "+0hnrs";
#else
constexpr char kOptions[] = "0hnrs";
#endif

// Writes the help, naming the program `name` and the database at `db_path`.
int help(const char* name, const char* db_path) {
  std::printf(
      "Usage: %s [-0hnrs] <directory> [directory] ...\n"
      "Prints the path of every regular file in the directories whose content (MD5\n"
      "digest and size) was recorded before, by this run or an earlier one, in the\n"
      "database %s; records every other file's content there.\n"
      "\n"
      "  -r          scan directories recursively\n"
      "  -n          dry run: print what the run would print, record nothing\n"
      "  -0          end each path on standard output with a NUL, not a newline\n"
      "              (unless standard output is a terminal)\n"
      "  -s          write a summary line on standard error at the end\n"
      "  -h, --help  show this help and exit\n"
      "  --version   show the version and exit\n"
      "\n"
      "Exit status: 0 after scanning, whatever was reported; 1 on a usage error or\n"
      "when standard output could not be written. See velorand(1).\n",
      name, db_path);
  return std::fflush(stdout) == 0 && !std::ferror(stdout) ? 0 : 1;
}

int version() {
  std::printf("velorand %s\n", VELORAND_VERSION);
  return std::fflush(stdout) == 0 && !std::ferror(stdout) ? 0 : 1;
}

double seconds_since(const timespec& start) {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<double>(now.tv_sec - start.tv_sec) +
         static_cast<double>(now.tv_nsec - start.tv_nsec) / 1e9;
}

// Writes the summary line of a run that began at `start`.
void summarise(const scan_totals& t, const status_line& status, const timespec& start) {
  std::fprintf(stderr,
               "Summary: %lld files digested, %lld bytes; %lld duplicates, %lld bytes; "
               "%lld problems; %.2f s\n",
               t.files, t.bytes, t.duplicates, t.duplicate_bytes, status.problems,
               seconds_since(start));
}

}  // namespace

void usage(const char* name) {
  std::fprintf(stderr, "%s: [-r] <directory> [directory] ...\n", name);
  std::fputs("\t-r: scan directories recursively\n", stderr);
  std::exit(1);
}

int parse_flags(int argc, char** argv, run_options& options) {
  for (int c; (c = getopt(argc, argv, kOptions)) != -1;) {
    if (c == 'r') {
      recursive_flag = 1;
    } else if (c == 'n') {
      options.scan.dry_run = true;
    } else if (c == '0') {
      options.scan.nul = true;
    } else if (c == 's') {
      options.summary = true;
    } else if (c == 'h') {
      options.help = true;
    } else {
      usage(argv[0]);
    }
  }
  return optind;
}

int run(int argc, char** argv, const char* db_path) {
  if (argc < 2) usage(argc > 0 ? argv[0] : "velorand");
  // As GNU programs do, the long options are known as the first argument.
  if (std::strcmp(argv[1], "--help") == 0) return help(argv[0], db_path);
  if (std::strcmp(argv[1], "--version") == 0) return version();
  timespec start{};
  clock_gettime(CLOCK_MONOTONIC, &start);
  run_options options;
  int first = parse_flags(argc, argv, options);
  if (options.help) return help(argv[0], db_path);
  // Each duplicate leaves at once: a run that dies later must not take the
  // duplicates it found with it.
  std::setvbuf(stdout, nullptr, _IOLBF, 0);
  digest_db db = digest_db_at(db_path);
  status_line status;
  status_start(status);
  scan_run scan = scan_start(status, db, md5_best_isa(), options.scan);
  for (int i = first; i < argc; ++i) scan_dir(argv[i], scan);
  status_end(status);
  if (options.summary) summarise(scan.totals, status, start);
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
