// PNG through libpng's low-level reader. libpng expands every type to 8-bit
// grey, grey with alpha, RGB or RGBA (palette and tRNS included) and rounds
// 16-bit values; the conversion to grey on white is ours. An interlaced
// picture is read pass by pass and each pass's pixels put in their places
// here, so memory stays the grey picture and one row whatever the type.
//
// libpng reports an error by longjmp to the setjmp of the step that called
// it. Those steps (start, readRows) hold plain data only, and every C++
// object that could need destroying lives outside them, in the decoder or
// its caller: a jump skips no destructor.
#include <png.h>

#include <csetjmp>
#include <cstdio>
#include <cstring>
#include <exception>
#include <vector>

#include "documents/picture_decoders.h"

namespace documents::decoders {
namespace {

constexpr double kMetresPerInch = 0.0254;
constexpr std::size_t kIhdrTypeAt = 12;  // after the signature and the chunk's length
constexpr std::size_t kIhdrWidthAt = 16;
constexpr std::size_t kIhdrHeightAt = 20;
constexpr std::size_t kIhdrSizesEnd = 24;
constexpr int kAdam7Passes = 7;
constexpr std::size_t kFailureChars = 200;
// Ancillary chunks nothing here reads (profiles, text, palettes
// suggested, Exif): skipped unread, so neither their size nor their
// compressed text costs anything. Five bytes each, with the NUL.
constexpr png_byte kSkippedChunks[] = "iCCP\0tEXt\0zTXt\0iTXt\0sPLT\0eXIf";
constexpr int kSkippedChunkCount = 6;

struct PngInput {
  const std::uint8_t* data;
  std::size_t size;
  std::size_t at;
};

struct PngFailure {
  char message[kFailureChars];
};

void readBytes(png_structp png, png_bytep out, std::size_t length) {
  auto* in = static_cast<PngInput*>(png_get_io_ptr(png));
  if (length > in->size - in->at) png_error(png, "the file ends before the picture does");
  std::memcpy(out, in->data + in->at, length);
  in->at += length;
}

[[noreturn]] void onError(png_structp png, png_const_charp message) {
  auto* failure = static_cast<PngFailure*>(png_get_error_ptr(png));
  std::snprintf(failure->message, sizeof failure->message, "%s", message);
  png_longjmp(png, 1);
}

// Warnings are about what libpng has already put right or left out.
void onWarning(png_structp, png_const_charp) {}

std::uint32_t bigEndian32(const std::uint8_t* p) {
  return std::uint32_t{p[0]} << 24 | std::uint32_t{p[1]} << 16 | std::uint32_t{p[2]} << 8 | p[3];
}

// `count` pixels of `channels` bytes each (grey, grey+alpha, RGB, RGBA) to
// grey on white, every `step`-th value of `out`.
void convertRow(const std::uint8_t* in, std::uint32_t count, int channels, std::uint8_t* out, std::uint32_t step) {
  for (std::uint32_t i = 0; i < count; ++i, in += channels, out += step) {
    switch (channels) {
      case 1:
        *out = in[0];
        break;
      case 2:
        *out = onWhite(in[0], in[1]);
        break;
      case 3:
        *out = luma(in[0], in[1], in[2]);
        break;
      default:
        *out = onWhite(luma(in[0], in[1], in[2]), in[3]);
        break;
    }
  }
}

class PngDecoder {
 public:
  explicit PngDecoder(std::span<const std::uint8_t> bytes) : input_{bytes.data(), bytes.size(), 0} {}
  ~PngDecoder() {
    if (png_ != nullptr) png_destroy_read_struct(&png_, info_ != nullptr ? &info_ : nullptr, nullptr);
  }
  PngDecoder(const PngDecoder&) = delete;
  PngDecoder& operator=(const PngDecoder&) = delete;

  // Reads the chunks up to the pixels and sets the expansions. False with
  // failure() set.
  bool start() {
    png_ = png_create_read_struct(PNG_LIBPNG_VER_STRING, &failure_, onError, onWarning);
    if (png_ != nullptr) info_ = png_create_info_struct(png_);
    if (info_ == nullptr) {
      std::snprintf(failure_.message, sizeof failure_.message, "out of memory");
      return false;
    }
    if (setjmp(png_jmpbuf(png_))) return false;
    png_set_read_fn(png_, &input_, readBytes);
    png_set_user_limits(png_, kMostPictureSide, kMostPictureSide);
    png_set_chunk_cache_max(png_, kMostPngChunks);
    png_set_chunk_malloc_max(png_, kMostPngChunkBytes);
    png_set_keep_unknown_chunks(png_, PNG_HANDLE_CHUNK_NEVER, kSkippedChunks, kSkippedChunkCount);
    png_read_info(png_, info_);
    int depth = 0, colour = 0;
    png_get_IHDR(png_, info_, &width_, &height_, &depth, &colour, &interlace_, nullptr, nullptr);
    png_uint_32 xPerMetre = 0, yPerMetre = 0;
    int unit = PNG_RESOLUTION_UNKNOWN;
    if (png_get_pHYs(png_, info_, &xPerMetre, &yPerMetre, &unit) != 0 && unit == PNG_RESOLUTION_METER) {
      resolution_.x = xPerMetre * kMetresPerInch;
      resolution_.y = yPerMetre * kMetresPerInch;
    }
    png_set_expand(png_);
    png_set_scale_16(png_);
    png_read_update_info(png_, info_);
    channels_ = png_get_channels(png_, info_);
    rowBytes_ = png_get_rowbytes(png_, info_);
    return true;
  }

  // Reads every row (every pass of an interlaced picture) into `picture`,
  // sized for width() x height(), through `row` (rowBytes() long), then the
  // chunks after the pixels. False with failure() set.
  bool readRows(std::uint8_t* row, Picture* picture) {
    if (setjmp(png_jmpbuf(png_))) return false;
    std::uint8_t* grey = picture->grey.data();
    if (interlace_ == PNG_INTERLACE_NONE) {
      for (png_uint_32 y = 0; y < height_; ++y) {
        png_read_row(png_, row, nullptr);
        convertRow(row, width_, channels_, grey + std::size_t{y} * width_, 1);
      }
    } else {
      for (int pass = 0; pass < kAdam7Passes; ++pass) {
        const png_uint_32 columns = PNG_PASS_COLS(width_, pass);
        const png_uint_32 rows = PNG_PASS_ROWS(height_, pass);
        if (columns == 0 || rows == 0) continue;  // libpng skips an empty pass
        const png_uint_32 firstColumn = PNG_COL_FROM_PASS_COL(0, pass);
        const std::uint32_t step = 1u << PNG_PASS_COL_SHIFT(pass);
        for (png_uint_32 r = 0; r < rows; ++r) {
          png_read_row(png_, row, nullptr);
          const png_uint_32 y = PNG_ROW_FROM_PASS_ROW(r, pass);
          convertRow(row, columns, channels_, grey + std::size_t{y} * width_ + firstColumn, step);
        }
      }
    }
    png_read_end(png_, nullptr);
    return true;
  }

  std::uint32_t width() const { return width_; }
  std::uint32_t height() const { return height_; }
  std::size_t rowBytes() const { return rowBytes_; }
  const Resolution& resolution() const { return resolution_; }
  std::string failure() const { return std::string("PNG: ") + failure_.message; }

 private:
  PngInput input_;
  PngFailure failure_{};
  png_structp png_ = nullptr;
  png_infop info_ = nullptr;
  png_uint_32 width_ = 0;
  png_uint_32 height_ = 0;
  int interlace_ = PNG_INTERLACE_NONE;
  int channels_ = 1;
  std::size_t rowBytes_ = 0;
  Resolution resolution_;
};

}  // namespace

bool decodePng(std::span<const std::uint8_t> bytes, const PictureLimits& limits, Picture* picture,
               std::string* error) {
  // The sizes are read from the header before libpng sees it, so that a
  // forged one is refused by the same words as in any other format.
  if (bytes.size() >= kIhdrSizesEnd && std::memcmp(bytes.data() + kIhdrTypeAt, "IHDR", 4) == 0) {
    std::string problem = sizeProblem(bigEndian32(bytes.data() + kIhdrWidthAt),
                                      bigEndian32(bytes.data() + kIhdrHeightAt), limits);
    if (!problem.empty()) {
      *error = problem;
      return false;
    }
  }
  PngDecoder decoder(bytes);
  if (!decoder.start()) {
    *error = decoder.failure();
    return false;
  }
  if (std::string problem = sizeProblem(decoder.width(), decoder.height(), limits); !problem.empty()) {
    *error = problem;
    return false;
  }
  std::vector<std::uint8_t> row;
  try {
    row.resize(decoder.rowBytes());
  } catch (const std::exception&) {
    *error = "out of memory";
    return false;
  }
  if (!allocateGrey(picture, decoder.width(), decoder.height())) {
    *error = "out of memory";
    return false;
  }
  if (!decoder.readRows(row.data(), picture)) {
    *error = decoder.failure();
    return false;
  }
  picture->resolution = decoder.resolution();
  return true;
}

}  // namespace documents::decoders
