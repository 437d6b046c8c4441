// Where a picture lands on the head and the paper, as IPP places a
// document on the job's media (print-scaling, orientation-requested), and
// the page of head lines that comes of it.
//
// Units: dots and lines at 203 dpi. The media is the job's: its width and
// length in hundredths of a millimetre, the head's first dot `leftMargin`
// hundredths from its left edge (the 80 mm roll: 4 mm). The printable area
// is the head's 576 dots across and the media's whole length: the printer
// has no top or bottom margin.
//
// A picture's own size is its pixels at its stated resolution. One that
// states none is taken at 203 dpi, a pixel a dot: pictures made for
// receipts are drawn for the head and seldom say so, and a photograph
// larger than the media is scaled down by 'auto' all the same. A stated
// resolution within 1 dpi of 203 is the head's own (7992 or 8000 pixels
// per metre, 80 per centimetre are 203 dpi rounded), so such a picture is
// never resampled by a fraction of a dot.
//
// print-scaling (PWG 5100.16, as IPP Everywhere defines the keywords):
//   none      the picture's own size, centred on the media; whatever falls
//             outside the printable area is cut off
//   fit       scaled, aspect kept, to the largest size that fits the
//             printable area (up or down), centred
//   fill      scaled, aspect kept, to the smallest size that covers the
//             whole media, centred; the overflow is cut off
//   auto-fit  'fit' when the picture is larger than the media, else 'none'
//   auto      as 'auto-fit' on media with margins; 'fill' instead of 'fit'
//             on media without (a left margin of 0)
// The worker does not see ipp-attribute-fidelity; it counts as false.
// Centred means on the media. Its side margins being equal, that is the
// head's centre: a 576-dot picture prints dot for dot, and a picture as
// wide as the 80 mm media (639 or 640 dots) has its column 32 at the
// head's dot 0. "Larger than the media" counts whole dots: a picture of
// 640 dots is not larger than the 639.4 of 80 mm.
//
// orientation-requested: 3 portrait, as it is; 4 landscape turns the
// picture a quarter turn counter-clockwise, 5 reverse-landscape a quarter
// turn clockwise, 6 reverse-portrait a half turn. Nothing else turns it.
//
// Length: media the job named is a page of the media's length, the picture
// placed on it as above (centred along it too). Without one (a receipt
// takes the paper it needs), the media is as long as the picture comes
// out, up to kMostPageRows (3.28 m, the filter's bound): only past that is
// a picture longer than the media.
#ifndef QMX_DOCUMENTS_PLACEMENT_H_
#define QMX_DOCUMENTS_PLACEMENT_H_

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "documents/picture.h"
#include "frontend/job_loop.h"
#include "jobstate/raster_line.h"

namespace documents {

enum class Scaling { kAuto, kAutoFit, kFill, kFit, kNone };

// IPP's enum values.
enum class Orientation { kPortrait = 3, kLandscape = 4, kReverseLandscape = 5, kReversePortrait = 6 };

// The 80 mm roll with its 4 mm margins, 297 mm long.
inline constexpr std::uint32_t kRollWidth = 8000;        // hundredths of a millimetre
inline constexpr std::uint32_t kRollLeftMargin = 400;
inline constexpr std::uint32_t kRollDefaultLength = 29700;
// Media past these are no media of this printer: 2 m of paper width (the
// widest raster page read) and the longest paper a job can state.
inline constexpr std::uint32_t kWidestMedia = 256000;
inline constexpr std::uint32_t kLongestMedia = 327670;

struct Media {
  std::uint32_t width = kRollWidth;  // hundredths of a millimetre
  std::uint32_t length = kRollDefaultLength;
  std::uint32_t leftMargin = kRollLeftMargin;
  bool named = false;  // the job named it: pages have its length
};

struct PlacementRequest {
  Media media;
  Scaling scaling = Scaling::kAuto;
  Orientation orientation = Orientation::kPortrait;
};

// The keywords and numbers as IPP writes them; false for anything else.
bool parseScaling(std::string_view keyword, Scaling* scaling);
bool parseOrientation(std::string_view number, Orientation* orientation);
const char* scalingKeyword(Scaling scaling);

// Hundredths of a millimetre as dots at 203 dpi, not rounded.
double dotsFromHundredths(double hundredths);
// The media's width in whole dots, rounded up: what no page may exceed.
std::uint32_t mediaWidthDots(const Media& media);
// The head's first dot from the media's left edge, rounded.
std::uint32_t leftMarginDots(const Media& media);

struct PageLayout {
  std::uint32_t pageRows = 0;      // lines of the page
  std::int64_t paperLength = 0;    // tenths of a millimetre that hold them
  Orientation orientation = Orientation::kPortrait;
  std::uint32_t width = 0;         // the picture as placed, in dots
  std::uint32_t height = 0;
  std::int64_t left = 0;           // head dot of the placed picture's first column
  std::int64_t top = 0;            // page line of its first row
  Scaling applied = Scaling::kNone;  // what auto and auto-fit came to
  std::string notice;              // what is cut off, when anything is
};

// The picture's page. `picture` must hold at least one pixel.
PageLayout placePicture(const Picture& picture, const PlacementRequest& request);

// One page of head lines: the picture scaled (an average of the pixels
// each dot covers; the nearest pixel when enlarging), turned and placed as
// `layout` says. A picture that is black and white and not reduced is
// copied exactly, a dot for each black pixel; any other goes through the
// row dither, which never turns pure black into a blank nor pure white into
// a dot. The lines are made once, when the page is made (at most
// kMostPageRows of 72 bytes), so that each copy prints them again without
// the picture; that takes a pass over the picture's pixels at most.
class PicturePage final : public frontend::PageSource {
 public:
  PicturePage(const Picture& picture, const PageLayout& layout);

  // Starts over for another copy.
  void rewind() {
    opened_ = false;
    next_ = 0;
  }

  bool nextPage() override;
  frontend::PageShape shape() const override { return {layout_.pageRows, layout_.paperLength}; }
  std::string pageNotice() const override { return layout_.notice; }
  std::uint32_t rowsLeft() const override { return opened_ ? layout_.pageRows - next_ : 0; }
  bool readLine(jobstate::RasterLine* line) override;
  const std::string& error() const override { return error_; }

 private:
  PageLayout layout_;
  std::vector<jobstate::RasterLine> lines_;  // the page's lines, rows of it past the picture blank
  bool opened_ = false;
  std::uint32_t next_ = 0;
  std::string error_;
};

}  // namespace documents

#endif  // QMX_DOCUMENTS_PLACEMENT_H_
