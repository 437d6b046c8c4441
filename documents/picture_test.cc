#include "documents/picture.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <string>
#include <vector>

#include "testing/picture_files.h"

namespace documents {
namespace {

using testsupport::GreyPicture;
using testsupport::JpegType;
using testsupport::PictureBytes;
using testsupport::PngType;

// Values a PNG of few bits can hold: `step` apart.
GreyPicture quantised(GreyPicture picture, int step) {
  for (std::uint8_t& v : picture.grey) v = static_cast<std::uint8_t>((v + step / 2) / step * step);
  return picture;
}

Picture read(const PictureBytes& bytes) {
  Picture picture;
  std::string error;
  EXPECT_TRUE(readPicture(bytes, {}, &picture, &error)) << error;
  return picture;
}

std::string refusal(const PictureBytes& bytes) {
  Picture picture;
  std::string error;
  EXPECT_FALSE(readPicture(bytes, {}, &picture, &error));
  EXPECT_TRUE(picture.grey.empty());
  return error;
}

int largestDifference(const Picture& got, const GreyPicture& want) {
  int largest = 0;
  for (std::size_t i = 0; i < want.grey.size(); ++i) largest = std::max(largest, std::abs(got.grey[i] - want.grey[i]));
  return largest;
}

std::uint32_t crc32(const std::uint8_t* bytes, std::size_t length) {
  std::uint32_t crc = 0xFFFFFFFFu;
  for (std::size_t i = 0; i < length; ++i) {
    crc ^= bytes[i];
    for (int k = 0; k < 8; ++k) crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1)));
  }
  return ~crc;
}

void putBigEndian(std::uint8_t* at, std::uint32_t value, int bytes) {
  for (int i = 0; i < bytes; ++i) at[i] = static_cast<std::uint8_t>(value >> (8 * (bytes - 1 - i)));
}

// A PNG whose header claims other sizes, its checksum made right.
PictureBytes pngClaiming(std::uint32_t width, std::uint32_t height) {
  PictureBytes png = testsupport::encodePng(testsupport::blackAndWhite(8, 8), PngType::kGrey1);
  putBigEndian(&png[16], width, 4);
  putBigEndian(&png[20], height, 4);
  putBigEndian(&png[29], crc32(&png[12], 17), 4);  // over the chunk's type and data
  return png;
}

// A JPEG whose frame header claims other sizes.
PictureBytes jpegClaiming(std::uint32_t width, std::uint32_t height) {
  PictureBytes jpeg = testsupport::encodeJpeg(testsupport::blackAndWhite(16, 16), JpegType::kGrey);
  for (std::size_t i = 0; i + 9 < jpeg.size(); ++i) {
    if (jpeg[i] == 0xFF && jpeg[i + 1] == 0xC0) {  // baseline frame: length, precision, height, width
      putBigEndian(&jpeg[i + 5], height, 2);
      putBigEndian(&jpeg[i + 7], width, 2);
      break;
    }
  }
  return jpeg;
}

TEST(PictureTest, EveryLosslessTypeReadsBackItsValues) {
  const GreyPicture bw = testsupport::blackAndWhite(37, 23);
  const GreyPicture grey = testsupport::greys(37, 23);
  const struct {
    const char* name;
    GreyPicture picture;
    PngType type;
  } cases[] = {
      {"1-bit grey", bw, PngType::kGrey1},
      {"2-bit grey", quantised(grey, 85), PngType::kGrey2},
      {"4-bit grey", quantised(grey, 17), PngType::kGrey4},
      {"8-bit grey", grey, PngType::kGrey8},
      {"16-bit grey", grey, PngType::kGrey16},
      {"palette", grey, PngType::kPalette},
      {"palette with a transparent white", grey, PngType::kPaletteTransparent},
      {"grey with a transparent white", grey, PngType::kGreyAlpha},
      {"grey with a transparent white, black and white", bw, PngType::kGreyAlpha},
      {"RGB", grey, PngType::kRgb},
      {"RGBA with a transparent white", grey, PngType::kRgba},
      {"16-bit RGBA with a transparent white", bw, PngType::kRgba16},
  };
  for (const auto& c : cases) {
    for (bool interlaced : {false, true}) {
      SCOPED_TRACE(std::string(c.name) + (interlaced ? ", interlaced" : ""));
      const Picture got = read(testsupport::encodePng(c.picture, c.type, {interlaced, 0}));
      EXPECT_EQ(got.format, PictureFormat::kPng);
      ASSERT_EQ(got.width, c.picture.width);
      ASSERT_EQ(got.height, c.picture.height);
      EXPECT_EQ(got.grey, c.picture.grey);
      EXPECT_EQ(got.bilevel, c.picture.bilevel());
      EXPECT_FALSE(got.resolution.stated());
    }
  }
  for (bool plain : {false, true}) {
    const Picture got = read(testsupport::encodePbm(bw, plain));
    EXPECT_EQ(got.format, PictureFormat::kPbm);
    EXPECT_EQ(got.grey, bw.grey) << (plain ? "P1" : "P4");
    EXPECT_TRUE(got.bilevel);
  }
}

// Adam7's passes cover pictures of every small size differently: some
// passes are empty, some hold one column.
TEST(PictureTest, InterlacedPassesLandInTheirPlaces) {
  for (const auto& [width, height] : std::vector<std::pair<std::uint32_t, std::uint32_t>>{
           {1, 1}, {2, 1}, {1, 9}, {3, 3}, {5, 2}, {8, 8}, {9, 17}, {33, 4}}) {
    SCOPED_TRACE(std::to_string(width) + " x " + std::to_string(height));
    const GreyPicture grey = testsupport::greys(width, height);
    EXPECT_EQ(read(testsupport::encodePng(grey, PngType::kRgba, {true, 0})).grey, grey.grey);
    const GreyPicture bw = testsupport::blackAndWhite(width, height, width + height);
    EXPECT_EQ(read(testsupport::encodePng(bw, PngType::kGrey1, {true, 0})).grey, bw.grey);
  }
}

// Lossy, but at quality 100 without chroma subsampling a grey picture
// comes back within a few values; CMYK inverted or not reads the same.
TEST(PictureTest, JpegColourSpacesComeBackAsTheirGreys) {
  const GreyPicture grey = testsupport::greys(61, 45);
  const struct {
    const char* name;
    JpegType type;
  } cases[] = {
      {"grey", JpegType::kGrey},
      {"YCbCr", JpegType::kYCbCr},
      {"CMYK as Adobe's applications write it", JpegType::kCmykAdobe},
      {"plain CMYK", JpegType::kCmykPlain},
  };
  for (const auto& c : cases) {
    for (bool progressive : {false, true}) {
      SCOPED_TRACE(std::string(c.name) + (progressive ? ", progressive" : ""));
      const Picture got = read(testsupport::encodeJpeg(grey, c.type, {progressive}));
      EXPECT_EQ(got.format, PictureFormat::kJpeg);
      ASSERT_EQ(got.width, grey.width);
      ASSERT_EQ(got.height, grey.height);
      EXPECT_LE(largestDifference(got, grey), 3);
    }
  }
}

TEST(PictureTest, ResolutionsAreReadAsDotsPerInch) {
  const GreyPicture bw = testsupport::blackAndWhite(16, 16);
  const Picture png = read(testsupport::encodePng(bw, PngType::kGrey1, {false, 7992}));
  EXPECT_NEAR(png.resolution.x, 203.0, 0.01);
  EXPECT_NEAR(png.resolution.y, 203.0, 0.01);
  const Picture jpeg = read(testsupport::encodeJpeg(bw, JpegType::kGrey, {false, 100, 300}));
  EXPECT_EQ(jpeg.resolution.x, 300.0);
  // cjpeg's and libjpeg's default JFIF header states an aspect ratio only.
  EXPECT_FALSE(read(testsupport::encodeJpeg(bw, JpegType::kGrey)).resolution.stated());
  EXPECT_FALSE(read(testsupport::encodePbm(bw, false)).resolution.stated());
}

TEST(PictureTest, DamagedAndHostileDocumentsAreRefused) {
  const GreyPicture grey = testsupport::greys(64, 64);
  const PictureBytes png = testsupport::encodePng(grey, PngType::kGrey8);
  const PictureBytes jpeg = testsupport::encodeJpeg(grey, JpegType::kGrey);
  const auto cut = [](PictureBytes bytes, std::size_t keep) {
    bytes.resize(keep);
    return bytes;
  };
  PictureBytes badChecksum = png;
  badChecksum[badChecksum.size() - 20] ^= 0x55;  // inside the last IDAT
  PictureBytes badJpegData = jpeg;
  for (std::size_t i = jpeg.size() / 2; i < jpeg.size() / 2 + 64; ++i) badJpegData[i] = 0xFF;
  const struct {
    const char* name;
    PictureBytes bytes;
    const char* why;
  } cases[] = {
      {"nothing", {}, "it is empty"},
      {"another format", {'G', 'I', 'F', '8', '9', 'a'}, "not a PBM (P1 or P4), PNG or JPEG"},
      {"a PNG signature alone", cut(png, 8), "PNG: "},
      {"a PNG cut after its header", cut(png, 33), "PNG: "},
      {"a PNG cut in its pixels", cut(png, png.size() / 2), "PNG: "},
      {"a PNG without its end", cut(png, png.size() - 12), "PNG: "},
      {"a PNG with a bad checksum", badChecksum, "PNG: "},
      {"a PNG of 100000 x 100000", pngClaiming(100000, 100000), "100000 dots wide"},
      {"a PNG of 65536 x 65536", pngClaiming(65536, 65536), "4294967296 pixels"},
      {"a PNG of no width", pngClaiming(0, 8), "no width"},
      {"a JPEG cut in half", cut(jpeg, jpeg.size() / 2), "JPEG: "},
      {"a JPEG without its end", cut(jpeg, jpeg.size() - 2), "JPEG: "},
      {"a JPEG with corrupt data", badJpegData, "JPEG: "},
      {"a JPEG of 60000 x 60000", jpegClaiming(60000, 60000), "3600000000 pixels"},
      {"a JPEG of 128 scans", testsupport::encodeJpeg(grey, JpegType::kGrey, {true, 100, 0, 128}),
       "more than 100 scans"},
      {"a P4 of a forged height", {'P', '4', ' ', '8', ' ', '9', '9', '9', '9', '\n', 0}, "P4 pixel data truncated"},
      {"a P1 cut short", {'P', '1', ' ', '2', ' ', '2', '\n', '0', ' ', '1'}, "P1 pixel data truncated"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string why = refusal(c.bytes);
    EXPECT_NE(why.find(c.why), std::string::npos) << why;
  }
  // A 100-scan picture is still read: the bound is past it.
  read(testsupport::encodeJpeg(grey, JpegType::kGrey, {true, 100, 0, 100}));
}

// A progressive colour picture keeps every coefficient while it is read:
// 4096 x 8192 of them in three full-size components would take 192 MiB.
TEST(PictureTest, ProgressiveJpegPastTheMemoryBoundIsRefused) {
  GreyPicture large{4096, 8192, std::vector<std::uint8_t>(std::size_t{4096} * 8192, 255)};
  const PictureBytes jpeg = testsupport::encodeJpeg(large, JpegType::kYCbCr, {true, 50});
  large = {};
  EXPECT_NE(refusal(jpeg).find("needs more than 128 MiB"), std::string::npos);
}

TEST(PictureTest, CallersBoundTheSizes) {
  const PictureBytes wide = testsupport::encodePng(testsupport::blackAndWhite(600, 2), PngType::kGrey1);
  Picture picture;
  std::string error;
  EXPECT_FALSE(readPicture(wide, {576, kMostPictureSide}, &picture, &error));
  EXPECT_NE(error.find("600 dots wide; at most 576"), std::string::npos) << error;
  EXPECT_TRUE(readPicture(wide, {}, &picture, &error)) << error;
}

}  // namespace
}  // namespace documents
