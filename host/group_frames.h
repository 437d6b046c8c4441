// Printer bytes framed by command group, for a reader in another process
// that must never pass half a command on to the printer.
//
// Frame: length (4 bytes, little-endian), then that many bytes: whole
// commands. The plug-in writes each command group with one DrvWriteSpoolBuf
// call, except a raster block, whose header and data are two calls; the
// header (when it announces lines) is held and framed with the data.
// A writer that dies mid-frame leaves a frame the reader never completes;
// the reader drops it, so the printer gets whole commands only. A frame of
// no bytes marks the end of a page: every byte of the page came before it.
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

// Writes whole commands as frames into `out`, which stays the caller's. A
// raster block header still waiting for its data when the writer goes is
// never written: it would be half a command.
class FramingSink final : public ByteSink {
 public:
  explicit FramingSink(ByteSink& out) : out_(out) {}
  bool write(const std::uint8_t* bytes, std::size_t length) override;
  std::string error() const override { return out_.error(); }
  // Writes the end-of-page mark: a frame of no bytes.
  bool markPageEnd() { return heldHeader_.empty() && writeFrame(nullptr, 0, nullptr, 0); }

 private:
  bool writeFrame(const std::uint8_t* first, std::size_t firstLength, const std::uint8_t* second,
                  std::size_t secondLength);

  ByteSink& out_;
  std::vector<std::uint8_t> heldHeader_;  // a raster block header waiting for its data
};

// Takes a framed stream in pieces of any size and hands out whole groups.
class FrameReader {
 public:
  // Adds bytes as they came. False once the stream is broken (a length
  // past kLargestFrame); nothing more is taken then.
  bool add(const std::uint8_t* bytes, std::size_t length);
  // Moves the next whole group into *group (empty for a page-end mark);
  // false when none is complete.
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
