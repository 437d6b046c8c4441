// Page images in and out: PBM (P1, P4), PNG and JPEG read into 576-dot rows
// (through the shared reader, documents/picture.h), and rows written back as
// PBM, PNG or a colour preview with cut marks.
//
// A row is 72 bytes, the most significant bit of byte 0 the leftmost dot, a
// set bit a black dot. No function here throws; failures come back as text.
#ifndef QMX_TOOLS_IMAGE_IO_H_
#define QMX_TOOLS_IMAGE_IO_H_

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "output/commands.h"

namespace image_io {

using Row = std::array<std::uint8_t, commands::kLineBytes>;
using Rows = std::vector<Row>;

// Tallest image read, in rows: about 8 m of paper, far above the longest
// page, and a bound on the memory a forged header can ask for.
inline constexpr std::uint32_t kMaxReadRows = 1u << 16;

struct ReadResult {
  std::string error;  // empty on success
  Rows rows;          // one per image row, padded with white on the right
  std::uint32_t width = 0;  // the image's own width in dots, at most 576

  bool ok() const { return error.empty(); }
};

// Reads a PBM (P1 or P4), PNG or JPEG image, recognised by its first bytes.
// An image wider than 576 dots is an error. Black and white images are
// taken dot for dot; others are converted to grey as documents/picture.h
// says (composited on white where they have alpha) and dithered to one bit
// (Floyd-Steinberg, dark becomes a dot).
ReadResult readImage(std::span<const std::uint8_t> bytes);
ReadResult readImageFile(const std::string& path);

enum class PngDepth { kOneBit, kEightBit };

// Tallest PNG written, in rows: PNG's own limit. The PNG writers make one
// row at a time, so their memory does not grow with the image.
inline constexpr std::uint32_t kMaxWriteRows = 0x7FFFFFFF;

// Each writer replaces `path` and returns "" on success, else a message
// naming the file. PNG cannot hold an image of no rows, so writing empty
// `rows` as PNG is an error; PBM writes a 576 x 0 image. A write that fails
// removes `path` only when it created it.
std::string writePbm(const std::string& path, const Rows& rows);
std::string writePng(const std::string& path, const Rows& rows, PngDepth depth);

struct PreviewMarks {
  std::vector<std::size_t> cutRows;   // rows at which the paper is cut
  std::vector<std::size_t> markRows;  // rows at which the paper was fed to a mark
  // Rows the paper was fed over, [first, first + count): blank paper that
  // no raster line made.
  std::vector<std::pair<std::size_t, std::size_t>> fedRows;
  bool border = false;  // frame the 576-dot width in grey
};

// Writes an RGB PNG of the rows with a dashed line across the width at each
// mark: red and grey for cuts, blue for mark feeds. The lines are inserted
// between rows, so a row index equal to rows.size() marks the paper's end
// and no printed dot is hidden. Fed rows are tinted pale yellow where they
// have no dot.
std::string writePreviewPng(const std::string& path, const Rows& rows, const PreviewMarks& marks);

}  // namespace image_io

#endif  // QMX_TOOLS_IMAGE_IO_H_
