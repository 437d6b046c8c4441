// Grey to dots, a row at a time, so that a page never has to be held whole:
// Floyd-Steinberg error diffusion, grey 0 black and 255 white, a dot where
// the corrected value is below the middle.
#ifndef QMX_FRONTEND_DITHER_H_
#define QMX_FRONTEND_DITHER_H_

#include <cstdint>
#include <vector>

namespace frontend {

class RowDitherer {
 public:
  explicit RowDitherer(std::uint32_t width);
  std::uint32_t width() const { return width_; }

  // Dithers the next row: `grey` holds width() values; the dots go into
  // `dots`, (width() + 7) / 8 bytes, the most significant bit of byte 0 the
  // leftmost dot, a set bit a dot; bits past width() are left clear.
  void ditherRow(const std::uint8_t* grey, std::uint8_t* dots);
  // Forgets the error carried down, as at the top of a new page.
  void restart();

 private:
  std::uint32_t width_;
  // Errors in sixteenths, with a spare column on each side.
  std::vector<int> current_, below_;
};

}  // namespace frontend

#endif  // QMX_FRONTEND_DITHER_H_
