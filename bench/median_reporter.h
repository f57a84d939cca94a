// A console reporter that also keeps each benchmark's rate counter, so that a
// benchmark program can print ratios against its same-run baseline. With
// --benchmark_repetitions the median of the repetitions is used.
#pragma once

#include <benchmark/benchmark.h>

#include <algorithm>
#include <map>
#include <string>
#include <utility>
#include <vector>

class median_reporter : public benchmark::ConsoleReporter {
 public:
  using key_fn = std::string (*)(const Run& run);

  median_reporter(std::string counter, key_fn key) : counter_(std::move(counter)), key_(key) {}

  void ReportRuns(const std::vector<Run>& runs) override {
    ConsoleReporter::ReportRuns(runs);
    for (const auto& run : runs) {
      if (run.error_occurred) continue;
      auto rate = run.counters.find(counter_);
      if (rate == run.counters.end()) continue;
      const std::string key = key_(run);
      if (run.run_type == Run::RT_Iteration) {
        rates_[key].push_back(rate->second.value);
      } else if (run.aggregate_name == "median") {
        medians_[key] = rate->second.value;
      }
    }
  }

  // The rate of `key`, 0 when it did not run.
  double median(const std::string& key) const {
    if (auto given = medians_.find(key); given != medians_.end()) return given->second;
    auto found = rates_.find(key);
    if (found == rates_.end() || found->second.empty()) return 0;
    std::vector<double> v = found->second;
    std::sort(v.begin(), v.end());
    return v.size() % 2 == 1 ? v[v.size() / 2] : (v[v.size() / 2 - 1] + v[v.size() / 2]) / 2;
  }

 private:
  std::string counter_;
  key_fn key_;
  std::map<std::string, std::vector<double>> rates_;
  std::map<std::string, double> medians_;
};
