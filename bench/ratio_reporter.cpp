#include "ratio_reporter.h"

#include <algorithm>
#include <cstdio>
#include <map>
#include <ostream>
#include <utility>

namespace quenwick::bench {
namespace {

constexpr const char* kPerFrame = "per_frame";
constexpr const char* kRatio = "x_ours";

using Run = benchmark::BenchmarkReporter::Run;

std::pair<std::string, std::string> groupAndPath(const Run& run) {
  const std::string& name = run.run_name.function_name;
  const auto slash = name.find('/');
  if (slash == std::string::npos) return {"", name};
  return {name.substr(0, slash), name.substr(slash + 1)};
}

bool hasFigure(const Run& run) {
  return !run.error_occurred && run.counters.count(kPerFrame) != 0;
}

// Nanoseconds per input frame.
double figureOf(const Run& run) {
  return run.counters.at(kPerFrame).value * 1e9;
}

double median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  const std::size_t n = values.size();
  return n % 2 == 1 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2.0;
}

// One converter on one input: its median time per frame and how many runs it rests on.
struct Figure {
  double nsPerFrame = 0.0;
  std::size_t runs = 0;
};

// The median of each row group: the "median" aggregate when repetitions produced one, else the
// median of the single runs.
Figure figureOfGroup(const std::vector<Run>& runs) {
  std::vector<double> singles;
  for (const Run& run : runs) {
    if (!hasFigure(run)) continue;
    if (run.run_type == Run::RT_Aggregate && run.aggregate_name == "median") {
      return {figureOf(run), static_cast<std::size_t>(run.repetitions)};
    }
    if (run.run_type == Run::RT_Iteration) singles.push_back(figureOf(run));
  }
  if (singles.empty()) return {};
  return {median(singles), singles.size()};
}

}  // namespace

void countFrames(benchmark::State& state, std::size_t frames) {
  // The inverse of frames per second of measured time: the time per frame, in seconds.
  state.counters[kPerFrame] = benchmark::Counter(
      static_cast<double>(frames),
      benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}

void RatioReporter::ReportRuns(const std::vector<Run>& runs) {
  if (!runs.empty()) held_.push_back(runs);
}

void RatioReporter::Finalize() {
  // With random interleaving the rows arrive in the order the benchmarks finish.
  std::stable_sort(held_.begin(), held_.end(), [](const auto& a, const auto& b) {
    return std::pair(a.front().family_index, a.front().per_family_instance_index) <
           std::pair(b.front().family_index, b.front().per_family_instance_index);
  });

  // Our rows per group, by kind: each aggregate by name, single runs under the median.
  std::map<std::string, std::map<std::string, double>> ours;
  for (const auto& runs : held_) {
    const auto [group, path] = groupAndPath(runs.front());
    if (path != kOurPath) continue;
    ours[group][""] = figureOfGroup(runs).nsPerFrame;
    for (const Run& run : runs) {
      if (run.run_type == Run::RT_Aggregate && hasFigure(run)) {
        ours[group][run.aggregate_name] = figureOf(run);
      }
    }
  }

  for (auto& runs : held_) {
    for (Run& run : runs) {
      const auto [group, path] = groupAndPath(run);
      const bool spread = run.aggregate_name == "stddev" || run.aggregate_name == "cv";
      if (!hasFigure(run) || spread || ours.count(group) == 0) continue;
      const auto& reference = ours[group];
      const auto kind = reference.find(run.run_type == Run::RT_Aggregate ? run.aggregate_name : "");
      if (kind == reference.end() || kind->second <= 0.0) continue;
      run.counters[kRatio] = benchmark::Counter(figureOf(run) / kind->second);
    }
    ConsoleReporter::ReportRuns(runs);
  }
  printSummary();
  ConsoleReporter::Finalize();
}

void RatioReporter::printSummary() {
  std::ostream& out = GetOutputStream();
  char line[160];

  std::vector<std::string> groups;
  std::map<std::string, std::vector<std::pair<std::string, Figure>>> rows;
  for (const auto& runs : held_) {
    const auto [group, path] = groupAndPath(runs.front());
    const Figure figure = figureOfGroup(runs);
    if (figure.runs == 0) continue;
    if (rows.count(group) == 0) groups.push_back(group);
    rows[group].emplace_back(path, figure);
  }
  auto find = [&rows](const std::string& group, const std::string& path) -> const Figure* {
    for (const auto& [name, figure] : rows[group]) {
      if (name == path) return &figure;
    }
    return nullptr;
  };

  out << "\nSummary: median ns per input frame (CPU time); x_ours = path / " << kOurPath
      << " in the same group (above 1: " << kOurPath << " is faster)\n";
  std::snprintf(line, sizeof line, "%-12s %-28s %10s %8s %5s\n", "group", "path", "ns/frame",
                "x_ours", "runs");
  out << line;
  for (const auto& group : groups) {
    const Figure* mine = find(group, kOurPath);
    for (const auto& [path, figure] : rows[group]) {
      if (mine != nullptr) {
        std::snprintf(line, sizeof line, "%-12s %-28s %10.3f %8.2f %5zu\n", group.c_str(),
                      path.c_str(), figure.nsPerFrame, figure.nsPerFrame / mine->nsPerFrame,
                      figure.runs);
      } else {
        std::snprintf(line, sizeof line, "%-12s %-28s %10.3f %8s %5zu\n", group.c_str(),
                      path.c_str(), figure.nsPerFrame, "-", figure.runs);
      }
      out << line;
    }
  }

  if (goals_.empty()) return;
  out << "\nGoals:\n";
  for (const Goal& goal : goals_) {
    const Figure* mine = find(goal.group, kOurPath);
    const Figure* other = goal.path.empty() ? mine : find(goal.group, goal.path);
    if (mine == nullptr || other == nullptr) {
      std::snprintf(line, sizeof line, "  %s %s: not measured in this run\n", goal.group.c_str(),
                    goal.path.empty() ? kOurPath : goal.path.c_str());
    } else if (goal.path.empty()) {
      std::snprintf(line, sizeof line, "  %s %s: %.3f ns/frame, goal at most %.2f: %s\n",
                    goal.group.c_str(), kOurPath, mine->nsPerFrame, goal.threshold,
                    mine->nsPerFrame <= goal.threshold ? "met" : "NOT met");
    } else {
      const double ratio = other->nsPerFrame / mine->nsPerFrame;
      std::snprintf(line, sizeof line, "  %s %s / %s: %.2fx, goal at least %.1fx: %s\n",
                    goal.group.c_str(), goal.path.c_str(), kOurPath, ratio, goal.threshold,
                    ratio >= goal.threshold ? "met" : "NOT met");
    }
    out << line;
  }
}

}  // namespace quenwick::bench
