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
// from the file named by pageFilePath (file spooling). The last page of the
// job is trimmed of trailing blank lines unless that is switched off or band
// mode is on, and is followed by the job-end feed. False when the work area
// cannot be had (the page is then dropped) or the page file cannot be
// opened; nothing is sent then.
bool emitPage(DEVOBJ* pdevobj, std::uint16_t pageNumber, bool isLastPage);

}  // namespace output

#endif  // QMX_OUTPUT_PAGE_EMITTER_H_
