#include "reference_points.h"

#include <algorithm>
#include <map>
#include <vector>

namespace quorvane::bench {
namespace {

struct Times {
    std::vector<double> cpu;
    std::vector<double> wall;
};

std::map<std::string, Times, std::less<>>& figures() {
    static std::map<std::string, Times, std::less<>> measured;
    return measured;
}

std::vector<Ratio>& ratios() {
    static std::vector<Ratio> registered;
    return registered;
}

double median(std::vector<double> times) {
    std::sort(times.begin(), times.end());
    const std::size_t middle = times.size() / 2;
    return times.size() % 2 == 1 ? times[middle] : (times[middle - 1] + times[middle]) / 2;
}

}  // namespace

void recordRun(std::string_view figure, double cpuSeconds, double wallSeconds) {
    auto found = figures().find(figure);
    if (found == figures().end()) found = figures().emplace(std::string(figure), Times{}).first;
    found->second.cpu.push_back(cpuSeconds);
    found->second.wall.push_back(wallSeconds);
}

bool registerRatio(Ratio ratio) {
    ratios().push_back(std::move(ratio));
    return true;
}

void printSummary(std::FILE* out) {
    if (figures().empty()) return;
    std::fprintf(out, "\nFigures (seconds per operation, median of the runs above)\n");
    for (const auto& [name, times] : figures()) {
        std::fprintf(out, "  %-36s cpu %10.6f  wall %10.6f  runs %zu\n", name.c_str(),
                     median(times.cpu), median(times.wall), times.cpu.size());
    }
    bool header = false;
    for (const Ratio& ratio : ratios()) {
        auto numerator = figures().find(ratio.numerator);
        auto denominator = figures().find(ratio.denominator);
        if (numerator == figures().end() || denominator == figures().end()) continue;
        if (!header) {
            std::fprintf(out, "\nRatios (of median CPU times; of median wall times in brackets)\n");
            header = true;
        }
        const double value = median(numerator->second.cpu) / median(denominator->second.cpu);
        const double wall = median(numerator->second.wall) / median(denominator->second.wall);
        std::fprintf(out, "  %-48s %6.3f  [%6.3f]", ratio.label.c_str(), value, wall);
        if (ratio.target > 0) {
            const bool met = ratio.atMost ? value <= ratio.target : value >= ratio.target;
            std::fprintf(out, "  target %s %.2f  %s", ratio.atMost ? "<=" : ">=", ratio.target,
                         met ? "met" : "NOT MET");
        }
        std::fprintf(out, "\n");
    }
}

}  // namespace quorvane::bench
