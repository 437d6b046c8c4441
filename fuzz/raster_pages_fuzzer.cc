// The CUPS filter's raster-to-lines path (cups/raster_pages.h) over any
// input, read through cupsRasterOpenIO from memory. The first byte picks
// the form: a raw stream as libcups reads it (seeds: real rasters), or an
// uncompressed version-3 stream whose header fields are set from the input,
// extremes included, followed by what is left as pixel data (often too
// little: truncated pages). Properties: no crash, no access out of bounds;
// every head line is white past the fitted dots; the fit stays within the
// page; a job's paper length stays within the 16-bit field.
#include <cups/raster.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <vector>

#include "cups/raster_pages.h"
#include "fuzz/fuzz_input.h"

namespace {

constexpr std::size_t kMostRows = 1 << 16;  // bounds the work per input
constexpr char kSyncUncompressedV3[4] = {'3', 'S', 'a', 'R'};  // CUPS_RASTER_SYNCv3 as stored little-endian

struct Memory {
  const std::uint8_t* data;
  std::size_t size;
  std::size_t at = 0;
};

ssize_t readMemory(void* context, unsigned char* buffer, size_t length) {
  auto* m = static_cast<Memory*>(context);
  const std::size_t n = std::min(length, m->size - m->at);
  std::memcpy(buffer, m->data + m->at, n);
  m->at += n;
  return static_cast<ssize_t>(n);
}

// A value near the edges that matter more often than at random.
unsigned pick(fuzz::Input& in, unsigned usual) {
  switch (in.byte() % 8) {
    case 0: return 0;
    case 1: return usual;
    case 2: return usual + 1;
    case 3: return usual - 1;
    case 4: return 0xFFFFFFFFu;
    case 5: return in.u16();
    default: return in.u32();
  }
}

std::vector<std::uint8_t> craftedStream(fuzz::Input& in) {
  cups_page_header2_t h;
  std::memset(&h, 0, sizeof h);
  const bool grey = in.byte() & 1;
  h.HWResolution[0] = pick(in, qmxcups::kDotsPerInch);
  h.HWResolution[1] = pick(in, qmxcups::kDotsPerInch);
  h.cupsWidth = pick(in, 576);
  h.cupsHeight = pick(in, 8);
  h.cupsBitsPerColor = h.cupsBitsPerPixel = grey ? 8 : 1;
  if (in.byte() % 4 == 0) h.cupsBitsPerPixel = pick(in, 8);
  const unsigned space = in.byte() % 4 == 0 ? in.byte() : grey ? CUPS_CSPACE_SW : CUPS_CSPACE_K;
  std::memcpy(&h.cupsColorSpace, &space, sizeof space);  // any number, as a stream may hold
  h.cupsBytesPerLine = in.byte() % 4 == 0 ? pick(in, 72) : (h.cupsWidth * h.cupsBitsPerPixel + 7) / 8;
  h.ImagingBoundingBox[0] = pick(in, 11);
  h.Margins[0] = pick(in, 11);
  h.PageSize[1] = pick(in, 842);
  h.cupsColorOrder = CUPS_ORDER_CHUNKED;
  h.cupsNumColors = 1;
  std::vector<std::uint8_t> stream(kSyncUncompressedV3, kSyncUncompressedV3 + 4);
  const auto* bytes = reinterpret_cast<const std::uint8_t*>(&h);
  stream.insert(stream.end(), bytes, bytes + sizeof h);
  while (!in.done()) stream.push_back(in.byte());
  return stream;
}

void checkLine(const qmxcups::PageFormat& f, const jobstate::RasterLine& line) {
  if (f.fit.count > frontend::kHeadDots || f.fit.first + f.fit.count > f.width) fuzz::fail("fit outside the page");
  for (std::uint32_t x = f.fit.count; x < frontend::kHeadDots; ++x)
    if ((line[x / 8] >> (7 - x % 8)) & 1) fuzz::fail("a dot past the fitted width");
}

}  // namespace

// libcups sizes its row buffer from a header's bytes per line before the
// filter sees the header; such a request fails here (null, which libcups
// reports as a bad header) instead of counting as the target's own.
extern "C" const char* __asan_default_options() { return "allocator_may_return_null=1:max_allocation_size_mb=256"; }

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  fuzz::Input in(data, size);
  std::vector<std::uint8_t> crafted;
  Memory memory{data, size};
  if (size > 0 && (data[0] & 1) != 0) {
    in.byte();
    crafted = craftedStream(in);
    memory = Memory{crafted.data(), crafted.size()};
  }
  cups_raster_t* raster = cupsRasterOpenIO(readMemory, &memory, CUPS_RASTER_READ);
  if (raster == nullptr) return 0;
  qmxcups::RasterPages pages(raster);
  jobstate::RasterLine line{};
  std::size_t rows = 0;
  while (rows < kMostRows && pages.nextPage()) {
    const qmxcups::PageFormat& f = pages.format();
    const std::int16_t paper = qmxcups::jobPaperLength(f.paperLength);
    if (paper < qmxcups::kLongestMemoryPaper) fuzz::fail("paper length below the memory bound");
    if (qmxcups::pageRoom(paper, 255, false) == 0 && paper <= qmxcups::kLongestMemoryPaper)
      fuzz::fail("no room on memory-spooled paper");
    while (rows < kMostRows && pages.rowsLeft() > 0 && pages.readLine(&line)) {
      checkLine(f, line);
      ++rows;
    }
  }
  cupsRasterClose(raster);
  return 0;
}
