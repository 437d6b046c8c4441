#include "documents/placement.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "testing/picture_files.h"

namespace documents {
namespace {

constexpr double kPpm203 = 7992 * 0.0254;  // 7992 pixels per metre, as dpi

Picture pictureOf(const testsupport::GreyPicture& grey, double dpi = 0) {
  Picture p;
  p.width = grey.width;
  p.height = grey.height;
  p.grey = grey.grey;
  p.bilevel = grey.bilevel();
  p.resolution = {dpi, dpi};
  return p;
}

Picture blank(std::uint32_t width, std::uint32_t height, double dpi = 0) {
  return pictureOf({width, height, std::vector<std::uint8_t>(std::size_t{width} * height, 255)}, dpi);
}

bool dot(const jobstate::RasterLine& line, std::uint32_t x) { return (line[x / 8] >> (7 - x % 8)) & 1; }

std::vector<jobstate::RasterLine> linesOf(PicturePage& page) {
  std::vector<jobstate::RasterLine> lines;
  EXPECT_TRUE(page.nextPage());
  jobstate::RasterLine line{};
  while (page.rowsLeft() > 0 && page.readLine(&line)) lines.push_back(line);
  EXPECT_FALSE(page.nextPage());
  EXPECT_EQ(page.error(), "");
  return lines;
}

struct LayoutCase {
  const char* name;
  std::uint32_t width, height;
  double dpi;
  Scaling scaling;
  Media media;
  Orientation orientation;
  Scaling applied;
  std::uint32_t placedWidth, placedHeight;
  std::int64_t left, top;
  std::uint32_t pageRows;
};

TEST(PlacementTest, PicturesArePlacedAsPrintScalingSays) {
  const Media roll;                                  // 80 mm, 4 mm margins, not named
  const Media named{kRollWidth, 10000, kRollLeftMargin, true};  // 80 x 100 mm: 799.2 lines
  const Media borderless{kRollWidth, kRollDefaultLength, 0, false};
  using O = Orientation;
  using S = Scaling;
  const LayoutCase cases[] = {
      {"576 dots, no resolution", 576, 50, 0, S::kAuto, roll, O::kPortrait, S::kNone, 576, 50, 0, 0, 50},
      {"576 dots at 7992 per metre", 576, 50, kPpm203, S::kAuto, roll, O::kPortrait, S::kNone, 576, 50, 0, 0, 50},
      {"576 dots at 8000 per metre", 576, 50, 203.2, S::kNone, roll, O::kPortrait, S::kNone, 576, 50, 0, 0, 50},
      {"as wide as the media, 639", 639, 50, 0, S::kAuto, roll, O::kPortrait, S::kNone, 639, 50, -32, 0, 50},
      {"as wide as the media, 640", 640, 50, 0, S::kAutoFit, roll, O::kPortrait, S::kNone, 640, 50, -32, 0, 50},
      {"wider than the media", 641, 641, 0, S::kAuto, roll, O::kPortrait, S::kFit, 576, 576, 0, 0, 576},
      {"narrow, centred", 300, 10, 0, S::kAuto, roll, O::kPortrait, S::kNone, 300, 10, 138, 0, 10},
      {"narrow, fitted", 300, 10, 0, S::kFit, roll, O::kPortrait, S::kFit, 576, 19, 0, 0, 19},
      {"narrow, filling", 300, 15, 0, S::kFill, roll, O::kPortrait, S::kFill, 640, 32, -32, 0, 32},
      {"406 dpi, half size", 576, 100, 406, S::kAuto, roll, O::kPortrait, S::kNone, 288, 50, 144, 0, 50},
      {"a 72 dpi photograph", 1200, 900, 72, S::kAuto, roll, O::kPortrait, S::kFit, 576, 432, 0, 0, 432},
      {"a receipt saved at 72 dpi", 576, 654, 72, S::kAuto, roll, O::kPortrait, S::kFit, 576, 654, 0, 0, 654},
      {"longer than any page", 576, 30000, 0, S::kAuto, roll, O::kPortrait, S::kFit, 503, 26214, 36, 0, 26214},
      {"none cuts across", 700, 10, 0, S::kNone, roll, O::kPortrait, S::kNone, 700, 10, -62, 0, 10},
      {"on named media", 576, 400, 0, S::kAuto, named, O::kPortrait, S::kNone, 576, 400, 0, 200, 799},
      {"fitted to named media", 576, 1600, 0, S::kFit, named, O::kPortrait, S::kFit, 288, 799, 144, 0, 799},
      {"filling named media", 576, 400, 0, S::kFill, named, O::kPortrait, S::kFill, 1152, 800, -288, 0, 799},
      {"landscape", 100, 300, 0, S::kAuto, roll, O::kLandscape, S::kNone, 300, 100, 138, 0, 100},
      {"reverse landscape", 100, 300, 0, S::kAuto, roll, O::kReverseLandscape, S::kNone, 300, 100, 138, 0, 100},
      {"reverse portrait", 100, 300, 0, S::kAuto, roll, O::kReversePortrait, S::kNone, 100, 300, 238, 0, 300},
      {"auto on media without margins", 1000, 100, 0, S::kAuto, borderless, O::kPortrait, S::kFill, 640, 64, 0, 0, 64},
  };
  for (const LayoutCase& c : cases) {
    SCOPED_TRACE(c.name);
    const PageLayout layout = placePicture(blank(c.width, c.height, c.dpi), {c.media, c.scaling, c.orientation});
    EXPECT_EQ(layout.applied, c.applied);
    EXPECT_EQ(layout.width, c.placedWidth);
    EXPECT_EQ(layout.height, c.placedHeight);
    EXPECT_EQ(layout.left, c.left);
    EXPECT_EQ(layout.top, c.top);
    EXPECT_EQ(layout.pageRows, c.pageRows);
    const bool cut = layout.left < 0 || layout.left + layout.width > 576 || layout.top < 0 ||
                     layout.top + layout.height > layout.pageRows;
    EXPECT_EQ(!layout.notice.empty(), cut) << layout.notice;
  }
}

// Black and white at its own size is copied dot for dot, from whichever
// column reaches the head's first dot; the dots past the picture are blank.
TEST(PlacementTest, BlackAndWhiteIsCopiedDotForDot) {
  for (std::uint32_t width : {576u, 639u, 640u, 500u}) {
    SCOPED_TRACE(width);
    const testsupport::GreyPicture bw = testsupport::blackAndWhite(width, 40, width);
    const Picture picture = pictureOf(bw);
    PicturePage page(picture, placePicture(picture, {}));
    const std::vector<jobstate::RasterLine> lines = linesOf(page);
    ASSERT_EQ(lines.size(), 40u);
    const std::int64_t left = placePicture(picture, {}).left;
    for (std::uint32_t y = 0; y < 40; ++y) {
      for (std::uint32_t x = 0; x < 576; ++x) {
        const std::int64_t column = x - left;
        const bool want = column >= 0 && column < width && bw.at(static_cast<std::uint32_t>(column), y) == 0;
        ASSERT_EQ(dot(lines[y], x), want) << "dot " << x << ", line " << y;
      }
    }
  }
}

// Enlarged, black and white stays exact: each pixel becomes a block.
TEST(PlacementTest, EnlargingRepeatsPixels) {
  const testsupport::GreyPicture bw = testsupport::blackAndWhite(288, 20, 3);
  const Picture picture = pictureOf(bw);
  PicturePage page(picture, placePicture(picture, {Media{}, Scaling::kFit, Orientation::kPortrait}));
  const std::vector<jobstate::RasterLine> lines = linesOf(page);
  ASSERT_EQ(lines.size(), 40u);
  for (std::uint32_t y = 0; y < 40; ++y)
    for (std::uint32_t x = 0; x < 576; ++x) ASSERT_EQ(dot(lines[y], x), bw.at(x / 2, y / 2) == 0) << x << "," << y;
}

// One black pixel in the top-left corner of a 3 x 2 picture, turned.
TEST(PlacementTest, OrientationTurnsThePicture) {
  const struct {
    Orientation orientation;
    std::uint32_t column, line;  // where the black pixel lands in the turned picture
    std::uint32_t width, height;
  } cases[] = {
      {Orientation::kPortrait, 0, 0, 3, 2},
      {Orientation::kLandscape, 0, 2, 2, 3},         // counter-clockwise: the top-left goes to the bottom-left
      {Orientation::kReverseLandscape, 1, 0, 2, 3},  // clockwise: to the top-right
      {Orientation::kReversePortrait, 2, 1, 3, 2},
  };
  testsupport::GreyPicture grey{3, 2, std::vector<std::uint8_t>(6, 255)};
  grey.grey[0] = 0;
  const Picture picture = pictureOf(grey);
  for (const auto& c : cases) {
    SCOPED_TRACE(static_cast<int>(c.orientation));
    const PageLayout layout = placePicture(picture, {Media{}, Scaling::kNone, c.orientation});
    ASSERT_EQ(layout.width, c.width);
    ASSERT_EQ(layout.height, c.height);
    PicturePage page(picture, layout);
    const std::vector<jobstate::RasterLine> lines = linesOf(page);
    for (std::uint32_t y = 0; y < lines.size(); ++y)
      for (std::uint32_t x = 0; x < 576; ++x)
        EXPECT_EQ(dot(lines[y], x), y == c.line && x == layout.left + c.column) << x << "," << y;
  }
}

// Grey goes through the dither; its pure black and pure white pixels stay
// dots and blanks, and a mid grey gets about half its dots.
TEST(PlacementTest, GreyIsDitheredAroundPureBlackAndWhite) {
  const testsupport::GreyPicture grey = testsupport::greys(576, 120);
  const Picture picture = pictureOf(grey);
  ASSERT_FALSE(picture.bilevel);
  PicturePage page(picture, placePicture(picture, {}));
  const std::vector<jobstate::RasterLine> lines = linesOf(page);
  ASSERT_EQ(lines.size(), 120u);
  std::size_t mid = 0, midDots = 0;
  for (std::uint32_t y = 0; y < 120; ++y) {
    for (std::uint32_t x = 0; x < 576; ++x) {
      const std::uint8_t v = grey.at(x, y);
      if (v == 0 || v == 255) {
        ASSERT_EQ(dot(lines[y], x), v == 0) << x << "," << y;
      }
      if (v > 100 && v < 156) {
        ++mid;
        midDots += dot(lines[y], x);
      }
    }
  }
  ASSERT_GT(mid, 1000u);
  EXPECT_NEAR(static_cast<double>(midDots) / mid, 0.5, 0.1);
}

TEST(PlacementTest, CopiesReadThePageAgain) {
  const Picture picture = pictureOf(testsupport::blackAndWhite(576, 30));
  PicturePage page(picture, placePicture(picture, {}));
  const std::vector<jobstate::RasterLine> first = linesOf(page);
  page.rewind();
  EXPECT_EQ(linesOf(page), first);
}

TEST(PlacementTest, KeywordsReadAsIppWritesThem) {
  Scaling scaling{};
  EXPECT_TRUE(parseScaling("auto-fit", &scaling));
  EXPECT_EQ(scaling, Scaling::kAutoFit);
  EXPECT_FALSE(parseScaling("Fit", &scaling));
  Orientation orientation{};
  EXPECT_TRUE(parseOrientation("5", &orientation));
  EXPECT_EQ(orientation, Orientation::kReverseLandscape);
  EXPECT_FALSE(parseOrientation("7", &orientation));
  EXPECT_FALSE(parseOrientation("", &orientation));
}

}  // namespace
}  // namespace documents
