#include "documents/raster_pages.h"

#include <algorithm>
#include <cmath>
#include <cstring>

namespace qmxcups {
namespace {

constexpr std::uint8_t kWhiteGrey = 255;
constexpr double kTenthsPerInch = 254.0;

std::string pageText(std::size_t page) { return "page " + std::to_string(page) + ": "; }

// Points (1/72 inch) to dots at `dpi`, rounded.
std::uint64_t pointsToDots(double points, unsigned dpi) {
  return static_cast<std::uint64_t>(std::llround(points * dpi / kPointsPerInch));
}

bool readPixels(const cups_page_header2_t& h, Pixels* pixels, std::string* error) {
  const unsigned space = fieldNumber(h.cupsColorSpace);
  const bool white = space == CUPS_CSPACE_W || space == CUPS_CSPACE_SW;
  const bool black = space == CUPS_CSPACE_K;
  if (!white && !black) {
    *error = "colour space " + std::to_string(space) +
             " is not printable: the printer takes black (K, 1 bit) or grey (W or SW, 1 or 8 bits)";
    return false;
  }
  if (h.cupsBitsPerPixel != h.cupsBitsPerColor || (h.cupsBitsPerColor != 1 && !(white && h.cupsBitsPerColor == 8))) {
    *error = std::to_string(h.cupsBitsPerColor) + " bits per colour and " + std::to_string(h.cupsBitsPerPixel) +
             " per pixel are not printable: the printer takes 1-bit black or white, or 8-bit grey";
    return false;
  }
  *pixels = h.cupsBitsPerColor == 8 ? Pixels::kGrey : white ? Pixels::kWhiteBits : Pixels::kBlackBits;
  return true;
}

// The printable area's left edge, in points: the imaging box when the
// header has one (its exact form first: whole points can miss a dot), else
// the margin.
double leftMarginPoints(const cups_page_header2_t& h) {
  const float exact = h.cupsImagingBBox[0];
  if (std::isfinite(exact) && exact > 0 && exact < kMaxPageWidthDots) return exact;
  return h.ImagingBoundingBox[0] != 0 ? h.ImagingBoundingBox[0] : h.Margins[0];
}

}  // namespace

bool readFormat(const cups_page_header2_t& h, PageFormat* format, std::string* error) {
  if (h.HWResolution[0] != kDotsPerInch || h.HWResolution[1] != kDotsPerInch) {
    *error = "resolution " + std::to_string(h.HWResolution[0]) + "x" + std::to_string(h.HWResolution[1]) +
             " dpi is not printable: the head prints 203x203 dpi";
    return false;
  }
  PageFormat f;
  if (!readPixels(h, &f.pixels, error)) return false;
  if (h.cupsWidth == 0 || h.cupsWidth > kMaxPageWidthDots) {
    *error = "a width of " + std::to_string(h.cupsWidth) + " dots is not printable (1 to " +
             std::to_string(kMaxPageWidthDots) + ")";
    return false;
  }
  const std::uint64_t rowBytes = (std::uint64_t{h.cupsWidth} * h.cupsBitsPerPixel + 7) / 8;
  if (h.cupsBytesPerLine != rowBytes) {
    *error = std::to_string(h.cupsBytesPerLine) + " bytes per line do not hold " + std::to_string(h.cupsWidth) +
             " dots of " + std::to_string(h.cupsBitsPerPixel) + " bits";
    return false;
  }
  if (h.cupsNumColors > 1) {
    *error = std::to_string(h.cupsNumColors) + " colours are not printable: the printer takes one";
    return false;
  }
  if (h.cupsHeight == 0 || h.cupsHeight > kMostPageRows) {
    *error = "a height of " + std::to_string(h.cupsHeight) + " rows is not printable (1 to " +
             std::to_string(kMostPageRows) + ", what the longest paper holds)";
    return false;
  }
  f.width = h.cupsWidth;
  f.height = h.cupsHeight;
  f.bytesPerLine = h.cupsBytesPerLine;
  f.leftMargin = static_cast<std::uint32_t>(std::min<std::uint64_t>(pointsToDots(leftMarginPoints(h), h.HWResolution[0]), f.width));
  f.fit = frontend::fitLine(f.width, f.leftMargin);
  const double sizeTenths = std::max(0.0, static_cast<double>(h.PageSize[1]) * kTenthsPerInch / kPointsPerInch);
  f.paperLength = std::max<std::int64_t>(std::llround(sizeTenths), paperLengthForRows(f.height));
  *format = f;
  return true;
}

RasterPages::~RasterPages() = default;

bool RasterPages::withinMedia(std::string* why) {
  if (format_.width > media_.widestPage) {
    *why = "a width of " + std::to_string(format_.width) + " dots is wider than the media (" +
           std::to_string(media_.widestPage) + " dots at 203 dpi)";
    return false;
  }
  if (media_.marginGiven) {
    format_.leftMargin = std::min(media_.leftMargin, format_.width);
    format_.fit = frontend::fitLine(format_.width, format_.leftMargin);
  }
  return true;
}

std::string RasterPages::pageNotice() const {
  if (format_.fit.shifted == 0) return {};
  return "the printable area ends past the head's 576 dots; moved " + std::to_string(format_.fit.shifted) +
         " dots to the left";
}

bool RasterPages::fail(std::string message) {
  if (error_.empty()) error_ = std::move(message);
  return false;
}

bool RasterPages::nextPage() {
  if (!error_.empty()) return false;
  while (page_ > 0 && rowsLeft() > 0) {
    if (readRow() == nullptr) return false;
  }
  cups_page_header2_t header;
  switch (stream_.readHeader(&header)) {
    case RasterStream::Header::kEnd:
      return false;
    case RasterStream::Header::kBad:
      return fail(pageText(page_ + 1) + stream_.error());
    case RasterStream::Header::kPage:
      break;
  }
  ++page_;
  std::string why;
  if (!readFormat(header, &format_, &why) || !withinMedia(&why)) {
    format_ = PageFormat{};
    return fail(pageText(page_) + why);
  }
  rowsRead_ = 0;
  if (format_.pixels == Pixels::kGrey) {
    grey_.assign(frontend::kHeadDots, kWhiteGrey);
    if (!ditherer_) ditherer_ = std::make_unique<frontend::RowDitherer>(frontend::kHeadDots);
    ditherer_->restart();
  }
  return true;
}

const std::uint8_t* RasterPages::readRow() {
  if (rowsLeft() == 0) {
    fail(pageText(page_) + "no row left to read");
    return nullptr;
  }
  const std::uint8_t* row = stream_.readRow();
  if (row == nullptr) {
    fail(pageText(page_) + stream_.error());
    return nullptr;
  }
  ++rowsRead_;
  return row;
}

bool RasterPages::readLine(jobstate::RasterLine* line) {
  if (!error_.empty() || page_ == 0) return false;
  const std::uint8_t* row = readRow();
  if (row == nullptr) return false;
  switch (format_.pixels) {
    case Pixels::kBlackBits:
      frontend::fitBits(row, format_.bytesPerLine, format_.fit, *line);
      break;
    case Pixels::kWhiteBits:
      inverted_.resize(format_.bytesPerLine);
      for (std::uint32_t i = 0; i < format_.bytesPerLine; ++i) inverted_[i] = static_cast<std::uint8_t>(~row[i]);
      frontend::fitBits(inverted_.data(), inverted_.size(), format_.fit, *line);
      break;
    case Pixels::kGrey:
      frontend::fitGrey(row, format_.fit, grey_.data());
      ditherer_->ditherRow(grey_.data(), line->data());
      break;
  }
  return true;
}

}  // namespace qmxcups
