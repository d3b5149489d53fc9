// SPDX-License-Identifier: GPL-3.0-or-later
// A console reporter that also prints, after the run, a counter of each of our
// benchmarks divided by the same counter of the reference it is paired with,
// the medians' when the benchmarks are repeated.
#ifndef VELORAND_BENCH_RATIO_REPORTER_H_
#define VELORAND_BENCH_RATIO_REPORTER_H_

#include <benchmark/benchmark.h>

#include <cstdio>
#include <map>
#include <string>
#include <utility>
#include <vector>

struct ratio_reporter : benchmark::ConsoleReporter {
  struct pair {
    std::string ours, reference, counter;
  };
  std::vector<pair> pairs;
  std::map<std::pair<std::string, std::string>, double> seen;  // (benchmark, counter)

  void ReportRuns(const std::vector<Run>& runs) override {
    ConsoleReporter::ReportRuns(runs);
    // Repetitions end with their median, which then stands for them all.
    for (const Run& r : runs) {
      bool median = r.run_type == Run::RT_Aggregate && r.aggregate_name == "median";
      if (r.run_type != Run::RT_Iteration && !median) continue;
      for (const auto& [name, c] : r.counters) seen[{r.run_name.str(), name}] = c.value;
    }
  }

  void Finalize() override {
    ConsoleReporter::Finalize();
    for (const pair& p : pairs) {
      auto ours = seen.find({p.ours, p.counter});
      auto ref = seen.find({p.reference, p.counter});
      if (ours == seen.end() || ref == seen.end() || ref->second == 0) continue;
      std::printf("ratio %s / %s (%s) = %.3f\n", p.ours.c_str(), p.reference.c_str(),
                  p.counter.c_str(), ours->second / ref->second);
    }
  }
};

#endif  // VELORAND_BENCH_RATIO_REPORTER_H_
