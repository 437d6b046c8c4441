#include "host/byte_sink.h"

#include <cerrno>
#include <cstring>

#if defined(_WIN32)
#include <io.h>
#else
#include <unistd.h>
#endif

namespace host {
namespace {

long writeSome(int fd, const std::uint8_t* bytes, std::size_t length) {
#if defined(_WIN32)
  const unsigned chunk = length > 0x40000000u ? 0x40000000u : static_cast<unsigned>(length);
  return _write(fd, bytes, chunk);
#else
  return static_cast<long>(::write(fd, bytes, length));
#endif
}

}  // namespace

bool FdSink::write(const std::uint8_t* bytes, std::size_t length) {
  if (!error_.empty()) return false;
  while (length > 0) {
    long written = writeSome(fd_, bytes, length);
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) {
      error_ = "cannot write to " + name_ + ": " + (written < 0 ? std::strerror(errno) : "nothing was taken");
      return false;
    }
    bytes += written;
    length -= static_cast<std::size_t>(written);
  }
  return true;
}

bool MemorySink::write(const std::uint8_t* bytes, std::size_t length) {
  groups_.emplace_back(bytes, bytes + length);
  return true;
}

std::vector<std::uint8_t> MemorySink::stream() const {
  std::vector<std::uint8_t> all;
  for (const auto& group : groups_) all.insert(all.end(), group.begin(), group.end());
  return all;
}

bool CallbackSink::write(const std::uint8_t* bytes, std::size_t length) { return callback_(bytes, length); }

bool TeeSink::write(const std::uint8_t* bytes, std::size_t length) {
  if (!first_.write(bytes, length)) {
    firstFailed_ = true;
    return false;
  }
  return second_.write(bytes, length);
}

std::string TeeSink::error() const { return firstFailed_ ? first_.error() : second_.error(); }

}  // namespace host
