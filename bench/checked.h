// SPDX-License-Identifier: GPL-3.0-or-later
// What the benchmarks check: a step that fails ends the benchmark loudly,
// so that a failed run is never timed as a fast one.
#ifndef VELORAND_BENCH_CHECKED_H_
#define VELORAND_BENCH_CHECKED_H_

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

// Exits with status 1, naming `what` and errno, unless `ok`.
inline void must(bool ok, const std::string& what) {
  if (ok) return;
  std::fprintf(stderr, "benchmark stopped: %s failed (%s)\n", what.c_str(), std::strerror(errno));
  std::exit(1);
}

#endif  // VELORAND_BENCH_CHECKED_H_
