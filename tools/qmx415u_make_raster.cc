// qmx415u-make-raster: page images into a CUPS or PWG raster stream, the
// input of the CUPS filter and of the printer application. For tests and
// benchmarks: it places each 576-dot image on a page of any width and
// resolution, as an application's print path would.
#include <cups/raster.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "tools/image_io.h"

namespace {

constexpr const char* kUsage = R"(usage: qmx415u-make-raster [options] -o FILE PAGE...

Writes the PBM or PNG images PAGE (at most 576 dots wide) as the pages of
one raster stream.

  -o FILE           output (- for standard output)
  --format F        cups (CUPS raster, what cupsRasterReadHeader2 reads;
                    the default), pwg (PWG raster) or apple (Apple raster)
  --grey            8-bit grey pages (black 0, white 255) instead of 1-bit
  --width N         page width in dots (default 576)
  --left N          dots of left margin ahead of the image (default 0)
  --resolution N    dots per inch, both ways (default 203)
  --repeat N        write the page list N times (default 1)
  --height N        page height in rows: the image on top, white rows below
                    (default: the image's own height)
  --help            this text
)";

struct Options {
  std::string output;
  cups_mode_t mode = CUPS_RASTER_WRITE_COMPRESSED;
  bool grey = false;
  unsigned width = 576, left = 0, resolution = 203, repeat = 1;
  unsigned height = 0;  // 0: each image's own
  std::vector<std::string> pages;
};

bool number(const char* text, unsigned max, unsigned* out) {
  char* end = nullptr;
  unsigned long v = std::strtoul(text, &end, 10);
  if (end == text || *end != '\0' || v > max) return false;
  *out = static_cast<unsigned>(v);
  return true;
}

int usageError(const std::string& message) {
  std::fprintf(stderr, "qmx415u-make-raster: %s\n", message.c_str());
  return 2;
}

cups_page_header2_t headerFor(const Options& o, unsigned height) {
  cups_page_header2_t h;
  std::memset(&h, 0, sizeof h);
  const double pointsPerDot = 72.0 / o.resolution;
  h.HWResolution[0] = h.HWResolution[1] = o.resolution;
  h.PageSize[0] = static_cast<unsigned>(o.width * pointsPerDot + 0.5);
  h.PageSize[1] = static_cast<unsigned>(height * pointsPerDot + 0.5);
  h.cupsPageSize[0] = static_cast<float>(o.width * pointsPerDot);
  h.cupsPageSize[1] = static_cast<float>(height * pointsPerDot);
  h.Margins[0] = static_cast<unsigned>(o.left * pointsPerDot + 0.5);
  h.ImagingBoundingBox[0] = h.Margins[0];
  h.cupsImagingBBox[0] = static_cast<float>(o.left * pointsPerDot);  // exact: whole points can miss a dot
  h.cupsImagingBBox[2] = h.cupsPageSize[0];
  h.cupsImagingBBox[3] = h.cupsPageSize[1];
  h.ImagingBoundingBox[2] = h.PageSize[0];
  h.ImagingBoundingBox[3] = h.PageSize[1];
  h.cupsWidth = o.width;
  h.cupsHeight = height;
  h.cupsBitsPerColor = o.grey ? 8 : 1;
  h.cupsBitsPerPixel = h.cupsBitsPerColor;
  h.cupsBytesPerLine = o.grey ? o.width : (o.width + 7) / 8;
  h.cupsColorOrder = CUPS_ORDER_CHUNKED;
  h.cupsColorSpace = o.grey ? CUPS_CSPACE_SW : CUPS_CSPACE_K;
  h.cupsNumColors = 1;
  h.NumCopies = 1;
  std::snprintf(h.MediaClass, sizeof h.MediaClass, "PwgRaster");
  std::snprintf(h.cupsRenderingIntent, sizeof h.cupsRenderingIntent, "Perceptual");
  std::snprintf(h.cupsPageSizeName, sizeof h.cupsPageSizeName, "roll_max_80x3276.7mm");
  return h;
}

// One image row as a raster line of the page: the image's dots after the
// left margin, white elsewhere.
void placeRow(const Options& o, const image_io::Row& row, std::vector<unsigned char>& line) {
  std::fill(line.begin(), line.end(), o.grey ? 255 : 0);
  for (unsigned x = 0; x < 576 && o.left + x < o.width; ++x) {
    const bool black = (row[x / 8] >> (7 - x % 8)) & 1;
    if (!black) continue;
    const unsigned at = o.left + x;
    if (o.grey) {
      line[at] = 0;
    } else {
      line[at / 8] = static_cast<unsigned char>(line[at / 8] | (0x80u >> (at % 8)));
    }
  }
}

}  // namespace

int main(int argc, char** argv) {
  Options o;
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    auto value = [&]() -> const char* { return i + 1 < argc ? argv[++i] : nullptr; };
    if (a == "--help") {
      std::fputs(kUsage, stdout);
      return 0;
    } else if (a == "--grey") {
      o.grey = true;
    } else if (a == "-o") {
      const char* v = value();
      if (v == nullptr) return usageError("-o needs a file");
      o.output = v;
    } else if (a == "--format") {
      const char* v = value();
      std::string f = v != nullptr ? v : "";
      if (f == "cups") o.mode = CUPS_RASTER_WRITE_COMPRESSED;
      else if (f == "pwg") o.mode = CUPS_RASTER_WRITE_PWG;
      else if (f == "apple") o.mode = CUPS_RASTER_WRITE_APPLE;
      else return usageError("--format is cups, pwg or apple");
    } else if (a == "--width" || a == "--left" || a == "--resolution" || a == "--repeat") {
      const char* v = value();
      unsigned* target = a == "--width" ? &o.width : a == "--left" ? &o.left : a == "--resolution" ? &o.resolution : &o.repeat;
      if (v == nullptr || !number(v, 100000, target)) return usageError(a + " needs a number");
    } else if (a == "--height") {
      const char* v = value();
      if (v == nullptr || !number(v, 0xFFFFFFFFu, &o.height)) return usageError("--height needs a number");
    } else if (!a.empty() && a[0] == '-' && a != "-") {
      return usageError("unknown option " + a);
    } else {
      o.pages.push_back(a);
    }
  }
  if (o.output.empty() || o.pages.empty()) return usageError("needs -o FILE and at least one PAGE (see --help)");
  if (o.width == 0 || o.resolution == 0) return usageError("--width and --resolution must be above 0");

  std::vector<image_io::Rows> images;
  for (const std::string& path : o.pages) {
    image_io::ReadResult image = image_io::readImageFile(path);
    if (!image.ok()) {
      std::fprintf(stderr, "qmx415u-make-raster: %s\n", image.error.c_str());
      return 1;
    }
    if (o.height != 0 && image.rows.size() > o.height) return usageError(path + " is taller than --height");
    images.push_back(std::move(image.rows));
  }
  const int fd = o.output == "-" ? STDOUT_FILENO : ::open(o.output.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  if (fd < 0) {
    std::perror(o.output.c_str());
    return 1;
  }
  cups_raster_t* raster = cupsRasterOpen(fd, o.mode);
  bool ok = raster != nullptr;
  std::vector<unsigned char> line;
  for (unsigned r = 0; ok && r < o.repeat; ++r) {
    for (const image_io::Rows& rows : images) {
      const unsigned height = o.height != 0 ? o.height : static_cast<unsigned>(rows.size());
      cups_page_header2_t header = headerFor(o, height);
      line.assign(header.cupsBytesPerLine, 0);
      ok = ok && cupsRasterWriteHeader2(raster, &header);
      for (const image_io::Row& row : rows) {
        placeRow(o, row, line);
        ok = ok && cupsRasterWritePixels(raster, line.data(), static_cast<unsigned>(line.size())) == line.size();
      }
      std::fill(line.begin(), line.end(), o.grey ? 255 : 0);
      for (unsigned y = static_cast<unsigned>(rows.size()); ok && y < height; ++y)
        ok = cupsRasterWritePixels(raster, line.data(), static_cast<unsigned>(line.size())) == line.size();
    }
  }
  if (raster != nullptr) cupsRasterClose(raster);
  if (fd != STDOUT_FILENO) ok = ::close(fd) == 0 && ok;
  if (!ok) {
    std::fprintf(stderr, "qmx415u-make-raster: cannot write %s\n", o.output.c_str());
    if (fd != STDOUT_FILENO) ::unlink(o.output.c_str());
    return 1;
  }
  return 0;
}
