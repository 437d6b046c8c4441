#include "testing/picture_files.h"

#include <png.h>

#include <algorithm>
#include <csetjmp>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <stdexcept>

#include <jpeglib.h>  // after <cstdio>: it uses FILE and size_t without including them

namespace testsupport {
namespace {

constexpr std::uint8_t kWhite = 255;

struct PngShape {
  int depth = 8;
  int colour = PNG_COLOR_TYPE_GRAY;
  int channels = 1;
};

PngShape shapeOf(PngType type) {
  switch (type) {
    case PngType::kGrey1: return {1, PNG_COLOR_TYPE_GRAY, 1};
    case PngType::kGrey2: return {2, PNG_COLOR_TYPE_GRAY, 1};
    case PngType::kGrey4: return {4, PNG_COLOR_TYPE_GRAY, 1};
    case PngType::kGrey8: return {8, PNG_COLOR_TYPE_GRAY, 1};
    case PngType::kGrey16: return {16, PNG_COLOR_TYPE_GRAY, 1};
    case PngType::kPalette:
    case PngType::kPaletteTransparent: return {8, PNG_COLOR_TYPE_PALETTE, 1};
    case PngType::kGreyAlpha: return {8, PNG_COLOR_TYPE_GRAY_ALPHA, 2};
    case PngType::kRgb: return {8, PNG_COLOR_TYPE_RGB, 3};
    case PngType::kRgba: return {8, PNG_COLOR_TYPE_RGB_ALPHA, 4};
    case PngType::kRgba16: return {16, PNG_COLOR_TYPE_RGB_ALPHA, 4};
  }
  return {};
}

// One pixel's samples in the type's own layout (before packing).
std::vector<std::uint32_t> samples(PngType type, std::uint8_t v) {
  const bool clear = v == kWhite;  // white is written as transparent black where there is alpha
  switch (type) {
    case PngType::kGrey1: return {v >= 128 ? 1u : 0u};
    case PngType::kGrey2: return {v / 85u};
    case PngType::kGrey4: return {v / 17u};
    case PngType::kGrey8: return {v};
    case PngType::kGrey16: return {v * 257u};
    case PngType::kPalette: return {v};
    case PngType::kPaletteTransparent: return {v};  // entry 255 is the transparent one
    case PngType::kGreyAlpha: return clear ? std::vector<std::uint32_t>{0, 0} : std::vector<std::uint32_t>{v, 255};
    case PngType::kRgb: return {v, v, v};
    case PngType::kRgba: return clear ? std::vector<std::uint32_t>{0, 0, 0, 0} : std::vector<std::uint32_t>{v, v, v, 255};
    case PngType::kRgba16:
      return clear ? std::vector<std::uint32_t>{0, 0, 0, 0}
                   : std::vector<std::uint32_t>{v * 257u, v * 257u, v * 257u, 65535};
  }
  return {};
}

// A row packed as PNG stores it: samples of under 8 bits fill bytes from
// the most significant bit, 16-bit ones are big-endian.
std::vector<std::uint8_t> packRow(const GreyPicture& picture, std::uint32_t y, PngType type, const PngShape& shape) {
  std::vector<std::uint8_t> row((std::size_t{picture.width} * shape.channels * shape.depth + 7) / 8, 0);
  std::size_t bit = 0;
  for (std::uint32_t x = 0; x < picture.width; ++x) {
    for (std::uint32_t sample : samples(type, picture.at(x, y))) {
      if (shape.depth == 16) {
        row[bit / 8] = static_cast<std::uint8_t>(sample >> 8);
        row[bit / 8 + 1] = static_cast<std::uint8_t>(sample);
      } else {
        row[bit / 8] |= static_cast<std::uint8_t>(sample << (8 - shape.depth - bit % 8));
      }
      bit += shape.depth;
    }
  }
  return row;
}

void appendBytes(png_structp png, png_bytep data, std::size_t length) {
  auto* out = static_cast<PictureBytes*>(png_get_io_ptr(png));
  out->insert(out->end(), data, data + length);
}
void noFlush(png_structp) {}

// The libpng calls, with every row made beforehand; false on a libpng error.
bool writePng(png_structp png, png_infop info, const GreyPicture& picture, PngType type, const PngShape& shape,
              const PngOptions& options, png_bytepp rows, PictureBytes* out) {
  if (setjmp(png_jmpbuf(png))) return false;
  png_set_write_fn(png, out, appendBytes, noFlush);
  png_set_IHDR(png, info, picture.width, picture.height, shape.depth, shape.colour,
               options.interlaced ? PNG_INTERLACE_ADAM7 : PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT,
               PNG_FILTER_TYPE_DEFAULT);
  png_color palette[256];
  png_byte alpha[256];
  if (shape.colour == PNG_COLOR_TYPE_PALETTE) {
    for (int i = 0; i < 256; ++i) {
      palette[i].red = palette[i].green = palette[i].blue = static_cast<png_byte>(i);
      alpha[i] = 255;
    }
    png_set_PLTE(png, info, palette, 256);
    if (type == PngType::kPaletteTransparent) {
      palette[255].red = palette[255].green = palette[255].blue = 0;  // black, but transparent
      png_set_PLTE(png, info, palette, 256);
      alpha[255] = 0;
      png_set_tRNS(png, info, alpha, 256, nullptr);
    }
  }
  if (options.pixelsPerMetre != 0)
    png_set_pHYs(png, info, options.pixelsPerMetre, options.pixelsPerMetre, PNG_RESOLUTION_METER);
  png_write_info(png, info);
  png_write_image(png, rows);
  png_write_end(png, nullptr);
  return true;
}

struct JpegErrors {
  jpeg_error_mgr manager;
  std::jmp_buf jump;
};

[[noreturn]] void onJpegError(j_common_ptr info) { std::longjmp(reinterpret_cast<JpegErrors*>(info->err)->jump, 1); }

// A progressive script of `count` scans for one component: the DC in two
// steps, then single AC coefficients, first and refining, until `count`.
std::vector<jpeg_scan_info> manyScans(int count) {
  std::vector<jpeg_scan_info> scans;
  scans.push_back({1, {0}, 0, 0, 0, 1});
  scans.push_back({1, {0}, 0, 0, 1, 0});
  for (int k = 1; k <= 63; ++k) {
    scans.push_back({1, {0}, k, k, 0, 1});
    scans.push_back({1, {0}, k, k, 1, 0});
  }
  scans.resize(std::min<std::size_t>(scans.size(), static_cast<std::size_t>(count)));
  return scans;
}

bool writeJpeg(jpeg_compress_struct* info, JpegErrors* errors, const GreyPicture& picture, JpegType type,
               const JpegOptions& options, std::vector<jpeg_scan_info>& script, std::vector<std::uint8_t>& row,
               unsigned char** buffer, unsigned long* size) {
  if (setjmp(errors->jump)) return false;
  jpeg_create_compress(info);
  jpeg_mem_dest(info, buffer, size);
  info->image_width = picture.width;
  info->image_height = picture.height;
  const bool cmyk = type == JpegType::kCmykAdobe || type == JpegType::kCmykPlain;
  info->input_components = type == JpegType::kGrey ? 1 : cmyk ? 4 : 3;
  info->in_color_space = type == JpegType::kGrey ? JCS_GRAYSCALE : cmyk ? JCS_CMYK : JCS_RGB;
  jpeg_set_defaults(info);
  jpeg_set_quality(info, options.quality, TRUE);
  if (cmyk) {
    jpeg_set_colorspace(info, JCS_CMYK);
    info->write_Adobe_marker = type == JpegType::kCmykAdobe;
  } else {
    // No chroma subsampling: grey pixels keep their values exactly.
    for (int c = 0; c < info->num_components; ++c) info->comp_info[c].h_samp_factor = info->comp_info[c].v_samp_factor = 1;
  }
  if (options.dotsPerInch != 0) {
    info->write_JFIF_header = TRUE;
    info->density_unit = 1;
    info->X_density = info->Y_density = static_cast<UINT16>(options.dotsPerInch);
  }
  if (options.scans != 0) {
    script = manyScans(options.scans);
    info->scan_info = script.data();
    info->num_scans = static_cast<int>(script.size());
  } else if (options.progressive) {
    jpeg_simple_progression(info);
  }
  jpeg_start_compress(info, TRUE);
  while (info->next_scanline < info->image_height) {
    const std::uint32_t y = info->next_scanline;
    for (std::uint32_t x = 0; x < picture.width; ++x) {
      const std::uint8_t v = picture.at(x, y);
      std::uint8_t* p = &row[std::size_t{x} * info->input_components];
      if (type == JpegType::kGrey) {
        p[0] = v;
      } else if (cmyk) {
        const std::uint8_t ink = static_cast<std::uint8_t>(255 - v);
        const bool inverted = type == JpegType::kCmykAdobe;
        p[0] = p[1] = p[2] = inverted ? 255 : 0;  // no cyan, magenta, yellow
        p[3] = inverted ? static_cast<std::uint8_t>(255 - ink) : ink;
      } else {
        p[0] = p[1] = p[2] = v;
      }
    }
    JSAMPROW rowPointer = row.data();
    jpeg_write_scanlines(info, &rowPointer, 1);
  }
  jpeg_finish_compress(info);
  return true;
}

}  // namespace

bool GreyPicture::bilevel() const {
  return std::all_of(grey.begin(), grey.end(), [](std::uint8_t v) { return v == 0 || v == kWhite; });
}

GreyPicture blackAndWhite(std::uint32_t width, std::uint32_t height, std::uint32_t seed) {
  GreyPicture p{width, height, std::vector<std::uint8_t>(std::size_t{width} * height, kWhite)};
  for (std::uint32_t y = 0; y < height; ++y) {
    for (std::uint32_t x = 0; x < width; ++x) {
      const bool square = ((x / 8) * 7 + (y / 8) * 3 + seed) % 5 < 2;
      const bool stroke = (x + 2 * y + seed) % 11 == 0;
      if (square != stroke) p.grey[std::size_t{y} * width + x] = 0;
    }
  }
  return p;
}

GreyPicture greys(std::uint32_t width, std::uint32_t height) {
  GreyPicture p{width, height, std::vector<std::uint8_t>(std::size_t{width} * height, kWhite)};
  for (std::uint32_t y = 0; y < height; ++y) {
    for (std::uint32_t x = 0; x < width; ++x) {
      std::uint8_t v = kWhite;
      if (y < height / 3) v = static_cast<std::uint8_t>(width > 1 ? x * 255 / (width - 1) : 0);
      else if (y < 2 * height / 3) v = (x / 16 + y / 16) % 2 == 0 ? 0 : 200;
      else if (x % 64 < 48) v = static_cast<std::uint8_t>((x * 7 + y * 3) % 256);
      p.grey[std::size_t{y} * width + x] = v;
    }
  }
  return p;
}

PictureBytes encodePng(const GreyPicture& picture, PngType type, const PngOptions& options) {
  const PngShape shape = shapeOf(type);
  std::vector<std::vector<std::uint8_t>> rows;
  for (std::uint32_t y = 0; y < picture.height; ++y) rows.push_back(packRow(picture, y, type, shape));
  std::vector<png_bytep> pointers;
  for (auto& row : rows) pointers.push_back(row.data());
  PictureBytes out;
  png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
  png_infop info = png != nullptr ? png_create_info_struct(png) : nullptr;
  const bool written = info != nullptr && writePng(png, info, picture, type, shape, options, pointers.data(), &out);
  png_destroy_write_struct(&png, &info);
  if (!written) throw std::runtime_error("libpng could not write the test picture");
  return out;
}

PictureBytes encodeJpeg(const GreyPicture& picture, JpegType type, const JpegOptions& options) {
  jpeg_compress_struct info{};
  JpegErrors errors{};
  info.err = jpeg_std_error(&errors.manager);
  errors.manager.error_exit = onJpegError;
  std::vector<jpeg_scan_info> script;
  std::vector<std::uint8_t> row(std::size_t{picture.width} * 4);
  unsigned char* buffer = nullptr;
  unsigned long size = 0;
  const bool written = writeJpeg(&info, &errors, picture, type, options, script, row, &buffer, &size);
  jpeg_destroy_compress(&info);
  PictureBytes out;
  if (written) out.assign(buffer, buffer + size);
  std::free(buffer);
  if (!written) throw std::runtime_error("libjpeg could not write the test picture");
  return out;
}

PictureBytes encodePbm(const GreyPicture& picture, bool plain) {
  const std::string header =
      std::string(plain ? "P1\n" : "P4\n") + std::to_string(picture.width) + " " + std::to_string(picture.height) + "\n";
  PictureBytes out(header.begin(), header.end());
  for (std::uint32_t y = 0; y < picture.height; ++y) {
    if (plain) {
      for (std::uint32_t x = 0; x < picture.width; ++x) {
        out.push_back(picture.at(x, y) == 0 ? '1' : '0');
        out.push_back(x + 1 == picture.width ? '\n' : ' ');
      }
      continue;
    }
    std::vector<std::uint8_t> row((picture.width + 7) / 8, 0);
    for (std::uint32_t x = 0; x < picture.width; ++x)
      if (picture.at(x, y) == 0) row[x / 8] |= static_cast<std::uint8_t>(0x80u >> (x % 8));
    out.insert(out.end(), row.begin(), row.end());
  }
  return out;
}

bool writeBytes(const std::string& path, const PictureBytes& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  return static_cast<bool>(out.flush());
}

}  // namespace testsupport
