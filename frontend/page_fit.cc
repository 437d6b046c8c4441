#include "frontend/page_fit.h"

#include <algorithm>
#include <cstring>

namespace frontend {
namespace {

// Up to this width (the head's own after rounding) a page starts at its first dot.
constexpr std::uint32_t kHeadWidthHigh = kHeadDots + 1;
constexpr std::uint8_t kWhiteGrey = 255;

// A fit that starts on a byte boundary is a copy: whole lines (the usual
// 576-dot page) in one fixed-size move, others byte by byte, white past the
// source's end and the fit's.
void copyAligned(const std::uint8_t* source, std::size_t sourceBytes, std::size_t start, std::uint32_t bytes,
                 jobstate::RasterLine& out) {
  const std::size_t available = start < sourceBytes ? sourceBytes - start : 0;
  if (bytes == out.size() && available >= out.size()) {
    std::memcpy(out.data(), source + start, out.size());
    return;
  }
  const std::size_t copied = std::min<std::size_t>(bytes, available);
  if (copied > 0) std::memcpy(out.data(), source + start, copied);
  std::memset(out.data() + copied, 0, out.size() - copied);
}

}  // namespace

LineFit fitLine(std::uint32_t width, std::uint32_t leftMargin) {
  LineFit fit;
  if (width <= kHeadWidthHigh) {
    fit.count = std::min(width, kHeadDots);  // narrower: white on the right
    return fit;
  }
  const std::uint32_t lastStart = width - kHeadDots;
  fit.first = std::min(leftMargin, lastStart);
  fit.shifted = leftMargin - fit.first;
  fit.count = kHeadDots;
  return fit;
}

void fitBits(const std::uint8_t* source, std::size_t sourceBytes, const LineFit& fit, jobstate::RasterLine& out) {
  const std::size_t start = fit.first / 8;
  const std::uint32_t bytes = (fit.count + 7) / 8;
  if (fit.first % 8 == 0) {
    copyAligned(source, sourceBytes, start, bytes, out);
  } else {
    out.fill(0);
    const std::uint32_t shift = fit.first % 8;
    for (std::uint32_t i = 0; i < bytes; ++i) {
      const std::size_t at = start + i;
      const std::uint32_t high = at < sourceBytes ? source[at] : 0u;
      const std::uint32_t low = at + 1 < sourceBytes ? source[at + 1] : 0u;
      out[i] = static_cast<std::uint8_t>(((high << 8 | low) << shift) >> 8);
    }
  }
  // Dots past the fit are white, whatever the source holds there.
  if (fit.count % 8 != 0) out[bytes - 1] &= static_cast<std::uint8_t>(0xFF00u >> (fit.count % 8));
}

void fitGrey(const std::uint8_t* source, const LineFit& fit, std::uint8_t* out) {
  std::memcpy(out, source + fit.first, fit.count);
  std::memset(out + fit.count, kWhiteGrey, kHeadDots - fit.count);
}

}  // namespace frontend
