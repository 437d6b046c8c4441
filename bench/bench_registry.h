// What the benchmark files share: the pages they read, how they report
// rates, and how each registers its benchmarks with the runner.
#ifndef QMX_BENCH_BENCH_REGISTRY_H_
#define QMX_BENCH_BENCH_REGISTRY_H_

#include <benchmark/benchmark.h>

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "bench/rasters.h"

namespace bench {

class BenchPlatform;
// The one spool folder and platform set-up of the benchmark process.
BenchPlatform& benchPlatform();

// One page of each kind, made once per process.
const std::vector<std::uint8_t>& pageOf(Raster kind);

// Bytes per second, and raster lines per second as the counter "lines/s".
void setRates(benchmark::State& state, std::uint64_t bytesPerIteration);

// Names in the order of registration: the order of the table.
std::vector<std::string>& registeredNames();

// Registers one benchmark. Rates are over the process's CPU time, which
// counts its system calls and page faults but not the time other work on
// a shared machine takes from it.
template <typename... Args>
void addBenchmark(const std::string& name, Args&&... args) {
  registeredNames().push_back(name);
  benchmark::RegisterBenchmark(name.c_str(), std::forward<Args>(args)...);
}

void registerEncoderBenchmarks(Raster kind);
void registerJobBenchmarks(Raster kind);
void registerStoreBenchmarks();
// Whole jobs through DllGetClassObject and IPrintOemUni; false when the
// plug-in frame is not part of this build.
bool registerComBenchmarks(Raster kind);

}  // namespace bench

#endif  // QMX_BENCH_BENCH_REGISTRY_H_
