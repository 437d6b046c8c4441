// qmx415u-raster-check: the oracle of the CUPS tests. Reads a CUPS raster
// and the printer stream printed from it, decodes the stream strictly with
// the emulator, and checks that its paper is the raster's pages (fitted to
// the head dot by dot here, grey dithered, blank space handled as the
// options say) after the job's top margins, trimming, feeds and cuts.
//
//   qmx415u-raster-check [-o NAME=VALUE]... RASTER STREAM
//   qmx415u-raster-check --stream-only STREAM      strict decode only
#include <cups/raster.h>
#include <fcntl.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "emulator/emulator.h"
#include "frontend/dither.h"
#include "frontend/print_options.h"
#include "testing/paper_model.h"

namespace {

constexpr unsigned kHeadDots = 576;
constexpr unsigned kHeadWidthHigh = 577;  // pages up to this wide start at their first dot

using Line = testsupport::Line;
using Page = testsupport::Page;

int fail(const std::string& message) {
  std::fprintf(stderr, "qmx415u-raster-check: %s\n", message.c_str());
  return 1;
}

bool readFile(const std::string& path, std::vector<std::uint8_t>* bytes) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  bytes->assign(std::istreambuf_iterator<char>(in), {});
  return true;
}

void setDot(Line& line, unsigned x) { line[x / 8] = static_cast<std::uint8_t>(line[x / 8] | (0x80u >> (x % 8))); }

bool dotOf(const std::vector<std::uint8_t>& row, unsigned x) { return (row[x / 8] >> (7 - x % 8)) & 1; }

// The raster's pages as the head should print them.
bool readPages(const std::string& path, std::vector<Page>* pages, std::string* error) {
  const int fd = ::open(path.c_str(), O_RDONLY);
  if (fd < 0) return *error = path + ": cannot open", false;
  cups_raster_t* raster = cupsRasterOpen(fd, CUPS_RASTER_READ);
  cups_page_header2_t h;
  bool ok = true;
  while (ok && cupsRasterReadHeader2(raster, &h)) {
    const double marginPoints = h.cupsImagingBBox[0] > 0 ? h.cupsImagingBBox[0]
                                : h.ImagingBoundingBox[0] != 0 ? h.ImagingBoundingBox[0] : h.Margins[0];
    const unsigned margin = static_cast<unsigned>(std::lround(marginPoints * h.HWResolution[0] / 72.0));
    const unsigned first = h.cupsWidth <= kHeadWidthHigh ? 0 : std::min(margin, h.cupsWidth - kHeadDots);
    const unsigned count = std::min(kHeadDots, h.cupsWidth);
    const bool grey = h.cupsBitsPerColor == 8;
    unsigned space = 0;
    std::memcpy(&space, &h.cupsColorSpace, sizeof space);
    const bool whiteBits = space != CUPS_CSPACE_K;
    frontend::RowDitherer ditherer(kHeadDots);
    std::vector<std::uint8_t> row(h.cupsBytesPerLine), fitted(kHeadDots);
    Page page;
    for (unsigned y = 0; y < h.cupsHeight; ++y) {
      if (cupsRasterReadPixels(raster, row.data(), h.cupsBytesPerLine) != h.cupsBytesPerLine) {
        *error = path + ": raster cut short";
        ok = false;
        break;
      }
      Line line{};
      if (grey) {
        std::fill(fitted.begin(), fitted.end(), 255);
        for (unsigned x = 0; x < count; ++x) fitted[x] = row[first + x];
        ditherer.ditherRow(fitted.data(), line.data());
      } else {
        for (unsigned x = 0; x < count; ++x)
          if (dotOf(row, first + x) != whiteBits) setDot(line, x);
      }
      page.push_back(line);
    }
    pages->push_back(std::move(page));
  }
  cupsRasterClose(raster);
  ::close(fd);
  return ok;
}

// The blank-space option, line by line.
Page withBlankSpace(const Page& page, const frontend::BlankSpace& blank) {
  Page out;
  std::size_t run = 0;
  auto flush = [&](std::size_t keep) { out.insert(out.end(), keep, Line{}); };
  for (const Line& line : page) {
    if (line == Line{}) {
      ++run;
      continue;
    }
    flush(blank.longestRun != 0 ? std::min<std::size_t>(run, blank.longestRun) : run);
    run = 0;
    out.push_back(line);
  }
  if (!blank.trimTrailing) flush(blank.longestRun != 0 ? std::min<std::size_t>(run, blank.longestRun) : run);
  return out;
}

bool decodeStrict(const std::string& path, emulator::Paper* paper, std::string* error) {
  std::vector<std::uint8_t> stream;
  if (!readFile(path, &stream)) return *error = path + ": cannot read", false;
  emulator::ParseOptions strict;
  strict.strict = true;
  emulator::ParseResult parsed = emulator::parseStream(stream, strict);
  if (!parsed.status.ok) return *error = path + ": " + parsed.status.toString(), false;
  *paper = std::move(parsed.paper);
  return true;
}

std::string dots(const emulator::Row& row) {
  std::string text;
  for (unsigned b = 0; b < row.size(); ++b) {
    char hex[3];
    std::snprintf(hex, sizeof hex, "%02X", row[b]);
    text += hex;
  }
  return text;
}

int compare(const testsupport::ExpectedPaper& want, const emulator::Paper& got) {
  std::vector<std::size_t> cuts;
  for (const emulator::Event& e : got.events)
    if (e.kind == emulator::EventKind::kCut) cuts.push_back(e.row);
  for (std::size_t r = 0; r < std::min(want.rows.size(), got.rows.size()); ++r) {
    if (want.rows[r] != got.rows[r])
      return fail("paper row " + std::to_string(r) + " differs:\n  expected " + dots(want.rows[r]) + "\n  printed  " +
                  dots(got.rows[r]));
  }
  if (want.rows.size() != got.rows.size())
    return fail("the paper has " + std::to_string(got.rows.size()) + " rows, expected " +
                std::to_string(want.rows.size()));
  if (cuts != want.cutRows) {
    std::string have, expected;
    for (std::size_t c : cuts) have.append(" ").append(std::to_string(c));
    for (std::size_t c : want.cutRows) expected.append(" ").append(std::to_string(c));
    return fail("cuts at rows" + have + ", expected at" + expected);
  }
  std::printf("ok: %zu paper rows, %zu cuts\n", got.rows.size(), cuts.size());
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  frontend::PrintOptions options;
  std::vector<std::string> files;
  bool streamOnly = false;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    if (a == "--stream-only") {
      streamOnly = true;
    } else if (a == "-o" && i + 1 < argc) {
      const std::string setting = argv[++i];
      const std::size_t eq = setting.find('=');
      const frontend::OptionSpec* option = frontend::findOption(setting.substr(0, eq));
      std::uint32_t value = 0;
      std::string why, text = eq == std::string::npos ? "" : setting.substr(eq + 1);
      if (text.rfind("Custom.", 0) == 0) text = text.substr(7);  // as CUPS hands a custom value
      if (eq == std::string::npos || option == nullptr) return fail("unknown option " + setting);
      if (!frontend::parseValue(*option, text, &value, &why)) return fail(why);
      option->set(options, value);
    } else {
      files.push_back(a);
    }
  }
  std::string error;
  emulator::Paper paper;
  if (streamOnly) {
    if (files.size() != 1) return fail("usage: qmx415u-raster-check --stream-only STREAM");
    if (!decodeStrict(files[0], &paper, &error)) return fail(error);
    std::printf("ok: %zu paper rows\n", paper.rows.size());
    return 0;
  }
  if (files.size() != 2) return fail("usage: qmx415u-raster-check [-o NAME=VALUE]... RASTER STREAM");
  std::vector<Page> pages;
  if (!readPages(files[0], &pages, &error)) return fail(error);
  if (pages.empty()) return fail(files[0] + ": no pages");
  for (Page& page : pages) page = withBlankSpace(page, options.blankSpace);
  if (!decodeStrict(files[1], &paper, &error)) return fail(error);
  return compare(testsupport::expectedPaper(options.record.data(), pages), paper);
}
