#include "output/band_encoder.h"

#include <gtest/gtest.h>

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

}  // namespace
