// Pictures as clients and the tools send them (PNG, JPEG, PBM), read whole
// into 8-bit grey, 0 black and 255 white, row by row, top first. Every
// size is checked against the bounds below from the header, before any
// pixel is decoded or any pixel buffer allocated.
//
//   documents::Picture picture;
//   std::string error;
//   if (!documents::readPicture(bytes, {}, &picture, &error)) ... refuse, error says why
//
// Formats, recognised by their first bytes:
//   PNG   through libpng: grey of 1, 2, 4, 8 and 16 bits, palette (its tRNS
//         included), grey with alpha, RGB, RGBA; interlaced (Adam7) or not.
//   JPEG  through libjpeg: grey, YCbCr or RGB colour, CMYK and YCCK (stored
//         inverted, as Adobe's applications write it, when the file carries
//         the Adobe marker; plain otherwise); baseline or progressive.
//   PBM   P1 (plain) and P4 (raw); a 1 is a black dot.
// Colour becomes its luma (0.299 R + 0.587 G + 0.114 B, the weights JPEG's
// own Y uses), on the values as stored (no gamma); alpha is composed on
// white; 16-bit values are rounded to 8. Pure black and pure white stay 0
// and 255 exactly through every one of these steps.
//
// Resolution: a PNG's pHYs in pixels per metre, a JPEG's JFIF density in
// dots per inch or per centimetre; anything else states none.
//
// A damaged or hostile document is refused, never half read: a file cut
// short, a bad checksum or compressed stream, any error of libpng, any
// warning of libjpeg (corrupt data, a premature end), sizes past the bounds.
// libpng and libjpeg report errors by longjmp; the jumps cross only their
// own frames and plain-data frames of the decoders, and no exception leaves
// this interface.
#ifndef QMX_DOCUMENTS_PICTURE_H_
#define QMX_DOCUMENTS_PICTURE_H_

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace documents {

// Bounds on what a document can make the readers allocate or loop over.
inline constexpr std::uint32_t kMostPictureSide = 65536;             // pixels a side
inline constexpr std::uint64_t kMostPicturePixels = std::uint64_t{1} << 26;  // 64 Mi: 64 MiB of grey
inline constexpr std::size_t kMostPictureBytes = std::size_t{64} << 20;  // a picture file read whole
// libpng's limits besides the sides: any one ancillary chunk (text, ICC
// profile) and how many ancillary chunks are kept.
inline constexpr std::size_t kMostPngChunkBytes = std::size_t{4} << 20;
inline constexpr std::uint32_t kMostPngChunks = 128;
// libjpeg's working memory (a progressive picture keeps all its
// coefficients: about 2 bytes a pixel for grey, 3 for 4:2:0 colour), and
// the scans of a progressive picture (each is a pass over all of it).
inline constexpr long kMostJpegMemory = 128L << 20;
inline constexpr int kMostJpegScans = 100;

enum class PictureFormat { kNone, kPng, kJpeg, kPbm };

// The format `bytes` start like; kNone when none.
PictureFormat pictureFormatOf(std::span<const std::uint8_t> bytes);
const char* formatName(PictureFormat format);

struct Resolution {
  double x = 0;  // dots per inch; 0 when not stated
  double y = 0;
  bool stated() const { return x > 0 && y > 0; }
};

struct Picture {
  PictureFormat format = PictureFormat::kNone;
  std::uint32_t width = 0;
  std::uint32_t height = 0;
  std::vector<std::uint8_t> grey;  // width * height values
  Resolution resolution;
  bool bilevel = false;  // every value is 0 or 255

  std::uint8_t at(std::uint32_t x, std::uint32_t y) const { return grey[std::size_t{y} * width + x]; }
};

// Tighter bounds a caller may set (a tool that takes no picture wider than
// the head); the header is refused past them, naming them.
struct PictureLimits {
  std::uint32_t mostWidth = kMostPictureSide;
  std::uint32_t mostHeight = kMostPictureSide;
  // A picture of no rows (a PBM can be one) is read as it is, not refused.
  bool noRowsTaken = false;
};

// False with *error set (a sentence naming what is wrong) when the picture
// cannot be read whole; *picture is then empty.
bool readPicture(std::span<const std::uint8_t> bytes, const PictureLimits& limits, Picture* picture,
                 std::string* error);

// Reads a file descriptor to its end into *bytes: false with *error set on
// a read error or past kMostPictureBytes (nothing more is read then).
bool readDocumentBytes(int fd, std::vector<std::uint8_t>* bytes, std::string* error);

}  // namespace documents

#endif  // QMX_DOCUMENTS_PICTURE_H_
