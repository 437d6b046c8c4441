// JPEG through libjpeg. Grey, YCbCr and RGB pictures come out of libjpeg
// as its own grey (the Y of YCbCr); CMYK and YCCK ones as CMYK, turned to
// grey here. A warning of libjpeg means damaged data (corrupt, cut short):
// it ends the decoding as an error does.
//
// libjpeg reports an error by calling error_exit, which longjmps to the
// setjmp of the step that called libjpeg. Those steps (start, readRows)
// hold plain data only and every C++ object lives outside them: a jump
// skips no destructor. libjpeg's own memory (its buffers, the row read) is
// freed by jpeg_destroy_decompress whichever way decoding ends.
#include <csetjmp>
#include <cstddef>
#include <cstdio>

#include <jpeglib.h>  // after <cstdio>: it uses FILE and size_t without including them

#include <jerror.h>

#include "documents/picture_decoders.h"

namespace documents::decoders {
namespace {

constexpr double kCentimetresPerInch = 2.54;
constexpr int kDensityPerInch = 1;
constexpr int kDensityPerCentimetre = 2;
constexpr int kCmykChannels = 4;

struct JpegErrors {
  jpeg_error_mgr manager;  // first: libjpeg hands back &manager as cinfo->err
  std::jmp_buf jump;
  char message[JMSG_LENGTH_MAX];
};

[[noreturn]] void onError(j_common_ptr info) {
  auto* errors = reinterpret_cast<JpegErrors*>(info->err);
  // Past max_memory_to_use libjpeg asks for a backing store, which this
  // build of it has not: the picture needs more memory than it may have.
  if (info->err->msg_code == JERR_NO_BACKING_STORE)
    std::snprintf(errors->message, sizeof errors->message, "the picture needs more than %ld MiB to decode",
                  kMostJpegMemory >> 20);
  else
    (*info->err->format_message)(info, errors->message);
  std::longjmp(errors->jump, 1);
}

// Level -1 is a warning: the data are damaged. Other levels are traces.
void onMessage(j_common_ptr info, int level) {
  if (level < 0) onError(info);
}

// Each scan of a progressive picture is a pass over all of it: a few
// hundred bytes could otherwise ask for thousands.
void onProgress(j_common_ptr info) {
  if (!info->is_decompressor) return;
  const auto* decompress = reinterpret_cast<j_decompress_ptr>(info);
  if (decompress->input_scan_number <= kMostJpegScans) return;
  auto* errors = reinterpret_cast<JpegErrors*>(info->err);
  std::snprintf(errors->message, sizeof errors->message, "more than %d scans", kMostJpegScans);
  std::longjmp(errors->jump, 1);
}

// CMYK to grey: each ink darkens the white that the black ink leaves.
// `inverted` values are stored as Adobe's applications write them (255 no
// ink), others plainly (0 no ink).
void cmykRow(const JSAMPLE* in, std::uint32_t count, bool inverted, std::uint8_t* out) {
  for (std::uint32_t i = 0; i < count; ++i, in += kCmykChannels) {
    const std::uint32_t flip = inverted ? 0 : 255;
    const std::uint32_t c = in[0] ^ flip, m = in[1] ^ flip, y = in[2] ^ flip, k = in[3] ^ flip;  // 255: no ink
    out[i] = luma((c * k + 127) / 255, (m * k + 127) / 255, (y * k + 127) / 255);
  }
}

class JpegDecoder {
 public:
  explicit JpegDecoder(std::span<const std::uint8_t> bytes) : bytes_(bytes) {
    info_.err = jpeg_std_error(&errors_.manager);
    errors_.manager.error_exit = onError;
    errors_.manager.emit_message = onMessage;
    progress_.progress_monitor = onProgress;
  }
  ~JpegDecoder() {
    if (created_) jpeg_destroy_decompress(&info_);
  }
  JpegDecoder(const JpegDecoder&) = delete;
  JpegDecoder& operator=(const JpegDecoder&) = delete;

  // Reads the header and chooses the output. False with failure() set.
  bool start() {
    if (setjmp(errors_.jump)) return false;
    jpeg_create_decompress(&info_);
    created_ = true;
    info_.mem->max_memory_to_use = kMostJpegMemory;
    info_.progress = &progress_;
    jpeg_mem_src(&info_, bytes_.data(), static_cast<unsigned long>(bytes_.size()));
    jpeg_read_header(&info_, TRUE);
    switch (info_.jpeg_color_space) {
      case JCS_GRAYSCALE:
      case JCS_YCbCr:
      case JCS_RGB:
        info_.out_color_space = JCS_GRAYSCALE;
        break;
      case JCS_CMYK:
      case JCS_YCCK:
        info_.out_color_space = JCS_CMYK;
        break;
      default:
        std::snprintf(errors_.message, sizeof errors_.message, "a picture of %d components in no known colour space",
                      info_.num_components);
        return false;
    }
    if (info_.saw_JFIF_marker && info_.X_density > 0 && info_.Y_density > 0) {
      const double perInch = info_.density_unit == kDensityPerInch         ? 1.0
                             : info_.density_unit == kDensityPerCentimetre ? kCentimetresPerInch
                                                                           : 0.0;
      resolution_.x = info_.X_density * perInch;
      resolution_.y = info_.Y_density * perInch;
    }
    return true;
  }

  // Decodes every row into `picture`, sized for width() x height(). False
  // with failure() set.
  bool readRows(Picture* picture) {
    if (setjmp(errors_.jump)) return false;
    jpeg_start_decompress(&info_);
    if (info_.output_width != info_.image_width || info_.output_height != info_.image_height) {
      std::snprintf(errors_.message, sizeof errors_.message, "the picture decodes to another size");
      return false;
    }
    JSAMPARRAY row = (*info_.mem->alloc_sarray)(reinterpret_cast<j_common_ptr>(&info_), JPOOL_IMAGE,
                                                info_.output_width * info_.output_components, 1);
    const bool cmyk = info_.out_color_space == JCS_CMYK;
    while (info_.output_scanline < info_.output_height) {
      std::uint8_t* out = picture->grey.data() + std::size_t{info_.output_scanline} * info_.output_width;
      if (cmyk) {
        jpeg_read_scanlines(&info_, row, 1);
        cmykRow(row[0], info_.output_width, info_.saw_Adobe_marker, out);
      } else {
        JSAMPROW direct = out;
        jpeg_read_scanlines(&info_, &direct, 1);
      }
    }
    jpeg_finish_decompress(&info_);
    return true;
  }

  std::uint32_t width() const { return info_.image_width; }
  std::uint32_t height() const { return info_.image_height; }
  const Resolution& resolution() const { return resolution_; }
  std::string failure() const { return std::string("JPEG: ") + errors_.message; }

 private:
  std::span<const std::uint8_t> bytes_;
  jpeg_decompress_struct info_{};
  JpegErrors errors_{};
  jpeg_progress_mgr progress_{};
  bool created_ = false;
  Resolution resolution_;
};

}  // namespace

bool decodeJpeg(std::span<const std::uint8_t> bytes, const PictureLimits& limits, Picture* picture,
                std::string* error) {
  JpegDecoder decoder(bytes);
  if (!decoder.start()) {
    *error = decoder.failure();
    return false;
  }
  if (std::string problem = sizeProblem(decoder.width(), decoder.height(), limits); !problem.empty()) {
    *error = problem;
    return false;
  }
  if (!allocateGrey(picture, decoder.width(), decoder.height())) {
    *error = "out of memory";
    return false;
  }
  if (!decoder.readRows(picture)) {
    *error = decoder.failure();
    return false;
  }
  picture->resolution = decoder.resolution();
  return true;
}

}  // namespace documents::decoders
