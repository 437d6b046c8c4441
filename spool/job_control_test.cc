#include "spool/job_control.h"

#include <gtest/gtest.h>

#include <string>

#include "platform/fault_injection.h"
#include "jobstate/job_state.h"
#include "spool/line_store.h"
#include "testing/test_support.h"

namespace {

using jobstate::jobState;
using testsupport::Bytes;
using testsupport::CapturingDevice;
using testsupport::Page;

// The groups of a stream as short tokens: "B<lines>" for a raster block
// (its data group skipped), "F<n>" feed, "C" cut trailer, "P" preamble.
std::string summarize(const std::vector<Bytes>& groups) {
  std::string out;
  for (std::size_t i = 0; i < groups.size(); ++i) {
    const Bytes& g = groups[i];
    if (!out.empty()) out += ' ';
    if (g.size() == 5 && g[0] == 0x1C && g[1] == '*') {
      std::uint32_t lines = g[3] | (g[4] << 8);
      out += 'B';
      out += std::to_string(lines);
      if (lines > 0) ++i;
    } else if (g.size() >= 2 && g[g.size() - 2] == 0x1B && (g.back() == 'i' || g.back() == 'm')) {
      out += "C";
    } else if (g.size() == 3 && g[0] == 0x1B && g[1] == 'J') {
      out += 'F';
      out += std::to_string(g[2]);
    } else if (g.size() >= 6 && g[0] == 0x1D && g[1] == 'E') {
      out += "P";
    } else {
      out += "?";
    }
  }
  return out;
}

// Page k holds k distinct lines, so its block header names it.
std::vector<Page> numberedPages(int count) {
  std::vector<Page> pages;
  for (int k = 1; k <= count; ++k) {
    Page page;
    for (int i = 0; i < k; ++i) page.push_back(testsupport::patternLine(static_cast<std::uint32_t>(k * 100 + i)));
    pages.push_back(page);
  }
  return pages;
}

class JobControlTest : public ::testing::Test {
 protected:
  void SetUp() override {
    testsupport::resetAll();
    device.record[devmode::kKeepTrailingBlank] = 1;
  }
  void TearDown() override { testsupport::resetAll(); }

  void setCutMode(std::uint8_t mode) { device.record[devmode::kCutMode] = mode; }
  void call(std::uint32_t id) { spool::commandCallback(device.devobj(), id); }

  CapturingDevice device;
};

TEST_F(JobControlTest, PagesLeaveOnePageLateWithCutsAsConfigured) {
  struct {
    std::uint8_t cutMode;
    int pages;
    const char* expected;
  } cases[] = {
      {0, 1, "P B1"},
      {1, 1, "P B1 C"},
      {2, 1, "P B1 C"},
      {0, 3, "P B1 B2 B3"},
      {1, 3, "P B1 C B2 C B3 C"},
      {2, 3, "P B1 B2 B3 C"},
  };
  for (const auto& c : cases) {
    device.clear();
    setCutMode(c.cutMode);
    testsupport::runJob(device, numberedPages(c.pages));
    EXPECT_EQ(summarize(device.groups()), c.expected) << "cut mode " << int(c.cutMode) << ", " << c.pages << " pages";
  }
}

TEST_F(JobControlTest, EachEndOfPageSendsThePreviousPage) {
  auto pages = numberedPages(3);
  call(spool::kStartJob);
  std::vector<std::string> afterEachEnd;
  for (const Page& page : pages) {
    call(spool::kStartPage);
    for (const auto& line : page) spool::storeRasterLine(line.data(), 72);
    call(spool::kEndPage);
    afterEachEnd.push_back(summarize(device.groups()));
  }
  EXPECT_EQ(afterEachEnd[0], "P");
  EXPECT_EQ(afterEachEnd[1], "P B1");
  EXPECT_EQ(afterEachEnd[2], "P B1 B2");
  call(spool::kEndJob);
  EXPECT_EQ(summarize(device.groups()), "P B1 B2 B3");
}

// A page whose work area cannot be had is dropped, so the next page of the
// same parity starts on an empty buffer instead of behind it.
TEST_F(JobControlTest, PageThatCannotBeSentIsDroppedAndTheNextOfItsParityStandsAlone) {
  auto pages = numberedPages(3);
  call(spool::kStartJob);
  for (std::size_t p = 0; p < pages.size(); ++p) {
    call(spool::kStartPage);
    for (const auto& line : pages[p]) spool::storeRasterLine(line.data(), 72);
    if (p == 1) platform::testing::failWorkAllocation(1);  // sending page 1
    call(spool::kEndPage);
  }
  call(spool::kEndJob);
  EXPECT_EQ(summarize(device.groups()), "P B2 B3");
}

// With no buffers and no folder the pages are lost, but each one's feeds
// and cut still go out, as after any page: the paper of the job is fed to
// the cutter and cut as the settings say.
TEST_F(JobControlTest, PagesThatCannotBeKeptStillGetTheirFeedsAndCuts) {
  platform::testing::failZeroedAllocation(1);
  platform::testing::setDocumentsFolder("/" + std::string(240, 'd'));  // too long for the names
  devmode::writeU16(device.record, devmode::kPageEndFeed, 7);
  devmode::writeU16(device.record, devmode::kJobEndFeed, 40);
  setCutMode(1);
  testsupport::runJob(device, numberedPages(2));
  EXPECT_FALSE(jobState.memorySpool);
  EXPECT_EQ(summarize(device.groups()), "P F7 C F40 F7 C");
}

// Without a callback table nothing reaches a printer, but the job still
// runs its course and leaves no buffer or file behind.
TEST_F(JobControlTest, JobOnADeviceWithoutCallbackTableStillReleasesEverything) {
  testsupport::TempFolder spoolDir;
  platform::testing::setDocumentsFolder(spoolDir.path().string());
  DEVOBJ bare = *device.devobj();
  bare.pDrvProcs = nullptr;
  auto line = testsupport::patternLine(1);
  for (std::int16_t paperLength : {std::int16_t{2970}, std::int16_t{12600}}) {
    device.publicDm.dmPaperLength = paperLength;
    for (std::uint32_t id : {spool::kStartJob, spool::kStartPage, spool::kEndPage, spool::kStartPage}) {
      spool::commandCallback(&bare, id);
      spool::storeRasterLine(line.data(), 72);
    }
    spool::commandCallback(&bare, spool::kEndJob);
    EXPECT_EQ(platform::testing::liveZeroedBlocks(), 0) << paperLength;
    EXPECT_EQ(platform::testing::liveWorkBlocks(), 0) << paperLength;
    EXPECT_TRUE(spoolDir.fileNames().empty()) << paperLength;
  }
  EXPECT_TRUE(device.groups().empty());
}

TEST_F(JobControlTest, JobWithoutPagesSendsPageZeroAsLast) {
  setCutMode(2);
  testsupport::runJob(device, {});
  EXPECT_EQ(summarize(device.groups()), "P B0 C");
}

TEST_F(JobControlTest, UnknownIdsChangeNothing) {
  call(spool::kStartJob);
  call(spool::kStartPage);
  auto before = device.groups().size();
  for (std::uint32_t id : {0u, 5u, 0xFFFFFFFFu}) call(id);
  EXPECT_EQ(jobState.pageNumber, 1);
  EXPECT_EQ(device.groups().size(), before);
}

TEST_F(JobControlTest, EitherBufferFailingChoosesFilesAndFreesTheOtherOnce) {
  testsupport::TempFolder spoolDir;
  for (int failing : {1, 2}) {
    testsupport::resetAll();
    platform::testing::setDocumentsFolder(spoolDir.path().string());
    platform::testing::failZeroedAllocation(failing);
    call(spool::kStartJob);
    EXPECT_FALSE(jobState.memorySpool) << "buffer " << failing;
    EXPECT_EQ(jobState.pageBufferOdd, nullptr);
    EXPECT_EQ(jobState.pageBufferEven, nullptr);
    EXPECT_EQ(platform::testing::liveZeroedBlocks(), 0);
    call(spool::kEndJob);
    EXPECT_EQ(platform::testing::liveZeroedBlocks(), 0);
  }
}

TEST_F(JobControlTest, LongPageSpoolsToFilesWithBuffersHeld) {
  testsupport::TempFolder spoolDir;
  platform::testing::setDocumentsFolder(spoolDir.path().string());
  device.publicDm.dmPaperLength = 12600;
  call(spool::kStartJob);
  EXPECT_FALSE(jobState.memorySpool);
  EXPECT_NE(jobState.pageBufferOdd, nullptr);
  call(spool::kEndJob);
  EXPECT_EQ(jobState.pageBufferOdd, nullptr);
  EXPECT_TRUE(spoolDir.fileNames().empty());
}

TEST_F(JobControlTest, MemoryJobAfterFileJobAndBack) {
  testsupport::TempFolder spoolDir;
  platform::testing::setDocumentsFolder(spoolDir.path().string());
  call(spool::kStartJob);
  EXPECT_TRUE(jobState.memorySpool);
  call(spool::kEndJob);
  platform::testing::failZeroedAllocation(2);
  call(spool::kStartJob);
  EXPECT_FALSE(jobState.memorySpool);
  call(spool::kEndJob);
  call(spool::kStartJob);
  EXPECT_TRUE(jobState.memorySpool);
  call(spool::kEndJob);
}

TEST_F(JobControlTest, CallsOutsideAJobTouchNothing) {
  for (std::uint32_t id : {spool::kStartPage, spool::kEndPage, spool::kEndJob}) call(id);
  EXPECT_TRUE(device.groups().empty());
  testsupport::runJob(device, numberedPages(2));
  device.clear();
  for (std::uint32_t id : {spool::kStartPage, spool::kEndPage, spool::kEndJob, spool::kEndJob}) call(id);
  EXPECT_TRUE(device.groups().empty());
}

TEST_F(JobControlTest, SecondStartOfJobReleasesTheFirstJobsBuffers) {
  call(spool::kStartJob);
  call(spool::kStartPage);
  call(spool::kStartJob);
  EXPECT_EQ(platform::testing::liveZeroedBlocks(), 2);
  EXPECT_EQ(jobState.pageNumber, 0);
  call(spool::kEndJob);
  EXPECT_EQ(platform::testing::liveZeroedBlocks(), 0);
}

TEST_F(JobControlTest, SecondStartOfJobRemovesTheFirstJobsPageFiles) {
  testsupport::TempFolder spoolDir;
  platform::testing::setDocumentsFolder(spoolDir.path().string());
  device.publicDm.dmPaperLength = 12600;
  call(spool::kStartJob);
  for (int page = 0; page < 3; ++page) {
    call(spool::kStartPage);
    call(spool::kEndPage);
  }
  EXPECT_FALSE(spoolDir.fileNames().empty());
  call(spool::kStartJob);
  EXPECT_TRUE(spoolDir.fileNames().empty());
  call(spool::kEndJob);
}

TEST_F(JobControlTest, PiecesOfTheJobNeverOutliveIt) {
  testsupport::runJob(device, numberedPages(3));
  EXPECT_EQ(platform::testing::liveZeroedBlocks(), 0);
  EXPECT_EQ(platform::testing::liveWorkBlocks(), 0);
  EXPECT_EQ(platform::testing::openFiles(), 0);
}

}  // namespace
