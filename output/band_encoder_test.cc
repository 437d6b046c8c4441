#include "output/band_encoder.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <vector>

#include "platform/fault_injection.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

struct Chunk {
  Bytes bytes;
  Chunk& lines(int count, std::initializer_list<std::pair<int, std::uint8_t>> ink = {}) {
    for (int i = 0; i < count; ++i) {
      Bytes line(72, 0);
      for (auto [index, value] : ink) line[static_cast<std::size_t>(index)] = value;
      bytes.insert(bytes.end(), line.begin(), line.end());
    }
    return *this;
  }
  Chunk& span(int count, int from, int to, std::uint8_t value) {
    for (int i = 0; i < count; ++i) {
      Bytes line(72, 0);
      for (int b = from; b <= to; ++b) line[static_cast<std::size_t>(b)] = value;
      bytes.insert(bytes.end(), line.begin(), line.end());
    }
    return *this;
  }
};

Bytes encode(const Bytes& input) {
  Bytes out(input.size() + 5 + 64, 0xEE);
  std::uint32_t n = output::encodeBand(out.data(), input.data(), static_cast<std::uint32_t>(input.size()));
  EXPECT_LE(n, input.size() + 5);
  out.resize(n);
  return out;
}

// Builds expected streams from readable pieces.
struct Expect {
  Bytes bytes;
  Expect& raw(std::initializer_list<std::uint8_t> b) {
    bytes.insert(bytes.end(), b);
    return *this;
  }
  Expect& fill(std::size_t n, std::uint8_t v) {
    bytes.insert(bytes.end(), n, v);
    return *this;
  }
  Expect& image(std::uint8_t lines) { return raw({0x1B, 0x2A, 0x61, lines, 0x00}); }
  template <typename F>
  Expect& times(int n, F f) {
    for (int i = 0; i < n; ++i) f(*this);
    return *this;
  }
};

class BandEncoderTest : public ::testing::Test {
 protected:
  void SetUp() override { platform::testing::reset(); }
};

TEST_F(BandEncoderTest, TwelveLineExample) {
  Chunk c;
  c.span(2, 0, 71, 0xFF).lines(7).lines(3, {{0, 0x80}});
  Expect e;
  e.image(2).fill(144, 0xFF).raw({0x1B, 0x4A, 0x07}).image(3).times(3, [](Expect& x) { x.raw({0x80}).fill(71, 0); });
  Bytes out = encode(c.bytes);
  EXPECT_EQ(out.size(), 373u);
  EXPECT_EQ(out, e.bytes);
}

TEST_F(BandEncoderTest, SixLineExampleBothSidesEqualRuns) {
  Chunk c;
  c.span(6, 20, 29, 0xFF);
  Expect e;
  e.raw({0x1D, 0x4C, 0xA0, 0x00, 0x1D, 0x57, 0x50, 0x00}).image(6).fill(60, 0xFF);
  e.raw({0x1D, 0x4C, 0x00, 0x00, 0x1D, 0x57, 0xF0, 0x00, 0x1D, 0x57, 0x40, 0x02});
  Bytes out = encode(c.bytes);
  EXPECT_EQ(out.size(), 85u);
  EXPECT_EQ(out, e.bytes);
  EXPECT_EQ(platform::testing::debugTexts().size(), 1u) << "one text per cut image";
}

TEST_F(BandEncoderTest, TenLineExampleWidthRuleMovesTheLeftMargin) {
  Chunk c;
  c.lines(4, {{40, 0x01}}).lines(6, {{40, 0x01}, {71, 0x01}});
  Expect e;
  e.raw({0x1D, 0x4C, 0xF8, 0x00, 0x1D, 0x57, 0x50, 0x00}).image(4).times(4, [](Expect& x) {
    x.fill(9, 0).raw({0x01});
  });
  e.raw({0x1D, 0x57, 0x48, 0x01}).image(6).times(6, [](Expect& x) { x.fill(9, 0).raw({0x01}).fill(30, 0).raw({0x01}); });
  e.raw({0x1D, 0x4C, 0x00, 0x00, 0x1D, 0x57, 0x40, 0x02});
  Bytes out = encode(c.bytes);
  EXPECT_EQ(out.size(), 316u);
  EXPECT_EQ(out, e.bytes);
  EXPECT_EQ(platform::testing::debugTexts().size(), 2u) << "one text per cut image";
}

TEST_F(BandEncoderTest, SingleByteLinesNarrowToTheNarrowestArea) {
  struct {
    const char* name;
    int inkByte;
    Bytes sequenceBefore;
    int from;
    Bytes sequenceAfter;
  } cases[] = {
      {"byte 71: left only", 71, {0x1D, 0x4C, 0xF0, 0x01, 0x1D, 0x57, 0x50, 0x00}, 62,
       {0x1D, 0x4C, 0x00, 0x00, 0x1D, 0x57, 0x40, 0x02, 0x1D, 0x57, 0x40, 0x02}},
      {"byte 0: right only", 0, {0x1D, 0x57, 0x50, 0x00}, 0,
       {0x1D, 0x4C, 0x00, 0x00, 0x1D, 0x57, 0x50, 0x00, 0x1D, 0x57, 0x40, 0x02}},
      {"byte 15: margin below ten", 15, {0x1D, 0x4C, 0x30, 0x00, 0x1D, 0x57, 0x50, 0x00}, 6,
       {0x1D, 0x4C, 0x00, 0x00, 0x1D, 0x57, 0x80, 0x00, 0x1D, 0x57, 0x40, 0x02}},
  };
  for (const auto& c : cases) {
    Chunk chunk;
    chunk.lines(4, {{c.inkByte, 0x5A}});
    Expect e;
    e.bytes = c.sequenceBefore;
    e.image(4).times(4, [&](Expect& x) {
      for (int b = c.from; b < c.from + 10; ++b) x.raw({static_cast<std::uint8_t>(b == c.inkByte ? 0x5A : 0)});
    });
    e.bytes.insert(e.bytes.end(), c.sequenceAfter.begin(), c.sequenceAfter.end());
    EXPECT_EQ(encode(chunk.bytes), e.bytes) << c.name;
  }
  Chunk fifteen;
  fifteen.lines(4, {{15, 1}});
  EXPECT_EQ(encode(fifteen.bytes).size(), 65u);
}

TEST_F(BandEncoderTest, BlankRunsBecomeFeedsFromFiveLines) {
  EXPECT_TRUE(encode({}).empty());
  Chunk four, five, all;
  four.lines(4);
  five.lines(5);
  all.lines(128);
  Expect e4;
  e4.image(4).fill(288, 0);
  EXPECT_EQ(encode(four.bytes), e4.bytes);
  EXPECT_EQ(encode(five.bytes), (Bytes{0x1B, 0x4A, 0x05}));
  EXPECT_EQ(encode(all.bytes), (Bytes{0x1B, 0x4A, 0x80}));
}

TEST_F(BandEncoderTest, RunsNeedFourLinesAndTenBlankBytes) {
  struct {
    const char* name;
    int lines;
    int leftBlank;
    bool narrowed;
  } cases[] = {
      {"3 lines with 30 blank", 3, 30, false},
      {"4 lines with 30 blank", 4, 30, true},
      {"4 lines with 9 blank", 4, 9, false},
      {"4 lines with 10 blank", 4, 10, true},
  };
  for (const auto& c : cases) {
    Chunk chunk;
    chunk.span(c.lines, c.leftBlank, 71, 0xFF);  // right blank 0
    Bytes out = encode(chunk.bytes);
    bool sawMargin = out.size() >= 2 && out[0] == 0x1D && out[1] == 0x4C;
    EXPECT_EQ(sawMargin, c.narrowed) << c.name;
  }
  // The same on the right: the area narrows with GS W alone.
  for (int rightBlank : {9, 10}) {
    Chunk chunk;
    chunk.span(4, 0, 71 - rightBlank, 0xFF);
    Bytes out = encode(chunk.bytes);
    bool narrowed = out.size() >= 2 && out[0] == 0x1D && out[1] == 0x57;
    EXPECT_EQ(narrowed, rightBlank == 10) << "right blank " << rightBlank;
  }
  // A ninth-byte line breaks a run on the right side too.
  Chunk right;
  right.span(2, 0, 61, 0xFF).span(1, 0, 62, 0xFF).span(2, 0, 61, 0xFF);
  Bytes out = encode(right.bytes);
  EXPECT_EQ(out[0], 0x1B) << "no four-line run: one full-width image";
}

TEST_F(BandEncoderTest, LineThatCannotNarrowGoesOutAloneFirst) {
  Chunk c;
  c.span(1, 0, 71, 0xFF).lines(4, {{40, 0x01}});
  Bytes out = encode(c.bytes);
  Expect e;
  e.image(1).fill(72, 0xFF);
  ASSERT_GE(out.size(), e.bytes.size() + 2);
  EXPECT_EQ(Bytes(out.begin(), out.begin() + 77), e.bytes);
  EXPECT_EQ(out[77], 0x1D);
}

TEST_F(BandEncoderTest, ShortBlankRunsTravelInsideThePendingImage) {
  Chunk c;
  c.span(1, 0, 71, 0x11).lines(4).span(1, 0, 71, 0x22);
  Bytes out = encode(c.bytes);
  Expect e;
  e.image(6).fill(72, 0x11).fill(288, 0).fill(72, 0x22);
  EXPECT_EQ(out, e.bytes);
}

TEST_F(BandEncoderTest, OnlyWholeLinesOfTheLow16BitsCount) {
  Chunk c;
  c.lines(5);
  Bytes input = c.bytes;
  input.resize(input.size() + 30, 0xFF);  // a partial line is ignored
  EXPECT_EQ(encode(input), (Bytes{0x1B, 0x4A, 0x05}));
  Bytes out(16, 0);
  EXPECT_EQ(output::encodeBand(out.data(), input.data(), 0x10000), 0u);
}

// A plain reading of the encoder, byte by byte and line by line, kept here
// as the reference that the table-driven encoder must match byte for byte.
namespace reference {

constexpr int kLine = 72;

int leftBlank(const std::uint8_t* line) {
  int i = 0;
  while (i < kLine && line[i] == 0) ++i;
  return i;
}

int rightBlank(const std::uint8_t* line) {
  int i = 0;
  while (i < kLine && line[kLine - 1 - i] == 0) ++i;
  return i;
}

struct Run {
  int lines = 0;
  int margin = 0;
};

Run measure(const std::uint8_t* input, int line, int end, int (*blankOf)(const std::uint8_t*)) {
  Run run;
  int smallest = kLine;
  for (; line < end; ++line) {
    int blank = blankOf(input + line * kLine);
    if (blank == kLine || blank < 10) break;
    smallest = std::min(smallest, blank);
    ++run.lines;
  }
  run.margin = run.lines > 0 ? smallest : 0;
  return run;
}

int blankLines(const std::uint8_t* input, int line, int end) {
  int count = 0;
  while (line + count < end && leftBlank(input + (line + count) * kLine) == kLine) ++count;
  return count;
}

Bytes encodeBand(const Bytes& input) {
  Bytes out;
  auto put16 = [&](std::uint8_t a, std::uint8_t b, int value) {
    out.insert(out.end(), {a, b, static_cast<std::uint8_t>(value & 0xFF), static_cast<std::uint8_t>(value >> 8)});
  };
  auto image = [&](int count) {
    out.insert(out.end(), {0x1B, 0x2A, 0x61, static_cast<std::uint8_t>(count & 0xFF),
                           static_cast<std::uint8_t>(count >> 8)});
  };
  const std::uint8_t* in = input.data();
  int end = static_cast<int>((input.size() & 0xFFFF) / kLine);
  int cursor = 0, pending = 0;
  bool restoreLeft = false, restoreRight = false;
  auto flush = [&] {
    if (pending == 0) return;
    image(pending);
    out.insert(out.end(), in + (cursor - pending) * kLine, in + cursor * kLine);
    pending = 0;
  };
  while (cursor < end) {
    int b = blankLines(in, cursor, end);
    if (b >= 5) {
      flush();
      for (int left = b; left > 0; left -= std::min(left, 255))
        out.insert(out.end(), {0x1B, 0x4A, static_cast<std::uint8_t>(std::min(left, 255))});
      cursor += b;
      continue;
    }
    Run l = measure(in, cursor, end, leftBlank), r = measure(in, cursor, end, rightBlank);
    if (l.lines < 4 || l.margin < 10) l = Run{};
    if (r.lines < 4 || r.margin < 10) r = Run{};
    if (l.lines == 0 && r.lines == 0) {
      ++pending;
      ++cursor;
      continue;
    }
    flush();
    int total = std::max(l.lines, r.lines);
    int n = std::min(l.lines, r.lines) != 0 ? std::min(l.lines, r.lines) : total;
    if (kLine - l.margin - r.margin < 10) {
      if (l.margin <= 10) r.margin = 62 - l.margin;
      else l.margin = 62 - r.margin;
    }
    if (l.lines > 0 || restoreLeft) {
      put16(0x1D, 0x4C, 8 * l.margin);
      restoreLeft = restoreRight = true;
    }
    if (r.lines > 0 || restoreRight) {
      put16(0x1D, 0x57, 576 - 8 * (l.margin + r.margin));
      restoreLeft = restoreRight = true;
    }
    while (n > 0) {
      image(n);
      for (int i = 0; i < n; ++i, ++cursor)
        out.insert(out.end(), in + cursor * kLine + l.margin, in + cursor * kLine + kLine - r.margin);
      if (l.lines > 0) l.lines -= n;
      if (r.lines > 0) r.lines -= n;
      total -= n;
      if (l.lines == 0 && restoreLeft) {
        l.margin = 0;
        put16(0x1D, 0x4C, 0);
        put16(0x1D, 0x57, 576 - 8 * r.margin);
        restoreLeft = false;
      }
      if (r.lines == 0 && restoreRight) {
        r.margin = 0;
        put16(0x1D, 0x57, 576 - 8 * l.margin);
        restoreRight = false;
      }
      n = total;
    }
  }
  flush();
  return out;
}

}  // namespace reference

// Lines that sit on every threshold: blank runs around five, ink leaving
// blanks around ten on either side, single bytes at the edges, full lines.
Bytes randomChunk(std::mt19937& gen, int lines) {
  Bytes chunk;
  while (static_cast<int>(chunk.size()) < lines * 72) {
    Bytes line(72, 0);
    int repeat = 1 + static_cast<int>(gen() % 7);
    switch (gen() % 6) {
      case 0: break;  // blank
      case 1: std::fill(line.begin(), line.end(), 0xFF); break;
      case 2: line[gen() % 2 ? 0 : 71] = 0x01; break;
      default: {
        static constexpr int kEdges[] = {0, 5, 8, 9, 10, 11, 15, 20, 30, 40, 52, 61, 62, 63, 71};
        int a = kEdges[gen() % std::size(kEdges)], b = kEdges[gen() % std::size(kEdges)];
        if (a > b) std::swap(a, b);
        for (int i = a; i <= b; ++i)
          line[static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(gen() % 3 ? 0x81 : 0);
        line[static_cast<std::size_t>(a)] = line[static_cast<std::size_t>(b)] = 0x18;
        break;
      }
    }
    for (int r = 0; r < repeat; ++r) chunk.insert(chunk.end(), line.begin(), line.end());
  }
  chunk.resize(static_cast<std::size_t>(lines) * 72);
  return chunk;
}

TEST_F(BandEncoderTest, SameBytesAsThePlainReadingOnRandomChunks) {
  std::mt19937 gen(7031);
  for (int trial = 0; trial < 4000; ++trial) {
    // Mostly chunks as page emission cuts them; some longer ones reach
    // past the one-byte feed count.
    int lines = trial % 10 == 0 ? 129 + static_cast<int>(gen() % 400) : static_cast<int>(gen() % 129);
    Bytes chunk = randomChunk(gen, lines);
    SCOPED_TRACE(testing::Message() << "trial " << trial << ", " << lines << " lines");
    ASSERT_EQ(encode(chunk), reference::encodeBand(chunk));
    platform::testing::reset();  // the debug texts of the cut images
  }
}

TEST_F(BandEncoderTest, MeasuresMatchThePlainReading) {
  std::mt19937 gen(99);
  for (int trial = 0; trial < 300; ++trial) {
    int lines = 1 + static_cast<int>(gen() % 128);
    Bytes chunk = randomChunk(gen, lines);
    auto end = static_cast<std::uint16_t>(lines);
    for (std::uint16_t line = 0; line < end; ++line) {
      SCOPED_TRACE(testing::Message() << "trial " << trial << ", line " << line);
      output::SideRun left = output::measureLeftRun(chunk.data(), line, end);
      output::SideRun right = output::measureRightRun(chunk.data(), line, end);
      reference::Run l = reference::measure(chunk.data(), line, end, reference::leftBlank);
      reference::Run r = reference::measure(chunk.data(), line, end, reference::rightBlank);
      ASSERT_EQ(output::countBlankLines(chunk.data(), line, end), reference::blankLines(chunk.data(), line, end));
      ASSERT_EQ(left.lines, l.lines);
      ASSERT_EQ(left.margin, l.margin);
      ASSERT_EQ(right.lines, r.lines);
      ASSERT_EQ(right.margin, r.margin);
    }
  }
}

}  // namespace
