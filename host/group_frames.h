// Printer bytes framed by command group, for a reader in another process
// that must never pass half a command on to the printer.
//
// Frame: length (4 bytes, little-endian), then that many bytes: one
// DrvWriteSpoolBuf group of the plug-in, which is always whole commands.
// A writer that dies mid-frame leaves a frame the reader never completes;
// the reader drops it, so the printer gets whole commands only.
#ifndef QMX_HOST_GROUP_FRAMES_H_
#define QMX_HOST_GROUP_FRAMES_H_

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "host/byte_sink.h"

namespace host {

inline constexpr std::size_t kFrameHeaderBytes = 4;
// No group of the plug-in comes near this: a raster block of the largest
// image-line setting is under 1 MiB. A longer length means a broken stream.
inline constexpr std::uint32_t kLargestFrame = 64u << 20;

// Writes each group as one frame into `out`, which stays the caller's.
class FramingSink final : public ByteSink {
 public:
  explicit FramingSink(ByteSink& out) : out_(out) {}
  bool write(const std::uint8_t* bytes, std::size_t length) override;
  std::string error() const override { return out_.error(); }

 private:
  ByteSink& out_;
};

// Takes a framed stream in pieces of any size and hands out whole groups.
class FrameReader {
 public:
  // Adds bytes as they came. False once the stream is broken (a length
  // past kLargestFrame); nothing more is taken then.
  bool add(const std::uint8_t* bytes, std::size_t length);
  // Moves the next whole group into *group; false when none is complete.
  bool next(std::vector<std::uint8_t>* group);
  bool broken() const { return broken_; }
  // Bytes of a frame begun and not completed (what an ended writer left).
  std::size_t pending() const { return buffer_.size() - start_; }

 private:
  std::vector<std::uint8_t> buffer_;
  std::size_t start_ = 0;  // first byte not yet handed out
  bool broken_ = false;
};

}  // namespace host

#endif  // QMX_HOST_GROUP_FRAMES_H_
