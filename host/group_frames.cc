#include "host/group_frames.h"

#include <array>

#include "output/commands.h"

namespace host {
namespace {

std::uint32_t readLength(const std::uint8_t* at) {
  return static_cast<std::uint32_t>(at[0]) | static_cast<std::uint32_t>(at[1]) << 8 |
         static_cast<std::uint32_t>(at[2]) << 16 | static_cast<std::uint32_t>(at[3]) << 24;
}

// A raster block header that announces lines: its data comes in the next call.
bool isBlockHeaderAwaitingData(const std::uint8_t* bytes, std::size_t length) {
  return length == commands::kRasterBlockHeaderBytes && bytes[0] == commands::kFS &&
         bytes[1] == commands::kRasterBlock && (bytes[3] != 0 || bytes[4] != 0);
}

}  // namespace

bool FramingSink::writeFrame(const std::uint8_t* first, std::size_t firstLength, const std::uint8_t* second,
                             std::size_t secondLength) {
  const std::size_t length = firstLength + secondLength;
  if (length > kLargestFrame) return false;
  const auto n = static_cast<std::uint32_t>(length);
  const std::array<std::uint8_t, kFrameHeaderBytes> header = {
      static_cast<std::uint8_t>(n), static_cast<std::uint8_t>(n >> 8), static_cast<std::uint8_t>(n >> 16),
      static_cast<std::uint8_t>(n >> 24)};
  return out_.write(header.data(), header.size()) && (firstLength == 0 || out_.write(first, firstLength)) &&
         (secondLength == 0 || out_.write(second, secondLength));
}

bool FramingSink::write(const std::uint8_t* bytes, std::size_t length) {
  if (!heldHeader_.empty()) {
    const std::vector<std::uint8_t> header = std::move(heldHeader_);
    heldHeader_.clear();
    return writeFrame(header.data(), header.size(), bytes, length);
  }
  if (isBlockHeaderAwaitingData(bytes, length)) {
    heldHeader_.assign(bytes, bytes + length);
    return true;
  }
  return writeFrame(bytes, length, nullptr, 0);
}

bool FrameReader::add(const std::uint8_t* bytes, std::size_t length) {
  if (broken_) return false;
  // Drop what was handed out before the buffer grows again.
  if (start_ > 0 && start_ >= buffer_.size() / 2) {
    buffer_.erase(buffer_.begin(), buffer_.begin() + static_cast<std::ptrdiff_t>(start_));
    start_ = 0;
  }
  buffer_.insert(buffer_.end(), bytes, bytes + length);
  if (pending() >= kFrameHeaderBytes && readLength(buffer_.data() + start_) > kLargestFrame) broken_ = true;
  return !broken_;
}

bool FrameReader::next(std::vector<std::uint8_t>* group) {
  if (broken_ || pending() < kFrameHeaderBytes) return false;
  const std::uint32_t length = readLength(buffer_.data() + start_);
  if (length > kLargestFrame) {
    broken_ = true;
    return false;
  }
  if (pending() - kFrameHeaderBytes < length) return false;
  const auto first = buffer_.begin() + static_cast<std::ptrdiff_t>(start_ + kFrameHeaderBytes);
  group->assign(first, first + length);
  start_ += kFrameHeaderBytes + length;
  if (pending() >= kFrameHeaderBytes && readLength(buffer_.data() + start_) > kLargestFrame) broken_ = true;
  return true;
}

}  // namespace host
