// Jobs through the spine, read back by the printer emulator: the paper must
// be each page body followed by its feeds, with cuts where the settings put
// them, in every mode.
#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <random>

#include "emulator/emulator.h"
#include "platform/fault_injection.h"
#include "testing/paper_model.h"
#include "testing/test_support.h"

namespace {

using emulator::EventKind;
using testsupport::Bytes;

class RoundTripTest : public ::testing::Test {
 protected:
  void SetUp() override { testsupport::resetAll(); }
  void TearDown() override { testsupport::resetAll(); }

  // Runs the job and checks the decoded paper and the command order.
  void check(const testsupport::GeneratedJob& job, const std::string& label) {
    std::memcpy(device.record, job.record, sizeof job.record);
    device.clear();
    testsupport::runJob(device, job.pages);
    emulator::Paper paper = testsupport::decodeStrict(device.groups());
    testsupport::ExpectedPaper expected = testsupport::expectedPaper(job.record, job.pages);
    ASSERT_EQ(paper.rows.size(), expected.rows.size()) << label;
    EXPECT_TRUE(paper.rows == expected.rows) << label;

    std::vector<std::size_t> cutRows;
    std::vector<int> cutKinds;
    bool mark = job.record[devmode::kMarkMode] != 0;
    for (std::size_t i = 0; i < paper.events.size(); ++i) {
      const emulator::Event& e = paper.events[i];
      if (e.kind == EventKind::kCut) {
        cutRows.push_back(e.row);
        cutKinds.push_back(static_cast<int>(e.value));
        // In mark mode GS < comes right before the cut.
        if (mark) {
          EXPECT_TRUE(i > 0 && paper.events[i - 1].kind == EventKind::kMarkFeed) << label;
        }
      }
      if (e.kind == EventKind::kRasterImage) {
        EXPECT_EQ(job.record[devmode::kBandMode], 1) << label;
      }
      if (e.kind == EventKind::kRasterBlock) {
        EXPECT_EQ(job.record[devmode::kBandMode], 0) << label;
      }
    }
    EXPECT_EQ(cutRows, expected.cutRows) << label;
    EXPECT_EQ(cutKinds, expected.cutKinds) << label;
    ASSERT_GE(paper.events.size(), 2u);
    EXPECT_EQ(paper.events[0].kind, EventKind::kGsE);
    EXPECT_EQ(paper.events[1].kind, EventKind::kFsE);
    EXPECT_EQ(paper.area.left, 0u) << label;
    EXPECT_EQ(paper.area.width, 576u) << label;
  }

  testsupport::CapturingDevice device;
};

TEST_F(RoundTripTest, GeneratedJobsInEveryModeDecodeToTheirPages) {
  std::mt19937 gen(7);
  for (int trial = 0; trial < 150; ++trial) {
    testsupport::GeneratedJob job = testsupport::generateJob(gen);
    check(job, "trial " + std::to_string(trial));
  }
}

TEST_F(RoundTripTest, SmallImageLinesSplitPagesIntoManyBlocks) {
  testsupport::TempFolder ini;
  std::mt19937 gen(11);
  for (int imageLine : {1, 7, 128, 300}) {
    std::ofstream(ini.path() / "QMXI415U.INI") << "[QMX415U]\nImageLine=" << imageLine << "\n";
    platform::testing::setProfileFolder(ini.path().string());
    for (int trial = 0; trial < 10; ++trial) {
      testsupport::GeneratedJob job = testsupport::generateJob(gen);
      job.record[devmode::kBandMode] = 0;
      check(job, "imageLine " + std::to_string(imageLine));
    }
  }
}

TEST_F(RoundTripTest, BandChunksStayWithinTheirSizeBound) {
  std::mt19937 gen(5);
  for (int trial = 0; trial < 40; ++trial) {
    testsupport::GeneratedJob job = testsupport::generateJob(gen);
    job.record[devmode::kBandMode] = 1;
    job.record[devmode::kCutMode] = 0;
    devmode::writeU16(job.record, devmode::kPageEndFeed, 0);
    devmode::writeU16(job.record, devmode::kJobEndFeed, 0);
    std::memcpy(device.record, job.record, sizeof job.record);
    device.clear();
    testsupport::runJob(device, job.pages);
    // Every group after the preamble is one chunk: its rows are its lines.
    for (std::size_t g = 1; g < device.groups().size(); ++g) {
      emulator::ParseOptions strict;
      strict.strict = true;
      emulator::ParseResult chunk = emulator::parseStream(device.groups()[g], strict);
      ASSERT_TRUE(chunk.status.ok) << chunk.status.toString();
      std::size_t lines = chunk.paper.rows.size();
      EXPECT_LE(lines, 128u);
      EXPECT_LE(device.groups()[g].size(), 72 * lines + 5);
      EXPECT_EQ(chunk.paper.area.width, 576u);
    }
  }
}

TEST_F(RoundTripTest, BlankRunAcrossAChunkBoundaryIsSplitBetweenChunks) {
  // Lines 126..131 blank: three lines end chunk 1, three start chunk 2;
  // neither part reaches five, so both go out as raster data.
  testsupport::Page page;
  for (int i = 0; i < 140; ++i)
    page.push_back(i >= 126 && i < 132 ? testsupport::blankLine() : testsupport::patternLine(i));
  testsupport::setPlainRecord(device.record);
  device.record[devmode::kBandMode] = 1;
  testsupport::runJob(device, {page});
  emulator::Paper paper = testsupport::decodeStrict(device.groups());
  for (const auto& e : paper.events) EXPECT_NE(e.kind, EventKind::kFeed);
  EXPECT_EQ(paper.rows.size(), 140u);
}

}  // namespace
