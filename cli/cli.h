// SPDX-License-Identifier: GPL-3.0-or-later
// The command line: "velorand [-0hnrs] <directory> [directory] ...", or
// "--help" or "--version" alone as the first argument. Options are parsed as
// POSIX getopt does (the first operand ends them, "--" too), then every
// operand is walked in the order given.
#ifndef VELORAND_CLI_CLI_H_
#define VELORAND_CLI_CLI_H_

#include "scan/scan.h"

// What the options ask for beyond recursive_flag.
struct run_options {
  scan_options scan;
  bool summary = false;  // -s
  bool help = false;     // -h
};

// Writes the usage text naming the program `name` to standard error and exits
// with status 1.
[[noreturn]] void usage(const char* name);

// Sets recursive_flag and `options` from the options and returns the index of
// the first operand in `argv`; does not return when an option is not recognised.
int parse_flags(int argc, char** argv, run_options& options);

// Walks every operand against the database at `db_path` and returns the exit
// status: 0, or 1 when standard output could not be written.
int run(int argc, char** argv, const char* db_path);

#endif  // VELORAND_CLI_CLI_H_
