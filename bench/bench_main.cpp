#include <benchmark/benchmark.h>

#include <cstdio>
#include <vector>

#include "reference_points.h"

namespace {

// RecordingReporter hands every single run's time to the summary, then passes the run on to the
// display reporter the command-line flags chose, so the ratios come from exactly the runs shown
// above them.
class RecordingReporter : public benchmark::BenchmarkReporter {
  public:
    explicit RecordingReporter(benchmark::BenchmarkReporter* display) : display_(display) {}

    bool ReportContext(const Context& context) override { return display_->ReportContext(context); }

    void ReportRuns(const std::vector<Run>& runs) override {
        for (const Run& run : runs) {
            if (run.run_type != Run::RT_Iteration || run.error_occurred || run.iterations == 0) {
                continue;
            }
            const auto iterations = static_cast<double>(run.iterations);
            quorvane::bench::recordRun(run.run_name.function_name,
                                       run.cpu_accumulated_time / iterations,
                                       run.real_accumulated_time / iterations);
        }
        display_->ReportRuns(runs);
    }

    void Finalize() override { display_->Finalize(); }

  private:
    benchmark::BenchmarkReporter* display_;
};

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    RecordingReporter reporter(benchmark::CreateDefaultDisplayReporter());
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    quorvane::bench::printSummary(stdout);
    return 0;
}
