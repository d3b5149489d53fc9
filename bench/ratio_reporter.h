// A console reporter that also prints, after the run, the throughput of each
// of our benchmarks divided by that of the reference it is paired with.
#ifndef VELORAND_BENCH_RATIO_REPORTER_H_
#define VELORAND_BENCH_RATIO_REPORTER_H_

#include <benchmark/benchmark.h>

#include <cstdio>
#include <map>
#include <string>
#include <utility>
#include <vector>

struct ratio_reporter : benchmark::ConsoleReporter {
  // Pairs of (ours, reference) benchmark names, and the counter to compare.
  std::vector<std::pair<std::string, std::string>> pairs;
  std::string counter = "bytes_per_second";
  std::map<std::string, double> seen;

  void ReportRuns(const std::vector<Run>& runs) override {
    ConsoleReporter::ReportRuns(runs);
    for (const Run& r : runs) {
      if (r.run_type != Run::RT_Iteration) continue;
      auto it = r.counters.find(counter);
      if (it != r.counters.end()) seen[r.benchmark_name()] = it->second.value;
    }
  }

  void Finalize() override {
    ConsoleReporter::Finalize();
    for (const auto& [ours, ref] : pairs) {
      if (!seen.count(ours) || !seen.count(ref) || seen[ref] == 0) continue;
      std::printf("ratio %s / %s = %.3f\n", ours.c_str(), ref.c_str(), seen[ours] / seen[ref]);
    }
  }
};

#endif  // VELORAND_BENCH_RATIO_REPORTER_H_
