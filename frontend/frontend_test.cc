#include <gtest/gtest.h>

#include <random>

#include "frontend/blank_space.h"
#include "frontend/dither.h"
#include "frontend/log_text.h"
#include "frontend/page_fit.h"
#include "frontend/print_options.h"
#include "host/job_stream.h"
#include "host/linked_module.h"
#include "testing/paper_model.h"

namespace {

using jobstate::RasterLine;

bool dotAt(const std::uint8_t* bits, std::uint32_t x) { return (bits[x / 8] >> (7 - x % 8)) & 1; }

TEST(PageFitTest, WidthsAndMarginsMeetTheHead) {
  struct Case {
    std::uint32_t width, margin, first, count, shifted;
  } cases[] = {
      {576, 0, 0, 576, 0},   {575, 0, 0, 575, 0},  {577, 0, 0, 576, 0}, {577, 32, 0, 576, 0},
      {384, 0, 0, 384, 0},   {639, 32, 32, 576, 0}, {639, 63, 63, 576, 0}, {639, 80, 63, 576, 17},
      {2000, 5, 5, 576, 0},  {0, 0, 0, 0, 0},
  };
  for (const Case& c : cases) {
    frontend::LineFit fit = frontend::fitLine(c.width, c.margin);
    EXPECT_EQ(fit.first, c.first) << c.width << "/" << c.margin;
    EXPECT_EQ(fit.count, c.count) << c.width << "/" << c.margin;
    EXPECT_EQ(fit.shifted, c.shifted) << c.width << "/" << c.margin;
  }
}

TEST(PageFitTest, BitsAreTakenFromAnyDotAndNothingPastTheFitPrints) {
  std::mt19937 random(7);
  for (std::uint32_t width : {575u, 576u, 577u, 600u, 639u, 1000u, 100u}) {
    std::vector<std::uint8_t> source((width + 7) / 8);
    for (auto& b : source) b = static_cast<std::uint8_t>(random());
    for (std::uint32_t margin : {0u, 1u, 7u, 13u, 63u, 500u}) {
      const frontend::LineFit fit = frontend::fitLine(width, margin);
      RasterLine out{};
      frontend::fitBits(source.data(), source.size(), fit, out);
      for (std::uint32_t x = 0; x < frontend::kHeadDots; ++x) {
        const bool want = x < fit.count && dotAt(source.data(), fit.first + x);
        ASSERT_EQ(dotAt(out.data(), x), want) << "width " << width << " margin " << margin << " dot " << x;
      }
    }
  }
}

TEST(DitherTest, WhiteBlackAndMidGrey) {
  frontend::RowDitherer ditherer(frontend::kHeadDots);
  std::vector<std::uint8_t> grey(frontend::kHeadDots);
  RasterLine dots{};
  std::fill(grey.begin(), grey.end(), 255);
  ditherer.ditherRow(grey.data(), dots.data());
  EXPECT_EQ(dots, RasterLine{});
  std::fill(grey.begin(), grey.end(), 0);
  ditherer.ditherRow(grey.data(), dots.data());
  EXPECT_EQ(std::count(dots.begin(), dots.end(), 0xFF), 72);

  ditherer.restart();
  std::fill(grey.begin(), grey.end(), 128);
  int set = 0;
  for (int row = 0; row < 64; ++row) {
    ditherer.ditherRow(grey.data(), dots.data());
    for (std::uint8_t b : dots) set += __builtin_popcount(b);
  }
  EXPECT_NEAR(set, 64 * 576 / 2, 64 * 576 / 50) << "half the dots of a mid grey";
}

// The error carried to a pixel stays within what one pixel can hold, so
// pure black is always a dot and pure white never one, whatever greys are
// around them: a picture's black and white parts print exactly.
TEST(DitherTest, PureBlackAndWhiteStayExactAmongGreys) {
  std::mt19937 random(11);
  frontend::RowDitherer ditherer(frontend::kHeadDots);
  std::vector<std::uint8_t> grey(frontend::kHeadDots);
  RasterLine dots{};
  for (int row = 0; row < 400; ++row) {
    for (std::uint8_t& v : grey) {
      const std::uint32_t pick = random() % 4;
      v = pick == 0 ? 0 : pick == 1 ? 255 : static_cast<std::uint8_t>(random());
    }
    ditherer.ditherRow(grey.data(), dots.data());
    for (std::uint32_t x = 0; x < frontend::kHeadDots; ++x) {
      if (grey[x] == 0 || grey[x] == 255) {
        ASSERT_EQ(dotAt(dots.data(), x), grey[x] == 0) << "row " << row << ", dot " << x;
      }
    }
  }
}

TEST(PrintOptionsTest, ValuesAPersonWritesAreReadOrRefused) {
  struct Case {
    const char* option;
    const char* text;
    bool ok;
    std::uint32_t value;
  } cases[] = {
      {"TopMargin", "24", true, 24},          {"top-margin", "3mm", true, 24},
      {"TopMargin", "2.5MM", true, 20},       {"TopMargin", "31.9mm", true, 255},
      {"TopMargin", "32mm", false, 0},        {"TopMargin", "256", false, 0},
      {"TopMargin", "-1", false, 0},          {"TopMargin", "3 mm", false, 0},
      {"CutMedia", "endofpage", true, 1},     {"CutMedia", "Never", true, 0},
      {"CutMedia", "1", false, 0},            {"KeepTrailingBlank", "yes", true, 1},
      {"BlackMark", "False", true, 0},        {"MarkValue", "63", true, 63},
      {"MarkValue", "64", false, 0},     {"PreambleFsE", "127", true, 127},
      {"LongestBlank", "10mm", true, 80},     {"CutCommand", "EscM", true, 0},
      {"BlockLevel", "", false, 0},           {"BlankEnds", "AsSent", true, 2},
      {"blank-ends", "trim", true, 1},        {"BlankEnds", "yes", false, 0},
  };
  for (const Case& c : cases) {
    const frontend::OptionSpec* option = frontend::findOption(c.option);
    ASSERT_NE(option, nullptr) << c.option;
    std::uint32_t value = 0xDEAD;
    std::string why;
    EXPECT_EQ(frontend::parseValue(*option, c.text, &value, &why), c.ok) << c.option << "=" << c.text;
    if (c.ok) {
      EXPECT_EQ(value, c.value) << c.option << "=" << c.text;
    } else {
      EXPECT_NE(why.find(option->name), std::string::npos) << why;
    }
  }
}

TEST(LogTextTest, JobTextCannotBreakALineOrRunOn) {
  struct Case {
    std::string text;
    std::size_t most;
    const char* logged;
  } cases[] = {
      {"EndOfPage", 80, "EndOfPage"},
      {"x\nPAGE: 9 1", 80, "x\\x0aPAGE: 9 1"},
      {"\x1b[2J\r\x7f", 80, "\\x1b[2J\\x0d\\x7f"},
      {std::string("a\0b", 3), 80, "a\\x00b"},
      {"caf\xc3\xa9", 80, "caf\\xc3\\xa9"},
      {std::string(100, 'z'), 5, "zzzzz..."},
  };
  for (const Case& c : cases) EXPECT_EQ(frontend::loggable(c.text, c.most), c.logged) << c.text;
  std::string why;
  std::uint32_t value = 0;
  EXPECT_FALSE(frontend::parseValue(*frontend::findOption("CutMedia"), "Never\nERROR: forged", &value, &why));
  EXPECT_EQ(why.find('\n'), std::string::npos) << why;
}

TEST(PrintOptionsTest, EveryOptionReadsBackItsFactoryValueAndSetsItsField) {
  for (const frontend::OptionSpec& option : frontend::printOptions()) {
    std::uint32_t value = 0;
    const std::uint32_t factory = frontend::factoryValue(option);
    ASSERT_TRUE(frontend::parseValue(option, frontend::valueKeyword(option, factory), &value, nullptr)) << option.name;
    EXPECT_EQ(value, factory) << option.name;
    std::uint32_t other = factory == 0 ? 1 : 0;
    for (const frontend::Choice& c : option.choices)
      if (c.value != factory) other = c.value;
    frontend::PrintOptions settings;
    option.set(settings, other);
    EXPECT_EQ(option.get(settings), other) << option.name;
  }
  frontend::PrintOptions settings;
  settings.record[20] = 9;  // the gate closed: GS E 3 whatever the value
  const frontend::OptionSpec& gsE = *frontend::findOption("PreambleGsE");
  EXPECT_EQ(gsE.get(settings), 3u);
  gsE.set(settings, 7);
  EXPECT_EQ(settings.record[20], 0) << "choosing a value opens the gate";
  EXPECT_EQ(settings.record[544], 7);
}

// Lines with ink (I) and blank (-) as a string, one character a line.
std::vector<RasterLine> linesOf(const char* pattern) {
  std::vector<RasterLine> lines;
  for (const char* p = pattern; *p != '\0'; ++p) {
    RasterLine line{};
    if (*p == 'I') line[5] = 0x81;
    lines.push_back(line);
  }
  return lines;
}

TEST(BlankSpaceTest, TrimsEndsAndShortensRunsOnTheirWayToThePrinter) {
  using frontend::BlankEnds;
  constexpr bool kMark = true, kPlain = false;
  struct Case {
    frontend::BlankSpace option;
    bool blackMark;
    const char* page;
    const char* printed;
  } cases[] = {
      {{}, kPlain, "--I--I---", "I--I"},                      // the default drops head and tail
      {{}, kPlain, "------", ""},
      {{}, kMark, "--I--I---", "--I--I---"},                  // black-mark paper keeps positions
      {{BlankEnds::kAuto, true, 0}, kMark, "--I--I---", "--I--I"},  // TrimBlankTail still trims
      {{BlankEnds::kTrim, false, 0}, kMark, "--I--I---", "I--I"},
      {{BlankEnds::kAsSent, false, 0}, kPlain, "--I--I---", "--I--I---"},
      {{BlankEnds::kAsSent, false, 0}, kPlain, "------", "------"},
      {{BlankEnds::kAsSent, true, 0}, kPlain, "--I-----I---", "--I-----I"},
      {{BlankEnds::kAsSent, false, 2}, kPlain, "---I-----I---", "--I--I--"},
      {{BlankEnds::kAsSent, true, 2}, kPlain, "I-----I---", "I--I"},
      {{BlankEnds::kAuto, false, 2}, kPlain, "---I-----I-I---", "I--I-I"},
  };
  auto module = host::linkedModule();
  std::string error;
  auto session = host::PrintSession::open(*module, {}, &error);
  ASSERT_NE(session, nullptr) << error;
  for (const Case& c : cases) {
    host::JobOptions options;
    options.fields.keepTrailingBlank = 1;  // the plug-in's own trimming stays out of the way
    options.fields.cutMode = 0;
    options.fields.markMode = c.blackMark ? 1 : 0;
    host::MemorySink sink;
    auto job = host::JobStream::start(*session, options, sink, &error);
    ASSERT_NE(job, nullptr) << error;
    frontend::PageWriter writer(*job, c.option);
    // Two pages: what happens at the end of a page is seen before the job ends.
    for (int page = 0; page < 2; ++page) {
      writer.startPage();
      for (const RasterLine& line : linesOf(c.page)) writer.addLine(line);
      writer.endPage();
    }
    ASSERT_TRUE(job->end()) << job->error();
    std::vector<testsupport::Page> expected(2);
    for (const RasterLine& line : linesOf(c.printed)) expected[0].push_back(line), expected[1].push_back(line);
    emulator::Paper paper = testsupport::decodeStrict(sink.groups());
    EXPECT_TRUE(paper.rows == testsupport::expectedPaper(job->record().data(), expected).rows)
        << c.page << " mark " << c.blackMark;
  }
}

}  // namespace
