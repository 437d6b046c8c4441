// The document readers (documents/picture.h) and the placement on the
// head (documents/placement.h) over any input. The first byte picks the
// placement (print-scaling, orientation, named media or not); the rest is
// the document, PNG, JPEG or PBM as its first bytes say, or none.
//
// Properties: no crash, no access out of bounds, no leak, no undefined
// behaviour through libpng's and libjpeg's error jumps. A picture read is
// within the bounds and whole (width x height values, its bilevel flag
// true exactly when every value is 0 or 255). Its page is at most
// kMostPageRows lines; nothing prints outside the placed picture; a black
// and white picture placed at its own size prints a dot for each black
// pixel and nothing else.
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

#include "documents/picture.h"
#include "documents/placement.h"
#include "frontend/paper_length.h"
#include "fuzz/fuzz_input.h"

namespace {

// Pages are made for pictures up to this many pixels only, so that one
// input costs at most a fraction of a second; the readers see any size.
constexpr std::uint64_t kMostPlacedPixels = std::uint64_t{1} << 22;
constexpr std::uint32_t kHeadDots = 576;

documents::PlacementRequest requestFrom(std::uint8_t choice) {
  static constexpr documents::Scaling kScalings[] = {documents::Scaling::kAuto, documents::Scaling::kAutoFit,
                                                     documents::Scaling::kFill, documents::Scaling::kFit,
                                                     documents::Scaling::kNone};
  static constexpr documents::Orientation kOrientations[] = {
      documents::Orientation::kPortrait, documents::Orientation::kLandscape,
      documents::Orientation::kReverseLandscape, documents::Orientation::kReversePortrait};
  documents::PlacementRequest request;
  request.scaling = kScalings[choice % 5];
  request.orientation = kOrientations[(choice / 5) % 4];
  request.media.named = (choice / 20) % 2 != 0;
  if ((choice / 40) % 2 != 0) request.media.length = 10000;  // 100 mm
  if (choice >= 160) request.media.leftMargin = 0;             // media without margins
  return request;
}

bool dot(const jobstate::RasterLine& line, std::uint32_t x) { return (line[x / 8] >> (7 - x % 8)) & 1; }

void checkPicture(const documents::Picture& p) {
  fuzz::require(p.width > 0 && p.height > 0 && p.width <= documents::kMostPictureSide &&
                    p.height <= documents::kMostPictureSide,
                "a picture's sides past the bounds");
  fuzz::require(std::uint64_t{p.width} * p.height <= documents::kMostPicturePixels, "a picture past the pixel bound");
  fuzz::require(p.grey.size() == std::size_t{p.width} * p.height, "a picture not whole");
  bool bilevel = true;
  for (std::uint8_t v : p.grey) bilevel = bilevel && (v == 0 || v == 255);
  fuzz::require(bilevel == p.bilevel, "the bilevel flag is wrong");
  fuzz::require(p.resolution.x >= 0 && p.resolution.y >= 0, "a negative resolution");
}

void checkPage(const documents::Picture& picture, const documents::PlacementRequest& request) {
  const documents::PageLayout layout = documents::placePicture(picture, request);
  fuzz::require(layout.pageRows >= 1 && layout.pageRows <= frontend::kMostPageRows, "a page past the bound");
  fuzz::require(layout.width >= 1 && layout.height >= 1, "an empty placed picture");
  documents::PicturePage page(picture, layout);
  fuzz::require(page.nextPage(), "no page");
  const bool ownSize = layout.width == picture.width && layout.height == picture.height &&
                       request.orientation == documents::Orientation::kPortrait;
  jobstate::RasterLine line{};
  for (std::uint32_t y = 0; y < layout.pageRows; ++y) {
    fuzz::require(page.readLine(&line), "a line missing");
    const std::int64_t row = std::int64_t{y} - layout.top;
    for (std::uint32_t x = 0; x < kHeadDots; ++x) {
      const std::int64_t column = std::int64_t{x} - layout.left;
      const bool inside = row >= 0 && row < layout.height && column >= 0 && column < layout.width;
      if (!inside) {
        if (dot(line, x)) fuzz::fail("a dot outside the placed picture");
        continue;
      }
      if (ownSize && picture.bilevel &&
          dot(line, x) != (picture.at(static_cast<std::uint32_t>(column), static_cast<std::uint32_t>(row)) == 0))
        fuzz::fail("a black and white picture not printed dot for dot");
    }
  }
  fuzz::require(page.rowsLeft() == 0 && !page.readLine(&line) && !page.nextPage(), "a page past its lines");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const documents::PlacementRequest request = requestFrom(data[0]);
  documents::Picture picture;
  std::string error;
  if (!documents::readPicture(std::span<const std::uint8_t>(data + 1, size - 1), {}, &picture, &error)) {
    fuzz::require(!error.empty() && picture.grey.empty(), "a refusal without its reason");
    return 0;
  }
  checkPicture(picture);
  if (std::uint64_t{picture.width} * picture.height <= kMostPlacedPixels) checkPage(picture, request);
  return 0;
}
