#include "tools/image_io.h"

#include <fcntl.h>
#include <png.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csetjmp>
#include <cstdio>
#include <cstring>
#include <exception>

namespace image_io {
namespace {

using commands::kLineBytes;
using commands::kLineDots;

constexpr std::uint8_t kGreyThreshold = 128;  // below: a dot

void setDot(Row& row, std::uint32_t x) { row[x / 8] |= static_cast<std::uint8_t>(0x80u >> (x % 8)); }
bool hasDot(const Row& row, std::uint32_t x) { return (row[x / 8] & (0x80u >> (x % 8))) != 0; }

ReadResult failure(std::string message) { return {std::move(message), {}, 0}; }

// The size checks every format shares; "" when the image fits.
std::string sizeProblem(std::uint64_t width, std::uint64_t height) {
  if (width == 0) return "image has no width";
  if (width > kLineDots) {
    return "image is " + std::to_string(width) + " dots wide; the head prints at most " + std::to_string(kLineDots);
  }
  if (height > kMaxReadRows) {
    return "image is " + std::to_string(height) + " rows tall; at most " + std::to_string(kMaxReadRows) + " are read";
  }
  return "";
}

// ---- PBM -------------------------------------------------------------------

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
    while (pos_ < bytes_.size() && bytes_[pos_] >= '0' && bytes_[pos_] <= '9' && *value < (1ull << 32)) {
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
  std::size_t pos_ = 2;  // after the magic number
};

ReadResult readPlainPixels(PbmScanner& scanner, std::uint32_t width, std::uint32_t height) {
  // Each pixel takes at least one byte: refuse a forged height before
  // allocating for it.
  const std::uint64_t pixels = std::uint64_t{width} * height;
  if (scanner.rest().size() < pixels) return failure("P1 pixel data truncated");
  ReadResult result{{}, Rows(height, Row{}), width};
  for (std::uint32_t y = 0; y < height; ++y) {
    for (std::uint32_t x = 0; x < width; ++x) {
      const int pixel = scanner.nextPlainPixel();
      if (pixel == -1) {
        return failure("P1 pixel data truncated: " + std::to_string(y) + " of " + std::to_string(height) + " rows");
      }
      if (pixel == -2) {
        return failure("P1 pixel data: unexpected byte at offset " + std::to_string(scanner.position() - 1));
      }
      if (pixel == 1) setDot(result.rows[y], x);
    }
  }
  return result;
}

ReadResult readRawPixels(PbmScanner& scanner, std::uint32_t width, std::uint32_t height) {
  if (!scanner.skipOneSpace()) return failure("P4 header must end with one whitespace byte");
  const std::size_t rowBytes = (width + 7) / 8;
  const std::span<const std::uint8_t> data = scanner.rest();
  if (data.size() / rowBytes < height) {
    return failure("P4 pixel data truncated: " + std::to_string(data.size() / rowBytes) + " of " +
                   std::to_string(height) + " rows");
  }
  ReadResult result{{}, Rows(height, Row{}), width};
  // Bits past the width are padding of any value; they must not print.
  const std::uint8_t lastByteMask = static_cast<std::uint8_t>(0xFFu << (rowBytes * 8 - width));
  for (std::uint32_t y = 0; y < height; ++y) {
    Row& row = result.rows[y];
    std::copy_n(data.begin() + static_cast<std::ptrdiff_t>(y * rowBytes), rowBytes, row.begin());
    row[rowBytes - 1] &= lastByteMask;
  }
  return result;
}

ReadResult readPbm(std::span<const std::uint8_t> bytes) {
  PbmScanner scanner(bytes);
  std::uint64_t width = 0, height = 0;
  if (!scanner.readNumber(&width) || !scanner.readNumber(&height)) return failure("PBM header: bad width or height");
  if (std::string problem = sizeProblem(width, height); !problem.empty()) return failure(problem);
  const auto w = static_cast<std::uint32_t>(width);
  const auto h = static_cast<std::uint32_t>(height);
  return bytes[1] == '1' ? readPlainPixels(scanner, w, h) : readRawPixels(scanner, w, h);
}

// ---- PNG in ----------------------------------------------------------------

// Floyd-Steinberg from grey (0 black, 255 white) to dots. Errors are kept
// in sixteenths, with a spare column on each side.
Rows dither(const std::vector<std::uint8_t>& grey, std::uint32_t width, std::uint32_t height) {
  Rows rows(height, Row{});
  std::vector<int> below(width + 2, 0), current(width + 2, 0);
  for (std::uint32_t y = 0; y < height; ++y) {
    std::swap(current, below);
    std::fill(below.begin(), below.end(), 0);
    for (std::uint32_t x = 0; x < width; ++x) {
      const int value = grey[std::size_t{y} * width + x] + current[x + 1] / 16;
      const bool dot = value < kGreyThreshold;
      if (dot) setDot(rows[y], x);
      const int error = value - (dot ? 0 : 255);
      current[x + 2] += error * 7;
      below[x] += error * 3;
      below[x + 1] += error * 5;
      below[x + 2] += error;
    }
  }
  return rows;
}

struct PngImageGuard {
  png_image* image;
  ~PngImageGuard() { png_image_free(image); }
};

ReadResult readPng(std::span<const std::uint8_t> bytes) {
  png_image image{};
  image.version = PNG_IMAGE_VERSION;
  PngImageGuard guard{&image};
  if (!png_image_begin_read_from_memory(&image, bytes.data(), bytes.size())) {
    return failure(std::string("PNG: ") + image.message);
  }
  if (std::string problem = sizeProblem(image.width, image.height); !problem.empty()) return failure(problem);
  image.format = PNG_FORMAT_GRAY;
  std::vector<std::uint8_t> grey(PNG_IMAGE_SIZE(image));
  const png_color white{255, 255, 255};
  if (!png_image_finish_read(&image, &white, grey.data(), 0, nullptr)) {
    return failure(std::string("PNG: ") + image.message);
  }
  return {{}, dither(grey, image.width, image.height), image.width};
}

// ---- PNG out ---------------------------------------------------------------

// An image in PNG's own layout, ready for libpng.
struct PngRaster {
  std::uint32_t width = 0;
  std::uint32_t height = 0;
  int bitDepth = 8;
  int colourType = PNG_COLOR_TYPE_GRAY;
  std::size_t stride = 0;
  std::vector<std::uint8_t> pixels;
};

struct PngErrorSink {
  char message[256] = "";
};

[[noreturn]] void onPngError(png_structp png, png_const_charp message) {
  auto* sink = static_cast<PngErrorSink*>(png_get_error_ptr(png));
  std::snprintf(sink->message, sizeof sink->message, "%s", message);
  png_longjmp(png, 1);
}

void onPngWarning(png_structp, png_const_charp) {}

// libpng reports errors by longjmp: everything between setjmp and the
// libpng calls is plain data, so the jump skips no destructor.
bool encodePng(std::FILE* file, const PngRaster& raster, png_bytep* rowPointers, PngErrorSink* sink) {
  png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, sink, onPngError, onPngWarning);
  png_infop info = png ? png_create_info_struct(png) : nullptr;
  if (info == nullptr) {
    png_destroy_write_struct(&png, nullptr);
    std::snprintf(sink->message, sizeof sink->message, "out of memory");
    return false;
  }
  if (setjmp(png_jmpbuf(png))) {
    png_destroy_write_struct(&png, &info);
    return false;
  }
  png_init_io(png, file);
  png_set_IHDR(png, info, raster.width, raster.height, raster.bitDepth, raster.colourType, PNG_INTERLACE_NONE,
               PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
  png_write_info(png, info);
  png_write_image(png, rowPointers);
  png_write_end(png, nullptr);
  png_destroy_write_struct(&png, &info);
  return true;
}

// The file a writer fills. A write that fails removes the file only when
// this run created it and the path still names that regular file: a path
// that existed (a device such as /dev/stdout, a pipe, another program's
// file) is written in place and never unlinked.
class OutputFile {
 public:
  explicit OutputFile(const std::string& path) : path_(path) {
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd >= 0) {
      struct stat st {};
      created_ = ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
      device_ = st.st_dev;
      inode_ = st.st_ino;
    } else if (errno == EEXIST) {
      fd = ::open(path.c_str(), O_WRONLY | O_TRUNC | O_CLOEXEC);
    }
    if (fd < 0) {
      error_ = path + ": cannot create: " + std::strerror(errno);
      return;
    }
    file_ = ::fdopen(fd, "wb");
    if (file_ == nullptr) {
      error_ = path + ": cannot create: " + std::strerror(errno);
      ::close(fd);
      discard();
    }
  }
  OutputFile(const OutputFile&) = delete;
  OutputFile& operator=(const OutputFile&) = delete;
  ~OutputFile() {
    if (file_ != nullptr) std::fclose(file_);
  }

  std::FILE* get() const { return file_; }
  const std::string& openError() const { return error_; }  // "" once open

  // Closes the file; false when a byte may not have reached it.
  bool close() {
    const bool closed = std::fclose(file_) == 0;
    file_ = nullptr;
    return closed;
  }

  // After a failed write: removes what this run created, nothing else.
  void discard() const {
    struct stat st {};
    if (created_ && ::lstat(path_.c_str(), &st) == 0 && S_ISREG(st.st_mode) && st.st_dev == device_ &&
        st.st_ino == inode_)
      ::unlink(path_.c_str());
  }

 private:
  std::string path_;
  std::FILE* file_ = nullptr;
  bool created_ = false;
  dev_t device_ = 0;
  ino_t inode_ = 0;
  std::string error_;
};

// Writes the whole of `bytes` to `path`, or removes what it created.
std::string writeFile(const std::string& path, const std::vector<std::uint8_t>& bytes) {
  OutputFile out(path);
  if (out.get() == nullptr) return out.openError();
  const bool written = std::fwrite(bytes.data(), 1, bytes.size(), out.get()) == bytes.size();
  if (!out.close() || !written) {
    out.discard();
    return path + ": write failed";
  }
  return "";
}

std::string writeRaster(const std::string& path, PngRaster& raster) {
  if (raster.height == 0) return path + ": nothing to write, the image has no rows";
  std::vector<png_bytep> rowPointers(raster.height);
  for (std::uint32_t y = 0; y < raster.height; ++y) rowPointers[y] = raster.pixels.data() + y * raster.stride;
  OutputFile out(path);
  if (out.get() == nullptr) return out.openError();
  PngErrorSink sink;
  const bool encoded = encodePng(out.get(), raster, rowPointers.data(), &sink);
  if (!out.close() || !encoded) {
    out.discard();
    return path + ": PNG write failed" + (encoded ? "" : std::string(": ") + sink.message);
  }
  return "";
}

PngRaster greyRaster(const Rows& rows, PngDepth depth) {
  PngRaster raster;
  raster.width = kLineDots;
  raster.height = static_cast<std::uint32_t>(rows.size());
  raster.bitDepth = depth == PngDepth::kOneBit ? 1 : 8;
  raster.stride = depth == PngDepth::kOneBit ? kLineBytes : kLineDots;
  raster.pixels.resize(raster.stride * rows.size());
  std::uint8_t* out = raster.pixels.data();
  for (const Row& row : rows) {
    if (depth == PngDepth::kOneBit) {
      // PNG grey: a 0 bit is black.
      for (std::uint32_t i = 0; i < kLineBytes; ++i) out[i] = static_cast<std::uint8_t>(~row[i]);
    } else {
      for (std::uint32_t x = 0; x < kLineDots; ++x) out[x] = hasDot(row, x) ? 0 : 255;
    }
    out += raster.stride;
  }
  return raster;
}

// ---- Preview ---------------------------------------------------------------

struct Rgb {
  std::uint8_t r, g, b;
};

constexpr Rgb kWhite{255, 255, 255};
constexpr Rgb kBlack{0, 0, 0};
constexpr Rgb kBorderGrey{170, 170, 170};
constexpr Rgb kCutRed{220, 0, 0};
constexpr Rgb kCutGrey{140, 140, 140};
constexpr Rgb kMarkBlue{0, 90, 220};
constexpr std::uint32_t kDash = 8;        // dots per dash
constexpr std::uint32_t kMarkerRows = 2;  // height of an inserted mark line

class PreviewCanvas {
 public:
  PreviewCanvas(std::uint32_t height, bool border) : border_(border ? 1 : 0) {
    raster_.width = kLineDots + 2 * border_;
    raster_.height = height + 2 * border_;
    raster_.colourType = PNG_COLOR_TYPE_RGB;
    raster_.stride = std::size_t{raster_.width} * 3;
    raster_.pixels.assign(raster_.stride * raster_.height, 0xFF);
    if (border) drawFrame();
  }

  void paperRow(const Row& row) {
    for (std::uint32_t x = 0; x < kLineDots; ++x) put(x, y_, hasDot(row, x) ? kBlack : kWhite);
    ++y_;
  }

  void dashedLine(Rgb dash, Rgb gap) {
    for (std::uint32_t i = 0; i < kMarkerRows; ++i, ++y_) {
      for (std::uint32_t x = 0; x < kLineDots; ++x) put(x, y_, (x / kDash) % 2 == 0 ? dash : gap);
    }
  }

  PngRaster& raster() { return raster_; }

 private:
  // x and y within the paper, inside the frame.
  void put(std::uint32_t x, std::uint32_t y, Rgb colour) { putRaw(x + border_, y + border_, colour); }

  void putRaw(std::uint32_t x, std::uint32_t y, Rgb colour) {
    std::uint8_t* pixel = raster_.pixels.data() + y * raster_.stride + std::size_t{x} * 3;
    pixel[0] = colour.r;
    pixel[1] = colour.g;
    pixel[2] = colour.b;
  }

  void drawFrame() {
    for (std::uint32_t x = 0; x < raster_.width; ++x) {
      putRaw(x, 0, kBorderGrey);
      putRaw(x, raster_.height - 1, kBorderGrey);
    }
    for (std::uint32_t y = 0; y < raster_.height; ++y) {
      putRaw(0, y, kBorderGrey);
      putRaw(raster_.width - 1, y, kBorderGrey);
    }
  }

  std::uint32_t border_;
  std::uint32_t y_ = 0;
  PngRaster raster_;
};

std::vector<std::size_t> sortedClamped(std::vector<std::size_t> rows, std::size_t end) {
  for (std::size_t& row : rows) row = std::min(row, end);
  std::sort(rows.begin(), rows.end());
  return rows;
}

PngRaster previewRaster(const Rows& rows, const PreviewMarks& marks) {
  const std::vector<std::size_t> cuts = sortedClamped(marks.cutRows, rows.size());
  const std::vector<std::size_t> feeds = sortedClamped(marks.markRows, rows.size());
  const std::size_t height = rows.size() + kMarkerRows * (cuts.size() + feeds.size());
  PreviewCanvas canvas(static_cast<std::uint32_t>(height), marks.border);
  auto cut = cuts.begin();
  auto feed = feeds.begin();
  for (std::size_t y = 0; y <= rows.size(); ++y) {
    // A mark feed comes before the cut at the same row, as it does in a
    // cut trailer.
    for (; feed != feeds.end() && *feed == y; ++feed) canvas.dashedLine(kMarkBlue, kWhite);
    for (; cut != cuts.end() && *cut == y; ++cut) canvas.dashedLine(kCutRed, kCutGrey);
    if (y < rows.size()) canvas.paperRow(rows[y]);
  }
  return std::move(canvas.raster());
}

std::vector<std::uint8_t> readWholeFile(const std::string& path, std::string* error) {
  std::vector<std::uint8_t> bytes;
  std::FILE* file = std::fopen(path.c_str(), "rb");
  if (file == nullptr) {
    *error = std::strerror(errno);
    return bytes;
  }
  std::uint8_t buffer[65536];
  std::size_t n;
  while ((n = std::fread(buffer, 1, sizeof buffer, file)) > 0) bytes.insert(bytes.end(), buffer, buffer + n);
  if (std::ferror(file)) *error = "read failed";
  std::fclose(file);
  return bytes;
}

}  // namespace

ReadResult readImage(std::span<const std::uint8_t> bytes) {
  try {
    if (bytes.size() >= 8 && png_sig_cmp(bytes.data(), 0, 8) == 0) return readPng(bytes);
    if (bytes.size() >= 2 && bytes[0] == 'P' && (bytes[1] == '1' || bytes[1] == '4')) return readPbm(bytes);
    return failure("not a PBM (P1 or P4) or PNG image");
  } catch (const std::exception&) {
    return failure("out of memory");
  }
}

ReadResult readImageFile(const std::string& path) {
  try {
    std::string error;
    const std::vector<std::uint8_t> bytes = readWholeFile(path, &error);
    if (!error.empty()) return failure(path + ": " + error);
    ReadResult result = readImage(bytes);
    if (!result.ok()) result.error = path + ": " + result.error;
    return result;
  } catch (const std::exception&) {
    return failure(path + ": out of memory");
  }
}

std::string writePbm(const std::string& path, const Rows& rows) {
  try {
    const std::string header = "P4\n" + std::to_string(kLineDots) + " " + std::to_string(rows.size()) + "\n";
    std::vector<std::uint8_t> bytes(header.begin(), header.end());
    for (const Row& row : rows) bytes.insert(bytes.end(), row.begin(), row.end());
    return writeFile(path, bytes);
  } catch (const std::exception&) {
    return path + ": out of memory";
  }
}

std::string writePng(const std::string& path, const Rows& rows, PngDepth depth) {
  try {
    PngRaster raster = greyRaster(rows, depth);
    return writeRaster(path, raster);
  } catch (const std::exception&) {
    return path + ": out of memory";
  }
}

std::string writePreviewPng(const std::string& path, const Rows& rows, const PreviewMarks& marks) {
  try {
    PngRaster raster = previewRaster(rows, marks);
    return writeRaster(path, raster);
  } catch (const std::exception&) {
    return path + ": out of memory";
  }
}

}  // namespace image_io
