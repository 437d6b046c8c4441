// Lines per second of a file-spooled job through each of several plug-in
// modules loaded side by side, the jobs interleaved so that a passing load
// on the machine spreads over every module alike. Built for Windows (the
// DLLs under Wine, where each file operation is a round trip to the server)
// and natively.
//
//   qmx415u-filerate [--repetitions N] [--lines N] MODULE...
//
// Prints per module the median rate over the repetitions and its ratio to
// the first module's.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "crosscheck/job_set.h"
#include "host/module_loader.h"
#include "host/print_session.h"

namespace {

struct Measured {
  std::string path;
  std::unique_ptr<host::PluginModule> module;
  std::unique_ptr<host::PrintSession> session;
  std::vector<double> rates;  // lines per second, one per repetition
};

// One page of receipt-like lines: a few inked bytes on most lines.
host::JobSpec fileJob(std::size_t lines) {
  host::JobSpec spec;
  spec.paperLength = crosscheck::kLongPaper;
  host::Page page(lines);
  for (std::size_t i = 0; i < lines; ++i) {
    if (i % 4 != 3) page[i][(i * 7) % host::kLineBytes] = static_cast<std::uint8_t>(0x80 >> (i % 8));
  }
  spec.pages.push_back(page);
  return spec;
}

double median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  return values[values.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
  int repetitions = 5;
  std::size_t lines = 4000;
  std::vector<Measured> modules;
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    if (arg == "--repetitions" && i + 1 < argc) {
      repetitions = std::max(1, std::atoi(argv[++i]));
    } else if (arg == "--lines" && i + 1 < argc) {
      lines = static_cast<std::size_t>(std::max(1, std::atoi(argv[++i])));
    } else {
      modules.push_back({arg, nullptr, nullptr, {}});
    }
  }
  if (modules.empty()) {
    std::fprintf(stderr, "usage: qmx415u-filerate [--repetitions N] [--lines N] MODULE...\n");
    return 2;
  }
  std::string error;
  for (Measured& m : modules) {
    m.module = host::PluginModule::load(m.path, &error);
    if (m.module != nullptr) m.session = host::PrintSession::open(*m.module, {}, &error);
    if (m.session == nullptr) {
      std::fprintf(stderr, "qmx415u-filerate: %s: %s\n", m.path.c_str(), error.c_str());
      return 1;
    }
  }
  const host::JobSpec job = fileJob(lines);
  for (int r = 0; r < repetitions; ++r) {
    for (Measured& m : modules) {
      const auto start = std::chrono::steady_clock::now();
      host::JobResult result = m.session->runJob(job);
      const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
      if (!result.ok) {
        std::fprintf(stderr, "qmx415u-filerate: %s: %s\n", m.path.c_str(), result.error.c_str());
        return 1;
      }
      m.rates.push_back(static_cast<double>(lines) / took.count());
    }
  }
  std::printf("file-spooled job of one page, %zu lines; medians of %d interleaved repetitions\n", lines, repetitions);
  const double first = median(modules.front().rates);
  for (const Measured& m : modules) {
    const double rate = median(m.rates);
    std::printf("  %-40s %10.0f lines/s  %6.3f x\n", m.path.c_str(), rate, rate / first);
  }
  for (Measured& m : modules) m.session->close();
  return 0;
}
