#include "documents/raster_stream.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "frontend/log_text.h"

namespace qmxcups {
namespace {

constexpr std::size_t kInputBytes = 64 * 1024;
constexpr std::size_t kSyncBytes = 4;
constexpr std::size_t kAppleFileHeaderBytes = 8;  // after the sync word: the rest of "UNIRAST\0" and a page count
constexpr std::size_t kAppleHeaderBytes = 32;

// The compressed rows' codes (libcups' modified PackBits): a row starts
// with a byte saying how many times it stands (that plus one); then 128
// clears the rest of the row, above 128 is 257 minus the number of pixels
// given as they are, below 128 is one less than the number of times the
// next pixel stands.
constexpr int kClearToEnd = 128;
constexpr int kLiteralBase = 257;

struct Memory {
  const std::uint8_t* data;
  std::size_t size;
  std::size_t at = 0;
};

ssize_t readMemory(void* context, unsigned char* buffer, std::size_t length) {
  auto* m = static_cast<Memory*>(context);
  const std::size_t n = std::min(length, m->size - m->at);
  if (n > 0) std::memcpy(buffer, m->data + m->at, n);
  m->at += n;
  return static_cast<ssize_t>(n);
}

bool isVersion1(unsigned sync) { return sync == CUPS_RASTER_SYNCv1 || sync == CUPS_RASTER_REVSYNCv1; }
bool isApple(unsigned sync) { return sync == CUPS_RASTER_SYNCapple || sync == CUPS_RASTER_REVSYNCapple; }
bool isCompressed(unsigned sync) {
  return sync == CUPS_RASTER_SYNCv2 || sync == CUPS_RASTER_REVSYNCv2 || isApple(sync);
}
bool isKnownSync(unsigned sync) {
  return sync == CUPS_RASTER_SYNC || sync == CUPS_RASTER_REVSYNC || isVersion1(sync) || isCompressed(sync);
}

// The colour spaces whose "clear to the end" is white in libcups' decoder.
bool clearsToOnes(unsigned space) {
  return space == CUPS_CSPACE_W || space == CUPS_CSPACE_RGB || space == CUPS_CSPACE_SW ||
         space == CUPS_CSPACE_SRGB || space == CUPS_CSPACE_RGBW || space == CUPS_CSPACE_ADOBERGB;
}

// libcups' last raster message on one line, or "" when it left none.
std::string libcupsReason() {
  const char* message = cupsRasterErrorString();
  std::string reason = message != nullptr ? message : "";
  while (!reason.empty() && (reason.back() == '\n' || reason.back() == ' ')) reason.pop_back();
  return reason.empty() ? reason : " (" + frontend::loggable(reason) + ")";
}

}  // namespace

ssize_t readFileDescriptor(void* context, unsigned char* buffer, std::size_t length) {
  const int fd = *static_cast<const int*>(context);
  for (;;) {
    const ssize_t n = ::read(fd, buffer, length);
    if (n >= 0 || errno != EINTR) return n;
  }
}

RasterStream::RasterStream(ReadBytes read, void* context) : read_(read), context_(context), input_(kInputBytes) {}

RasterStream::Header RasterStream::bad(std::string message) {
  if (error_.empty()) error_ = std::move(message);
  return Header::kBad;
}

const std::uint8_t* RasterStream::badRow(std::string message) {
  bad(std::move(message));
  return nullptr;
}

bool RasterStream::fill() {
  if (inputEnded_ || !error_.empty()) return false;
  const ssize_t n = read_(context_, input_.data(), input_.size());
  if (n < 0) {
    bad(std::string("cannot read the raster: ") + std::strerror(errno));
    inputEnded_ = true;
    return false;
  }
  if (n == 0) {
    inputEnded_ = true;
    return false;
  }
  at_ = 0;
  end_ = static_cast<std::size_t>(n);
  return true;
}

bool RasterStream::atEnd() { return at_ == end_ && !fill(); }

int RasterStream::byteAfterRefill() {
  if (!fill()) return -1;
  return input_[at_++];
}

std::size_t RasterStream::take(std::uint8_t* out, std::size_t length) {
  std::size_t done = 0;
  while (done < length) {
    if (at_ == end_ && !fill()) break;
    const std::size_t n = std::min(length - done, end_ - at_);
    std::memcpy(out + done, input_.data() + at_, n);
    at_ += n;
    done += n;
  }
  return done;
}

bool RasterStream::readSync() {
  prefix_.assign(kSyncBytes, 0);
  const std::size_t got = take(prefix_.data(), kSyncBytes);
  if (!error_.empty()) return false;
  if (got == 0) return bad("the raster stream is empty"), false;
  unsigned sync = 0;
  std::memcpy(&sync, prefix_.data(), sizeof sync);
  if (got < kSyncBytes || !isKnownSync(sync))
    return bad("not CUPS raster: the stream starts " + frontend::hexBytes(prefix_.data(), got)), false;
  if (isApple(sync)) {
    prefix_.resize(kSyncBytes + kAppleFileHeaderBytes);
    if (take(prefix_.data() + kSyncBytes, kAppleFileHeaderBytes) != kAppleFileHeaderBytes)
      return bad("the raster ends inside its file header"), false;
  }
  headerBytes_ = isApple(sync) ? kAppleHeaderBytes : isVersion1(sync) ? sizeof(cups_page_header_t)
                                                                      : sizeof(cups_page_header2_t);
  compressed_ = isCompressed(sync);
  return true;
}

bool RasterStream::parseHeader(const std::vector<std::uint8_t>& bytes, cups_page_header2_t* header) {
  std::vector<std::uint8_t> stream(prefix_);
  stream.insert(stream.end(), bytes.begin(), bytes.end());
  Memory memory{stream.data(), stream.size()};
  cups_raster_t* raster = cupsRasterOpenIO(readMemory, &memory, CUPS_RASTER_READ);
  if (raster == nullptr) return bad("libcups cannot open the raster" + libcupsReason()), false;
  const bool read = cupsRasterReadHeader2(raster, header) != 0;
  const std::string reason = read ? "" : libcupsReason();
  cupsRasterClose(raster);
  if (!read) return bad("the page header is not one libcups reads" + reason), false;
  return true;
}

void RasterStream::startPage(const cups_page_header2_t& h) {
  rowBytes_ = h.cupsBytesPerLine;
  const unsigned order = fieldNumber(h.cupsColorOrder);
  const unsigned bits = order == CUPS_ORDER_CHUNKED ? h.cupsBitsPerPixel : h.cupsBitsPerColor;
  pixelBytes_ = std::max(1u, (bits + 7) / 8);
  clearByte_ = clearsToOnes(fieldNumber(h.cupsColorSpace)) ? 0xFF : 0x00;
  // As libcups counts them: a plane is a row of its own (32-bit, as there).
  pageRows_ = order == CUPS_ORDER_PLANAR ? static_cast<std::uint32_t>(h.cupsHeight * h.cupsNumColors) : h.cupsHeight;
  rowsLeft_ = pageRows_;
  rowUses_ = 0;
}

RasterStream::Header RasterStream::readHeader(cups_page_header2_t* header) {
  if (!error_.empty()) return Header::kBad;
  if (!started_) {
    started_ = true;
    if (!readSync()) return Header::kBad;
  }
  while (rowsLeft_ > 0) {
    if (readRow() == nullptr) return Header::kBad;
  }
  if (atEnd()) return error_.empty() ? Header::kEnd : Header::kBad;
  std::vector<std::uint8_t> bytes(headerBytes_);
  const std::size_t got = take(bytes.data(), bytes.size());
  if (!error_.empty()) return Header::kBad;
  if (got < bytes.size())
    return bad("the raster ends inside the page header (" + std::to_string(got) + " of " +
               std::to_string(bytes.size()) + " bytes)");
  if (!parseHeader(bytes, header)) return Header::kBad;
  startPage(*header);
  return Header::kPage;
}

bool RasterStream::decodeRow() {
  const int uses = nextByte();
  if (uses < 0) return false;
  rowUses_ = static_cast<std::uint32_t>(uses) + 1;
  std::uint8_t* row = row_.data();
  std::size_t at = 0;
  while (at < rowBytes_) {
    const int code = nextByte();
    if (code < 0) return false;
    const std::size_t left = rowBytes_ - at;
    if (code == kClearToEnd) {
      std::memset(row + at, clearByte_, left);
      at = rowBytes_;
    } else if (code > kClearToEnd) {
      const std::size_t n = std::min<std::size_t>(kLiteralBase - code, left);
      if (take(row + at, n) != n) return false;
      at += n;
    } else {
      const std::size_t n = std::min<std::size_t>(code + 1, left);
      const int value = nextByte();
      if (value < 0) return false;
      std::memset(row + at, value, n);
      at += n;
    }
  }
  return true;
}

const std::uint8_t* RasterStream::readRow() {
  if (!error_.empty()) return nullptr;
  if (rowsLeft_ == 0) return badRow("no row left on the page");
  if (pixelBytes_ != 1) return badRow("pixels of " + std::to_string(pixelBytes_) + " bytes are not read");
  if (rowBytes_ > kMostRowBytes)
    return badRow("rows of " + std::to_string(rowBytes_) + " bytes are longer than the " +
                  std::to_string(kMostRowBytes) + " read");
  if (row_.size() != rowBytes_) row_.assign(rowBytes_, 0);
  const bool read = compressed_ ? rowUses_ > 0 || decodeRow() : take(row_.data(), rowBytes_) == rowBytes_;
  if (!read)
    return badRow("the raster ends after " + std::to_string(pageRows_ - rowsLeft_) + " of " +
                  std::to_string(pageRows_) + " rows");
  if (compressed_) --rowUses_;
  --rowsLeft_;
  return row_.data();
}

}  // namespace qmxcups
