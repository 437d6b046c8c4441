#include "tools/image_io.h"

#include <gtest/gtest.h>
#include <png.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <fstream>
#include <functional>
#include <iterator>
#include <string>
#include <vector>

namespace image_io {
namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes bytesOf(const std::string& text) { return Bytes(text.begin(), text.end()); }

std::string tempPath(const std::string& name) { return ::testing::TempDir() + "image_io_test_" + name; }

Bytes readFileBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(in), {});
}

Rows patternRows(std::size_t count) {
  Rows rows(count);
  std::uint32_t seed = 12345;
  for (Row& row : rows) {
    for (auto& b : row) {
      seed = seed * 1103515245 + 12345;
      b = static_cast<std::uint8_t>(seed >> 16);
    }
  }
  return rows;
}

std::size_t dotCount(const Rows& rows) {
  std::size_t dots = 0;
  for (const Row& row : rows) {
    for (std::uint8_t b : row) dots += static_cast<std::size_t>(__builtin_popcount(b));
  }
  return dots;
}

// A PNG in memory, through libpng's simplified writer.
Bytes encodeTestPng(std::uint32_t format, std::uint32_t width, std::uint32_t height, const Bytes& pixels,
                    const Bytes& colormap = {}) {
  png_image image{};
  image.version = PNG_IMAGE_VERSION;
  image.format = format;
  image.width = width;
  image.height = height;
  image.colormap_entries = static_cast<png_uint_32>(colormap.size() / 3);
  png_alloc_size_t size = 0;
  const void* map = colormap.empty() ? nullptr : colormap.data();
  EXPECT_TRUE(png_image_write_to_memory(&image, nullptr, &size, 0, pixels.data(), 0, map));
  Bytes png(size);
  EXPECT_TRUE(png_image_write_to_memory(&image, png.data(), &size, 0, pixels.data(), 0, map));
  png.resize(size);
  return png;
}

TEST(ImageIoTest, RoundTripsThroughEachFormat) {
  const Rows rows = patternRows(37);
  const std::pair<const char*, std::function<std::string(const std::string&)>> writers[] = {
      {"pbm", [&](const std::string& path) { return writePbm(path, rows); }},
      {"png1", [&](const std::string& path) { return writePng(path, rows, PngDepth::kOneBit); }},
      {"png8", [&](const std::string& path) { return writePng(path, rows, PngDepth::kEightBit); }},
  };
  for (const auto& [name, write] : writers) {
    SCOPED_TRACE(name);
    const std::string path = tempPath(std::string("round_trip.") + name);
    ASSERT_EQ(write(path), "");
    const ReadResult result = readImageFile(path);
    ASSERT_TRUE(result.ok()) << result.error;
    EXPECT_EQ(result.width, 576u);
    EXPECT_EQ(result.rows, rows);
    std::remove(path.c_str());
  }
}

// What qmx415u-decode writes of a stream that printed nothing.
TEST(ImageIoTest, APbmOfNoRowsReadsBack) {
  const std::string path = tempPath("empty.pbm");
  ASSERT_EQ(writePbm(path, {}), "");
  const ReadResult result = readImageFile(path);
  EXPECT_TRUE(result.ok()) << result.error;
  EXPECT_TRUE(result.rows.empty());
  std::remove(path.c_str());
}

TEST(ImageIoTest, PlainPbmWithCommentsIsPaddedOnTheRight) {
  const ReadResult result = readImage(bytesOf("P1\n# a comment\n10 # width\n2\n1000000001\n0 1 0 0 0 0 0 0 0 0\n"));
  ASSERT_TRUE(result.ok()) << result.error;
  EXPECT_EQ(result.width, 10u);
  ASSERT_EQ(result.rows.size(), 2u);
  Row first{}, second{};
  first[0] = 0x80;
  first[1] = 0x40;
  second[0] = 0x40;
  EXPECT_EQ(result.rows[0], first);
  EXPECT_EQ(result.rows[1], second);
}

TEST(ImageIoTest, RawPbmPaddingBitsDoNotPrint) {
  Bytes file = bytesOf("P4\n10 2\n");
  file.insert(file.end(), {0xFF, 0xFF, 0x80, 0x7F});
  const ReadResult result = readImage(file);
  ASSERT_TRUE(result.ok()) << result.error;
  ASSERT_EQ(result.rows.size(), 2u);
  EXPECT_EQ(result.rows[0][0], 0xFF);
  EXPECT_EQ(result.rows[0][1], 0xC0);
  EXPECT_EQ(result.rows[1][0], 0x80);
  EXPECT_EQ(result.rows[1][1], 0x40);
  EXPECT_EQ(dotCount(result.rows), 10u + 2u);
}

TEST(ImageIoTest, RejectsMalformedImages) {
  Bytes truncatedPng = encodeTestPng(PNG_FORMAT_GRAY, 100, 100, Bytes(100 * 100, 0x40));
  truncatedPng.resize(truncatedPng.size() / 2);
  Bytes pngSignatureOnly = encodeTestPng(PNG_FORMAT_GRAY, 1, 1, Bytes{0});
  pngSignatureOnly.resize(8);
  const std::pair<Bytes, std::string> cases[] = {
      {{}, "not a PBM"},
      {bytesOf("GIF89a"), "not a PBM"},
      {bytesOf("P2 1 1 255 0"), "not a PBM"},
      {bytesOf("P1\n"), "bad width or height"},
      {bytesOf("P1 x 2"), "bad width or height"},
      {bytesOf("P1 99999999999999999999 1"), "bad width or height"},
      {bytesOf("P1 0 1\n"), "no width"},
      {bytesOf("P1 577 1\n"), "577 dots wide"},
      {bytesOf("P4 8 70000\n"), "70000 rows tall"},
      {bytesOf("P1 2 2\n0 1 0"), "P1 pixel data truncated"},
      {bytesOf("P1 2 1\n0 2"), "unexpected byte"},
      {bytesOf("P4 8 3\n\x01\x02"), "P4 pixel data truncated: 2 of 3 rows"},
      {bytesOf("P4 8 1"), "one whitespace byte"},
      {encodeTestPng(PNG_FORMAT_GRAY, 600, 1, Bytes(600, 0)), "600 dots wide"},
      {truncatedPng, "PNG: "},
      {pngSignatureOnly, "PNG: "},
  };
  for (const auto& [file, message] : cases) {
    SCOPED_TRACE(std::string(file.begin(), file.begin() + std::min<std::size_t>(file.size(), 12)));
    const ReadResult result = readImage(file);
    ASSERT_FALSE(result.ok());
    EXPECT_NE(result.error.find(message), std::string::npos) << result.error;
    EXPECT_TRUE(result.rows.empty());
  }
}

TEST(ImageIoTest, FileErrorsNameTheFile) {
  const std::string missing = tempPath("missing/none.png");
  EXPECT_NE(readImageFile(missing).error.find(missing), std::string::npos);
  EXPECT_NE(writePbm(missing, patternRows(1)).find(missing), std::string::npos);
  EXPECT_NE(writePng(missing, patternRows(1), PngDepth::kOneBit).find(missing), std::string::npos);
  EXPECT_NE(writePng(tempPath("empty.png"), {}, PngDepth::kOneBit).find("no rows"), std::string::npos);
}

// A write that fails removes the output only when this run created it as a
// regular file. A path that was there (here a link to a device that
// refuses every byte) stays, and so does an existing file.
TEST(ImageIoTest, FailedWritesRemoveOnlyWhatTheyCreated) {
  const std::pair<const char*, std::function<std::string(const std::string&)>> writers[] = {
      {"pbm", [](const std::string& path) { return writePbm(path, patternRows(40)); }},
      {"png", [](const std::string& path) { return writePng(path, patternRows(40), PngDepth::kEightBit); }},
  };
  const struct {
    const char* name;
    bool existed, linkToDevice, stays;
  } cases[] = {
      {"created by the run", false, false, false},
      {"an existing file", true, false, true},
      {"a link to a device", true, true, true},
  };
  // Regular files may grow to 100 bytes; past that a write fails (EFBIG)
  // instead of raising SIGXFSZ.
  struct rlimit saved {};
  ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &saved), 0);
  void (*savedSignal)(int) = std::signal(SIGXFSZ, SIG_IGN);
  for (const auto& [format, write] : writers) {
    for (const auto& c : cases) {
      SCOPED_TRACE(std::string(format) + ", " + c.name);
      const std::string path = tempPath(std::string("failing.") + format);
      std::remove(path.c_str());
      if (c.linkToDevice) ASSERT_EQ(symlink("/dev/full", path.c_str()), 0);
      else if (c.existed) std::ofstream(path) << "before";
      struct rlimit small = saved;
      small.rlim_cur = 100;
      ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
      const std::string error = write(path);
      ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &saved), 0);
      EXPECT_NE(error.find("write failed"), std::string::npos) << error;
      struct stat st {};
      EXPECT_EQ(lstat(path.c_str(), &st) == 0, c.stays);
      std::remove(path.c_str());
    }
  }
  std::signal(SIGXFSZ, savedSignal);
}

TEST(ImageIoTest, MidGreyDithersToHalfTheDots) {
  const std::uint32_t width = 300, height = 200;
  const ReadResult result = readImage(encodeTestPng(PNG_FORMAT_GRAY, width, height, Bytes(width * height, 128)));
  ASSERT_TRUE(result.ok()) << result.error;
  ASSERT_EQ(result.rows.size(), height);
  const double share = static_cast<double>(dotCount(result.rows)) / (width * height);
  EXPECT_NEAR(share, 0.5, 0.02);
  for (std::size_t y = 0; y < height; ++y) {
    // Evenly spread: every row, the first included, carries about half.
    EXPECT_NEAR(static_cast<double>(dotCount({result.rows[y]})) / width, 0.5, 0.1) << "row " << y;
    // Nothing prints in the padding to the right of the image.
    for (std::size_t i = (width + 7) / 8; i < commands::kLineBytes; ++i) ASSERT_EQ(result.rows[y][i], 0);
  }
}

struct ColourCase {
  const char* name;
  std::uint32_t format;
  Bytes pixel;  // one pixel in `format`
  Bytes colormap;
  std::size_t minDots;  // of 8 x 8
  std::size_t maxDots;
};

TEST(ImageIoTest, ColourAndAlphaBecomeBlackOrWhite) {
  const ColourCase cases[] = {
      {"black rgb", PNG_FORMAT_RGB, {0, 0, 0}, {}, 64, 64},
      {"dark blue rgb", PNG_FORMAT_RGB, {0, 0, 60}, {}, 56, 64},
      {"transparent black", PNG_FORMAT_GA, {0, 0}, {}, 0, 0},
      {"opaque black", PNG_FORMAT_GA, {0, 255}, {}, 64, 64},
      {"transparent black rgba", PNG_FORMAT_RGBA, {0, 0, 0, 0}, {}, 0, 0},
      {"black palette entry", PNG_FORMAT_RGB_COLORMAP, {1}, {255, 255, 255, 0, 0, 0}, 64, 64},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Bytes pixels;
    for (int i = 0; i < 64; ++i) pixels.insert(pixels.end(), c.pixel.begin(), c.pixel.end());
    const ReadResult result = readImage(encodeTestPng(c.format, 8, 8, pixels, c.colormap));
    ASSERT_TRUE(result.ok()) << result.error;
    EXPECT_GE(dotCount(result.rows), c.minDots);
    EXPECT_LE(dotCount(result.rows), c.maxDots);
  }
}

TEST(ImageIoTest, PreviewMarksCutsBetweenRows) {
  Rows rows(4);
  rows[1][0] = 0x80;  // one dot at the left of row 1
  PreviewMarks marks;
  marks.cutRows = {4, 2};
  marks.markRows = {2};
  marks.border = true;
  const std::string path = tempPath("preview.png");
  ASSERT_EQ(writePreviewPng(path, rows, marks), "");

  png_image image{};
  image.version = PNG_IMAGE_VERSION;
  const Bytes file = readFileBytes(path);
  ASSERT_TRUE(png_image_begin_read_from_memory(&image, file.data(), file.size()));
  EXPECT_EQ(image.format, static_cast<png_uint_32>(PNG_FORMAT_RGB));
  const std::uint32_t width = 576 + 2, height = 4 + 3 * 2 + 2;
  ASSERT_EQ(image.width, width);
  ASSERT_EQ(image.height, height);
  Bytes rgb(PNG_IMAGE_SIZE(image));
  ASSERT_TRUE(png_image_finish_read(&image, nullptr, rgb.data(), 0, nullptr));
  const auto pixel = [&](std::uint32_t x, std::uint32_t y) {
    const std::uint8_t* p = &rgb[(std::size_t{y} * width + x) * 3];
    return std::array<std::uint8_t, 3>{p[0], p[1], p[2]};
  };
  using Colour = std::array<std::uint8_t, 3>;
  // Layout, below the border: rows 0 and 1, mark feed (2), cut (2), rows 2
  // and 3, cut (2), border.
  EXPECT_EQ(pixel(0, 5), (Colour{170, 170, 170}));  // border
  EXPECT_EQ(pixel(1, 2), (Colour{0, 0, 0}));        // the dot of row 1
  EXPECT_EQ(pixel(2, 2), (Colour{255, 255, 255}));
  EXPECT_EQ(pixel(1, 3), (Colour{0, 90, 220}));  // mark feed
  EXPECT_EQ(pixel(1, 5), (Colour{220, 0, 0}));   // cut at row 2
  EXPECT_EQ(pixel(9, 5), (Colour{140, 140, 140}));
  EXPECT_EQ(pixel(1, 7), (Colour{255, 255, 255}));  // row 2
  EXPECT_EQ(pixel(1, 9), (Colour{220, 0, 0}));      // cut at the end
  EXPECT_EQ(pixel(1, 10), (Colour{220, 0, 0}));
  std::remove(path.c_str());
}

TEST(ImageIoTest, PreviewTintsFedRowsButNotTheirDots) {
  Rows rows(4);
  rows[2][0] = 0x80;  // a dot in a fed row (a feed never inks it, but the tint must not hide one)
  PreviewMarks marks;
  marks.fedRows = {{1, 2}, {3, 100}};  // rows 1 and 2; row 3 and past the end
  const std::string path = tempPath("fed.png");
  ASSERT_EQ(writePreviewPng(path, rows, marks), "");
  png_image image{};
  image.version = PNG_IMAGE_VERSION;
  const Bytes file = readFileBytes(path);
  ASSERT_TRUE(png_image_begin_read_from_memory(&image, file.data(), file.size()));
  ASSERT_EQ(image.height, 4u);
  Bytes rgb(PNG_IMAGE_SIZE(image));
  ASSERT_TRUE(png_image_finish_read(&image, nullptr, rgb.data(), 0, nullptr));
  const auto pixel = [&](std::uint32_t x, std::uint32_t y) {
    const std::uint8_t* p = &rgb[(std::size_t{y} * 576 + x) * 3];
    return std::array<std::uint8_t, 3>{p[0], p[1], p[2]};
  };
  using Colour = std::array<std::uint8_t, 3>;
  const Colour tint{255, 244, 190};
  EXPECT_EQ(pixel(5, 0), (Colour{255, 255, 255}));
  EXPECT_EQ(pixel(5, 1), tint);
  EXPECT_EQ(pixel(0, 2), (Colour{0, 0, 0}));
  EXPECT_EQ(pixel(5, 2), tint);
  EXPECT_EQ(pixel(5, 3), tint);
  std::remove(path.c_str());
}

}  // namespace
}  // namespace image_io
