// A PNG writer for 8-bit grey images, as the test page needs: no libpng
// (whose errors unwind by longjmp), one IDAT chunk deflated by zlib, and a
// pHYs chunk stating the resolution, so that what reads the picture places
// it dot for dot.
#ifndef QMX_APP_GREY_PNG_H_
#define QMX_APP_GREY_PNG_H_

#include <cstdint>
#include <string>
#include <vector>

namespace app {

struct GreyImage {
  std::uint32_t width = 0;
  std::uint32_t height = 0;
  std::vector<std::uint8_t> pixels;  // width * height, row by row, 0 black, 255 white
};

// The PNG file's bytes; empty when the image is empty or its pixels do
// not match its size.
std::vector<std::uint8_t> encodeGreyPng(const GreyImage& image, int dotsPerInch);

// Writes the PNG to a new file `path` (O_EXCL, owner-only): "" or why not.
std::string writeGreyPng(const std::string& path, const GreyImage& image, int dotsPerInch);

}  // namespace app

#endif  // QMX_APP_GREY_PNG_H_
