// Benchmark rows are named GROUP/PATH: the group is the input (layout and rate), the path the
// converter. Every row reports per_frame, the CPU time per input frame; this reporter adds x_ours,
// the row's time over our own path's time in the same group and the same run (above 1: ours is
// faster), and ends the output with a summary table of the medians.
#pragma once

#include <benchmark/benchmark.h>

#include <cstddef>
#include <string>
#include <vector>

namespace quenwick::bench {

// The path name of our own conversion, the one each group's ratios refer to.
inline constexpr const char* kOurPath = "quenwick";

// Declares that each iteration of `state` converts `frames` input frames.
void countFrames(benchmark::State& state, std::size_t frames);

// Holds every row back until the run is over, so that each can carry its ratio to our path,
// then prints them in the order the benchmarks were registered, and the summary.
class RatioReporter : public benchmark::ConsoleReporter {
 public:
  struct Goal {
    std::string group;
    std::string path;  // empty: our own time per frame
    double threshold;  // ns per frame at most, or ratio at least
  };

  explicit RatioReporter(std::vector<Goal> goals) : goals_(std::move(goals)) {}

  void ReportRuns(const std::vector<Run>& runs) override;
  void Finalize() override;

 private:
  void printSummary();

  std::vector<Goal> goals_;
  std::vector<std::vector<Run>> held_;
};

}  // namespace quenwick::bench
