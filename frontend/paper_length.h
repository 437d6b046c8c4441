// The plug-in's arithmetic of paper length, for the front ends that choose
// a job's length: the public device mode holds a signed 16-bit number of
// tenths of a millimetre, of which the plug-in keeps length * 8 / 10 + 1
// lines a page, in memory up to 10080 lines and in page files beyond.
#ifndef QMX_FRONTEND_PAPER_LENGTH_H_
#define QMX_FRONTEND_PAPER_LENGTH_H_

#include <algorithm>
#include <cstdint>

#include "settings/job_settings.h"

namespace frontend {

inline constexpr std::int32_t kLongestPaperLength = 32767;
// The longest paper whose pages are still kept in memory (10080 lines, two
// page buffers of about 0.7 MB); any longer one spools every page to files.
inline constexpr std::int32_t kLongestMemoryPaper = settings::kAssumedPaperLength;
inline constexpr std::uint32_t kMemoryPageLines = settings::kLongPageLines;
static_assert(settings::pageLineCount(kLongestMemoryPaper) == kMemoryPageLines);
// Lines a page of the longest paper holds.
inline constexpr std::uint32_t kLongestPageLines = settings::pageLineCount(kLongestPaperLength);
// The tallest page a front end takes from a raster: what a page of the
// longest paper holds (3.28 m). Anything a print dialog's paper sizes
// can make fits; a taller page is refused before any of it is spooled, so
// a forged page height costs neither time nor page files.
inline constexpr std::uint32_t kMostPageRows = kLongestPageLines;

// The plug-in's line count of a page of `paperLength` tenths.
constexpr std::int32_t pageLines(std::int16_t paperLength) { return settings::pageLineCount(paperLength); }

// The shortest paper length whose line count holds `rows` lines (not
// bounded by the 16-bit field).
constexpr std::int64_t paperLengthForRows(std::uint64_t rows) {
  return rows <= 1 ? 0 : static_cast<std::int64_t>(((rows - 1) * 10 + 7) / 8);
}

// Lines a page of a job of `paperLength` has room for: page 1 the paper's
// line count, later pages also page 1's extra top lines (both buffers are
// the same size). 0 means any number: the job keeps its pages in files.
constexpr std::uint64_t pageRoom(std::int16_t paperLength, std::uint32_t firstPageExtraLines, bool firstPage) {
  const std::int32_t lines = pageLines(paperLength);
  if (lines <= 0 || static_cast<std::uint32_t>(lines) > kMemoryPageLines) return 0;
  return static_cast<std::uint64_t>(lines) + (firstPage ? 0 : firstPageExtraLines);
}

// The paper length a job starting with a page of `pageLength` tenths runs
// with: at least kLongestMemoryPaper, so that later pages up to 1260 mm fit
// the page buffers sized from it, and at most kLongestPaperLength.
constexpr std::int16_t jobPaperLength(std::int64_t pageLength) {
  return static_cast<std::int16_t>(std::clamp<std::int64_t>(pageLength, kLongestMemoryPaper, kLongestPaperLength));
}

}  // namespace frontend

#endif  // QMX_FRONTEND_PAPER_LENGTH_H_
