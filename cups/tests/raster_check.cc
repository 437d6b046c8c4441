// qmx415u-raster-check: the oracle of the CUPS tests. Reads a CUPS raster
// and the printer stream printed from it, decodes the stream strictly with
// the emulator, and checks that its paper is the raster's pages (fitted to
// the head dot by dot here, grey dithered, blank space handled as the
// options say) after the job's top margins, trimming, feeds and cuts.
//
// It shares no decoding, fitting, dithering or blank-space code with the
// filter: the raster is read by libcups, and the dither is written here
// from its definition, so a fault in the filter's own shows.
//
//   qmx415u-raster-check [-o NAME=VALUE]... RASTER STREAM
//   qmx415u-raster-check --stream-only STREAM      strict decode only
//   qmx415u-raster-check --prefix-of FULL PART [--at-least ROWS] [--first-pages]
//       a job cut short (cancelled) against the whole job: PART's paper up
//       to its last dot is FULL's, row for row, and reaches at least ROWS
//       rows (default 1: something printed). With --first-pages FULL is the
//       job's first pages only, compared up to their last dot.
#include <cups/raster.h>
#include <fcntl.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "emulator/emulator.h"
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

// Floyd-Steinberg as the printer's front ends define it, row by row down a
// page: grey 0 is black and 255 white; a pixel's value is its grey plus its
// carried error, the sum of its neighbours' errors in sixteenths (7 from
// the left, 1 from above-left, 5 from above, 3 from above-right, none from
// outside the row), divided by 16 and truncated toward zero; below 128 it
// is a dot; its error is the value less 0 (a dot) or 255. Here each pixel
// gathers what it is owed, in floating point, where the filter's dither
// spreads integer errors forward: the two must agree dot for dot.
class ReferenceDither {
 public:
  explicit ReferenceDither(unsigned width) : above_(width, 0.0), here_(width, 0.0) {}

  void dither(const std::vector<std::uint8_t>& grey, Line& line) {
    const std::size_t width = here_.size();
    for (std::size_t x = 0; x < width; ++x) {
      double owed = 5 * above_[x];
      if (x > 0) owed += 7 * here_[x - 1] + 1 * above_[x - 1];
      if (x + 1 < width) owed += 3 * above_[x + 1];
      const double value = grey[x] + std::trunc(owed / 16);
      const bool dot = value < 128;
      if (dot) setDot(line, static_cast<unsigned>(x));
      here_[x] = value - (dot ? 0 : 255);
    }
    above_.swap(here_);
  }

 private:
  std::vector<double> above_, here_;  // errors of the row above and of this row
};

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
    ReferenceDither ditherer(kHeadDots);
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
        ditherer.dither(fitted, line);
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

// The blank-space option, line by line: a page's blank head and tail go
// unless its ends are kept (asked for, or black-mark paper by default),
// TrimBlankTail drops the tail anyway, LongestBlank bounds the other runs.
Page withBlankSpace(const Page& page, const frontend::BlankSpace& blank, bool blackMark) {
  const bool head = blank.ends == frontend::BlankEnds::kTrim || (blank.ends == frontend::BlankEnds::kAuto && !blackMark);
  const bool tail = head || blank.trimTrailing;
  auto bounded = [&](std::size_t run) {
    return blank.longestRun != 0 ? std::min<std::size_t>(run, blank.longestRun) : run;
  };
  Page out;
  std::size_t run = 0;
  bool inked = false;
  for (const Line& line : page) {
    if (line == Line{}) {
      ++run;
      continue;
    }
    out.insert(out.end(), head && !inked ? 0 : bounded(run), Line{});
    run = 0;
    inked = true;
    out.push_back(line);
  }
  if (!tail) out.insert(out.end(), bounded(run), Line{});
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

// Rows of the paper up to its last dot.
std::size_t inkedRows(const emulator::Paper& paper) {
  std::size_t rows = paper.rows.size();
  while (rows > 0 && paper.rows[rows - 1] == emulator::Row{}) --rows;
  return rows;
}

int checkPrefix(const std::string& fullPath, const std::string& partPath, std::size_t atLeast, bool firstPages) {
  emulator::Paper full, part;
  std::string error;
  if (!decodeStrict(fullPath, &full, &error) || !decodeStrict(partPath, &part, &error)) return fail(error);
  const std::size_t inked = inkedRows(part);
  if (inked < atLeast)
    return fail(partPath + " prints " + std::to_string(inked) + " rows up to its last dot, fewer than " +
                std::to_string(atLeast));
  if (inked > full.rows.size() && !firstPages) return fail(partPath + " prints more than " + fullPath);
  const std::size_t compared = std::min(inked, firstPages ? inkedRows(full) : full.rows.size());
  for (std::size_t r = 0; r < compared; ++r) {
    if (part.rows[r] != full.rows[r])
      return fail("paper row " + std::to_string(r) + " differs from the whole job's:\n  whole job " +
                  dots(full.rows[r]) + "\n  cut short " + dots(part.rows[r]));
  }
  std::printf("ok: %zu rows, the whole job's first\n", compared);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  frontend::PrintOptions options;
  std::vector<std::string> files;
  bool streamOnly = false, prefix = false, firstPages = false;
  std::size_t atLeast = 1;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    if (a == "--stream-only") {
      streamOnly = true;
    } else if (a == "--prefix-of") {
      prefix = true;
    } else if (a == "--first-pages") {
      firstPages = true;
    } else if (a == "--at-least" && i + 1 < argc) {
      atLeast = std::max<std::size_t>(1, std::strtoul(argv[++i], nullptr, 10));  // something, at least
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
  if (prefix) {
    if (files.size() != 2)
      return fail("usage: qmx415u-raster-check --prefix-of FULL PART [--at-least ROWS] [--first-pages]");
    return checkPrefix(files[0], files[1], atLeast, firstPages);
  }
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
  const bool blackMark = frontend::findOption("BlackMark")->get(options) == 1;
  for (Page& page : pages) page = withBlankSpace(page, options.blankSpace, blackMark);
  if (!decodeStrict(files[1], &paper, &error)) return fail(error);
  return compare(testsupport::expectedPaper(options.record.data(), pages), paper);
}
