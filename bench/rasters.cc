#include "bench/rasters.h"

#include <cstring>

namespace bench {
namespace {

constexpr int kDots = 576;
constexpr std::uint32_t kRowLines = 30;  // 24-dot glyphs and a 6-dot gap
constexpr std::uint32_t kGlyphLines = 24;
constexpr int kCellDots = 12;
constexpr int kColumns = kDots / kCellDots;

std::uint32_t hash(std::uint32_t x) {
  x ^= x >> 16;
  x *= 0x7FEB352Du;
  x ^= x >> 15;
  x *= 0x846CA68Bu;
  x ^= x >> 16;
  return x;
}

void setDot(std::uint8_t* line, int x) {
  if (x >= 0 && x < kDots) line[x >> 3] |= static_cast<std::uint8_t>(0x80u >> (x & 7));
}

// A glyph built from a few strokes, so that bytes look like printed text.
bool glyphDot(std::uint32_t code, int x, int y) {
  if (y < 4 || y > 19) return false;
  std::uint32_t f = hash(code) & 0x7F;
  if (f == 0) f = 4;
  bool inBar = x >= 2 && x <= 9;
  if ((f & 1) && (x == 2 || x == 3)) return true;
  if ((f & 2) && (x == 8 || x == 9)) return true;
  if ((f & 4) && (x == 5 || x == 6)) return true;
  if ((f & 8) && inBar && (y == 4 || y == 5)) return true;
  if ((f & 16) && inBar && (y == 11 || y == 12)) return true;
  if ((f & 32) && inBar && (y == 18 || y == 19)) return true;
  int diagonal = 2 + (y - 4) / 2;
  return (f & 64) && (x == diagonal || x == diagonal + 1);
}

constexpr std::uint32_t kSpace = 0xFFFFFFFF;
constexpr std::uint32_t kDash = 0xFFFFFFFE;

void drawGlyph(std::uint8_t* line, std::uint32_t code, int column, int y, int scale = 1) {
  if (code == kSpace) return;
  int x0 = column * kCellDots;
  for (int x = 0; x < kCellDots * scale; ++x) {
    bool on = code == kDash ? (y >= 11 && y <= 12 && x >= 1 && x <= 10) : glyphDot(code, x / scale, y / scale);
    if (on) setDot(line, x0 + x);
  }
}

// Characters of a word-like string: letters with a space every few.
std::uint32_t charAt(std::uint32_t seed, int i) {
  std::uint32_t h = hash(seed * 131u + static_cast<std::uint32_t>(i));
  return (h % 7 == 0) ? kSpace : h % 64;
}

enum class RowKind { kBlank, kSeparator, kTitle, kItem };

RowKind rowKind(std::uint32_t seed) {
  std::uint32_t h = hash(seed ^ 0xA5A5u) % 10;
  if (h == 0) return RowKind::kBlank;
  if (h == 1) return RowKind::kSeparator;
  if (h == 2) return RowKind::kTitle;
  return RowKind::kItem;
}

// Line y of a text row: item name on the left and the price on the right,
// or a centred title, or a dashed separator.
void textRowLine(std::uint32_t seed, RowKind kind, std::uint32_t y, std::uint8_t* line) {
  if (y >= kGlyphLines || kind == RowKind::kBlank) return;
  int row = static_cast<int>(y);
  std::uint32_t h = hash(seed);
  switch (kind) {
    case RowKind::kSeparator:
      for (int c = 0; c < kColumns; ++c) drawGlyph(line, kDash, c, row);
      break;
    case RowKind::kTitle: {
      int n = 10 + static_cast<int>(h % 12);
      int start = (kColumns - n) / 2;
      for (int i = 0; i < n; ++i) drawGlyph(line, charAt(seed, i), start + i, row);
      break;
    }
    default: {
      int left = 6 + static_cast<int>(h % 18);
      int right = 4 + static_cast<int>((h >> 8) % 5);
      for (int i = 0; i < left; ++i) drawGlyph(line, charAt(seed, i), i, row);
      for (int i = 0; i < right; ++i)
        drawGlyph(line, (h >> 16) % 10 + static_cast<std::uint32_t>(i) * 3u, kColumns - right + i, row);
      break;
    }
  }
}

void textLine(std::uint32_t seed, std::uint32_t index, std::uint8_t* line) {
  std::uint32_t rowSeed = seed + index / kRowLines;
  textRowLine(rowSeed, rowKind(rowSeed), index % kRowLines, line);
}

constexpr std::uint32_t kLogoLines = 192;
constexpr std::uint32_t kLogoPeriod = kLogoLines + 16;

// A ring around a dithered gradient, with a large-lettered name beside it.
void logoLine(std::uint32_t y, std::uint8_t* line) {
  if (y >= kLogoLines) return;
  static constexpr int kBayer[4][4] = {{0, 8, 2, 10}, {12, 4, 14, 6}, {3, 11, 1, 9}, {15, 7, 13, 5}};
  int dy = static_cast<int>(y) - 96;
  for (int x = 110; x < 290; ++x) {
    int dx = x - 200;
    int r2 = dx * dx + dy * dy;
    if (r2 > 90 * 90) continue;
    if (r2 >= 78 * 78) {
      setDot(line, x);
    } else {
      int level = (dy + 78) * 16 / 157;
      if (kBayer[y & 3][x & 3] < level) setDot(line, x);
    }
  }
  if (y >= 60 && y < 108) {
    for (int i = 0; i < 7; ++i)
      drawGlyph(line, 40u + static_cast<std::uint32_t>(i), 26 + 2 * i, static_cast<int>(y) - 60, 2);
  }
}

constexpr std::uint32_t kBarLines = 120;
constexpr std::uint32_t kBarcodePeriod = 180;

// Bars of one to three modules, the digits under them.
void barcodeLine(std::uint32_t y, std::uint8_t* line) {
  constexpr int kModules = 95;
  constexpr int kModuleDots = 3;
  constexpr int kStart = (kDots - kModules * kModuleDots) / 2;
  if (y < kBarLines) {
    for (int m = 0; m < kModules; ++m) {
      bool black = (hash(static_cast<std::uint32_t>(m) / 2 + 77u) & 1) != 0 || m < 3 || m >= kModules - 3;
      if (!black) continue;
      for (int d = 0; d < kModuleDots; ++d) setDot(line, kStart + m * kModuleDots + d);
    }
  } else if (y >= 126 && y < 126 + kGlyphLines) {
    for (int i = 0; i < 13; ++i)
      drawGlyph(line, static_cast<std::uint32_t>(i * 5 % 10), 17 + i, static_cast<int>(y) - 126);
  }
}

void receiptLine(std::uint32_t i, std::uint8_t* line) {
  struct Section {
    std::uint32_t end;
    int kind;  // 0 logo, 1 blank, 2 title, 3 separator, 4 items, 5 black, 6 barcode
  };
  static constexpr Section kLayout[] = {
      {192, 0}, {216, 1}, {246, 2}, {276, 3}, {1116, 4}, {1146, 3}, {1194, 5},
      {1224, 4}, {1254, 1}, {1434, 6}, {1554, 2}, {~0u, 1},
  };
  std::uint32_t begin = 0;
  for (const Section& s : kLayout) {
    if (i < s.end) {
      std::uint32_t y = i - begin;
      switch (s.kind) {
        case 0: logoLine(y, line); break;
        case 2: textRowLine(1000 + y / kRowLines, RowKind::kTitle, y % kRowLines, line); break;
        case 3: textRowLine(0, RowKind::kSeparator, y % kRowLines, line); break;
        case 4: textRowLine(2000 + y / kRowLines, RowKind::kItem, y % kRowLines, line); break;
        case 5: std::memset(line, 0xFF, kLineBytes); break;
        case 6: barcodeLine(y, line); break;
        default: break;
      }
      return;
    }
    begin = s.end;
  }
}

}  // namespace

const char* rasterName(Raster kind) {
  switch (kind) {
    case Raster::kReceipt: return "receipt";
    case Raster::kText: return "text";
    case Raster::kLogo: return "logo";
    case Raster::kBarcode: return "barcode";
    case Raster::kBlack: return "black";
    case Raster::kBlank: return "blank";
    case Raster::kWorst: return "worst";
  }
  return "?";
}

void fillLine(Raster kind, std::uint32_t index, std::uint8_t* line) {
  std::memset(line, 0, kLineBytes);
  switch (kind) {
    case Raster::kReceipt: receiptLine(index, line); break;
    case Raster::kText: textLine(7, index, line); break;
    case Raster::kLogo: logoLine(index % kLogoPeriod, line); break;
    case Raster::kBarcode: barcodeLine(index % kBarcodePeriod, line); break;
    case Raster::kBlack: std::memset(line, 0xFF, kLineBytes); break;
    case Raster::kBlank: break;
    case Raster::kWorst:
      // The lowest bit alternates with the byte position, so neighbours
      // always differ, also from one line to the next.
      for (std::uint32_t b = 0; b < kLineBytes; ++b) {
        std::uint32_t p = index * kLineBytes + b;
        line[b] = static_cast<std::uint8_t>((hash(p) & 0xFE) | (p & 1));
      }
      break;
  }
}

std::vector<std::uint8_t> makePage(Raster kind, std::uint32_t lines) {
  std::vector<std::uint8_t> page(static_cast<std::size_t>(lines) * kLineBytes);
  for (std::uint32_t i = 0; i < lines; ++i) fillLine(kind, i, page.data() + static_cast<std::size_t>(i) * kLineBytes);
  return page;
}

}  // namespace bench
