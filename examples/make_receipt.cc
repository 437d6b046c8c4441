// Draws the sample receipts used by the demo and the tests: text in a small
// dot font, a round emblem, rules and an EAN-13 barcode, 576 dots wide,
// written as a binary PBM (P4) image.
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "examples/font5x7.h"
#include "tools/image_io.h"

namespace {

constexpr int kWidth = 576;

class Canvas {
 public:
  int height() const { return static_cast<int>(rows_.size()); }
  void grow(int rows) { rows_.resize(rows_.size() + static_cast<std::size_t>(rows), std::vector<bool>(kWidth)); }
  void set(int x, int y) {
    if (x >= 0 && x < kWidth && y >= 0 && y < height()) rows_[static_cast<std::size_t>(y)][static_cast<std::size_t>(x)] = true;
  }
  void fill(int x0, int y0, int w, int h) {
    for (int y = y0; y < y0 + h; ++y)
      for (int x = x0; x < x0 + w; ++x) set(x, y);
  }
  bool get(int x, int y) const { return rows_[static_cast<std::size_t>(y)][static_cast<std::size_t>(x)]; }

 private:
  std::vector<std::vector<bool>> rows_;
};

int textWidth(const std::string& text, int scale) { return static_cast<int>(text.size()) * 6 * scale - scale; }

// Writes one line of text at the bottom of the canvas.
void text(Canvas& c, const std::string& s, int scale, int x) {
  int top = c.height();
  c.grow(9 * scale);
  for (std::size_t i = 0; i < s.size(); ++i) {
    font::Glyph g = font::glyphFor(s[i]);
    for (int row = 0; row < 7; ++row)
      for (int col = 0; col < 5; ++col)
        if (g[static_cast<std::size_t>(row)] & (0x10 >> col))
          c.fill(x + (static_cast<int>(i) * 6 + col) * scale, top + scale + row * scale, scale, scale);
  }
}

void centered(Canvas& c, const std::string& s, int scale) { text(c, s, scale, (kWidth - textWidth(s, scale)) / 2); }

// Item on the left, amount on the right.
void columns(Canvas& c, const std::string& left, const std::string& right, int scale) {
  int top = c.height();
  text(c, left, scale, 16);
  // The amount goes on the rows the item just took.
  int x = kWidth - 16 - textWidth(right, scale);
  for (std::size_t i = 0; i < right.size(); ++i) {
    font::Glyph g = font::glyphFor(right[i]);
    for (int row = 0; row < 7; ++row)
      for (int col = 0; col < 5; ++col)
        if (g[static_cast<std::size_t>(row)] & (0x10 >> col))
          c.fill(x + (static_cast<int>(i) * 6 + col) * scale, top + scale + row * scale, scale, scale);
  }
}

void gap(Canvas& c, int rows) { c.grow(rows); }

void dashedRule(Canvas& c) {
  int top = c.height();
  c.grow(8);
  for (int x = 16; x < kWidth - 16; x += 12) c.fill(x, top + 3, 8, 2);
}

void solidRule(Canvas& c, int thickness) {
  int top = c.height();
  c.grow(thickness + 6);
  c.fill(16, top + 3, kWidth - 32, thickness);
}

// A ring with a filled centre and four spokes.
void emblem(Canvas& c, int radius) {
  int top = c.height();
  c.grow(2 * radius + 8);
  int cx = kWidth / 2, cy = top + radius + 4;
  for (int y = -radius; y <= radius; ++y)
    for (int x = -radius; x <= radius; ++x) {
      double d = std::sqrt(double(x * x + y * y));
      bool ring = d <= radius && d >= radius - 8;
      bool core = d <= radius / 3.0;
      bool spoke = d < radius - 8 && (std::abs(x) <= 2 || std::abs(y) <= 2);
      if (ring || core || spoke) c.set(cx + x, cy + y);
    }
}

// EAN-13: guard bars, six left digits in L/G codes chosen by the first
// digit, six right digits in R codes.
void barcode(Canvas& c, const std::string& twelveDigits, int module, int height) {
  static const char* kL[10] = {"0001101", "0011001", "0010011", "0111101", "0100011",
                               "0110001", "0101111", "0111011", "0110111", "0001011"};
  static const char* kParity[10] = {"LLLLLL", "LLGLGG", "LLGGLG", "LLGGGL", "LGLLGG",
                                    "LGGLLG", "LGGGLL", "LGLGLG", "LGLGGL", "LGGLGL"};
  std::string digits = twelveDigits;
  int sum = 0;
  for (int i = 0; i < 12; ++i) sum += (digits[static_cast<std::size_t>(i)] - '0') * (i % 2 ? 3 : 1);
  digits += static_cast<char>('0' + (10 - sum % 10) % 10);
  auto rCode = [](int d) {
    std::string s = kL[d];
    for (char& ch : s) ch = ch == '0' ? '1' : '0';
    return s;
  };
  std::string bits = "101";
  int first = digits[0] - '0';
  for (int i = 1; i <= 6; ++i) {
    int d = digits[static_cast<std::size_t>(i)] - '0';
    std::string r = rCode(d);
    bits += kParity[first][i - 1] == 'L' ? std::string(kL[d]) : std::string(r.rbegin(), r.rend());
  }
  bits += "01010";
  for (int i = 7; i <= 12; ++i) bits += rCode(digits[static_cast<std::size_t>(i)] - '0');
  bits += "101";
  int top = c.height();
  c.grow(height);
  int x0 = (kWidth - static_cast<int>(bits.size()) * module) / 2;
  for (std::size_t i = 0; i < bits.size(); ++i)
    if (bits[i] == '1') c.fill(x0 + static_cast<int>(i) * module, top, module, height);
  centered(c, digits, 2);
}

Canvas receipt() {
  Canvas c;
  gap(c, 8);
  emblem(c, 56);
  gap(c, 8);
  centered(c, "CORNER BAKERY", 4);
  centered(c, "12 MARKET STREET", 2);
  centered(c, "TEL 0123-456-789", 2);
  gap(c, 6);
  dashedRule(c);
  columns(c, "2026-12-08 11:42", "NO. 0042", 2);
  dashedRule(c);
  columns(c, "RYE BREAD", "4.20", 3);
  columns(c, "CROISSANT X3", "5.70", 3);
  columns(c, "APPLE TART", "3.90", 3);
  columns(c, "COFFEE", "2.50", 3);
  solidRule(c, 3);
  columns(c, "TOTAL", "16.30", 4);
  columns(c, "CASH", "20.00", 2);
  columns(c, "CHANGE", "3.70", 2);
  dashedRule(c);
  gap(c, 40);
  barcode(c, "490123456789", 3, 90);
  gap(c, 10);
  centered(c, "THANK YOU!", 3);
  gap(c, 24);
  return c;
}

Canvas label() {
  Canvas c;
  gap(c, 16);
  centered(c, "PARCEL", 6);
  gap(c, 8);
  solidRule(c, 8);
  text(c, "TO: A. READER", 3, 24);
  text(c, "7 HILL ROAD", 3, 24);
  text(c, "SPRINGFIELD 1234", 3, 24);
  gap(c, 60);
  barcode(c, "123456789012", 4, 120);
  gap(c, 16);
  return c;
}

bool endsWith(const std::string& text, const std::string& end) {
  return text.size() >= end.size() && text.compare(text.size() - end.size(), end.size(), end) == 0;
}

// A PNG, for the programs that read PNG but not PBM (the printer application).
bool writePng(const Canvas& c, const char* path, std::string* error) {
  image_io::Rows rows(static_cast<std::size_t>(c.height()));
  for (int y = 0; y < c.height(); ++y)
    for (int x = 0; x < kWidth; ++x)
      if (c.get(x, y)) rows[static_cast<std::size_t>(y)][static_cast<std::size_t>(x / 8)] |= static_cast<std::uint8_t>(0x80 >> (x % 8));
  *error = image_io::writePng(path, rows, image_io::PngDepth::kOneBit);
  return error->empty();
}

bool writePbm(const Canvas& c, const char* path) {
  FILE* f = std::strcmp(path, "-") == 0 ? stdout : std::fopen(path, "wb");
  if (f == nullptr) return false;
  std::fprintf(f, "P4\n%d %d\n", kWidth, c.height());
  std::vector<unsigned char> row(kWidth / 8);
  for (int y = 0; y < c.height(); ++y) {
    std::fill(row.begin(), row.end(), 0);
    for (int x = 0; x < kWidth; ++x)
      if (c.get(x, y)) row[static_cast<std::size_t>(x / 8)] |= static_cast<unsigned char>(0x80 >> (x % 8));
    std::fwrite(row.data(), 1, row.size(), f);
  }
  bool ok = std::ferror(f) == 0;
  if (f != stdout) ok = std::fclose(f) == 0 && ok;
  return ok;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3 || (std::strcmp(argv[1], "receipt") != 0 && std::strcmp(argv[1], "label") != 0)) {
    std::fprintf(stderr, "usage: qmx415u-sample receipt|label OUT.pbm|OUT.png\n");
    return 2;
  }
  Canvas c = std::strcmp(argv[1], "receipt") == 0 ? receipt() : label();
  if (endsWith(argv[2], ".png")) {
    std::string error;
    if (writePng(c, argv[2], &error)) return 0;
    std::fprintf(stderr, "qmx415u-sample: %s\n", error.c_str());
    return 1;
  }
  if (!writePbm(c, argv[2])) {
    std::fprintf(stderr, "qmx415u-sample: cannot write %s\n", argv[2]);
    return 1;
  }
  return 0;
}
