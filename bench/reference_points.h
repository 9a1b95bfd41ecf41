#pragma once

#include <cstdio>
#include <string>
#include <string_view>

namespace quorvane::bench {

// recordRun adds one measured run of the benchmark function named `figure`: its CPU time and
// its wall time, in seconds per operation. The summary uses the median of each over the run.
void recordRun(std::string_view figure, double cpuSeconds, double wallSeconds);

// Ratio is one line of the summary: median CPU time of `numerator` over that of `denominator`,
// compared with `target` (an upper bound when `atMost`, a lower bound otherwise). CPU time is
// what the code costs; on a shared machine the wall time also holds the time spent waiting for a
// core, so the wall-time ratio is printed beside it only as a cross-check.
struct Ratio {
    std::string label;
    std::string numerator;
    std::string denominator;
    double target;
    bool atMost;
};

// registerRatio adds a summary line; returns true so a benchmark file can register its ratios
// while static objects are initialised. Ratios whose figures were not measured (filtered out)
// are left out of the summary.
bool registerRatio(Ratio ratio);

// printSummary writes every measured figure and every registered ratio to `out`.
void printSummary(std::FILE* out);

}  // namespace quorvane::bench
