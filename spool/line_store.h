// The raster line store: the body of FilterGraphics.
#ifndef QMX_SPOOL_LINE_STORE_H_
#define QMX_SPOOL_LINE_STORE_H_

#include <cstdint>

namespace spool {

// Largest call kept in a page file (256 lines); longer calls are dropped.
inline constexpr std::uint32_t kMaxFileCallBytes = 18432;

// Stores one call's bytes into the page being received: the slot after the
// page's stored lines in the buffer of its parity, or the end of its file.
// Never writes outside a page buffer; does nothing without a job.
void storeRasterLine(const std::uint8_t* data, std::uint32_t length);

}  // namespace spool

#endif  // QMX_SPOOL_LINE_STORE_H_
