#include "documents/placement.h"

#include <algorithm>
#include <cmath>

#include "frontend/dither.h"
#include "frontend/page_fit.h"
#include "frontend/paper_length.h"

namespace documents {
namespace {

constexpr double kDotsPerInch = 203;
constexpr double kHundredthsPerInch = 2540;
constexpr double kHeadDpiTolerance = 1.0;  // a stated resolution this close to 203 is 203
constexpr std::int64_t kHundredthsPerTenth = 10;
constexpr std::uint32_t kHeadDots = frontend::kHeadDots;
constexpr std::uint8_t kMiddleGrey = 128;  // below: a dot

struct ScalingName {
  Scaling scaling;
  const char* keyword;
};
constexpr ScalingName kScalingNames[] = {
    {Scaling::kAuto, "auto"}, {Scaling::kAutoFit, "auto-fit"}, {Scaling::kFill, "fill"},
    {Scaling::kFit, "fit"},   {Scaling::kNone, "none"},
};

bool turnsSideways(Orientation o) { return o == Orientation::kLandscape || o == Orientation::kReverseLandscape; }

// Pixels along one side as dots at the head's resolution, not rounded.
double dotsAlong(std::uint32_t pixels, double dpi) {
  if (dpi <= 0 || std::fabs(dpi - kDotsPerInch) < kHeadDpiTolerance) return pixels;
  return pixels * kDotsPerInch / dpi;
}

std::uint32_t roundedAtLeastOne(double value) {
  return static_cast<std::uint32_t>(std::clamp(std::round(value), 1.0, double{UINT32_MAX}));
}

// The picture, `width` x `height` dots at its own size, scaled to `wide` x
// `tall` dots, aspect kept: the largest size within the box (`cover`
// false) or the smallest over it (true).
void scaleInto(double wide, double tall, double width, double height, bool cover, PageLayout* layout) {
  const double across = wide / width, along = tall / height;
  const bool widthBinds = cover ? across >= along : across <= along;
  if (widthBinds) {
    layout->width = roundedAtLeastOne(wide);
    layout->height = roundedAtLeastOne(height * (static_cast<double>(layout->width) / width));
  } else {
    layout->height = roundedAtLeastOne(tall);
    layout->width = roundedAtLeastOne(width * (static_cast<double>(layout->height) / height));
  }
}

std::string cutNotice(const PageLayout& layout) {
  const std::int64_t right = layout.left + layout.width;
  const std::int64_t bottom = layout.top + layout.height;
  const std::int64_t cutAcross = std::max<std::int64_t>(0, -layout.left) + std::max<std::int64_t>(0, right - kHeadDots);
  const std::int64_t cutAlong =
      std::max<std::int64_t>(0, -layout.top) + std::max<std::int64_t>(0, bottom - layout.pageRows);
  if (cutAcross == 0 && cutAlong == 0) return {};
  return "the picture comes to " + std::to_string(layout.width) + " x " + std::to_string(layout.height) +
         " dots (print-scaling=" + scalingKeyword(layout.applied) + "); " + std::to_string(cutAcross) +
         " dots across and " + std::to_string(cutAlong) + " lines along it fall outside the printable area";
}

// Pixel (u, v) of the picture as turned, through steps over its rows.
struct TurnedView {
  const std::uint8_t* base;
  std::int64_t origin, stepU, stepV;
  std::uint32_t width, height;

  std::uint8_t at(std::uint32_t u, std::uint32_t v) const {
    return base[origin + std::int64_t{u} * stepU + std::int64_t{v} * stepV];
  }
};

TurnedView turned(const Picture& p, Orientation o) {
  const std::int64_t w = p.width, h = p.height;
  switch (o) {
    case Orientation::kLandscape:  // a quarter counter-clockwise: (u, v) is (w - 1 - v, u)
      return {p.grey.data(), w - 1, w, -1, p.height, p.width};
    case Orientation::kReverseLandscape:  // a quarter clockwise: (u, v) is (v, h - 1 - u)
      return {p.grey.data(), (h - 1) * w, -w, 1, p.height, p.width};
    case Orientation::kReversePortrait:  // a half turn
      return {p.grey.data(), h * w - 1, -1, -w, p.width, p.height};
    case Orientation::kPortrait:
      break;
  }
  return {p.grey.data(), 0, 1, w, p.width, p.height};
}

// The source pixels [first, end) that dot `index` of `placed` covers.
struct Span {
  std::uint32_t first = 0, end = 0;
};

Span spanOf(std::uint64_t index, std::uint64_t placed, std::uint64_t source) {
  const auto first = static_cast<std::uint32_t>(index * source / placed);
  const auto end = static_cast<std::uint32_t>((index + 1) * source / placed);
  return {first, std::max(end, first + 1)};
}

std::uint8_t average(const TurnedView& view, Span across, Span along) {
  std::uint64_t sum = 0;
  for (std::uint32_t v = along.first; v < along.end; ++v)
    for (std::uint32_t u = across.first; u < across.end; ++u) sum += view.at(u, v);
  const std::uint64_t count = std::uint64_t{across.end - across.first} * (along.end - along.first);
  return static_cast<std::uint8_t>((sum + count / 2) / count);
}

}  // namespace

bool parseScaling(std::string_view keyword, Scaling* scaling) {
  for (const ScalingName& name : kScalingNames) {
    if (keyword == name.keyword) {
      *scaling = name.scaling;
      return true;
    }
  }
  return false;
}

const char* scalingKeyword(Scaling scaling) {
  for (const ScalingName& name : kScalingNames)
    if (name.scaling == scaling) return name.keyword;
  return "auto";
}

bool parseOrientation(std::string_view number, Orientation* orientation) {
  static constexpr Orientation kAll[] = {Orientation::kPortrait, Orientation::kLandscape,
                                         Orientation::kReverseLandscape, Orientation::kReversePortrait};
  for (Orientation o : kAll) {
    if (number == std::to_string(static_cast<int>(o))) {
      *orientation = o;
      return true;
    }
  }
  return false;
}

double dotsFromHundredths(double hundredths) { return hundredths * kDotsPerInch / kHundredthsPerInch; }

std::uint32_t mediaWidthDots(const Media& media) {
  return static_cast<std::uint32_t>(std::ceil(dotsFromHundredths(media.width)));
}

std::uint32_t leftMarginDots(const Media& media) {
  return static_cast<std::uint32_t>(std::lround(dotsFromHundredths(media.leftMargin)));
}

PageLayout placePicture(const Picture& picture, const PlacementRequest& request) {
  const Media& media = request.media;
  PageLayout layout;
  layout.orientation = request.orientation;
  const bool sideways = turnsSideways(request.orientation);
  const std::uint32_t pixelsAcross = sideways ? picture.height : picture.width;
  const std::uint32_t pixelsAlong = sideways ? picture.width : picture.height;
  const double dpiAcross = sideways ? picture.resolution.y : picture.resolution.x;
  const double dpiAlong = sideways ? picture.resolution.x : picture.resolution.y;
  const double ownWidth = dotsAlong(pixelsAcross, dpiAcross);
  const double ownHeight = dotsAlong(pixelsAlong, dpiAlong);

  const double mediaWide = dotsFromHundredths(media.width);
  const double mediaLong = media.named ? dotsFromHundredths(media.length) : double{frontend::kMostPageRows};
  const std::uint32_t namedRows =
      std::min(static_cast<std::uint32_t>(std::lround(mediaLong)), frontend::kMostPageRows);
  const double printableLong = media.named ? namedRows : frontend::kMostPageRows;

  Scaling scaling = request.scaling;
  if (scaling == Scaling::kAuto || scaling == Scaling::kAutoFit) {
    // In whole dots: 640 is not larger than the 639.4 of 80 mm.
    const bool larger = roundedAtLeastOne(ownWidth) > std::ceil(mediaWide) ||
                        roundedAtLeastOne(ownHeight) > std::ceil(mediaLong);
    const bool borderless = media.leftMargin == 0;
    scaling = !larger ? Scaling::kNone : scaling == Scaling::kAuto && borderless ? Scaling::kFill : Scaling::kFit;
  }
  layout.applied = scaling;
  switch (scaling) {
    case Scaling::kFit:
      scaleInto(kHeadDots, printableLong, ownWidth, ownHeight, false, &layout);
      break;
    case Scaling::kFill:
      if (media.named) {
        scaleInto(std::ceil(mediaWide), std::ceil(mediaLong), ownWidth, ownHeight, true, &layout);
      } else {  // across only: the length is what the picture needs
        layout.width = static_cast<std::uint32_t>(std::ceil(mediaWide));
        layout.height = roundedAtLeastOne(ownHeight * (static_cast<double>(layout.width) / ownWidth));
      }
      break;
    default:
      layout.width = roundedAtLeastOne(ownWidth);
      layout.height = roundedAtLeastOne(ownHeight);
      break;
  }

  layout.pageRows = media.named ? namedRows : std::min(layout.height, frontend::kMostPageRows);
  layout.paperLength = media.named ? std::lround(media.length / double{kHundredthsPerTenth})
                                   : frontend::paperLengthForRows(layout.pageRows);
  const double marginDots = dotsFromHundredths(media.leftMargin);
  layout.left = std::llround((mediaWide - layout.width) / 2 - marginDots);
  layout.top = media.named ? std::llround((mediaLong - layout.height) / 2)
                           : (std::int64_t{layout.pageRows} - layout.height) / 2;
  layout.notice = cutNotice(layout);
  return layout;
}

PicturePage::PicturePage(const Picture& picture, const PageLayout& layout) : layout_(layout) {
  const TurnedView view = turned(picture, layout.orientation);
  const bool reduced = layout.width < view.width || layout.height < view.height;
  const bool exact = picture.bilevel && !reduced;

  // Which pixels each head dot covers; none past the picture.
  std::vector<Span> across(kHeadDots);
  std::vector<bool> covered(kHeadDots, false);
  for (std::uint32_t x = 0; x < kHeadDots; ++x) {
    const std::int64_t column = std::int64_t{x} - layout.left;
    if (column < 0 || column >= layout.width) continue;
    covered[x] = true;
    across[x] = spanOf(static_cast<std::uint64_t>(column), layout.width, view.width);
  }

  lines_.assign(layout.pageRows, jobstate::RasterLine{});
  frontend::RowDitherer ditherer(kHeadDots);
  std::vector<std::uint8_t> grey(kHeadDots);
  for (std::uint32_t y = 0; y < layout.pageRows; ++y) {
    const std::int64_t row = std::int64_t{y} - layout.top;
    if (row < 0 || row >= layout.height) continue;  // blank
    const Span along = spanOf(static_cast<std::uint64_t>(row), layout.height, view.height);
    std::fill(grey.begin(), grey.end(), 255);
    for (std::uint32_t x = 0; x < kHeadDots; ++x)
      if (covered[x]) grey[x] = average(view, across[x], along);
    jobstate::RasterLine& line = lines_[y];
    if (exact) {
      for (std::uint32_t x = 0; x < kHeadDots; ++x)
        if (grey[x] < kMiddleGrey) line[x / 8] |= static_cast<std::uint8_t>(0x80u >> (x % 8));
    } else {
      ditherer.ditherRow(grey.data(), line.data());
    }
  }
}

bool PicturePage::nextPage() {
  if (opened_) {
    next_ = layout_.pageRows;
    return false;
  }
  opened_ = true;
  next_ = 0;
  return true;
}

bool PicturePage::readLine(jobstate::RasterLine* line) {
  if (!opened_ || next_ >= layout_.pageRows) {
    if (error_.empty()) error_ = "no line left on the page";
    return false;
  }
  *line = next_ < lines_.size() ? lines_[next_] : jobstate::RasterLine{};
  ++next_;
  return true;
}

}  // namespace documents
