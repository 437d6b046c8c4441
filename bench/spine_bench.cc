// Whole jobs through the spine, and the line store on its own.
#include <benchmark/benchmark.h>

#include "bench/bench_registry.h"
#include "bench/job_driver.h"
#include "spool/job_control.h"
#include "jobstate/job_state.h"
#include "spool/line_store.h"
#include "spool/page_files.h"

namespace bench {

BenchPlatform& benchPlatform() {
  static BenchPlatform platform;
  return platform;
}

namespace {

constexpr int kJobPages = 3;

void job(benchmark::State& state, Raster kind, Spooling spooling, Encoding encoding) {
  benchPlatform();  // the spool and INI folders, set up once
  BenchDevice device;
  device.configure(spooling, encoding);
  const auto& page = pageOf(kind);
  auto lines = static_cast<std::uint32_t>(page.size() / kLineBytes);
  for (auto _ : state) {
    device.clear();
    runSpineJob(device.devobj(), page.data(), lines, kJobPages);
  }
  if (device.bytesWritten() == 0) state.SkipWithError("the job sent nothing");
  state.counters["stream"] = static_cast<double>(device.bytesWritten());
  setRates(state, page.size() * kJobPages);
  jobstate::resetJobState();
}

// One page of calls per iteration into the same page slots.
void storeInMemory(benchmark::State& state) {
  benchPlatform();  // the spool and INI folders, set up once
  BenchDevice device;
  device.configure(Spooling::kMemory, Encoding::kBlock);
  spool::commandCallback(device.devobj(), spool::kStartJob);
  spool::commandCallback(device.devobj(), spool::kStartPage);
  const auto& page = pageOf(Raster::kReceipt);
  auto lines = static_cast<std::uint32_t>(page.size() / kLineBytes);
  for (auto _ : state) {
    for (std::uint32_t i = 0; i < lines; ++i) spool::storeRasterLine(page.data() + i * kLineBytes, kLineBytes);
    benchmark::ClobberMemory();
    jobstate::jobState.oddPageLines = 0;
  }
  setRates(state, page.size());
  jobstate::resetJobState();
}

// Each call opens, seeks, writes and closes the page file; the file is
// emptied between iterations, outside the timing.
void storeInFile(benchmark::State& state) {
  benchPlatform();  // the spool and INI folders, set up once
  BenchDevice device;
  device.configure(Spooling::kFile, Encoding::kBlock);
  spool::commandCallback(device.devobj(), spool::kStartJob);
  spool::commandCallback(device.devobj(), spool::kStartPage);
  if (jobstate::jobState.memorySpool) state.SkipWithError("the job did not spool to files");
  const auto& page = pageOf(Raster::kReceipt);
  constexpr std::uint32_t kLines = 512;
  for (auto _ : state) {
    for (std::uint32_t i = 0; i < kLines; ++i) spool::storeRasterLine(page.data() + i * kLineBytes, kLineBytes);
    state.PauseTiming();
    spool::createPageFile();
    state.ResumeTiming();
  }
  setRates(state, std::uint64_t{kLines} * kLineBytes);
  spool::commandCallback(device.devobj(), spool::kEndJob);
  jobstate::resetJobState();
}

}  // namespace

void registerJobBenchmarks(Raster kind) {
  std::string suffix = std::string("/") + rasterName(kind);
  addBenchmark("Job/memory-block" + suffix, job, kind, Spooling::kMemory, Encoding::kBlock);
  addBenchmark("Job/memory-band" + suffix, job, kind, Spooling::kMemory, Encoding::kBand);
  if (kind == Raster::kReceipt) {
    addBenchmark("Job/file-block" + suffix, job, kind, Spooling::kFile, Encoding::kBlock);
    addBenchmark("Job/file-band" + suffix, job, kind, Spooling::kFile, Encoding::kBand);
  }
}

void registerStoreBenchmarks() {
  addBenchmark("StoreLine/memory/receipt", storeInMemory);
  addBenchmark("StoreLine/file/receipt", storeInFile);
}

}  // namespace bench
