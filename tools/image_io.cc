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
#include <functional>
#include <utility>

#include "documents/picture.h"
#include "frontend/dither.h"

namespace image_io {
namespace {

using commands::kLineBytes;
using commands::kLineDots;


void setDot(Row& row, std::uint32_t x) { row[x / 8] |= static_cast<std::uint8_t>(0x80u >> (x % 8)); }
bool hasDot(const Row& row, std::uint32_t x) { return (row[x / 8] & (0x80u >> (x % 8))) != 0; }

ReadResult failure(std::string message) { return {std::move(message), {}, 0}; }

std::string tooTall(std::size_t rows) {
  return "an image of " + std::to_string(rows) + " rows is taller than the " + std::to_string(kMaxWriteRows) +
         " rows that are written";
}

// A picture as the head's rows: padded with white on the right; black and
// white copied dot for dot, grey dithered (the dither every front end uses).
Rows headRows(const documents::Picture& picture) {
  Rows rows(picture.height, Row{});
  frontend::RowDitherer ditherer(picture.width);
  for (std::uint32_t y = 0; y < picture.height; ++y) {
    const std::uint8_t* grey = &picture.grey[std::size_t{y} * picture.width];
    if (!picture.bilevel) {
      ditherer.ditherRow(grey, rows[y].data());
      continue;
    }
    for (std::uint32_t x = 0; x < picture.width; ++x)
      if (grey[x] == 0) setDot(rows[y], x);
  }
  return rows;
}

// ---- PNG out ---------------------------------------------------------------

// The layout of a PNG image. Its rows are made one at a time, top first, as
// they are written, so an image as tall as the paper needs one row of memory.
struct PngShape {
  std::uint32_t width = 0;
  std::uint32_t height = 0;
  int bitDepth = 8;
  int colourType = PNG_COLOR_TYPE_GRAY;
  std::size_t rowBytes = 0;
};

// Fills the next row of the image, in PNG's own layout.
using RowMaker = std::function<void(std::uint8_t* row)>;

struct PngErrorSink {
  char message[256] = "";
};

[[noreturn]] void onPngError(png_structp png, png_const_charp message) {
  auto* sink = static_cast<PngErrorSink*>(png_get_error_ptr(png));
  std::snprintf(sink->message, sizeof sink->message, "%s", message);
  png_longjmp(png, 1);
}

void onPngWarning(png_structp, png_const_charp) {}

// The libpng calls of one image; any of them may leave by longjmp.
void writePngRows(png_structp png, png_infop info, std::FILE* file, const PngShape& shape, const RowMaker& makeRow,
                  std::uint8_t* row) {
  png_init_io(png, file);
  // libpng refuses images taller than a million rows unless told otherwise.
  png_set_user_limits(png, shape.width, shape.height);
  png_set_IHDR(png, info, shape.width, shape.height, shape.bitDepth, shape.colourType, PNG_INTERLACE_NONE,
               PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
  png_write_info(png, info);
  for (std::uint32_t y = 0; y < shape.height; ++y) {
    makeRow(row);
    png_write_row(png, row);
  }
  png_write_end(png, nullptr);
}

// libpng reports errors by longjmp back to the setjmp here: this frame
// holds plain data only, and the rows are made in writePngRows' frame,
// which the jump leaves whole (nothing of it is destroyed or used again).
bool encodePng(std::FILE* file, const PngShape& shape, const RowMaker& makeRow, std::uint8_t* row,
               PngErrorSink* sink) {
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
  writePngRows(png, info, file, shape, makeRow, row);
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

std::string writeRows(const std::string& path, const PngShape& shape, const RowMaker& makeRow) {
  if (shape.height == 0) return path + ": nothing to write, the image has no rows";
  std::vector<std::uint8_t> row(shape.rowBytes);
  OutputFile out(path);
  if (out.get() == nullptr) return out.openError();
  PngErrorSink sink;
  const bool encoded = encodePng(out.get(), shape, makeRow, row.data(), &sink);
  if (!out.close() || !encoded) {
    out.discard();
    return path + ": PNG write failed" + (encoded ? "" : std::string(": ") + sink.message);
  }
  return "";
}

std::string writeGrey(const std::string& path, const Rows& rows, PngDepth depth) {
  if (rows.size() > kMaxWriteRows) return path + ": " + tooTall(rows.size());
  PngShape shape;
  shape.width = kLineDots;
  shape.height = static_cast<std::uint32_t>(rows.size());
  shape.bitDepth = depth == PngDepth::kOneBit ? 1 : 8;
  shape.rowBytes = depth == PngDepth::kOneBit ? kLineBytes : kLineDots;
  std::size_t next = 0;
  return writeRows(path, shape, [&](std::uint8_t* out) {
    const Row& row = rows[next++];
    if (depth == PngDepth::kOneBit) {
      // PNG grey: a 0 bit is black.
      for (std::uint32_t i = 0; i < kLineBytes; ++i) out[i] = static_cast<std::uint8_t>(~row[i]);
    } else {
      for (std::uint32_t x = 0; x < kLineDots; ++x) out[x] = hasDot(row, x) ? 0 : 255;
    }
  });
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
constexpr Rgb kFedTint{255, 244, 190};
constexpr std::uint32_t kDash = 8;        // dots per dash
constexpr std::uint32_t kMarkerRows = 2;  // height of an inserted mark line

std::vector<std::size_t> sortedClamped(std::vector<std::size_t> rows, std::size_t end) {
  for (std::size_t& row : rows) row = std::min(row, end);
  std::sort(rows.begin(), rows.end());
  return rows;
}

// The preview's rows, top first: the frame's top edge, then the paper with
// a dashed line inserted before each marked row, then the frame's bottom.
class PreviewRows {
 public:
  PreviewRows(const Rows& rows, const PreviewMarks& marks)
      : rows_(rows),
        cuts_(sortedClamped(marks.cutRows, rows.size())),
        feeds_(sortedClamped(marks.markRows, rows.size())),
        fed_(fedMarks(rows.size(), marks.fedRows)),
        border_(marks.border ? 1 : 0) {}

  std::uint32_t width() const { return kLineDots + 2 * border_; }
  std::size_t height() const { return rows_.size() + kMarkerRows * (cuts_.size() + feeds_.size()) + 2 * border_; }

  void next(std::uint8_t* out) {
    if (border_ != 0 && (made_ == 0 || made_ + 1 == height())) {
      fill(out, 0, width(), kBorderGrey);
    } else {
      paperLine(out + 3 * border_);
      if (border_ != 0) {
        fill(out, 0, 1, kBorderGrey);
        fill(out, width() - 1, 1, kBorderGrey);
      }
    }
    ++made_;
  }

 private:
  static void fill(std::uint8_t* out, std::uint32_t from, std::uint32_t count, Rgb colour) {
    for (std::uint32_t x = from; x < from + count; ++x) put(out, x, colour);
  }
  static void put(std::uint8_t* out, std::uint32_t x, Rgb colour) {
    out[3 * x] = colour.r;
    out[3 * x + 1] = colour.g;
    out[3 * x + 2] = colour.b;
  }
  // Whether each paper row was fed over.
  static std::vector<bool> fedMarks(std::size_t rows, const std::vector<std::pair<std::size_t, std::size_t>>& fed) {
    std::vector<bool> marks(rows, false);
    for (const auto& [first, count] : fed) {
      for (std::size_t row = first; row < rows && row - first < count; ++row) marks[row] = true;
    }
    return marks;
  }
  static void dashes(std::uint8_t* out, Rgb dash, Rgb gap) {
    for (std::uint32_t x = 0; x < kLineDots; ++x) put(out, x, (x / kDash) % 2 == 0 ? dash : gap);
  }

  // One line of the paper area. A mark feed comes before the cut at the
  // same row, as it does in a cut trailer.
  void paperLine(std::uint8_t* out) {
    if (markerLeft_ == 0) {
      if (feed_ < feeds_.size() && feeds_[feed_] == row_) {
        ++feed_;
        marker_ = {kMarkBlue, kWhite};
        markerLeft_ = kMarkerRows;
      } else if (cut_ < cuts_.size() && cuts_[cut_] == row_) {
        ++cut_;
        marker_ = {kCutRed, kCutGrey};
        markerLeft_ = kMarkerRows;
      }
    }
    if (markerLeft_ > 0) {
      --markerLeft_;
      dashes(out, marker_.first, marker_.second);
      return;
    }
    const Rgb paper = fed_[row_] ? kFedTint : kWhite;
    const Row& row = rows_[row_++];
    for (std::uint32_t x = 0; x < kLineDots; ++x) put(out, x, hasDot(row, x) ? kBlack : paper);
  }

  const Rows& rows_;
  const std::vector<std::size_t> cuts_;
  const std::vector<std::size_t> feeds_;
  const std::vector<bool> fed_;
  const std::uint32_t border_;
  std::size_t made_ = 0;      // preview rows made so far
  std::size_t row_ = 0;       // next paper row
  std::size_t cut_ = 0;       // next cut mark
  std::size_t feed_ = 0;      // next mark-feed mark
  std::uint32_t markerLeft_ = 0;
  std::pair<Rgb, Rgb> marker_{};
};

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
    documents::Picture picture;
    std::string error;
    // writePbm writes a job that printed nothing as 576 x 0: it reads back.
    const documents::PictureLimits limits{kLineDots, kMaxReadRows, true};
    if (!documents::readPicture(bytes, limits, &picture, &error)) return failure(error);
    return {{}, headRows(picture), picture.width};
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
    return writeGrey(path, rows, depth);
  } catch (const std::exception&) {
    return path + ": out of memory";
  }
}

std::string writePreviewPng(const std::string& path, const Rows& rows, const PreviewMarks& marks) {
  try {
    PreviewRows preview(rows, marks);
    if (preview.height() > kMaxWriteRows) return path + ": " + tooTall(preview.height());
    PngShape shape;
    shape.width = preview.width();
    shape.height = static_cast<std::uint32_t>(preview.height());
    shape.colourType = PNG_COLOR_TYPE_RGB;
    shape.rowBytes = std::size_t{shape.width} * 3;
    return writeRows(path, shape, [&](std::uint8_t* out) { preview.next(out); });
  } catch (const std::exception&) {
    return path + ": out of memory";
  }
}

}  // namespace image_io
