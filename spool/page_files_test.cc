#include "spool/page_files.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <random>

#include "platform/fault_injection.h"
#include "spool/job_control.h"
#include "jobstate/job_state.h"
#include "spool/line_store.h"
#include "testing/test_support.h"

namespace {

using jobstate::jobState;
using testsupport::Bytes;
using testsupport::CapturingDevice;
using testsupport::Page;

std::string nameOf(const platform::WChar* wide) { return platform::toUtf8(wide, platform::wideLength(wide)); }

class PageFilesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    testsupport::resetAll();
    platform::testing::setDocumentsFolder(folder.path().string());
  }
  void TearDown() override { testsupport::resetAll(); }

  void touch(const std::string& file) { std::ofstream(folder.path() / file) << ""; }
  std::uintmax_t sizeOf(const std::string& file) { return std::filesystem::file_size(folder.path() / file); }
  std::string prefix() const { return folder.path().string() + "\\QMX$$"; }
  void call(std::uint32_t id) { spool::commandCallback(device.devobj(), id); }
  void startFileJob() {
    device.publicDm.dmPaperLength = 12600;  // a long page: files
    call(spool::kStartJob);
    ASSERT_FALSE(jobState.memorySpool);
  }

  testsupport::TempFolder folder;
  CapturingDevice device;
};

TEST_F(PageFilesTest, NamesSkipTakenNumbersAndProbesLeaveNothing) {
  touch("QMX$$0001.001");
  startFileJob();
  EXPECT_EQ(nameOf(jobState.pageFileBase), prefix() + "0002.");
  EXPECT_EQ(nameOf(jobState.scratchFilePath), prefix() + "0001.TMP");
  EXPECT_EQ(folder.fileNames(), std::vector<std::string>{"QMX$$0001.001"});
  call(spool::kEndJob);
}

TEST_F(PageFilesTest, PageNumbersHaveAtLeastThreeDigits) {
  startFileJob();
  struct {
    std::uint16_t page;
    const char* suffix;
  } cases[] = {{1, "001"}, {7, "007"}, {12, "012"}, {999, "999"}, {1000, "1000"}, {1234, "1234"}, {65535, "65535"}};
  for (const auto& c : cases) {
    spool::selectPageFile(c.page);
    EXPECT_EQ(nameOf(jobState.pageFilePath), prefix() + "0001." + c.suffix);
  }
  call(spool::kEndJob);
}

TEST_F(PageFilesTest, FolderEndingInABackslashGivesOneBackslash) {
  platform::testing::setDocumentsFolder(folder.path().string() + "\\");
  startFileJob();
  EXPECT_EQ(nameOf(jobState.pageFileBase), prefix() + "0001.");
  call(spool::kEndJob);
}

TEST_F(PageFilesTest, NewPageFilesHoldTheirTopLines) {
  devmode::writeU16(device.record, devmode::kTopMarginLines, 12);
  devmode::writeU16(device.record, devmode::kFirstPageExtraLines, 5);
  startFileJob();
  call(spool::kStartPage);
  EXPECT_EQ(sizeOf("QMX$$0001.001"), 1224u);
  call(spool::kEndPage);
  call(spool::kStartPage);
  EXPECT_EQ(sizeOf("QMX$$0001.002"), 864u);
  call(spool::kEndPage);
  call(spool::kEndJob);

  devmode::writeU16(device.record, devmode::kTopMarginLines, 0);
  std::ofstream(folder.path() / "QMX$$0001.002") << "stale contents";
  startFileJob();
  call(spool::kStartPage);
  call(spool::kEndPage);
  call(spool::kStartPage);
  EXPECT_EQ(sizeOf("QMX$$0001.002"), 0u) << "an existing file is emptied";
  call(spool::kEndJob);
}

TEST_F(PageFilesTest, ThreePageJobFileLifecycle) {
  startFileJob();
  using Names = std::vector<std::string>;
  call(spool::kStartPage);
  EXPECT_EQ(folder.fileNames(), Names{"QMX$$0001.001"});
  call(spool::kEndPage);
  call(spool::kStartPage);
  EXPECT_EQ(folder.fileNames(), (Names{"QMX$$0001.001", "QMX$$0001.002"}));
  call(spool::kEndPage);
  EXPECT_EQ(folder.fileNames(), (Names{"QMX$$0001.001", "QMX$$0001.002"})) << "page 1 stays";
  call(spool::kStartPage);
  call(spool::kEndPage);
  EXPECT_EQ(folder.fileNames(), (Names{"QMX$$0001.001", "QMX$$0001.003"}));
  call(spool::kEndJob);
  EXPECT_TRUE(folder.fileNames().empty());
}

TEST_F(PageFilesTest, FileCallsAreAppendedUpTo18432Bytes) {
  startFileJob();
  call(spool::kStartPage);
  std::uint32_t top = jobState.settings.topMarginLines * 72;
  Bytes big(18433, 0x11);
  spool::storeRasterLine(big.data(), 18432);
  EXPECT_EQ(sizeOf("QMX$$0001.001"), top + 18432u);
  spool::storeRasterLine(big.data(), 18433);
  EXPECT_EQ(sizeOf("QMX$$0001.001"), top + 18432u);
  spool::storeRasterLine(big.data(), 40);
  EXPECT_EQ(sizeOf("QMX$$0001.001"), top + 18472u);
  call(spool::kEndPage);
  call(spool::kEndJob);
}

TEST_F(PageFilesTest, PartialLinesStillMakeAWellFormedStream) {
  device.record[devmode::kKeepTrailingBlank] = 1;
  startFileJob();
  call(spool::kStartPage);
  Bytes forty(40, 0x22);
  spool::storeRasterLine(forty.data(), 40);  // the page ends inside a line
  call(spool::kEndPage);
  call(spool::kEndJob);
  // Preamble, then one block of one whole line.
  ASSERT_GE(device.groups().size(), 3u);
  EXPECT_EQ(device.groups()[1], (Bytes{0x1C, 0x2A, 0x07, 0x01, 0x00}));
}

// In band mode the padding of a partial last line must be zeros, not what
// the previous 128-line chunk left in the work area.
TEST_F(PageFilesTest, PartialLastLineInBandModeCarriesNoStaleBytes) {
  device.record[devmode::kKeepTrailingBlank] = 1;
  device.record[devmode::kBandMode] = 1;
  startFileJob();
  call(spool::kStartPage);
  Bytes full(72, 0xFF), forty(40, 0x22);
  for (int i = 0; i < 130; ++i) spool::storeRasterLine(full.data(), 72);
  spool::storeRasterLine(forty.data(), 40);
  call(spool::kEndPage);
  call(spool::kEndJob);
  // Preamble, the first 128 lines, then lines 129 and 130 and the padded one.
  ASSERT_EQ(device.groups().size(), 3u);
  Bytes expected = {0x1B, 0x2A, 0x61, 0x03, 0x00};
  for (int i = 0; i < 2; ++i) expected.insert(expected.end(), full.begin(), full.end());
  expected.insert(expected.end(), forty.begin(), forty.end());
  expected.insert(expected.end(), 32, 0x00);
  EXPECT_EQ(device.groups()[2], expected);
}

TEST_F(PageFilesTest, FolderTooLongKeepsPagesInMemoryWhenBuffersExist) {
  platform::testing::setDocumentsFolder("/" + std::string(240, 'd'));
  device.record[devmode::kKeepTrailingBlank] = 1;
  device.publicDm.dmPaperLength = 12600;
  call(spool::kStartJob);
  EXPECT_TRUE(jobState.memorySpool) << "long page kept in the buffers";
  EXPECT_EQ(nameOf(jobState.pageFileBase), "");
  call(spool::kStartPage);
  auto line = testsupport::patternLine(3);
  spool::storeRasterLine(line.data(), 72);
  call(spool::kEndPage);
  call(spool::kEndJob);
  EXPECT_EQ(device.groups()[1], (Bytes{0x1C, 0x2A, 0x07, 0x01, 0x00}));

  platform::testing::failZeroedAllocation(1);
  device.clear();
  call(spool::kStartJob);
  EXPECT_FALSE(jobState.memorySpool);
  call(spool::kStartPage);
  spool::storeRasterLine(line.data(), 72);
  call(spool::kEndPage);
  call(spool::kEndJob);
  EXPECT_EQ(device.groups().size(), 1u) << "only the preamble: nowhere to keep the page";
}

// The longest folder whose names all fit is 239 characters: there the job
// spools to files, a page number of five digits included; one more and the
// pages stay in memory.
TEST_F(PageFilesTest, FoldersUpTo239CharactersHoldTheFiles) {
  for (std::size_t length : {239u, 240u}) {
    std::string base = folder.path().string() + "/";
    std::filesystem::path deep = base + std::string(length - base.size(), 'd');
    std::filesystem::create_directory(deep);
    platform::testing::setDocumentsFolder(deep.string());
    device.record[devmode::kKeepTrailingBlank] = 1;
    device.publicDm.dmPaperLength = 12600;
    call(spool::kStartJob);
    EXPECT_EQ(jobState.memorySpool, length > 239) << length;
    if (length == 239) {
      spool::selectPageFile(65535);
      EXPECT_EQ(nameOf(jobState.pageFilePath), deep.string() + "\\QMX$$0001.65535");
      spool::selectPageFile(0);
    }
    call(spool::kStartPage);
    auto line = testsupport::lineWith({{5, 0x80}});
    spool::storeRasterLine(line.data(), 72);
    call(spool::kEndPage);
    device.clear();
    call(spool::kEndJob);
    ASSERT_GE(device.groups().size(), 1u) << length;
    EXPECT_EQ(device.groups()[0], (Bytes{0x1C, 0x2A, 0x07, 0x01, 0x00})) << length;
    EXPECT_TRUE(std::filesystem::is_empty(deep)) << length;
  }
}

// A folder in which no name can be created: a long page stays in the
// buffers rather than going to files that would lose it; without buffers
// the job spools under the last number as the names are made.
TEST_F(PageFilesTest, UnwritableFolderKeepsPagesInMemoryWhenBuffersExist) {
  platform::testing::failOpensContaining(QMX_WIDE("QMX$$"));
  device.record[devmode::kKeepTrailingBlank] = 1;
  device.publicDm.dmPaperLength = 12600;
  call(spool::kStartJob);
  EXPECT_TRUE(jobState.memorySpool);
  EXPECT_EQ(nameOf(jobState.pageFileBase), "");
  call(spool::kStartPage);
  auto line = testsupport::patternLine(3);
  spool::storeRasterLine(line.data(), 72);
  call(spool::kEndPage);
  call(spool::kEndJob);
  ASSERT_GE(device.groups().size(), 2u);
  EXPECT_EQ(device.groups()[1], (Bytes{0x1C, 0x2A, 0x07, 0x01, 0x00}));
  const auto& texts = platform::testing::debugTexts();
  EXPECT_NE(std::find(texts.begin(), texts.end(), platform::WString(QMX_WIDE("UNI:一時ファイルを作れないのでメモリに保持\n"))),
            texts.end());

  platform::testing::failZeroedAllocation(1);
  call(spool::kStartJob);
  EXPECT_FALSE(jobState.memorySpool);
  EXPECT_EQ(nameOf(jobState.pageFileBase), prefix() + "9999.");
  call(spool::kEndJob);
}

// Every name taken in a writable folder (each page-1 probe fails, other
// names can be made): spooling under the last number would empty a file
// that may belong to a running job, so a long page stays in the buffers,
// is cut at their end, and the loss is said.
TEST_F(PageFilesTest, EveryNameTakenKeepsALongPageInTheBuffersAndSaysWhatIsLost) {
  platform::testing::failOpensContaining(QMX_WIDE(".001"));
  device.record[devmode::kKeepTrailingBlank] = 1;
  device.publicDm.dmPaperLength = 12600;
  call(spool::kStartJob);
  ASSERT_TRUE(jobState.memorySpool);
  call(spool::kStartPage);
  auto line = testsupport::patternLine(5);
  for (int i = 0; i < 10090; ++i) spool::storeRasterLine(line.data(), 72);
  call(spool::kEndPage);
  call(spool::kEndJob);
  std::uint32_t sent = 0;
  for (const Bytes& g : device.groups())
    if (g.size() == 5 && g[0] == 0x1C && g[1] == 0x2A) sent += g[3] | (g[4] << 8);
  EXPECT_EQ(sent, 10081u) << "the page is cut at the buffer's end";
  const auto& texts = platform::testing::debugTexts();
  for (const platform::WChar* text :
       {QMX_WIDE("UNI:一時ファイルを作れないのでメモリに保持\n"), QMX_WIDE("UNI:ページがバッファに収まらず行を失った\n")})
    EXPECT_EQ(std::count(texts.begin(), texts.end(), platform::WString(text)), 1) << nameOf(text);
  EXPECT_TRUE(folder.fileNames().empty());
}

// The scratch name falls back to the last number when every probe fails;
// a file of that name is someone else's, and a job that never trims must
// not delete it.
TEST_F(PageFilesTest, ScratchNameTakenByAnotherIsLeftAlone) {
  touch("QMX$$9999.TMP");
  platform::testing::failOpensContaining(QMX_WIDE(".TMP"));
  device.record[devmode::kKeepTrailingBlank] = 1;
  startFileJob();
  EXPECT_EQ(nameOf(jobState.scratchFilePath), prefix() + "9999.TMP");
  call(spool::kStartPage);
  auto line = testsupport::patternLine(4);
  spool::storeRasterLine(line.data(), 72);
  call(spool::kEndPage);
  call(spool::kEndJob);
  EXPECT_EQ(folder.fileNames(), std::vector<std::string>{"QMX$$9999.TMP"});
}

// The last page vanishes when trimmed: block mode, trimming on, no ink.
bool transformsToNothing(const testsupport::GeneratedJob& job) {
  if (job.record[devmode::kBandMode] != 0 || job.record[devmode::kKeepTrailingBlank] != 0) return false;
  for (const auto& line : job.pages.back())
    for (std::uint8_t b : line)
      if (b != 0) return false;
  return true;
}

TEST_F(PageFilesTest, FileSpoolingSendsTheSameBytesAsMemory) {
  std::mt19937 gen(2024);
  // Small image lines make the file path read many blocks per page.
  testsupport::TempFolder ini;
  platform::testing::setProfileFolder(ini.path().string());
  const int imageLines[] = {0, 1, 7, 128};
  for (int trial = 0; trial < 60; ++trial) {
    int imageLine = imageLines[trial % 4];
    std::filesystem::remove(ini.path() / "QMXI415U.INI");
    if (imageLine != 0) std::ofstream(ini.path() / "QMXI415U.INI") << "[QMX415U]\nImageLine=" << imageLine << "\n";
    testsupport::GeneratedJob job = testsupport::generateJob(gen);
    std::memcpy(device.record, job.record, sizeof job.record);
    bool blankLast = !job.pages.empty() && transformsToNothing(job);
    device.clear();
    device.publicDm.dmPaperLength = 1000;
    testsupport::runJob(device, job.pages);
    std::vector<Bytes> memory = device.groups();

    for (int way = 0; way < 2; ++way) {
      device.clear();
      if (way == 0) platform::testing::failZeroedAllocation(1);  // no buffers
      device.publicDm.dmPaperLength = way == 0 ? 1000 : 12600;  // or a long page
      testsupport::runJob(device, job.pages);
      if (job.pages.empty() || blankLast) continue;  // checked on their own below
      EXPECT_EQ(device.groups(), memory) << "trial " << trial << " way " << way << " imageLine " << imageLine;
      EXPECT_TRUE(folder.fileNames().empty()) << "trial " << trial;
    }
  }
}


// Callbacks out of order, or one passing file failure, must not strand page
// files: every file the job created is gone after its end. Tokens: 1-4
// callback IDs, L one line, Fn the nth file operation from there fails.
TEST_F(PageFilesTest, CallbacksOutOfOrderLeaveNoFilesBehind) {
  struct {
    const char* name;
    const char* calls;
  } cases[] = {
      {"lines before the first page", "1 L 2 L 3 4"},
      {"pages started and never ended", "1 2 L 2 L 2 L 4"},
      {"a line after the page that was sent", "1 2 L 3 2 L 3 2 L 3 L 4"},
      {"ends of page without a start", "1 3 3 L 4"},
      {"a new job while pages are open", "1 2 L 2 L 2 L 1 2 L 3 4"},
      {"a new job while a page is open, its deletion failing once", "1 2 L F1 1 4"},
      {"the probe of page 1 cannot be deleted", "F2 1 4"},
  };
  Bytes line(72, 0x5A);
  for (const auto& c : cases) {
    for (const auto& entry : std::filesystem::directory_iterator(folder.path())) std::filesystem::remove(entry.path());
    platform::testing::reset();
    platform::testing::setDocumentsFolder(folder.path().string());
    device.publicDm.dmPaperLength = 12600;
    for (const char* p = c.calls; *p != 0; ++p) {
      if (*p == 'L') spool::storeRasterLine(line.data(), 72);
      if (*p >= '1' && *p <= '4') call(static_cast<std::uint32_t>(*p - '0'));
      if (*p == 'F') platform::testing::failFileOperation(*++p - '0');
    }
    EXPECT_EQ(folder.fileNames(), std::vector<std::string>{}) << c.name;
  }
}

// Lines that come after an end of page join the page that just ended in
// both spooling modes, instead of reopening the file of the page already
// sent.
TEST_F(PageFilesTest, LinesAfterAnEndOfPageJoinThatPageInBothModes) {
  device.record[devmode::kKeepTrailingBlank] = 1;
  auto run = [&](std::int16_t paperLength) {
    device.clear();
    device.publicDm.dmPaperLength = paperLength;
    std::uint32_t seed = 0;
    for (const char* p = "1 2 L L 3 L 2 L 3 L 4"; *p != 0; ++p) {
      testsupport::Line line = testsupport::patternLine(++seed);
      if (*p == 'L') spool::storeRasterLine(line.data(), 72);
      if (*p >= '1' && *p <= '4') call(static_cast<std::uint32_t>(*p - '0'));
    }
    return device.groups();
  };
  std::vector<Bytes> memory = run(1000);
  std::vector<Bytes> files = run(12600);
  EXPECT_EQ(files, memory);
  EXPECT_TRUE(folder.fileNames().empty());
}
}  // namespace

namespace {

// Where the two paths differ by design: a block-mode page with no lines left
// sends an empty block header from memory and nothing from a file.
TEST_F(PageFilesTest, EmptyLastPageDiffersBetweenMemoryAndFiles) {
  struct {
    const char* name;
    std::vector<Page> pages;
  } cases[] = {{"no pages", {}}, {"blank last page", {Page(5, testsupport::blankLine())}}};
  for (const auto& c : cases) {
    device.clear();
    device.publicDm.dmPaperLength = 1000;
    testsupport::runJob(device, c.pages);
    EXPECT_EQ(device.groups().size(), 2u) << c.name;
    EXPECT_EQ(device.groups()[1], (Bytes{0x1C, 0x2A, 0x03, 0x00, 0x00})) << c.name;
    device.clear();
    device.publicDm.dmPaperLength = 12600;
    testsupport::runJob(device, c.pages);
    EXPECT_EQ(device.groups().size(), 1u) << c.name << ": the preamble alone";
    EXPECT_TRUE(folder.fileNames().empty()) << c.name;
  }
}

// Every file operation and every allocation of a file-spooled job failing
// in turn: the job finishes, the stream stays well-formed enough to end
// with its preamble first, and nothing is left in the folder.
TEST_F(PageFilesTest, FaultSweepLeavesNoFilesBehind) {
  std::vector<Page> pages = {Page(3, testsupport::patternLine(1)), Page(2, testsupport::patternLine(2)),
                             Page(4, testsupport::blankLine())};
  pages[2][0] = testsupport::patternLine(9);
  device.publicDm.dmPaperLength = 12600;
  platform::testing::reset();
  platform::testing::setDocumentsFolder(folder.path().string());
  testsupport::runJob(device, pages);
  int operations = platform::testing::fileOperations();
  int allocations = platform::testing::zeroedAllocations();
  ASSERT_GT(operations, 20);
  // Runs the job with one fault armed, and checks what must hold after it.
  auto runWith = [&](const char* what, int nth, void (*arm)(int)) {
    platform::testing::reset();
    platform::testing::setDocumentsFolder(folder.path().string());
    arm(nth);
    device.clear();
    testsupport::runJob(device, pages);
    EXPECT_TRUE(folder.fileNames().empty()) << what << " " << nth;
    EXPECT_EQ(platform::testing::openFiles(), 0) << what << " " << nth;
    EXPECT_EQ(platform::testing::liveZeroedBlocks(), 0) << what << " " << nth;
  };
  for (int nth = 1; nth <= operations + 1; ++nth) runWith("file operation", nth, platform::testing::failFileOperation);
  for (int nth = 1; nth <= allocations + 1; ++nth) runWith("allocation", nth, platform::testing::failZeroedAllocation);
}

}  // namespace
