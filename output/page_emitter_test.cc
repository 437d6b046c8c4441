#include "output/page_emitter.h"

#include <gtest/gtest.h>

#include <cstring>
#include <fstream>

#include "platform/fault_injection.h"
#include "platform/platform.h"
#include "jobstate/job_state.h"
#include "testing/test_support.h"

namespace {

using jobstate::jobState;
using testsupport::Bytes;
using testsupport::CapturingDevice;

Bytes header(std::uint8_t mode, std::uint32_t lines) {
  return {0x1C, 0x2A, mode, static_cast<std::uint8_t>(lines & 0xFF), static_cast<std::uint8_t>(lines >> 8)};
}

class PageEmitterTest : public ::testing::Test {
 protected:
  void SetUp() override {
    testsupport::resetAll();
    JobSettings& s = jobState.settings;
    s = JobSettings{};
    s.topMarginLines = 0;
    s.blockLevel = 0;
    s.keepTrailingBlank = 1;
    s.imageLine = 3350;
  }
  void TearDown() override { testsupport::resetAll(); }

  // Two buffers of `lines` slots, as a start of job would make them.
  void makeBuffers(std::uint32_t lines) {
    jobState.pageBufferOdd = static_cast<std::uint8_t*>(platform::allocZeroed(lines * 72));
    jobState.pageBufferEven = static_cast<std::uint8_t*>(platform::allocZeroed(lines * 72));
    jobState.pageBufferLines = lines;
    jobState.memorySpool = true;
    jobState.jobOpen = true;
  }
  // Fills stored lines [from, to) of the odd buffer after the top margin.
  void ink(std::uint32_t from, std::uint32_t to, std::uint8_t value, bool noisy = false) {
    std::uint32_t top = jobState.settings.topMarginLines;
    for (std::uint32_t line = from; line < to; ++line) {
      std::uint8_t* p = jobState.pageBufferOdd + (top + line) * 72;
      for (int b = 0; b < 72; ++b) p[b] = noisy ? static_cast<std::uint8_t>((line * 72 + b) * 7 + 1) : value;
    }
  }
  // The block headers among the groups, in order.
  std::vector<Bytes> headers() const {
    std::vector<Bytes> out;
    for (const Bytes& g : device.groups())
      if (g.size() == 5 && g[0] == 0x1C && g[1] == 0x2A) out.push_back(g);
    return out;
  }

  CapturingDevice device;
};

TEST_F(PageEmitterTest, OnePageJobWorkedExample) {
  devmode::writeU32(device.record, devmode::kFsEValue, 10);
  device.record[devmode::kGsEValue] = 3;
  devmode::writeU16(device.record, devmode::kTopMarginLines, 12);
  devmode::writeU16(device.record, devmode::kJobEndFeed, 40);
  device.record[devmode::kCutMode] = 2;
  device.record[devmode::kCutKind] = 1;
  devmode::writeU16(device.record, devmode::kPreCutFeed, 96);
  testsupport::Page page;
  for (int i = 0; i < 70; ++i) page.push_back(testsupport::lineWith({{i % 72, 0x80}}));
  for (int i = 0; i < 30; ++i) page.push_back(testsupport::blankLine());
  testsupport::runJob(device, {page});
  const auto& g = device.groups();
  ASSERT_EQ(g.size(), 5u);
  EXPECT_EQ(g[0], (Bytes{0x1D, 0x45, 0x03, 0x1C, 0x45, 0x0A}));
  EXPECT_EQ(g[1], (Bytes{0x1C, 0x2A, 0x07, 0x52, 0x00}));
  // 864 margin zeros (six runs of 128 and one of 96), then each line's dot
  // with 72 zeros between neighbours, and the last line's two zeros.
  Bytes pairs;
  for (int i = 0; i < 6; ++i) pairs.insert(pairs.end(), {0x81, 0x00});
  pairs.insert(pairs.end(), {0xA1, 0x00, 0x00, 0x80});
  for (int i = 1; i < 70; ++i) pairs.insert(pairs.end(), {0xB9, 0x00, 0x00, 0x80});
  pairs.insert(pairs.end(), {0xFF, 0x00});
  EXPECT_EQ(g[2], pairs);
  EXPECT_EQ(g[3], (Bytes{0x1B, 0x4A, 0x28}));
  EXPECT_EQ(g[4], (Bytes{0x1B, 0x4A, 0x60, 0x1B, 0x69}));
}

TEST_F(PageEmitterTest, LongPageGoesOutInImageLineBlocks) {
  jobState.settings.topMarginLines = 12;
  jobState.settings.blockLevel = 2;
  makeBuffers(7012);
  jobState.oddPageLines = 7000;
  ASSERT_TRUE(output::emitPage(device.devobj(), 3, false));
  EXPECT_EQ(headers(), (std::vector<Bytes>{header(0x87, 3350), header(0x87, 3350), header(0x87, 312)}));
  EXPECT_EQ(headers()[0], (Bytes{0x1C, 0x2A, 0x87, 0x16, 0x0D}));
  EXPECT_EQ(headers()[2], (Bytes{0x1C, 0x2A, 0x87, 0x38, 0x01}));
  EXPECT_EQ(jobState.oddPageLines, 0u);
}

TEST_F(PageEmitterTest, FirstRawBlockMakesTheRestOfThePageRaw) {
  jobState.settings.topMarginLines = 12;
  jobState.settings.blockLevel = 2;
  makeBuffers(7012);
  jobState.oddPageLines = 7000;
  ink(3338, 6688, 0, /*noisy=*/true);  // the second block does not compress
  ASSERT_TRUE(output::emitPage(device.devobj(), 3, false));
  EXPECT_EQ(headers(), (std::vector<Bytes>{header(0x87, 3350), header(0x83, 3350), header(0x83, 312)}));
  EXPECT_EQ(device.groups().back().size(), 22464u);

  device.clear();
  jobState.oddPageLines = 7000;
  ink(0, 3338, 0, true);
  ink(3338, 7000, 0);
  output::emitPage(device.devobj(), 3, false);
  EXPECT_EQ(headers(), (std::vector<Bytes>{header(0x83, 3350), header(0x83, 3350), header(0x83, 312)}));
}

// The encoding is used only when it is strictly shorter than the raw data:
// 36 pairs of equal bytes encode to exactly 72 bytes and go raw; one pair
// fewer (a run of four in their place) encodes to 70 and goes encoded.
TEST_F(PageEmitterTest, EncodingAsLongAsTheRawDataGoesRaw) {
  testsupport::Line equalLength{}, oneShorter{};
  for (std::uint32_t b = 0; b < 72; ++b) {
    equalLength[b] = static_cast<std::uint8_t>(b / 2 + 1);
    oneShorter[b] = static_cast<std::uint8_t>(b < 4 ? 1 : b / 2 + 1);
  }
  const struct {
    const char* name;
    testsupport::Line line;
    std::uint8_t mode;
    std::size_t dataBytes;
  } cases[] = {{"as long as raw", equalLength, 0x03, 72}, {"two bytes shorter", oneShorter, 0x07, 70}};
  makeBuffers(1);
  jobState.settings.pageEndFeed = 0;
  for (const auto& c : cases) {
    device.clear();
    std::memcpy(jobState.pageBufferOdd, c.line.data(), 72);
    jobState.oddPageLines = 1;
    ASSERT_TRUE(output::emitPage(device.devobj(), 1, false)) << c.name;
    ASSERT_EQ(device.groups().size(), 2u) << c.name;
    EXPECT_EQ(device.groups()[0], header(c.mode, 1)) << c.name;
    EXPECT_EQ(device.groups()[1].size(), c.dataBytes) << c.name;
  }
  Bytes shorter = {0xFD, 0x01};  // the run of four, then pairs of 3 to 36
  for (std::uint8_t v = 3; v <= 36; ++v) shorter.insert(shorter.end(), {0xFF, v});
  EXPECT_EQ(device.groups()[1], shorter);
}

TEST_F(PageEmitterTest, BlockBoundariesAndLineCountBytes) {
  struct {
    std::uint32_t imageLine, lines;
    std::vector<Bytes> expected;
  } cases[] = {
      {300, 300, {header(0x07, 300)}},
      {300, 301, {header(0x07, 300), header(0x07, 1)}},
      {3350, 256, {header(0x07, 256)}},
      {1, 3, {header(0x07, 1), header(0x07, 1), header(0x07, 1)}},
  };
  EXPECT_EQ(header(0x07, 300)[3], 0x2C);
  EXPECT_EQ(header(0x07, 256)[4], 0x01);
  makeBuffers(400);
  for (const auto& c : cases) {
    device.clear();
    jobState.settings.imageLine = c.imageLine;
    jobState.oddPageLines = c.lines;
    output::emitPage(device.devobj(), 3, false);
    EXPECT_EQ(headers(), c.expected) << c.imageLine << "/" << c.lines;
  }
}

TEST_F(PageEmitterTest, TrimmedBlankLastPageSendsAnEmptyBlockThenFeeds) {
  jobState.settings.keepTrailingBlank = 0;
  jobState.settings.topMarginLines = 12;
  jobState.settings.jobEndFeed = 40;
  jobState.settings.pageEndFeed = 7;
  makeBuffers(100);
  jobState.evenPageLines = 20;
  ASSERT_TRUE(output::emitPage(device.devobj(), 2, true));
  EXPECT_EQ(device.groups(), (std::vector<Bytes>{header(0x03, 0), {0x1B, 0x4A, 0x28}, {0x1B, 0x4A, 0x07}}));
}

TEST_F(PageEmitterTest, FeedsFollowEveryPageJobEndOnlyTheLast) {
  jobState.settings.jobEndFeed = 40;
  jobState.settings.pageEndFeed = 7;
  makeBuffers(10);
  jobState.oddPageLines = 1;
  output::emitPage(device.devobj(), 1, false);
  EXPECT_EQ(device.groups().back(), (Bytes{0x1B, 0x4A, 0x07}));
  EXPECT_EQ(device.groups().size(), 3u);
  jobState.settings.pageEndFeed = 0;
  device.clear();
  output::emitPage(device.devobj(), 1, true);
  EXPECT_EQ(device.groups().back(), (Bytes{0x1B, 0x4A, 0x28}));
}

TEST_F(PageEmitterTest, PageOneCountsItsExtraLines) {
  jobState.settings.topMarginLines = 2;
  jobState.settings.firstPageExtraLines = 5;
  makeBuffers(20);
  jobState.oddPageLines = 3;
  output::emitPage(device.devobj(), 1, false);
  jobState.oddPageLines = 3;
  output::emitPage(device.devobj(), 3, false);
  EXPECT_EQ(headers(), (std::vector<Bytes>{header(0x07, 10), header(0x07, 5)}));
}

// A page that cannot be sent loses its body, not its feeds: the cut after
// it is sent either way, and the paper must reach the cutter.
TEST_F(PageEmitterTest, WorkAreaFailureDropsThePageButNotItsFeeds) {
  jobState.settings.jobEndFeed = 40;
  jobState.settings.pageEndFeed = 7;
  makeBuffers(10);
  jobState.oddPageLines = 4;
  platform::testing::failWorkAllocation(1);
  EXPECT_FALSE(output::emitPage(device.devobj(), 1, true));
  EXPECT_EQ(device.groups(), (std::vector<Bytes>{{0x1B, 0x4A, 0x28}, {0x1B, 0x4A, 0x07}}));
  EXPECT_EQ(jobState.oddPageLines, 0u) << "the next odd page starts on an empty buffer";
}

// The file path: the page is read back in blocks of imageLine lines.
class PageFileEmitterTest : public PageEmitterTest {
 protected:
  void SetUp() override {
    PageEmitterTest::SetUp();
    jobState.settings.imageLine = 2;
    jobState.settings.pageEndFeed = 7;
    jobState.jobOpen = true;
    jobState.memorySpool = false;
    std::string path = (folder.path() / "QMX$$0001.001").string();
    platform::WString wide = platform::fromUtf8(path);
    std::copy(wide.begin(), wide.end(), jobState.pageFilePath);
    std::ofstream file(path, std::ios::binary);
    for (int i = 0; i < 5; ++i) {
      testsupport::Line line = testsupport::lineWith({{i, 0x80}});
      file.write(reinterpret_cast<const char*>(line.data()), 72);
    }
  }
  testsupport::TempFolder folder;
};

TEST_F(PageFileEmitterTest, EveryBlockOfTheFileIsSent) {
  EXPECT_TRUE(output::emitPage(device.devobj(), 1, false));
  EXPECT_EQ(headers(), (std::vector<Bytes>{header(0x07, 2), header(0x07, 2), header(0x07, 1)}));
  EXPECT_EQ(device.groups().back(), (Bytes{0x1B, 0x4A, 0x07}));
}

TEST_F(PageFileEmitterTest, FileThatCannotBeOpenedSendsNoBodyButItsFeeds) {
  platform::testing::failOpensContaining(QMX_WIDE("QMX$$"));
  EXPECT_FALSE(output::emitPage(device.devobj(), 1, false));
  EXPECT_EQ(device.groups(), (std::vector<Bytes>{{0x1B, 0x4A, 0x07}}));
  EXPECT_EQ(platform::testing::openFiles(), 0);
  EXPECT_EQ(platform::testing::liveWorkBlocks(), 0);
}

// File operations of the page: the open, then one read per block.
TEST_F(PageFileEmitterTest, ReadFailingMidPageEndsTheBodyThereAndTheFeedsFollow) {
  platform::testing::failFileOperation(3);  // the second read
  EXPECT_TRUE(output::emitPage(device.devobj(), 1, false));
  EXPECT_EQ(headers(), (std::vector<Bytes>{header(0x07, 2)}));
  EXPECT_EQ(device.groups().size(), 3u);
  EXPECT_EQ(device.groups().back(), (Bytes{0x1B, 0x4A, 0x07}));
  EXPECT_EQ(platform::testing::openFiles(), 0);
}

TEST_F(PageEmitterTest, EncodeBufferFailureSendsRawBlocks) {
  makeBuffers(10);
  jobState.oddPageLines = 4;
  platform::testing::failZeroedAllocation(1);
  output::emitPage(device.devobj(), 1, false);
  EXPECT_EQ(headers(), (std::vector<Bytes>{header(0x03, 4)}));
  EXPECT_EQ(device.groups()[1].size(), 4u * 72);
}

TEST_F(PageEmitterTest, KeepAwakeFailureIsReportedAndThePageStillSent) {
  makeBuffers(10);
  jobState.oddPageLines = 2;
  platform::testing::failKeepAwake(true);
  EXPECT_TRUE(output::emitPage(device.devobj(), 1, false));
  EXPECT_EQ(headers().size(), 1u);
  ASSERT_EQ(platform::testing::debugTexts().size(), 1u);
  EXPECT_EQ(platform::testing::debugTexts()[0], QMX_WIDE("SetThreadExecutionState()失敗\n"));
  EXPECT_EQ(platform::testing::keepAwakeCalls(), 1);
}

TEST_F(PageEmitterTest, BandModeSendsChunksOf128AndNeverTrims) {
  jobState.settings.bandMode = 1;
  jobState.settings.keepTrailingBlank = 0;
  makeBuffers(300);
  jobState.oddPageLines = 300;
  ink(0, 300, 0, true);
  output::emitPage(device.devobj(), 1, true);
  ASSERT_EQ(device.groups().size(), 3u);
  // Full-width images of 128, 128 and 44 lines.
  EXPECT_EQ(device.groups()[0].size(), 5u + 128 * 72);
  EXPECT_EQ(device.groups()[2].size(), 5u + 44 * 72);
  EXPECT_EQ(device.groups()[2][3], 44);
  int bandTexts = 0;
  for (const auto& t : platform::testing::debugTexts()) bandTexts += t == QMX_WIDE("ビットイメージ印字\n");
  EXPECT_EQ(bandTexts, 1);

  device.clear();
  jobState.oddPageLines = 10;
  std::memset(jobState.pageBufferOdd, 0, 300 * 72);
  output::emitPage(device.devobj(), 1, true);
  EXPECT_EQ(device.groups(), (std::vector<Bytes>{{0x1B, 0x4A, 0x0A}})) << "ten blank lines sent as a feed";
}

}  // namespace
