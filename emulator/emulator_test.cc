#include "emulator/emulator.h"

#include <gtest/gtest.h>
#include <sys/mman.h>

#include <cstdint>
#include <initializer_list>
#include <span>
#include <string>
#include <vector>

namespace emulator {
namespace {

using Bytes = std::vector<std::uint8_t>;
constexpr std::size_t kLineBytes = 72;

// The printer's commands, spelled out byte by byte: these tests check the
// emulator against the command set itself, not against the plug-in's
// builders of it.
Bytes gsE(std::uint8_t n) { return {0x1D, 'E', n}; }
Bytes fsE(std::uint8_t n) { return {0x1C, 'E', n}; }
Bytes markSetup(std::uint8_t n) { return {0x1D, 'A', 0x00, n}; }
Bytes markFeed() { return {0x1D, '<'}; }
Bytes feed(std::uint8_t n) { return {0x1B, 'J', n}; }
Bytes leftMargin(std::uint16_t dots) { return {0x1D, 'L', std::uint8_t(dots & 0xFF), std::uint8_t(dots >> 8)}; }
Bytes printWidth(std::uint16_t dots) { return {0x1D, 'W', std::uint8_t(dots & 0xFF), std::uint8_t(dots >> 8)}; }
Bytes cutI() { return {0x1B, 'i'}; }
Bytes cutM() { return {0x1B, 'm'}; }
Bytes block(std::uint8_t mode, std::uint16_t lines) {
  return {0x1C, '*', mode, std::uint8_t(lines & 0xFF), std::uint8_t(lines >> 8)};
}
Bytes image(std::uint16_t lines) { return {0x1B, '*', 'a', std::uint8_t(lines & 0xFF), std::uint8_t(lines >> 8)}; }
// Run-length header of k equal bytes: 1 - k as a byte.
std::uint8_t run(std::size_t k) { return static_cast<std::uint8_t>(1 - k); }
constexpr std::size_t kMaxRun = 128;

Bytes join(std::initializer_list<std::span<const std::uint8_t>> parts) {
  Bytes out;
  for (auto part : parts) out.insert(out.end(), part.begin(), part.end());
  return out;
}

Bytes repeat(std::size_t n, std::uint8_t value) { return Bytes(n, value); }

Row rowWith(std::initializer_list<std::pair<std::size_t, std::uint8_t>> bytes) {
  Row row{};
  for (auto [index, value] : bytes) row[index] = value;
  return row;
}

std::vector<EventKind> kindsOf(const Paper& paper) {
  std::vector<EventKind> kinds;
  for (const Event& e : paper.events) kinds.push_back(e.kind);
  return kinds;
}

struct SingleCommandCase {
  const char* name;
  Bytes bytes;
  EventKind kind;
  std::uint32_t value;
  std::size_t rows;
};

TEST(EmulatorTest, EachCommandParsesAlone) {
  const Bytes blankLine = repeat(kLineBytes, 0);
  const SingleCommandCase cases[] = {
      {"GS E", join({gsE(3)}), EventKind::kGsE, 3, 0},
      {"FS E", join({fsE(127)}), EventKind::kFsE, 127, 0},
      {"GS A", join({markSetup(63)}), EventKind::kMarkSetup, 63, 0},
      {"GS <", join({markFeed()}), EventKind::kMarkFeed, 0, 0},
      {"ESC J", join({feed(255)}), EventKind::kFeed, 255, 255},
      {"GS L", join({leftMargin(496)}), EventKind::kLeftMargin, 496, 0},
      {"GS W", join({printWidth(576)}), EventKind::kPrintWidth, 576, 0},
      {"ESC i", join({cutI()}), EventKind::kCut, 1, 0},
      {"ESC m", join({cutM()}), EventKind::kCut, 0, 0},
      {"FS *", join({block(0x03, 2), blankLine, blankLine}), EventKind::kRasterBlock,
       2, 2},
      {"FS *", join({block(0xC7, 1), Bytes{0xB9, 0x00}}),
       EventKind::kRasterBlock, 1, 1},
      {"FS *", join({block(0x07, 0)}), EventKind::kRasterBlock, 0, 0},
      {"ESC * a", join({image(1), blankLine}), EventKind::kRasterImage, 1, 1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.name) + ", " + std::to_string(c.bytes.size()) + " bytes");
    const ParseResult result = parseStream(c.bytes);
    ASSERT_TRUE(result.status.ok) << result.status.toString();
    ASSERT_EQ(result.paper.events.size(), 1u);
    const Event& e = result.paper.events[0];
    EXPECT_EQ(e.kind, c.kind);
    EXPECT_EQ(e.value, c.value);
    EXPECT_EQ(e.offset, 0u);
    EXPECT_EQ(e.length, c.bytes.size());
    EXPECT_EQ(result.paper.rows.size(), c.rows);
    EXPECT_STREQ(commandName(e), c.name);
  }
}

// A one-page block-mode job: preamble, one encoded block, job-end feed, cut
// trailer with its pre-cut feed.
TEST(EmulatorTest, WholeJobInOrder) {
  // 82 lines: a line with one dot at the top, the rest blank.
  Bytes pairs = {run(10), 0x00, 0x00, 0x80, run(61), 0x00};
  for (std::size_t left = 81 * kLineBytes; left > 0; left -= std::min<std::size_t>(left, kMaxRun)) {
    pairs.insert(pairs.end(), {run(std::min<std::size_t>(left, kMaxRun)), 0x00});
  }
  const Bytes stream = join({gsE(3), fsE(10), block(0x07, 82), pairs,
                             feed(40), feed(96), cutI()});
  const ParseResult result = parseStream(stream);
  ASSERT_TRUE(result.status.ok) << result.status.toString();
  const Paper& paper = result.paper;
  EXPECT_EQ(kindsOf(paper), (std::vector{EventKind::kGsE, EventKind::kFsE, EventKind::kRasterBlock, EventKind::kFeed,
                                         EventKind::kFeed, EventKind::kCut}));
  ASSERT_EQ(paper.rows.size(), 82u + 40 + 96);
  EXPECT_EQ(paper.rows[0], rowWith({{10, 0x80}}));
  for (std::size_t i = 1; i < paper.rows.size(); ++i) ASSERT_EQ(paper.rows[i], Row{}) << "row " << i;
  EXPECT_EQ(paper.events[2].row, 0u);
  EXPECT_TRUE(paper.events[2].encoded);
  EXPECT_EQ(paper.events[3].row, 82u);
  EXPECT_EQ(paper.events[4].row, 122u);
  EXPECT_EQ(paper.events[5].row, 218u);
  EXPECT_EQ(paper.events[5].value, 1u);
  EXPECT_EQ(paper.events[5].offset, stream.size() - 2);
}

TEST(EmulatorTest, EncodedRunsCrossLineBoundaries) {
  // Line 0: 70 blank bytes then FF FF; line 1: FF then 71 blank bytes. The
  // FF run spans the boundary, and so do the trailing zeros into line 2.
  const Bytes pairs = {run(70), 0x00, run(3), 0xFF, run(128), 0x00,
                       run(15), 0x00};
  const Bytes stream = join({block(0x07, 3), pairs, cutM()});
  const ParseResult result = parseStream(stream);
  ASSERT_TRUE(result.status.ok) << result.status.toString();
  ASSERT_EQ(result.paper.rows.size(), 3u);
  EXPECT_EQ(result.paper.rows[0], rowWith({{70, 0xFF}, {71, 0xFF}}));
  EXPECT_EQ(result.paper.rows[1], rowWith({{0, 0xFF}}));
  EXPECT_EQ(result.paper.rows[2], Row{});
  // The data ends where the lines are complete; the cut after it is a command.
  ASSERT_EQ(result.paper.events.size(), 2u);
  EXPECT_EQ(result.paper.events[0].length, 5 + pairs.size());
  EXPECT_EQ(result.paper.events[1].row, 3u);
}

struct RejectCase {
  const char* name;
  Bytes stream;
  std::size_t offset;
  std::string message;  // a part of the message
  std::size_t eventsBefore = 0;
};

TEST(EmulatorTest, RejectsMalformedStreams) {
  const Bytes preamble = join({gsE(3), fsE(10)});
  const Bytes line = repeat(kLineBytes, 0x55);
  const RejectCase cases[] = {
      {"unknown command", join({preamble, Bytes{0x1B, 0x40}}), 6, "unknown command 1B 40", 2},
      {"unknown GS command", Bytes{0x1D, 0x56, 0x00}, 0, "unknown command 1D 56"},
      {"stray byte", join({preamble, Bytes{0x41}}), 6, "unexpected byte 41", 2},
      {"escape at end", join({preamble, Bytes{0x1C}}), 6, "the stream ends after 1C", 2},
      {"short feed", join({preamble, Bytes{0x1B, 0x4A}}), 6, "truncated ESC J: 2 of 3 bytes", 2},
      {"short margin", Bytes{0x1D, 0x4C, 0x10}, 0, "truncated GS L: 3 of 4 bytes"},
      {"short block header", Bytes{0x1C, 0x2A, 0x03, 0x01}, 0, "truncated FS *: 4 of 5 bytes"},
      {"block mode 05", join({Bytes{0x1C, 0x2A, 0x05, 0x01, 0x00}, line}), 0, "mode byte 05"},
      {"block mode 0B", join({Bytes{0x1C, 0x2A, 0x0B, 0x01, 0x00}, line}), 0, "mode byte 0B"},
      {"block mode 01", join({Bytes{0x1C, 0x2A, 0x01, 0x01, 0x00}, line}), 0, "mode byte 01"},
      {"raw data short", join({preamble, block(0x03, 2), line, repeat(10, 0)}), 6,
       "FS * data truncated: 1 of 2 lines (82 of 144 bytes)", 2},
      {"pairs run out", join({block(0x07, 2), Bytes{0xB9, 0x00}}), 0,
       "FS * data truncated: 1 of 2 lines"},
      {"pair without value", join({block(0x07, 1), Bytes{0xB9}}), 0,
       "FS * data truncated: 0 of 1 lines"},
      {"header 01", join({block(0x07, 1), Bytes{0xBA, 0x00, 0x01, 0x00}}), 7,
       "run-length header 01"},
      {"header 7F", join({block(0x07, 1), Bytes{0x7F, 0x00}}), 5, "run-length header 7F"},
      {"header 80", join({block(0x07, 1), Bytes{0x80, 0x00}}), 5, "run-length header 80"},
      {"run overshoots", join({block(0x07, 1), Bytes{0xBA, 0x00, 0xFF, 0x00}}), 7,
       "overshoots the end of the data by 1 bytes"},
      {"GS A without 00", Bytes{0x1D, 0x41, 0x01, 0x20}, 0, "GS A must be followed by 00, got 01"},
      {"ESC * without a", join({Bytes{0x1B, 0x2A, 0x62, 0x01, 0x00}, line}), 0, "ESC * must be followed by 61"},
      {"image data short", join({image(3), line, line}), 0,
       "ESC * a data truncated: 2 of 3 lines"},
      {"margin not byte aligned", join({leftMargin(4), image(1), line}), 4,
       "left margin 4 is not a multiple of 8", 1},
      {"width not byte aligned", join({printWidth(100), image(1), line}), 4,
       "width 100 is not a multiple of 8", 1},
      {"width 0", join({printWidth(0), image(1)}), 4, "width is 0", 1},
      {"area past the head", join({leftMargin(160), image(1), line}), 4,
       "left margin 160 + width 576 exceeds 576 dots", 1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const ParseResult result = parseStream(c.stream);
    ASSERT_FALSE(result.status.ok);
    EXPECT_EQ(result.status.offset, c.offset);
    EXPECT_NE(result.status.message.find(c.message), std::string::npos) << result.status.message;
    EXPECT_EQ(result.paper.events.size(), c.eventsBefore) << "commands before the error stay recorded";
  }
  EXPECT_EQ(parseStream(cases[0].stream).status.toString(), "offset 6: unknown command 1B 40");
}

// The six-line example of a narrowed stretch: bytes 20 to 29 inked, sent in a
// print area of 80 dots at a margin of 160, then the area restored.
TEST(EmulatorTest, NarrowedAreaPlacesLinesAtTheMargin) {
  const Bytes stream = join({leftMargin(160), printWidth(80), image(6),
                             repeat(6 * 10, 0xFF), leftMargin(0), printWidth(240),
                             printWidth(576)});
  ASSERT_EQ(stream.size(), 85u);
  const ParseResult result = parseStream(stream);
  ASSERT_TRUE(result.status.ok) << result.status.toString();
  Row expected{};
  std::fill(expected.begin() + 20, expected.begin() + 30, 0xFF);
  ASSERT_EQ(result.paper.rows.size(), 6u);
  for (const Row& row : result.paper.rows) EXPECT_EQ(row, expected);
  EXPECT_EQ(result.paper.events[2].area.left, 160u);
  EXPECT_EQ(result.paper.events[2].area.width, 80u);
  EXPECT_EQ(result.paper.area.left, 0u);
  EXPECT_EQ(result.paper.area.width, 576u);
}

TEST(EmulatorTest, FeedsAndCutsLandOnTheirRows) {
  const Bytes line = repeat(kLineBytes, 0xFF);
  const Bytes stream =
      join({block(0x03, 3), line, line, line, feed(5), cutI(),
            feed(2), markFeed(), cutM(), image(1), line});
  const ParseResult result = parseStream(stream);
  ASSERT_TRUE(result.status.ok) << result.status.toString();
  const Paper& paper = result.paper;
  ASSERT_EQ(paper.rows.size(), 11u);
  for (std::size_t i : {3, 4, 5, 6, 7, 8, 9}) EXPECT_EQ(paper.rows[i], Row{}) << "row " << i;
  Row black;
  black.fill(0xFF);
  EXPECT_EQ(paper.rows[10], black);
  std::vector<std::pair<std::size_t, std::uint32_t>> cuts;
  for (const Event& e : paper.events) {
    if (e.kind == EventKind::kCut) cuts.push_back({e.row, e.value});
  }
  EXPECT_EQ(cuts, (std::vector<std::pair<std::size_t, std::uint32_t>>{{8, 1}, {10, 0}}));
  EXPECT_EQ(paper.events[4].kind, EventKind::kMarkFeed);
  EXPECT_EQ(paper.events[4].row, 10u);
}

TEST(EmulatorTest, PaperLengthIsBounded) {
  ParseOptions options;
  options.maxRows = 300;
  const Bytes stream = join({feed(255), feed(45), feed(1)});
  const ParseResult result = parseStream(stream, options);
  ASSERT_FALSE(result.status.ok);
  EXPECT_EQ(result.status.offset, 6u);
  EXPECT_EQ(result.status.message, "the paper would exceed 300 rows, the most rendered");
  EXPECT_EQ(result.paper.rows.size(), 300u);
  EXPECT_EQ(ParseOptions{}.maxRows, kMaxPaperRows);
}

// A stream past the bound is refused before a byte of it is read: its
// pages are mapped but never touched.
TEST(EmulatorTest, StreamLengthIsBounded) {
  const std::size_t size = kMaxStreamBytes + 1;
  void* pages = mmap(nullptr, size, PROT_READ, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
  ASSERT_NE(pages, MAP_FAILED);
  const ParseResult result = parseStream({static_cast<const std::uint8_t*>(pages), size});
  munmap(pages, size);
  ASSERT_FALSE(result.status.ok);
  EXPECT_EQ(result.status.toString(), "offset 134217728: the stream is longer than 134217728 bytes, the most read");
  EXPECT_TRUE(result.paper.events.empty());
}

TEST(EmulatorTest, GroupsAreRecorded) {
  const Bytes line = repeat(kLineBytes, 0);
  const std::vector<Bytes> groups = {
      join({gsE(1), fsE(2), markSetup(3)}),
      join({block(0x03, 1)}),
      line,
      {},
      join({markFeed(), cutI()}),
  };
  const ParseResult result = parseGroups(groups);
  ASSERT_TRUE(result.status.ok) << result.status.toString();
  const Paper& paper = result.paper;
  EXPECT_EQ(paper.groupStarts, (std::vector<std::size_t>{0, 10, 15, 87, 87}));
  std::vector<std::size_t> firstGroups, lastGroups;
  for (const Event& e : paper.events) {
    firstGroups.push_back(e.group);
    lastGroups.push_back(paper.groupAt(e.offset + e.length - 1));
  }
  EXPECT_EQ(firstGroups, (std::vector<std::size_t>{0, 0, 0, 1, 4, 4}));
  EXPECT_EQ(lastGroups, (std::vector<std::size_t>{0, 0, 0, 2, 4, 4}));
}

struct DecodeCase {
  Bytes pairs;
  Bytes bytes;           // when valid
  std::size_t errorAt;   // when not: offset of the bad pair
};

TEST(DecodeRunLengthTest, ExpandsPairsAndRejectsBadOnes) {
  constexpr std::size_t kValid = SIZE_MAX;
  const DecodeCase cases[] = {
      {{}, {}, kValid},
      {{0x00, 0x00}, {0x00}, kValid},
      {{0xFE, 0x00, 0x00, 0xFF, 0xFF, 0x12}, {0x00, 0x00, 0x00, 0xFF, 0x12, 0x12}, kValid},
      {{0x81, 0x00, 0x00, 0x00}, repeat(129, 0), kValid},
      {{0x81, 0x00, 0xF1, 0x00}, repeat(144, 0), kValid},
      {{0x01, 0x00}, {}, 0},
      {{0x00, 0x00, 0x80, 0x00}, {}, 2},
      {{0x00, 0x00, 0x7F, 0x00}, {}, 2},
      {{0x00, 0x00, 0xFF}, {}, 2},
  };
  for (const auto& c : cases) {
    const DecodeResult result = decodeRunLength(c.pairs);
    if (c.errorAt == kValid) {
      ASSERT_TRUE(result.status.ok) << result.status.toString();
      EXPECT_EQ(result.bytes, c.bytes);
    } else {
      ASSERT_FALSE(result.status.ok);
      EXPECT_EQ(result.status.offset, c.errorAt);
    }
  }
}

}  // namespace
}  // namespace emulator
