// The encoders and the trimming scan over whole pages, next to memcpy and
// memchr over the same buffers: the rates the memory system allows.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <map>

#include "bench/bench_registry.h"
#include "output/byte_loop_encoder.h"
#include "bench/rasters.h"
#include "output/band_encoder.h"
#include "output/run_length.h"
#include "transform/trim.h"

namespace bench {

const std::vector<std::uint8_t>& pageOf(Raster kind) {
  static std::map<Raster, std::vector<std::uint8_t>> pages;
  auto it = pages.find(kind);
  if (it == pages.end()) it = pages.emplace(kind, makePage(kind)).first;
  return it->second;
}

void setRates(benchmark::State& state, std::uint64_t bytesPerIteration) {
  auto iterations = static_cast<std::uint64_t>(state.iterations());
  state.SetBytesProcessed(static_cast<std::int64_t>(iterations * bytesPerIteration));
  state.counters["lines/s"] =
      benchmark::Counter(static_cast<double>(iterations * bytesPerIteration / kLineBytes), benchmark::Counter::kIsRate);
}

namespace {

using Encoder = void (*)(std::uint8_t*, std::uint32_t*, const std::uint8_t*, std::uint32_t);

// A page is one raster block: page emission encodes up to 3350 lines at once.
void runLength(benchmark::State& state, Raster kind, Encoder encode) {
  const auto& page = pageOf(kind);
  std::vector<std::uint8_t> out(page.size() * 2);
  for (auto _ : state) {
    std::uint32_t length = 0;
    encode(out.data(), &length, page.data(), static_cast<std::uint32_t>(page.size()));
    benchmark::DoNotOptimize(length);
    benchmark::ClobberMemory();
  }
  setRates(state, page.size());
}

// Chunks of 128 lines into an output area of its own, as page emission
// hands them to the band encoder.
void band(benchmark::State& state, Raster kind) {
  const auto& page = pageOf(kind);
  constexpr std::uint32_t kChunk = output::kBandChunkLines * kLineBytes;
  std::vector<std::uint8_t> out(kChunk + 5);
  for (auto _ : state) {
    for (std::size_t at = 0; at < page.size(); at += kChunk) {
      auto bytes = static_cast<std::uint32_t>(std::min<std::size_t>(kChunk, page.size() - at));
      std::uint32_t n = output::encodeBand(out.data(), page.data() + at, bytes);
      benchmark::DoNotOptimize(n);
    }
    benchmark::ClobberMemory();
  }
  setRates(state, page.size());
}

// Only the trailing part of the page is read, so the rate counts the lines
// scanned: the blank tail and the last inked line.
void trim(benchmark::State& state, Raster kind) {
  const auto& page = pageOf(kind);
  auto lines = static_cast<std::uint32_t>(page.size() / kLineBytes);
  std::uint32_t kept = transform::trimPageBuffer(page.data(), lines);
  std::uint64_t scanned = static_cast<std::uint64_t>(lines - kept + (kept > 0 ? 1 : 0)) * kLineBytes;
  for (auto _ : state) {
    std::uint32_t n = transform::trimPageBuffer(page.data(), lines);
    benchmark::DoNotOptimize(n);
  }
  setRates(state, scanned);
}

void copy(benchmark::State& state, Raster kind) {
  const auto& page = pageOf(kind);
  std::vector<std::uint8_t> out(page.size());
  for (auto _ : state) {
    std::memcpy(out.data(), page.data(), page.size());
    benchmark::DoNotOptimize(out.data());
    benchmark::ClobberMemory();
  }
  setRates(state, page.size());
}

// Searches for the page's rarest byte value from each hit on, so that the
// whole page is read whatever it holds.
void search(benchmark::State& state, Raster kind) {
  const auto& page = pageOf(kind);
  std::array<std::size_t, 256> histogram{};
  for (std::uint8_t b : page) ++histogram[b];
  auto rarest = static_cast<int>(std::min_element(histogram.begin(), histogram.end()) - histogram.begin());
  for (auto _ : state) {
    const std::uint8_t* at = page.data();
    const std::uint8_t* end = page.data() + page.size();
    std::size_t hits = 0;
    while (at < end) {
      const void* found = std::memchr(at, rarest, static_cast<std::size_t>(end - at));
      if (found == nullptr) break;
      ++hits;
      at = static_cast<const std::uint8_t*>(found) + 1;
    }
    benchmark::DoNotOptimize(hits);
  }
  setRates(state, page.size());
}

}  // namespace

void registerEncoderBenchmarks(Raster kind) {
  std::string suffix = std::string("/") + rasterName(kind);
  addBenchmark("Memcpy" + suffix, copy, kind);
  addBenchmark("Memchr" + suffix, search, kind);
  addBenchmark("RunLengthByteLoop" + suffix, runLength, kind, &output::encodeRunLengthByteLoop);
  addBenchmark("RunLength" + suffix, runLength, kind, &output::encodeRunLength);
  addBenchmark("Band" + suffix, band, kind);
  if (kind == Raster::kReceipt || kind == Raster::kBlank) addBenchmark("Trim" + suffix, trim, kind);
}

}  // namespace bench
