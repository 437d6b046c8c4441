#include "frontend/dither.h"

#include <algorithm>
#include <cstring>

namespace frontend {
namespace {

constexpr int kGreyThreshold = 128;  // below: a dot
constexpr int kWhite = 255;

}  // namespace

RowDitherer::RowDitherer(std::uint32_t width) : width_(width), current_(width + 2, 0), below_(width + 2, 0) {}

void RowDitherer::restart() {
  std::fill(current_.begin(), current_.end(), 0);
  std::fill(below_.begin(), below_.end(), 0);
}

void RowDitherer::ditherRow(const std::uint8_t* grey, std::uint8_t* dots) {
  std::swap(current_, below_);
  std::fill(below_.begin(), below_.end(), 0);
  std::memset(dots, 0, (width_ + 7) / 8);
  for (std::uint32_t x = 0; x < width_; ++x) {
    const int value = grey[x] + current_[x + 1] / 16;
    const bool dot = value < kGreyThreshold;
    if (dot) dots[x / 8] |= static_cast<std::uint8_t>(0x80u >> (x % 8));
    const int error = value - (dot ? 0 : kWhite);
    current_[x + 2] += error * 7;
    below_[x] += error * 3;
    below_[x + 1] += error * 5;
    below_[x + 2] += error;
  }
}

}  // namespace frontend
