#include "app/test_page.h"

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdio>
#include <cstring>

#include "app/bitmap_font.h"
#include "app/driver.h"
#include "app/ipp_options.h"
#include "app/printer_defaults.h"
#include "app/version.h"

namespace app {
namespace {

constexpr std::uint8_t kWhite = 255;
constexpr std::uint8_t kBlack = 0;
constexpr double kMmPerInch = 25.4;
constexpr double kDotsPerMm = kDotsPerInch / kMmPerInch;
constexpr double kHundredthsPerMm = 100.0;

// The ruler: a spine on dot 0, ticks to its right.
constexpr int kTickMm = 12;      // dots of a millimetre's tick
constexpr int kTickFiveMm = 22;  // of every fifth
constexpr int kTickTenMm = 34;   // of every tenth, which is numbered
constexpr int kRulerNumberX = 38;
constexpr int kRulerNumberScale = 2;

// The text column, right of the ruler's numbers.
constexpr int kTextLeft = 92;
constexpr int kTextRight = 566;  // clear of the right edge's line
constexpr int kTextScale = 2;
constexpr int kTitleScale = 3;
constexpr int kLineGap = 6;
constexpr int kTopRows = 14;     // above the title: room for the edge arrows
constexpr int kBottomRows = 24;  // below the last line
constexpr int kArrowSize = 10;

// The grey ramp.
constexpr int kRampSteps = 11;
constexpr int kRampStepWidth = 40;
constexpr int kRampHeight = 64;

constexpr std::size_t kMostDeviceLines = 4;  // a longer device URI ends in "..."

int advance(int scale) { return (kGlyphWidth + 1) * scale; }
int lineHeight(int scale) { return kGlyphHeight * scale + kLineGap; }
std::size_t charsPerLine(int scale) { return static_cast<std::size_t>((kTextRight - kTextLeft) / advance(scale)); }

// A page being drawn; grows downwards as needed, every pixel white at first.
class Canvas {
 public:
  void fill(int x, int y, int width, int height, std::uint8_t grey) {
    for (int row = std::max(y, 0); row < y + height; ++row) {
      grow(row + 1);
      for (int col = std::max(x, 0); col < std::min(x + width, static_cast<int>(kTestPageWidth)); ++col) {
        pixels_[static_cast<std::size_t>(row) * kTestPageWidth + static_cast<std::size_t>(col)] = grey;
      }
    }
  }
  void text(int x, int y, const std::string& line, int scale) {
    for (const char c : line) {
      const Glyph& glyph = glyphOf(c);
      for (int row = 0; row < kGlyphHeight; ++row) {
        for (int dot = 0; dot < kGlyphWidth; ++dot) {
          if ((glyph[static_cast<std::size_t>(row)] >> (kGlyphWidth - 1 - dot)) & 1) {
            fill(x + dot * scale, y + row * scale, scale, scale, kBlack);
          }
        }
      }
      x += advance(scale);
    }
  }
  int rows() const { return rows_; }
  void grow(int rows) {
    if (rows <= rows_) return;
    pixels_.resize(static_cast<std::size_t>(rows) * kTestPageWidth, kWhite);
    rows_ = rows;
  }
  GreyImage take(std::uint32_t rows) {
    grow(static_cast<int>(rows));
    pixels_.resize(static_cast<std::size_t>(rows) * kTestPageWidth);
    return {kTestPageWidth, rows, std::move(pixels_)};
  }

 private:
  std::vector<std::uint8_t> pixels_;
  int rows_ = 0;
};

// Splits `text` into lines of at most `width` characters, at most `most`
// of them; a line cut short ends in "...".
std::vector<std::string> wrap(const std::string& text, std::size_t width, std::size_t most) {
  std::vector<std::string> lines;
  for (std::size_t at = 0; at < text.size() && lines.size() < most; at += width) lines.push_back(text.substr(at, width));
  if (lines.empty()) lines.push_back("");
  if (lines.size() * width < text.size()) lines.back().replace(width - 3, 3, "...");
  return lines;
}

// Writes the lines of the text column from row `y`; returns the row below them.
int textLines(Canvas& page, int y, const std::vector<std::string>& lines) {
  for (const std::string& line : lines) {
    page.text(kTextLeft, y, line, kTextScale);
    y += lineHeight(kTextScale);
  }
  return y;
}

int drawRamp(Canvas& page, int y) {
  for (int step = 0; step < kRampSteps; ++step) {
    const auto grey = static_cast<std::uint8_t>(kWhite - kWhite * step / (kRampSteps - 1));
    page.fill(kTextLeft + step * kRampStepWidth, y, kRampStepWidth, kRampHeight, grey);
  }
  y += kRampHeight + kLineGap;
  page.text(kTextLeft, y, "0%", kTextScale);
  page.text(kTextLeft + (kRampSteps / 2) * kRampStepWidth, y, "50%", kTextScale);
  page.text(kTextLeft + kRampSteps * kRampStepWidth - 4 * advance(kTextScale), y, "100%", kTextScale);
  return y + lineHeight(kTextScale);
}

// Arrows at the top pointing at dot 1 and dot 576.
void drawEdgeArrows(Canvas& page) {
  for (int i = 0; i < kArrowSize; ++i) {
    page.fill(1, i, kArrowSize - i, 1, kBlack);
    page.fill(static_cast<int>(kTestPageWidth) - 1 - (kArrowSize - i), i, kArrowSize - i, 1, kBlack);
  }
}

// The ruler and the edge lines, down the whole page.
void drawRulerAndEdges(Canvas& page) {
  const int rows = page.rows();
  page.fill(0, 0, 1, rows, kBlack);
  page.fill(static_cast<int>(kTestPageWidth) - 1, 0, 1, rows, kBlack);
  for (int mm = 1;; ++mm) {
    const int row = static_cast<int>(std::lround(mm * kDotsPerMm));
    if (row >= rows) break;
    const int length = mm % 10 == 0 ? kTickTenMm : mm % 5 == 0 ? kTickFiveMm : kTickMm;
    page.fill(0, row, length, 1, kBlack);
    const int numberTop = row - kGlyphHeight * kRulerNumberScale / 2;
    if (mm % 10 == 0 && numberTop + kGlyphHeight * kRulerNumberScale < rows) {
      page.text(kRulerNumberX, numberTop, std::to_string(mm), kRulerNumberScale);
    }
  }
}

std::string paperText(const pappl_media_col_t& media) {
  char text[128];
  std::snprintf(text, sizeof text, "%g x %g mm roll, %s", media.size_width / kHundredthsPerMm,
                media.size_length / kHundredthsPerMm, markedPaper(media) ? "black-mark" : "continuous");
  return text;
}

std::string& testPageFolder() {
  static std::string folder;
  return folder;
}

}  // namespace

TestPageFacts testPageFacts(pappl_printer_t* printer) {
  TestPageFacts facts;
  facts.printer = papplPrinterGetName(printer);
  facts.device = papplPrinterGetDeviceURI(printer);
  facts.version = kVersion;
  pappl_pr_driver_data_t data;
  papplPrinterGetDriverData(printer, &data);
  facts.paper = paperText(data.media_default);
  facts.mostRows = static_cast<std::uint32_t>(data.media_default.size_length * kDotsPerInch / (kMmPerInch * kHundredthsPerMm));
  const frontend::PrintOptions settings = printerDefaults(printer);
  for (const frontend::OptionSpec* option : vendorOptions()) {
    facts.options.emplace_back(option->ippName, valueText(*option, option->get(settings)));
  }
  return facts;
}

GreyImage drawTestPage(const TestPageFacts& facts) {
  Canvas page;
  drawEdgeArrows(page);
  int y = kTopRows;
  page.text(kTextLeft, y, "TEST PAGE", kTitleScale);
  y += lineHeight(kTitleScale);
  const std::size_t width = charsPerLine(kTextScale);
  y = textLines(page, y, {"qmx415u-app " + facts.version, "Printer: " + facts.printer});
  y = textLines(page, y, wrap("Device: " + facts.device, width, kMostDeviceLines));
  y = textLines(page, y, wrap("Paper: " + facts.paper, width, 2));
  y = textLines(page, y, {"", "Options in effect:"});
  for (const auto& [name, value] : facts.options) y = textLines(page, y, wrap(" " + name + ": " + value, width, 2));
  y = textLines(page, y, {"", "Grey through the dither:"});
  y = drawRamp(page, y);
  y = textLines(page, y, {"", "Ruler: a tick each mm, numbered in", "mm from the page's top. Lines down", "dot 1 and dot 576 (arrows)."});
  std::uint32_t rows = static_cast<std::uint32_t>(y + kBottomRows);
  if (facts.mostRows > 0) rows = std::min(rows, facts.mostRows);
  page.grow(static_cast<int>(rows));
  drawRulerAndEdges(page);  // over the whole page, whatever it holds
  return page.take(rows);
}

void setTestPageFolder(const std::string& folder) { testPageFolder() = folder; }

std::string writeTestPage(pappl_printer_t* printer, std::string* why) {
  static std::atomic<unsigned> serial{0};
  const std::string path = testPageFolder() + "/test-page-" + std::to_string(getpid()) + "-" +
                           std::to_string(papplPrinterGetID(printer)) + "-" + std::to_string(++serial) + ".png";
  const std::string error = writeGreyPng(path, drawTestPage(testPageFacts(printer)), kDotsPerInch);
  if (!error.empty()) {
    *why = error;
    return {};
  }
  return path;
}

const char* testPageFile(pappl_printer_t* printer, char* buffer, std::size_t size) {
  try {
    std::string why;
    const std::string path = writeTestPage(printer, &why);
    if (path.empty() || path.size() >= size) {
      if (path.empty()) papplLogPrinter(printer, PAPPL_LOGLEVEL_ERROR, "No test page: %s", why.c_str());
      if (!path.empty()) unlink(path.c_str());
      return nullptr;
    }
    std::memcpy(buffer, path.c_str(), path.size() + 1);
    return buffer;
  } catch (...) {
    return nullptr;
  }
}

pappl_job_t* printTestPage(pappl_printer_t* printer, const char* user, std::string* why) {
  const std::string path = writeTestPage(printer, why);
  if (path.empty()) return nullptr;
  pappl_job_t* job = papplJobCreateWithFile(printer, user != nullptr && *user ? user : "guest", "image/png",
                                            "Test Page", 0, nullptr, path.c_str());
  if (job == nullptr) {
    unlink(path.c_str());
    *why = "the printer took no job";
  }
  return job;
}

}  // namespace app
