// The pages of a CUPS raster stream as the head's lines: each page header
// checked against what the printer can print, each row fitted to the 576
// dots and, when grey, dithered. The raster filter prints from it and the
// fuzz target reads through it, so bad input meets the same checks.
//
//   qmxcups::RasterStream stream(qmxcups::readFileDescriptor, &fd);
//   qmxcups::RasterPages pages(stream);
//   while (pages.nextPage()) {
//     ... pages.format() ...
//     while (pages.rowsLeft() > 0 && pages.readLine(&line)) ...;
//   }
//   if (!pages.error().empty()) ...            // a bad page or a stream cut short
//
// nextPage() is false with error() empty only at the clean end of the
// stream: every page header that is cut short, does not read, or holds a
// page the printer cannot print (absurd width or height included) sets
// error(), naming the page.
//
// Memory is the stream's input buffer, one source row (at most
// kMaxPageWidthDots wide) and one head line, whatever the page's length.
#ifndef QMX_CUPS_RASTER_PAGES_H_
#define QMX_CUPS_RASTER_PAGES_H_

#include <cups/raster.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "cups/raster_stream.h"
#include "frontend/dither.h"
#include "frontend/page_fit.h"
#include "frontend/paper_length.h"
#include "jobstate/raster_line.h"

namespace qmxcups {

inline constexpr unsigned kDotsPerInch = 203;
inline constexpr double kPointsPerInch = 72.0;
// Bounds a row's buffer: 2 m of paper width at 203 dpi.
inline constexpr std::uint32_t kMaxPageWidthDots = 16384;
using frontend::kLongestMemoryPaper;
using frontend::kLongestPaperLength;
using frontend::kMostPageRows;
using frontend::pageRoom;
using frontend::paperLengthForRows;

enum class Pixels {
  kBlackBits,  // 1 bit, a set bit black (CUPS_CSPACE_K)
  kWhiteBits,  // 1 bit, a set bit white (CUPS_CSPACE_W, CUPS_CSPACE_SW)
  kGrey,       // 8 bits, 0 black and 255 white (CUPS_CSPACE_W, CUPS_CSPACE_SW)
};

struct PageFormat {
  std::uint32_t width = 0;         // dots
  std::uint32_t height = 0;        // rows
  std::uint32_t bytesPerLine = 0;  // of a source row
  Pixels pixels = Pixels::kBlackBits;
  std::uint32_t leftMargin = 0;    // dots ahead of the printable area
  frontend::LineFit fit;           // which dots reach the head
  // Tenths of a millimetre that hold the page: its size from the header,
  // raised to what its rows need at the plug-in's 8 lines per mm. Not
  // bounded by the 16-bit field (see jobPaperLength).
  std::int64_t paperLength = 0;
};

// Reads a page header as a format this printer prints. False with *error
// set (a sentence for an ERROR: line) for any other colour space, depth,
// resolution or layout, no rows, or more than kMostPageRows.
bool readFormat(const cups_page_header2_t& header, PageFormat* format, std::string* error);

// The paper length a job starting with a page of `pageLength` tenths runs
// with: at least kLongestMemoryPaper, so that later pages up to 1260 mm fit
// the page buffers sized from it, and at most kLongestPaperLength.
std::int16_t jobPaperLength(std::int64_t pageLength);

class RasterPages {
 public:
  // `stream` stays the caller's and must outlive the pages.
  explicit RasterPages(RasterStream& stream) : stream_(stream) {}
  ~RasterPages();
  RasterPages(const RasterPages&) = delete;
  RasterPages& operator=(const RasterPages&) = delete;

  // Reads the next page header, skipping what is left of the current page.
  // False at the end of the stream (error() empty), or with error() set for
  // a page the printer cannot print or a stream cut short.
  bool nextPage();
  const PageFormat& format() const { return format_; }
  std::size_t pageNumber() const { return page_; }  // 1 for the first page
  std::uint32_t rowsLeft() const { return format_.height - rowsRead_; }

  // The current page's next row as a head line. False with error() set
  // when the stream ends before the row, or when no row is left.
  bool readLine(jobstate::RasterLine* line);

  const std::string& error() const { return error_; }

 private:
  const std::uint8_t* readRow();
  bool fail(std::string message);

  RasterStream& stream_;
  PageFormat format_;
  std::size_t page_ = 0;
  std::uint32_t rowsRead_ = 0;
  std::vector<std::uint8_t> inverted_;  // a white-bits row turned to black bits
  std::vector<std::uint8_t> grey_;      // the fitted grey row, kHeadDots wide
  std::unique_ptr<frontend::RowDitherer> ditherer_;
  std::string error_;
};

}  // namespace qmxcups

#endif  // QMX_CUPS_RASTER_PAGES_H_
