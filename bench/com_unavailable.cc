// Stands in for the COM entry-point benchmarks when the plug-in frame is
// left out of the build.
#include "bench/bench_registry.h"

namespace bench {

bool registerComBenchmarks(Raster) { return false; }

}  // namespace bench
