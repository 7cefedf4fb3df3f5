// Console output of a benchmark program with each line's time over a
// baseline's: benchmarks named "WHAT/SAMPLE", the baseline's WHAT given,
// each other line of the same SAMPLE (and the same aggregate: a mean over
// the baseline's mean, a median over its median) gets counter `counter` =
// its real time / the baseline's.  Single runs and the means and medians of
// repetitions are ratioed; the spread of repetitions is not.
#pragma once

#include <benchmark/benchmark.h>

#include <map>
#include <string>
#include <utility>
#include <vector>

namespace tamsorel::bench {

class RatioReporter : public benchmark::ConsoleReporter {
 public:
  RatioReporter(std::string baseline, std::string counter, OutputOptions options = OO_Defaults)
      : ConsoleReporter(options), baseline_(std::move(baseline)), counter_(std::move(counter)) {}

  void ReportRuns(const std::vector<Run>& runs) override {
    std::vector<Run> out = runs;
    for (Run& run : out) {
      const std::string name = run.benchmark_name();
      const std::size_t slash = name.find('/');
      const std::string what = name.substr(0, slash), sample = name.substr(slash + 1);
      const bool ratioed =
          run.run_type == Run::RT_Iteration || run.aggregate_name == "mean" || run.aggregate_name == "median";
      if (!ratioed || run.error_occurred) continue;
      const std::string key = sample + "/" + run.aggregate_name;
      if (what == baseline_) {
        baselines_[key] = run.GetAdjustedRealTime();
        run.counters[counter_] = benchmark::Counter(1.0);
      } else if (baselines_.count(key) && baselines_[key] > 0) {
        run.counters[counter_] = benchmark::Counter(run.GetAdjustedRealTime() / baselines_[key]);
      }
    }
    ConsoleReporter::ReportRuns(out);
  }

 private:
  std::string baseline_, counter_;
  std::map<std::string, double> baselines_;
};

}  // namespace tamsorel::bench
