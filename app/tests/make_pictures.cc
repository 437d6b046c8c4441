// qmx415u-test-pictures DIR: one black-and-white picture, 576 dots wide at
// 203 dpi, written as DIR/reference.pbm and in every format and type the
// printer application prints (the names say which), for the document
// matrix of app/tests/documents_test.sh.
#include <cstdio>
#include <string>
#include <vector>

#include "testing/picture_files.h"

namespace {

using testsupport::JpegType;
using testsupport::PngType;

constexpr std::uint32_t kWidth = 576;
constexpr std::uint32_t kHeight = 480;
constexpr std::uint32_t kPixelsPerMetre = 7992;  // 203 dpi

struct Png {
  const char* name;
  PngType type;
};
const Png kPngs[] = {
    {"grey1", PngType::kGrey1},         {"grey2", PngType::kGrey2},     {"grey4", PngType::kGrey4},
    {"grey8", PngType::kGrey8},         {"grey16", PngType::kGrey16},   {"palette", PngType::kPalette},
    {"palette-tRNS", PngType::kPaletteTransparent}, {"grey-alpha", PngType::kGreyAlpha}, {"rgb", PngType::kRgb},
    {"rgba", PngType::kRgba},           {"rgba16", PngType::kRgba16},
};

struct Jpeg {
  const char* name;
  JpegType type;
};
const Jpeg kJpegs[] = {
    {"grey", JpegType::kGrey},
    {"ycbcr", JpegType::kYCbCr},
    {"cmyk-adobe", JpegType::kCmykAdobe},
    {"cmyk-plain", JpegType::kCmykPlain},
};

bool write(const std::string& path, const testsupport::PictureBytes& bytes) {
  if (testsupport::writeBytes(path, bytes)) return true;
  std::fprintf(stderr, "qmx415u-test-pictures: cannot write %s\n", path.c_str());
  return false;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: qmx415u-test-pictures DIR\n");
    return 2;
  }
  const std::string dir = argv[1];
  const testsupport::GreyPicture picture = testsupport::blackAndWhite(kWidth, kHeight, 7);
  bool ok = write(dir + "/reference.pbm", testsupport::encodePbm(picture, false)) &&
            write(dir + "/pbm-raw.pbm", testsupport::encodePbm(picture, false)) &&
            write(dir + "/pbm-plain.pbm", testsupport::encodePbm(picture, true));
  for (const Png& png : kPngs) {
    for (const bool interlaced : {false, true}) {
      testsupport::PngOptions options;
      options.interlaced = interlaced;
      options.pixelsPerMetre = kPixelsPerMetre;
      ok = ok && write(dir + "/png-" + png.name + (interlaced ? "-interlaced" : "") + ".png",
                       testsupport::encodePng(picture, png.type, options));
    }
  }
  for (const Jpeg& jpeg : kJpegs) {
    for (const bool progressive : {false, true}) {
      testsupport::JpegOptions options;
      options.progressive = progressive;
      ok = ok && write(dir + "/jpeg-" + jpeg.name + (progressive ? "-progressive" : "") + ".jpg",
                       testsupport::encodeJpeg(picture, jpeg.type, options));
    }
  }
  return ok ? 0 : 1;
}
