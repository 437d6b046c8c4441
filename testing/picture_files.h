// Picture files made in memory for the tests of the document readers and
// the worker: one grey picture written in every PNG type, as JPEG in every
// colour space, as PBM. Each lossless encoding decodes back to the very
// values it was given, so a reader's output can be compared exactly.
#ifndef QMX_TESTING_PICTURE_FILES_H_
#define QMX_TESTING_PICTURE_FILES_H_

#include <cstdint>
#include <string>
#include <vector>

namespace testsupport {

using PictureBytes = std::vector<std::uint8_t>;

// 8-bit grey, 0 black and 255 white, row by row.
struct GreyPicture {
  std::uint32_t width = 0;
  std::uint32_t height = 0;
  std::vector<std::uint8_t> grey;

  std::uint8_t at(std::uint32_t x, std::uint32_t y) const { return grey[std::size_t{y} * width + x]; }
  bool bilevel() const;
};

// Black and white squares and text-like strokes on white; `seed` varies them.
GreyPicture blackAndWhite(std::uint32_t width, std::uint32_t height, std::uint32_t seed = 1);
// Ramps and bars of every grey, with pure black and pure white areas.
GreyPicture greys(std::uint32_t width, std::uint32_t height);

enum class PngType {
  kGrey1,     // a bilevel picture only
  kGrey2,     // a picture of 0, 85, 170, 255 only
  kGrey4,     // multiples of 17 only
  kGrey8,
  kGrey16,
  kPalette,   // 256 greys
  kPaletteTransparent,  // white written as a transparent black entry (tRNS)
  kGreyAlpha,           // white written as transparent black
  kRgb,
  kRgba,                // white written as transparent black
  kRgba16,              // the same in 16 bits a channel
};

struct PngOptions {
  bool interlaced = false;
  std::uint32_t pixelsPerMetre = 0;  // a pHYs chunk when not 0
};

PictureBytes encodePng(const GreyPicture& picture, PngType type, const PngOptions& options = {});

enum class JpegType {
  kGrey,
  kYCbCr,      // from RGB, as cameras store it
  kCmykAdobe,  // the black ink stored inverted, with the Adobe marker
  kCmykPlain,  // the black ink stored as it is, no Adobe marker
};

struct JpegOptions {
  bool progressive = false;
  int quality = 100;
  int dotsPerInch = 0;  // a JFIF density when not 0
  // A progressive scan script of this many scans (grey only), when not 0.
  int scans = 0;
};

PictureBytes encodeJpeg(const GreyPicture& picture, JpegType type, const JpegOptions& options = {});

// P4 (raw), or P1 (plain) when `plain`. The picture must be bilevel.
PictureBytes encodePbm(const GreyPicture& picture, bool plain);

// Writes bytes to a file; false when it could not.
bool writeBytes(const std::string& path, const PictureBytes& bytes);

}  // namespace testsupport

#endif  // QMX_TESTING_PICTURE_FILES_H_
