// A CUPS raster stream read page by page, with its framing in our hands:
// the reader knows where every page header starts and whether any byte is
// left, so the clean end of a stream (no byte after the last page's last
// row) is told apart from a stream cut short or a header that does not
// read. libcups' cupsRasterReadHeader2 answers 0 for all three.
//
// Each page header is parsed by libcups itself, handed the stream's sync
// word and the header's bytes: byte order, the version-1 layout, Apple
// raster's short header and libcups' own checks stay libcups'. The rows are
// decoded here (the compressed form is libcups' modified PackBits, row
// repeats included); a repeated row costs nothing, which libcups' decoder
// cannot offer (it copies the row, and each repeated pixel byte, again).
//
//   qmxcups::RasterStream stream(qmxcups::readFileDescriptor, &fd);
//   cups_page_header2_t header;
//   while (stream.readHeader(&header) == qmxcups::RasterStream::Header::kPage)
//     for (std::uint32_t y = 0; y < header.cupsHeight; ++y) row = stream.readRow();
//
// Memory is a 64 KiB input buffer and one row, whatever the page's length.
#ifndef QMX_DOCUMENTS_RASTER_STREAM_H_
#define QMX_DOCUMENTS_RASTER_STREAM_H_

#include <cups/raster.h>
#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

namespace qmxcups {

// Reads up to `length` bytes into `buffer`: the count read, 0 at the end of
// the stream, -1 on an error with errno set. The form of cups_raster_iocb_t.
using ReadBytes = ssize_t (*)(void* context, unsigned char* buffer, std::size_t length);

// ReadBytes over a file descriptor; `context` points to the int.
ssize_t readFileDescriptor(void* context, unsigned char* buffer, std::size_t length);

// A header's enumerated field (colour space, colour order) as the number
// the stream holds: it may hold one the enumeration lacks, which is no
// value of the type.
template <typename Enum>
unsigned fieldNumber(const Enum& field) {
  unsigned number = 0;
  static_assert(sizeof number == sizeof field);
  std::memcpy(&number, &field, sizeof number);
  return number;
}

// The longest row read, in bytes: far above any page the printer takes
// (16384 dots of 8-bit grey), and a bound on what a forged header can make
// the reader allocate.
inline constexpr std::uint32_t kMostRowBytes = 1u << 20;

class RasterStream {
 public:
  // `read` and `context` must stay valid while the stream is read.
  RasterStream(ReadBytes read, void* context);
  RasterStream(const RasterStream&) = delete;
  RasterStream& operator=(const RasterStream&) = delete;

  enum class Header {
    kPage,  // *header holds the next page's header, as libcups reads it
    kEnd,   // the stream ended where a header would start: no byte was left
    kBad,   // error() says why: not CUPS raster, cut short inside a header or
            // the rows before it, a header libcups refuses, a read error
  };

  // Reads the next page header, first skipping the current page's unread
  // rows. After kEnd or kBad every further call answers the same.
  Header readHeader(cups_page_header2_t* header);

  // The current page's next row (its header's cupsBytesPerLine bytes),
  // valid until the next call of either function. Null with error() set
  // when the stream ends or fails inside the row, no row is left, or the
  // page's pixels are wider than a byte or its rows longer than
  // kMostRowBytes (rows this reader does not decode).
  const std::uint8_t* readRow();
  // Rows of the current page not yet read.
  std::uint64_t rowsLeft() const { return rowsLeft_; }

  const std::string& error() const { return error_; }

 private:
  bool readSync();
  bool atEnd();  // no byte left; refills the buffer
  bool fill();
  int nextByte() { return at_ < end_ ? input_[at_++] : byteAfterRefill(); }  // -1 at the end
  int byteAfterRefill();
  // Copies `length` bytes; the count copied, short at the end.
  std::size_t take(std::uint8_t* out, std::size_t length);
  bool parseHeader(const std::vector<std::uint8_t>& bytes, cups_page_header2_t* header);
  void startPage(const cups_page_header2_t& header);
  bool decodeRow();
  Header bad(std::string message);
  const std::uint8_t* badRow(std::string message);

  ReadBytes read_;
  void* context_;
  std::vector<std::uint8_t> input_;
  std::size_t at_ = 0, end_ = 0;
  bool inputEnded_ = false;

  std::vector<std::uint8_t> prefix_;  // the stream's opening bytes, as libcups reads them before a header
  std::size_t headerBytes_ = 0;
  bool compressed_ = false;
  bool started_ = false;

  // The current page.
  std::uint32_t rowBytes_ = 0;
  std::uint32_t pixelBytes_ = 1;
  std::uint8_t clearByte_ = 0;   // what "clear to the end of the row" fills with
  std::uint64_t pageRows_ = 0;
  std::uint64_t rowsLeft_ = 0;
  std::uint32_t rowUses_ = 0;    // further rows the decoded row stands for
  std::vector<std::uint8_t> row_;

  std::string error_;
};

}  // namespace qmxcups

#endif  // QMX_DOCUMENTS_RASTER_STREAM_H_
