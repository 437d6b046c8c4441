#include "app/grey_png.h"

#include <fcntl.h>
#include <unistd.h>
#include <zlib.h>

#include <cerrno>
#include <cmath>
#include <cstring>

namespace app {
namespace {

constexpr std::uint8_t kSignature[] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1a, '\n'};
constexpr std::uint8_t kBitDepth = 8;
constexpr std::uint8_t kGreyColourType = 0;
constexpr std::uint8_t kNoFilter = 0;
constexpr std::uint8_t kUnitMetre = 1;
constexpr double kMetresPerInch = 0.0254;
constexpr mode_t kOwnerOnly = 0600;

void putWord(std::vector<std::uint8_t>& out, std::uint32_t value) {
  for (int shift = 24; shift >= 0; shift -= 8) out.push_back(static_cast<std::uint8_t>(value >> shift));
}

void putChunk(std::vector<std::uint8_t>& out, const char type[4], const std::vector<std::uint8_t>& data) {
  putWord(out, static_cast<std::uint32_t>(data.size()));
  const std::size_t typeAt = out.size();
  out.insert(out.end(), type, type + 4);
  out.insert(out.end(), data.begin(), data.end());
  const uLong crc = crc32(0L, out.data() + typeAt, static_cast<uInt>(out.size() - typeAt));
  putWord(out, static_cast<std::uint32_t>(crc));
}

std::vector<std::uint8_t> header(const GreyImage& image) {
  std::vector<std::uint8_t> data;
  putWord(data, image.width);
  putWord(data, image.height);
  data.insert(data.end(), {kBitDepth, kGreyColourType, 0, 0, 0});  // deflate, adaptive filters, no interlace
  return data;
}

std::vector<std::uint8_t> resolution(int dotsPerInch) {
  const auto perMetre = static_cast<std::uint32_t>(std::lround(dotsPerInch / kMetresPerInch));
  std::vector<std::uint8_t> data;
  putWord(data, perMetre);
  putWord(data, perMetre);
  data.push_back(kUnitMetre);
  return data;
}

// The rows, each after its filter byte, deflated; empty on failure.
std::vector<std::uint8_t> imageData(const GreyImage& image) {
  std::vector<std::uint8_t> raw;
  raw.reserve(static_cast<std::size_t>(image.width + 1) * image.height);
  for (std::uint32_t y = 0; y < image.height; ++y) {
    raw.push_back(kNoFilter);
    const auto* row = image.pixels.data() + static_cast<std::size_t>(y) * image.width;
    raw.insert(raw.end(), row, row + image.width);
  }
  uLongf size = compressBound(static_cast<uLong>(raw.size()));
  std::vector<std::uint8_t> packed(size);
  if (compress2(packed.data(), &size, raw.data(), static_cast<uLong>(raw.size()), Z_BEST_COMPRESSION) != Z_OK) {
    return {};
  }
  packed.resize(size);
  return packed;
}

}  // namespace

std::vector<std::uint8_t> encodeGreyPng(const GreyImage& image, int dotsPerInch) {
  if (image.width == 0 || image.height == 0 ||
      image.pixels.size() != static_cast<std::size_t>(image.width) * image.height) {
    return {};
  }
  const std::vector<std::uint8_t> data = imageData(image);
  if (data.empty()) return {};
  std::vector<std::uint8_t> png(std::begin(kSignature), std::end(kSignature));
  putChunk(png, "IHDR", header(image));
  putChunk(png, "pHYs", resolution(dotsPerInch));
  putChunk(png, "IDAT", data);
  putChunk(png, "IEND", {});
  return png;
}

std::string writeGreyPng(const std::string& path, const GreyImage& image, int dotsPerInch) {
  const std::vector<std::uint8_t> png = encodeGreyPng(image, dotsPerInch);
  if (png.empty()) return "the image cannot be encoded";
  const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, kOwnerOnly);
  if (fd < 0) return path + ": " + std::strerror(errno);
  std::size_t done = 0;
  while (done < png.size()) {
    const ssize_t n = write(fd, png.data() + done, png.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    done += static_cast<std::size_t>(n);
  }
  const bool closed = close(fd) == 0;
  if (done != png.size() || !closed) {
    unlink(path.c_str());
    return path + ": write failed";
  }
  return "";
}

}  // namespace app
