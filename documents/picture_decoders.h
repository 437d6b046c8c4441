// The decoders behind readPicture (documents/picture.h), one per format,
// and what they share. Each reads the sizes first and checks them with
// sizeProblem() before allocating anything for the pixels; each fills the
// picture's width, height, grey and resolution, or answers false with
// *error set. None throws.
#ifndef QMX_DOCUMENTS_PICTURE_DECODERS_H_
#define QMX_DOCUMENTS_PICTURE_DECODERS_H_

#include <cstdint>
#include <span>
#include <string>

#include "documents/picture.h"

namespace documents::decoders {

bool decodePng(std::span<const std::uint8_t> bytes, const PictureLimits& limits, Picture* picture,
               std::string* error);
bool decodeJpeg(std::span<const std::uint8_t> bytes, const PictureLimits& limits, Picture* picture,
                std::string* error);
bool decodePbm(std::span<const std::uint8_t> bytes, const PictureLimits& limits, Picture* picture,
               std::string* error);

// "" when a picture of these sizes is within `limits` and the bounds of
// picture.h; otherwise a sentence naming the bound.
std::string sizeProblem(std::uint64_t width, std::uint64_t height, const PictureLimits& limits);

// Sizes picture->grey for width x height (white), or answers false when
// the memory cannot be had. Never throws: decoders call it between
// libpng's and libjpeg's calls.
bool allocateGrey(Picture* picture, std::uint32_t width, std::uint32_t height);

// Colour to grey, on stored values: the luma JPEG's own Y uses.
inline std::uint8_t luma(std::uint32_t red, std::uint32_t green, std::uint32_t blue) {
  // 0.299, 0.587 and 0.114 in 16-bit fixed point; they sum to 65536, so
  // white stays 255 and black 0.
  return static_cast<std::uint8_t>((red * 19595 + green * 38470 + blue * 7471 + 32768) >> 16);
}

// `value` with opacity `alpha` over white: alpha 255 leaves it, 0 makes white.
inline std::uint8_t onWhite(std::uint32_t value, std::uint32_t alpha) {
  return static_cast<std::uint8_t>((value * alpha + 255 * (255 - alpha) + 127) / 255);
}

}  // namespace documents::decoders

#endif  // QMX_DOCUMENTS_PICTURE_DECODERS_H_
