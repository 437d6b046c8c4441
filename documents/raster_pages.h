// The pages of a CUPS raster stream as the head's lines: each page header
// checked against what the printer can print, each row fitted to the 576
// dots and, when grey, dithered. The raster filter and the printer
// application's worker print from it (a frontend::PageSource) and the fuzz
// target reads through it, so bad input meets the same checks.
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
#ifndef QMX_DOCUMENTS_RASTER_PAGES_H_
#define QMX_DOCUMENTS_RASTER_PAGES_H_

#include <cups/raster.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "documents/raster_stream.h"
#include "frontend/dither.h"
#include "frontend/job_loop.h"
#include "frontend/page_fit.h"
#include "frontend/paper_length.h"
#include "jobstate/raster_line.h"

namespace qmxcups {

inline constexpr unsigned kDotsPerInch = 203;
inline constexpr double kPointsPerInch = 72.0;
// Bounds a row's buffer: 2 m of paper width at 203 dpi.
inline constexpr std::uint32_t kMaxPageWidthDots = 16384;
using frontend::kLongestMemoryPaper;
using frontend::jobPaperLength;
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


// What a printer application knows better than a page header. PWG and
// Apple raster pages state no margin, so where the media's printable area
// starts comes from the job's media; and a page wider than that media is
// not one the printer can print as it was drawn. By default (the CUPS
// filter) the header's margin stands and any width up to
// kMaxPageWidthDots is taken.
struct MediaBounds {
  bool marginGiven = false;
  std::uint32_t leftMargin = 0;  // dots, when marginGiven
  std::uint32_t widestPage = kMaxPageWidthDots;
};

class RasterPages final : public frontend::PageSource {
 public:
  // `stream` stays the caller's and must outlive the pages.
  explicit RasterPages(RasterStream& stream, const MediaBounds& media = {}) : stream_(stream), media_(media) {}
  ~RasterPages() override;
  RasterPages(const RasterPages&) = delete;
  RasterPages& operator=(const RasterPages&) = delete;

  // Reads the next page header, skipping what is left of the current page.
  // False at the end of the stream (error() empty), or with error() set for
  // a page the printer cannot print or a stream cut short.
  bool nextPage() override;
  const PageFormat& format() const { return format_; }
  frontend::PageShape shape() const override { return {format_.height, format_.paperLength}; }
  // Says so when the printable area was moved left to fit the head.
  std::string pageNotice() const override;
  std::size_t pageNumber() const { return page_; }  // 1 for the first page
  std::uint32_t rowsLeft() const override { return format_.height - rowsRead_; }

  // The current page's next row as a head line. False with error() set
  // when the stream ends before the row, or when no row is left.
  bool readLine(jobstate::RasterLine* line) override;

  const std::string& error() const override { return error_; }

 private:
  bool withinMedia(std::string* why);

  const std::uint8_t* readRow();
  bool fail(std::string message);

  RasterStream& stream_;
  const MediaBounds media_;
  PageFormat format_;
  std::size_t page_ = 0;
  std::uint32_t rowsRead_ = 0;
  std::vector<std::uint8_t> inverted_;  // a white-bits row turned to black bits
  std::vector<std::uint8_t> grey_;      // the fitted grey row, kHeadDots wide
  std::unique_ptr<frontend::RowDitherer> ditherer_;
  std::string error_;
};

}  // namespace qmxcups

#endif  // QMX_DOCUMENTS_RASTER_PAGES_H_
