// PBM: the tools' own format. P1 (plain: '0' and '1' between whitespace)
// and P4 (raw: rows of whole bytes, the most significant bit first); a 1
// is a black dot.
#include "documents/picture_decoders.h"

namespace documents::decoders {
namespace {

constexpr std::uint8_t kBlack = 0;
constexpr std::size_t kMagicBytes = 2;
constexpr std::uint64_t kNumberCeiling = std::uint64_t{1} << 32;  // any header number past a side's bound

class PbmScanner {
 public:
  explicit PbmScanner(std::span<const std::uint8_t> bytes) : bytes_(bytes) {}

  // Whitespace and '#' comments, as allowed between header fields.
  void skipSeparators() {
    while (pos_ < bytes_.size()) {
      if (bytes_[pos_] == '#') {
        while (pos_ < bytes_.size() && bytes_[pos_] != '\n' && bytes_[pos_] != '\r') ++pos_;
      } else if (isSpace(bytes_[pos_])) {
        ++pos_;
      } else {
        return;
      }
    }
  }

  bool readNumber(std::uint64_t* value) {
    skipSeparators();
    const std::size_t start = pos_;
    *value = 0;
    while (pos_ < bytes_.size() && isDigit(bytes_[pos_]) && *value < kNumberCeiling) {
      *value = *value * 10 + (bytes_[pos_++] - '0');
    }
    return pos_ > start && (pos_ == bytes_.size() || !isDigit(bytes_[pos_]));
  }

  // The one whitespace byte that ends a binary header.
  bool skipOneSpace() {
    if (pos_ >= bytes_.size() || !isSpace(bytes_[pos_])) return false;
    ++pos_;
    return true;
  }

  // Next '0' or '1' of plain pixel data: 0 or 1, -1 at the end of the data,
  // -2 on any other byte.
  int nextPlainPixel() {
    while (pos_ < bytes_.size() && isSpace(bytes_[pos_])) ++pos_;
    if (pos_ == bytes_.size()) return -1;
    const std::uint8_t c = bytes_[pos_++];
    return c == '0' ? 0 : c == '1' ? 1 : -2;
  }

  std::span<const std::uint8_t> rest() const { return bytes_.subspan(pos_); }
  std::size_t position() const { return pos_; }

 private:
  static bool isSpace(std::uint8_t c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f';
  }
  static bool isDigit(std::uint8_t c) { return c >= '0' && c <= '9'; }

  std::span<const std::uint8_t> bytes_;
  std::size_t pos_ = kMagicBytes;
};

bool readPlainPixels(PbmScanner& scanner, Picture* picture, std::string* error) {
  const std::uint32_t width = picture->width, height = picture->height;
  for (std::uint32_t y = 0; y < height; ++y) {
    for (std::uint32_t x = 0; x < width; ++x) {
      const int pixel = scanner.nextPlainPixel();
      if (pixel == -1) {
        *error = "P1 pixel data truncated: " + std::to_string(y) + " of " + std::to_string(height) + " rows";
        return false;
      }
      if (pixel == -2) {
        *error = "P1 pixel data: unexpected byte at offset " + std::to_string(scanner.position() - 1);
        return false;
      }
      if (pixel == 1) picture->grey[std::size_t{y} * width + x] = kBlack;
    }
  }
  return true;
}

void readRawPixels(const PbmScanner& scanner, Picture* picture) {
  const std::uint32_t width = picture->width, height = picture->height;
  const std::size_t rowBytes = (width + 7) / 8;
  const std::span<const std::uint8_t> data = scanner.rest();
  for (std::uint32_t y = 0; y < height; ++y) {
    const std::uint8_t* row = data.data() + std::size_t{y} * rowBytes;
    // Bits past the width are padding of any value; they are never read.
    for (std::uint32_t x = 0; x < width; ++x) {
      if ((row[x / 8] >> (7 - x % 8)) & 1) picture->grey[std::size_t{y} * width + x] = kBlack;
    }
  }
}

}  // namespace

bool decodePbm(std::span<const std::uint8_t> bytes, const PictureLimits& limits, Picture* picture,
               std::string* error) {
  PbmScanner scanner(bytes);
  std::uint64_t width = 0, height = 0;
  if (!scanner.readNumber(&width) || !scanner.readNumber(&height)) {
    *error = "PBM header: bad width or height";
    return false;
  }
  if (std::string problem = sizeProblem(width, height, limits); !problem.empty()) {
    *error = problem;
    return false;
  }
  const bool plain = bytes[1] == '1';
  // Refuse a forged height before allocating for it: each plain pixel takes
  // at least one byte, each raw row its whole bytes.
  if (plain) {
    if (scanner.rest().size() < width * height) {
      *error = "P1 pixel data truncated";
      return false;
    }
  } else {
    if (!scanner.skipOneSpace()) {
      *error = "P4 header must end with one whitespace byte";
      return false;
    }
    const std::size_t rowBytes = (width + 7) / 8;
    if (scanner.rest().size() / rowBytes < height) {
      *error = "P4 pixel data truncated: " + std::to_string(scanner.rest().size() / rowBytes) + " of " +
               std::to_string(height) + " rows";
      return false;
    }
  }
  if (!allocateGrey(picture, static_cast<std::uint32_t>(width), static_cast<std::uint32_t>(height))) {
    *error = "out of memory";
    return false;
  }
  if (plain) return readPlainPixels(scanner, picture, error);
  readRawPixels(scanner, picture);
  return true;
}

}  // namespace documents::decoders
