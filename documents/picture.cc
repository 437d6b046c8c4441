#include "documents/picture.h"

#include <png.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <exception>

#include "documents/picture_decoders.h"

namespace documents {
namespace {

constexpr std::size_t kPngSignatureBytes = 8;
constexpr std::uint8_t kJpegStart[] = {0xFF, 0xD8, 0xFF};
constexpr std::size_t kReadChunk = 64 * 1024;
constexpr std::uint8_t kBlack = 0;
constexpr std::uint8_t kWhite = 255;

bool isBilevel(const std::vector<std::uint8_t>& grey) {
  return std::all_of(grey.begin(), grey.end(), [](std::uint8_t v) { return v == kBlack || v == kWhite; });
}

bool decode(std::span<const std::uint8_t> bytes, const PictureLimits& limits, Picture* picture, std::string* error) {
  switch (pictureFormatOf(bytes)) {
    case PictureFormat::kPng:
      return decoders::decodePng(bytes, limits, picture, error);
    case PictureFormat::kJpeg:
      return decoders::decodeJpeg(bytes, limits, picture, error);
    case PictureFormat::kPbm:
      return decoders::decodePbm(bytes, limits, picture, error);
    case PictureFormat::kNone:
      break;
  }
  *error = std::string("not a PBM (P1 or P4), PNG or JPEG image") + (bytes.empty() ? ": it is empty" : "");
  return false;
}

}  // namespace

namespace decoders {

std::string sizeProblem(std::uint64_t width, std::uint64_t height, const PictureLimits& limits) {
  if (width == 0) return "image has no width";
  if (height == 0 && !limits.noRowsTaken) return "image has no rows";
  const std::uint64_t mostWidth = std::min(limits.mostWidth, kMostPictureSide);
  const std::uint64_t mostHeight = std::min(limits.mostHeight, kMostPictureSide);
  if (width > mostWidth)
    return "image is " + std::to_string(width) + " dots wide; at most " + std::to_string(mostWidth) + " are read";
  if (height > mostHeight)
    return "image is " + std::to_string(height) + " rows tall; at most " + std::to_string(mostHeight) + " are read";
  if (width * height > kMostPicturePixels)
    return "image has " + std::to_string(width * height) + " pixels; at most " + std::to_string(kMostPicturePixels) +
           " are read";
  return "";
}

bool allocateGrey(Picture* picture, std::uint32_t width, std::uint32_t height) {
  try {
    picture->grey.assign(std::size_t{width} * height, kWhite);
  } catch (const std::exception&) {
    return false;
  }
  picture->width = width;
  picture->height = height;
  return true;
}

}  // namespace decoders

PictureFormat pictureFormatOf(std::span<const std::uint8_t> bytes) {
  if (bytes.size() >= kPngSignatureBytes && png_sig_cmp(bytes.data(), 0, kPngSignatureBytes) == 0)
    return PictureFormat::kPng;
  if (bytes.size() >= sizeof kJpegStart && std::equal(std::begin(kJpegStart), std::end(kJpegStart), bytes.begin()))
    return PictureFormat::kJpeg;
  if (bytes.size() >= 2 && bytes[0] == 'P' && (bytes[1] == '1' || bytes[1] == '4')) return PictureFormat::kPbm;
  return PictureFormat::kNone;
}

const char* formatName(PictureFormat format) {
  switch (format) {
    case PictureFormat::kPng:
      return "PNG";
    case PictureFormat::kJpeg:
      return "JPEG";
    case PictureFormat::kPbm:
      return "PBM";
    case PictureFormat::kNone:
      break;
  }
  return "unknown";
}

bool readPicture(std::span<const std::uint8_t> bytes, const PictureLimits& limits, Picture* picture,
                 std::string* error) {
  *picture = Picture{};
  bool read = false;
  try {
    read = decode(bytes, limits, picture, error);
  } catch (const std::exception&) {
    *error = "out of memory";
  }
  if (!read) {
    if (error->empty()) *error = "out of memory";
    *picture = Picture{};
    return false;
  }
  picture->format = pictureFormatOf(bytes);
  picture->bilevel = isBilevel(picture->grey);
  return true;
}

bool readDocumentBytes(int fd, std::vector<std::uint8_t>* bytes, std::string* error) {
  try {
    bytes->clear();
    for (;;) {
      const std::size_t at = bytes->size();
      if (at > kMostPictureBytes) {
        *error = "the document is longer than " + std::to_string(kMostPictureBytes) + " bytes, the most read";
        return false;
      }
      bytes->resize(at + kReadChunk);
      const ssize_t n = ::read(fd, bytes->data() + at, kReadChunk);
      if (n < 0 && errno == EINTR) {
        bytes->resize(at);
        continue;
      }
      if (n < 0) {
        *error = std::string("cannot read the document: ") + std::strerror(errno);
        return false;
      }
      bytes->resize(at + static_cast<std::size_t>(n));
      if (n == 0) return true;
    }
  } catch (const std::exception&) {
    *error = "out of memory";
    return false;
  }
}

}  // namespace documents
