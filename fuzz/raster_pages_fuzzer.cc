// The CUPS filter's raster-to-lines path (cups/raster_stream.h,
// cups/raster_pages.h) over any input, read from memory. The first byte
// picks the form: a raw stream (seeds: real rasters), or an uncompressed
// version-3 stream whose first header's fields are set from the input,
// extremes included, followed by what is left as pixel data (often too
// little: truncated pages, or a second header cut short).
//
// Properties: no crash, no access out of bounds. The reader frames the
// stream as libcups does: every header libcups reads it reads the same,
// every row it decodes is libcups' row. A header that cannot be read is
// an error, never a silent end: the end is only where no byte is left. Every
// head line is white past the fitted dots; the fit stays within the page; a
// page is at most kMostPageRows tall; a job's paper length stays within the
// 16-bit field.
#include <cups/raster.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <vector>

#include "documents/raster_pages.h"
#include "documents/raster_stream.h"
#include "fuzz/fuzz_input.h"

namespace {

// Bounds the work per input, yet lets two pages of the tallest size a page
// may have be read to their ends, and the stream's end be checked after.
constexpr std::size_t kMostRows = 2 * std::size_t{qmxcups::kMostPageRows} + 2;
constexpr char kSyncUncompressedV3[4] = {'3', 'S', 'a', 'R'};  // CUPS_RASTER_SYNCv3 as stored little-endian

struct Memory {
  const std::uint8_t* data;
  std::size_t size;
  std::size_t at = 0;
  bool ended() const { return at == size; }
};

ssize_t readMemory(void* context, unsigned char* buffer, size_t length) {
  auto* m = static_cast<Memory*>(context);
  const std::size_t n = std::min(length, m->size - m->at);
  if (n > 0) std::memcpy(buffer, m->data + m->at, n);
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
  h.cupsHeight = pick(in, in.byte() & 1 ? qmxcups::kMostPageRows : 8);
  h.cupsBitsPerColor = h.cupsBitsPerPixel = grey ? 8 : 1;
  if (in.byte() % 4 == 0) h.cupsBitsPerPixel = pick(in, 8);
  const unsigned space = in.byte() % 4 == 0 ? in.byte() : grey ? CUPS_CSPACE_SW : CUPS_CSPACE_K;
  std::memcpy(&h.cupsColorSpace, &space, sizeof space);  // any number, as a stream may hold
  h.cupsBytesPerLine = in.byte() % 4 == 0 ? pick(in, 72) : (h.cupsWidth * h.cupsBitsPerPixel + 7) / 8;
  h.ImagingBoundingBox[0] = pick(in, 11);
  h.Margins[0] = pick(in, 11);
  h.PageSize[1] = pick(in, 842);
  h.cupsColorOrder = CUPS_ORDER_CHUNKED;
  h.cupsNumColors = in.byte() % 8 == 0 ? in.byte() % 4 : 1;
  std::vector<std::uint8_t> stream(kSyncUncompressedV3, kSyncUncompressedV3 + 4);
  const auto* bytes = reinterpret_cast<const std::uint8_t*>(&h);
  stream.insert(stream.end(), bytes, bytes + sizeof h);
  while (!in.done()) stream.push_back(in.byte());
  return stream;
}

// Pages the reader can decode rows of, as RasterStream::readRow states.
bool rowsDecoded(const cups_page_header2_t& h) {
  const unsigned bits = qmxcups::fieldNumber(h.cupsColorOrder) == CUPS_ORDER_CHUNKED ? h.cupsBitsPerPixel
                                                                                   : h.cupsBitsPerColor;
  return bits <= 8 && h.cupsBytesPerLine <= qmxcups::kMostRowBytes;
}

// The reader beside libcups over the same bytes, header by header and row
// by row, until a page the reader does not decode or the row budget.
void compareWithLibcups(const std::uint8_t* data, std::size_t size) {
  Memory theirsMemory{data, size}, oursMemory{data, size};
  cups_raster_t* theirs = cupsRasterOpenIO(readMemory, &theirsMemory, CUPS_RASTER_READ);
  qmxcups::RasterStream ours(readMemory, &oursMemory);
  cups_page_header2_t want, got;
  if (theirs == nullptr) {
    if (ours.readHeader(&got) != qmxcups::RasterStream::Header::kBad) fuzz::fail("read a stream libcups cannot open");
    return;
  }
  std::vector<std::uint8_t> row;
  std::size_t rows = 0;
  for (;;) {
    const bool read = cupsRasterReadHeader2(theirs, &want) != 0;
    const qmxcups::RasterStream::Header header = ours.readHeader(&got);
    if (read != (header == qmxcups::RasterStream::Header::kPage)) fuzz::fail("libcups and the reader differ on a header");
    if (!read) {
      // libcups reads no buffer ahead of an uncompressed stream, so a byte
      // it left means the stream did not end there.
      if (header == qmxcups::RasterStream::Header::kEnd && !(theirsMemory.ended() && oursMemory.ended()))
        fuzz::fail("a header that does not read ended the stream in silence");
      break;
    }
    if (std::memcmp(&want, &got, sizeof want) != 0) fuzz::fail("a header read differently");
    if (!rowsDecoded(want)) break;
    row.resize(want.cupsBytesPerLine);
    for (unsigned y = 0; y < want.cupsHeight && rows < kMostRows; ++y, ++rows) {
      const bool theirRow = cupsRasterReadPixels(theirs, row.data(), want.cupsBytesPerLine) == want.cupsBytesPerLine;
      const std::uint8_t* ourRow = ours.readRow();
      if (theirRow != (ourRow != nullptr)) fuzz::fail("libcups and the reader differ on a row's end");
      if (!theirRow) break;
      if (std::memcmp(ourRow, row.data(), row.size()) != 0) fuzz::fail("a row decoded differently");
    }
    if (rows >= kMostRows || ours.rowsLeft() > 0) break;
  }
  cupsRasterClose(theirs);
}

void checkLine(const qmxcups::PageFormat& f, const jobstate::RasterLine& line) {
  if (f.fit.count > frontend::kHeadDots || f.fit.first + f.fit.count > f.width) fuzz::fail("fit outside the page");
  for (std::uint32_t x = f.fit.count; x < frontend::kHeadDots; ++x)
    if ((line[x / 8] >> (7 - x % 8)) & 1) fuzz::fail("a dot past the fitted width");
}

// The pages as the filter prints them. `wholeFirstHeader`: the input holds
// a first header in full, so the stream cannot end before it.
void checkPages(const std::uint8_t* data, std::size_t size, bool wholeFirstHeader) {
  Memory memory{data, size};
  qmxcups::RasterStream stream(readMemory, &memory);
  qmxcups::RasterPages pages(stream);
  jobstate::RasterLine line{};
  std::size_t rows = 0;
  bool ended = false;
  while (rows < kMostRows) {
    if (!pages.nextPage()) {
      ended = true;
      break;
    }
    const qmxcups::PageFormat& f = pages.format();
    if (f.height == 0 || f.height > qmxcups::kMostPageRows) fuzz::fail("a page height past the bound");
    const std::int16_t paper = qmxcups::jobPaperLength(f.paperLength);
    if (paper < qmxcups::kLongestMemoryPaper) fuzz::fail("paper length below the memory bound");
    if (qmxcups::pageRoom(paper, 255, false) == 0 && paper <= qmxcups::kLongestMemoryPaper)
      fuzz::fail("no room on memory-spooled paper");
    while (rows < kMostRows && pages.rowsLeft() > 0 && pages.readLine(&line)) {
      checkLine(f, line);
      ++rows;
    }
  }
  if (!ended || !pages.error().empty()) return;
  // A silent end: the stream ended exactly after a whole page.
  if (!memory.ended()) fuzz::fail("ended in silence with bytes left");
  if (wholeFirstHeader && pages.pageNumber() == 0) fuzz::fail("a whole first header ended the stream in silence");
}

}  // namespace

// libcups sizes its row buffer from a header's bytes per line before the
// filter sees the header; such a request fails here (null, which libcups
// reports as a bad header) instead of counting as the target's own.
extern "C" const char* __asan_default_options() { return "allocator_may_return_null=1:max_allocation_size_mb=256"; }

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  fuzz::Input in(data, size);
  std::vector<std::uint8_t> crafted;
  const bool craft = size > 0 && (data[0] & 1) != 0;
  if (craft) {
    in.byte();
    crafted = craftedStream(in);
    data = crafted.data();
    size = crafted.size();
  }
  compareWithLibcups(data, size);
  checkPages(data, size, craft);
  return 0;
}
