// Page emission: sends one stored page as raster blocks (block mode) or
// band-encoded chunks (band mode), then its feeds.
#ifndef QMX_OUTPUT_PAGE_EMITTER_H_
#define QMX_OUTPUT_PAGE_EMITTER_H_

#include <cstdint>

#include "printsys/printsys.h"

namespace output {

// The work area holds the largest raster block; in band mode the encoder's
// output goes behind the input chunk.
inline constexpr std::uint32_t kWorkAreaBytes = 3350 * 72;
inline constexpr std::uint32_t kBandOutputOffset = 0x4800;
// Worst case of the run-length encoder per raster line.
inline constexpr std::uint32_t kEncodedLineBytes = 144;

// Sends page `pageNumber` from the buffer of its parity (memory spooling) or
// from the file named by pageFilePath (file spooling), then its feeds. The
// last page of the job is trimmed of trailing blank lines unless that is
// switched off or band mode is on, and is followed by the job-end feed.
// False when the work area cannot be had (the page is then dropped) or the
// page file cannot be opened: no body is sent then, but the feeds are.
bool emitPage(DEVOBJ* pdevobj, std::uint16_t pageNumber, bool isLastPage);

// The feeds after a page: the job-end feed after the last page, then the
// page-end feed, each only when not 0. They go out after every page, sent
// or not, as the cut after it does: they are the job's paper handling, and
// without them the pages already printed would not be fed out to the
// cutter.
void sendPageFeeds(DEVOBJ* pdevobj, bool isLastPage);

}  // namespace output

#endif  // QMX_OUTPUT_PAGE_EMITTER_H_
