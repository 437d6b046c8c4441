// One printer raster line: 72 bytes, 576 dots, one bit per dot, the most
// significant bit of a byte the leftmost of its eight dots, a set bit
// printed. Page buffers, page files and encoders all work in whole lines.
#ifndef QMX_JOBSTATE_RASTER_LINE_H_
#define QMX_JOBSTATE_RASTER_LINE_H_

#include <array>
#include <cstdint>

namespace jobstate {

inline constexpr std::uint32_t kLineBytes = 72;
inline constexpr std::uint32_t kLineDots = 576;
static_assert(kLineDots == 8 * kLineBytes);

using RasterLine = std::array<std::uint8_t, kLineBytes>;

}  // namespace jobstate

#endif  // QMX_JOBSTATE_RASTER_LINE_H_
