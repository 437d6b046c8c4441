// How the lines of a raster page meet the head's 576 dots.
//
// A page about as wide as the head (575 to 577 dots, what 72 mm comes to
// at 203 dpi after rounding) is taken from its first dot. A wider page
// holds its printable area after a left margin: the 576 dots from there
// are printed, so that what the application placed is where it placed it.
// A narrower page is padded with white on the right. Nothing is shifted
// without saying so: a margin that would leave less than 576 dots to its
// right is moved left, and `shifted` says by how much.
#ifndef QMX_FRONTEND_PAGE_FIT_H_
#define QMX_FRONTEND_PAGE_FIT_H_

#include <cstddef>
#include <cstdint>

#include "jobstate/raster_line.h"

namespace frontend {

inline constexpr std::uint32_t kHeadDots = jobstate::kLineDots;

struct LineFit {
  std::uint32_t first = 0;  // first source dot printed, at head dot 0
  std::uint32_t count = 0;  // source dots printed; the rest of the head is white
  std::uint32_t shifted = 0;  // dots the margin was moved left to fit
};

// `width` is the page's width in dots, `leftMargin` the dots ahead of its
// printable area.
LineFit fitLine(std::uint32_t width, std::uint32_t leftMargin);

// Copies the fitted dots of a 1-bit source line of `sourceBytes` bytes
// (most significant bit first, a set bit black) into `out`; dots past the
// fit are white. Never reads past the source line.
void fitBits(const std::uint8_t* source, std::size_t sourceBytes, const LineFit& fit, jobstate::RasterLine& out);

// The same for an 8-bit grey line (0 black, 255 white): `out` gets
// kHeadDots values, white past the fit.
void fitGrey(const std::uint8_t* source, const LineFit& fit, std::uint8_t* out);

}  // namespace frontend

#endif  // QMX_FRONTEND_PAGE_FIT_H_
