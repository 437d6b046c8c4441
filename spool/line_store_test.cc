#include "spool/line_store.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>

#include "platform/fault_injection.h"
#include "spool/job_control.h"
#include "jobstate/job_state.h"
#include "testing/test_support.h"

namespace {

using jobstate::jobState;
using testsupport::CapturingDevice;

class LineStoreTest : public ::testing::Test {
 protected:
  void SetUp() override { testsupport::resetAll(); }
  void TearDown() override { testsupport::resetAll(); }

  void startJob(std::uint16_t top, std::uint16_t extra, std::int16_t paperLength = 100) {
    devmode::writeU16(device.record, devmode::kTopMarginLines, top);
    devmode::writeU16(device.record, devmode::kFirstPageExtraLines, extra);
    device.publicDm.dmPaperLength = paperLength;
    spool::commandCallback(device.devobj(), spool::kStartJob);
    ASSERT_TRUE(jobState.memorySpool);
  }
  void store(const testsupport::Line& line) { spool::storeRasterLine(line.data(), 72); }
  const std::uint8_t* slot(const std::uint8_t* buffer, std::uint32_t index) { return buffer + index * 72; }

  CapturingDevice device;
};

TEST_F(LineStoreTest, LinesLandBehindTheMarginsOfTheirParityBuffer) {
  startJob(12, 5);
  const struct {
    int page;
    std::uint8_t* buffer;
    std::uint32_t firstSlot;
  } pages[] = {{1, jobState.pageBufferOdd, 17}, {2, jobState.pageBufferEven, 12}, {3, jobState.pageBufferOdd, 12}};
  for (const auto& p : pages) {
    spool::commandCallback(device.devobj(), spool::kStartPage);
    auto line = testsupport::lineWith({{0, static_cast<std::uint8_t>(p.page)}});
    store(line);
    EXPECT_EQ(std::memcmp(slot(p.buffer, p.firstSlot), line.data(), 72), 0) << "page " << p.page;
    EXPECT_EQ(slot(p.buffer, p.firstSlot - 1)[0], 0) << "margin stays blank on page " << p.page;
    spool::commandCallback(device.devobj(), spool::kEndPage);
  }
}

// Page 3 reuses page 1's buffer without clearing it: a call shorter than a
// line must not leave page 1's ink in the rest of its slot.
TEST_F(LineStoreTest, ShortAndEmptyCallsStoreOneLineBlankBeyondTheirBytes) {
  startJob(0, 0);
  testsupport::Line ink;
  ink.fill(0xAA);
  for (int page = 1; page <= 2; ++page) {
    spool::commandCallback(device.devobj(), spool::kStartPage);
    for (int i = 0; i < 3; ++i) store(ink);
    spool::commandCallback(device.devobj(), spool::kEndPage);
  }
  spool::commandCallback(device.devobj(), spool::kStartPage);
  std::uint8_t forty[40];
  std::memset(forty, 0x55, sizeof forty);
  spool::storeRasterLine(forty, 40);
  spool::storeRasterLine(forty, 0);
  spool::storeRasterLine(nullptr, 0);
  EXPECT_EQ(jobState.oddPageLines, 3u);
  testsupport::Line expected[3] = {};
  std::memset(expected[0].data(), 0x55, 40);
  for (std::uint32_t i = 0; i < 3; ++i)
    EXPECT_EQ(std::memcmp(slot(jobState.pageBufferOdd, i), expected[i].data(), 72), 0) << "slot " << i;
}

TEST_F(LineStoreTest, NeverWritesPastTheBuffer) {
  startJob(2, 0, 10);  // 9 page lines: 11 slots per buffer
  spool::commandCallback(device.devobj(), spool::kStartPage);
  std::uint32_t capacity = jobState.pageBufferLines;
  ASSERT_EQ(capacity, 11u);
  auto line = testsupport::patternLine(7);
  for (int i = 0; i < 50; ++i) store(line);
  EXPECT_EQ(jobState.oddPageLines, capacity - 2) << "calls past the last slot are dropped";
  const platform::WString lost = QMX_WIDE("UNI:ページがバッファに収まらず行を失った\n");
  EXPECT_EQ(std::count(platform::testing::debugTexts().begin(), platform::testing::debugTexts().end(), lost), 1)
      << "the loss is said once per page";
  // A long call in the last slot is cut at the buffer's end.
  jobState.oddPageLines = capacity - 3;
  std::vector<std::uint8_t> big(20000, 0x11);
  spool::storeRasterLine(big.data(), static_cast<std::uint32_t>(big.size()));
  EXPECT_EQ(jobState.pageBufferOdd[capacity * 72 - 1], 0x11);
}

TEST_F(LineStoreTest, CallsWithoutAnOpenJobAreIgnored) {
  auto line = testsupport::patternLine(1);
  store(line);  // never started
  EXPECT_EQ(jobState.oddPageLines + jobState.evenPageLines, 0u);
  testsupport::runJob(device, {{line}});
  store(line);  // after the end: buffers are gone
  EXPECT_EQ(jobState.pageBufferOdd, nullptr);
  EXPECT_EQ(jobState.oddPageLines + jobState.evenPageLines, 0u);
}

}  // namespace
