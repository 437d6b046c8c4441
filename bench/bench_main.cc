// Runs the benchmarks, shows the runner's own report on stderr, and
// prints on stdout one table of rates, each also as a ratio to memcpy and
// memchr over the same page, followed by the checks of the targets.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdio>
#include <iostream>
#include <map>
#include <string>
#include <vector>

#include "bench/bench_registry.h"

namespace bench {

std::vector<std::string>& registeredNames() {
  static std::vector<std::string> names;
  return names;
}

namespace {

struct Row {
  std::string name;
  double bytesPerSecond = 0;
  double linesPerSecond = 0;
};

class TableReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    ConsoleReporter::ReportRuns(runs);
    for (const Run& run : runs) {
      if (run.error_occurred) continue;
      // With repetitions the median stands for the figure, else the one run.
      bool take = run.run_type == Run::RT_Aggregate ? run.aggregate_name == "median" : run.repetitions <= 1;
      if (!take) continue;
      rows_[run.run_name.function_name] =
          Row{run.run_name.function_name, counter(run, "bytes_per_second"), counter(run, "lines/s")};
    }
  }

  void Finalize() override {
    ConsoleReporter::Finalize();
    printTable();
    printTargets();
  }

 private:
  static double counter(const Run& run, const char* name) {
    auto it = run.counters.find(name);
    return it == run.counters.end() ? 0.0 : it->second.value;
  }

  const Row* find(const std::string& name) const {
    auto it = rows_.find(name);
    return it == rows_.end() ? nullptr : &it->second;
  }

  static std::string inputOf(const std::string& name) { return name.substr(name.rfind('/') + 1); }

  double ratio(const Row& row, const char* baseline) const {
    const Row* base = find(std::string(baseline) + "/" + inputOf(row.name));
    return base != nullptr && base->bytesPerSecond > 0 ? row.bytesPerSecond / base->bytesPerSecond : 0.0;
  }

  void printTable() const {
    std::printf("%-30s %12s %12s %10s %10s\n", "figure", "MB/s", "Mlines/s", "x memcpy", "x memchr");
    std::string group;
    for (const std::string& name : registeredNames()) {
      const Row* found = find(name);
      if (found == nullptr) continue;
      const Row& row = *found;
      std::string input = inputOf(row.name);
      if (input != group) {
        group = input;
        std::printf("-- %s\n", group.c_str());
      }
      std::printf("%-30s %12.1f %12.3f %10.3f %10.3f\n", row.name.c_str(), row.bytesPerSecond / 1e6,
                  row.linesPerSecond / 1e6, ratio(row, "Memcpy"), ratio(row, "Memchr"));
    }
  }

  // A ratio of two figures of this run; 0 when either is missing.
  double between(const std::string& a, const std::string& b) const {
    const Row* x = find(a);
    const Row* y = find(b);
    return x != nullptr && y != nullptr && y->bytesPerSecond > 0 ? x->bytesPerSecond / y->bytesPerSecond : 0.0;
  }

  void check(const char* what, double value, double goal, const char* unit) const {
    const char* verdict = value == 0 ? "not measured" : value >= goal ? "met" : "NOT MET";
    std::printf("%-62s %12.3f %s  (goal >= %g%s)  %s\n", what, value, unit, goal, unit, verdict);
  }

  // A ratio below 1 also as how many times the second figure is faster.
  void ratioLine(const char* what, const char* a, const char* b) const {
    double r = between(a, b);
    std::printf("%-62s %12.5f x  (1/%.0f)\n", what, r, r > 0 ? 1 / r : 0.0);
  }

  void printTargets() const {
    std::printf("\ntargets\n");
    for (const char* input : {"receipt", "text"})
      check(("run-length vs byte loop, typical: " + std::string(input)).c_str(),
            between(std::string("RunLength/") + input, std::string("RunLengthByteLoop/") + input), 3, "x");
    check("run-length vs byte loop, blank-dominant: blank", between("RunLength/blank", "RunLengthByteLoop/blank"), 10,
          "x");
    check("run-length vs byte loop, worst case: worst", between("RunLength/worst", "RunLengthByteLoop/worst"), 1, "x");
    for (const char* input : {"receipt", "text"}) {
      const Row* bandRow = find(std::string("Band/") + input);
      check(("band encoding, typical: " + std::string(input)).c_str(),
            bandRow != nullptr ? bandRow->bytesPerSecond / 1e9 : 0.0, 1, " GB/s");
    }
    // Through the entry points, as the print system drives it.
    const Row* jobRow = find("ComJob/memory-block/receipt");
    check("memory-spooled block-mode job through the entry points: receipt", jobRow != nullptr ? jobRow->linesPerSecond / 1e6 : 0.0, 5,
          " Mlines/s");
    ratioLine("file vs memory spooling per line, whole job (block): receipt", "Job/file-block/receipt",
              "Job/memory-block/receipt");
    ratioLine("file vs memory spooling per line, whole job (band): receipt", "Job/file-band/receipt",
              "Job/memory-band/receipt");
    ratioLine("file vs memory spooling per line, store alone: receipt", "StoreLine/file/receipt",
              "StoreLine/memory/receipt");
    if (find("ComJob/memory-block/receipt") != nullptr)
      std::printf("%-62s %12.3f x\n", "COM entry points vs spine, memory block job: receipt",
                  between("ComJob/memory-block/receipt", "Job/memory-block/receipt"));
    else
      std::printf("COM entry-point jobs: not in this build (plug-in frame not built)\n");
  }

  std::map<std::string, Row> rows_;
};

// The targets are stated for these inputs; a generator that drifts from
// them would make the figures meaningless.
bool rastersAreWhatTheySay() {
  const auto& worst = pageOf(Raster::kWorst);
  for (std::size_t i = 1; i < worst.size(); ++i)
    if (worst[i] == worst[i - 1]) return false;
  const auto& blank = pageOf(Raster::kBlank);
  const auto& black = pageOf(Raster::kBlack);
  return std::all_of(blank.begin(), blank.end(), [](std::uint8_t b) { return b == 0; }) &&
         std::all_of(black.begin(), black.end(), [](std::uint8_t b) { return b == 0xFF; });
}

}  // namespace
}  // namespace bench

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  if (!bench::rastersAreWhatTheySay()) {
    std::fprintf(stderr, "the generated rasters are not what the benchmarks assume\n");
    return 1;
  }
  for (bench::Raster kind : bench::kAllRasters) {
    bench::registerEncoderBenchmarks(kind);
    bench::registerJobBenchmarks(kind);
    if (kind != bench::Raster::kReceipt) continue;
    bench::registerComBenchmarks(kind);
    bench::registerStoreBenchmarks();
  }
  bench::TableReporter reporter;
  reporter.SetOutputStream(&std::cerr);
  reporter.SetErrorStream(&std::cerr);
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();
  return 0;
}
