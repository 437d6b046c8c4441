#include "app/picture_width.h"

#include <cstdint>
#include <cstring>
#include <fstream>
#include <vector>

namespace app {
namespace {

constexpr std::uint8_t kPngSignature[] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1a, '\n'};
constexpr std::size_t kPngWidthAt = 16;  // after the signature, IHDR's length and type
constexpr std::uint8_t kMarker = 0xFF;
constexpr std::uint8_t kStartOfImage = 0xD8;

std::uint32_t bigEndian(const std::uint8_t* p, int bytes) {
  std::uint32_t value = 0;
  for (int i = 0; i < bytes; ++i) value = value << 8 | p[i];
  return value;
}

// A start-of-frame marker (SOF0 to SOF15 but DHT, JPG and DAC) says the size.
bool isStartOfFrame(std::uint8_t marker) {
  return marker >= 0xC0 && marker <= 0xCF && marker != 0xC4 && marker != 0xC8 && marker != 0xCC;
}

long jpegWidth(const std::vector<std::uint8_t>& b) {
  std::size_t at = 2;
  while (at + 4 <= b.size()) {
    if (b[at] != kMarker) return -1;
    const std::uint8_t marker = b[at + 1];
    if (marker == kMarker) {  // fill byte
      ++at;
      continue;
    }
    const std::size_t length = bigEndian(&b[at + 2], 2);
    if (isStartOfFrame(marker)) return at + 9 <= b.size() && length >= 7 ? bigEndian(&b[at + 7], 2) : -1;
    if (length < 2) return -1;
    at += 2 + length;
  }
  return -1;
}

}  // namespace

long pictureWidth(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::vector<std::uint8_t> bytes(static_cast<std::size_t>(kMostHeaderBytes));
  in.read(reinterpret_cast<char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  bytes.resize(static_cast<std::size_t>(in.gcount()));
  if (bytes.size() >= kPngWidthAt + 4 && std::memcmp(bytes.data(), kPngSignature, sizeof kPngSignature) == 0) {
    return bigEndian(&bytes[kPngWidthAt], 4);
  }
  if (bytes.size() >= 4 && bytes[0] == kMarker && bytes[1] == kStartOfImage) return jpegWidth(bytes);
  return -1;
}

}  // namespace app
