#include "output/job_frame.h"

#include <gtest/gtest.h>

#include "jobstate/job_state.h"
#include "testing/test_support.h"

namespace {

using testsupport::Bytes;

class JobFrameTest : public ::testing::Test {
 protected:
  void SetUp() override { testsupport::resetAll(); }
  void TearDown() override { testsupport::resetAll(); }
  JobSettings& s = jobstate::jobState.settings;
  testsupport::CapturingDevice device;
};

TEST_F(JobFrameTest, PreambleIsOneGroupOfSixOrTenBytes) {
  s.gsEValue = 3;
  s.fsEValue = 10;
  s.gsAValue = 32;
  s.markMode = 0;
  output::sendJobPreamble(device.devobj());
  s.markMode = 1;
  output::sendJobPreamble(device.devobj());
  ASSERT_EQ(device.groups().size(), 2u);
  EXPECT_EQ(device.groups()[0], (Bytes{0x1D, 0x45, 0x03, 0x1C, 0x45, 0x0A}));
  EXPECT_EQ(device.groups()[1], (Bytes{0x1D, 0x45, 0x03, 0x1C, 0x45, 0x0A, 0x1D, 0x41, 0x00, 0x20}));
}

TEST_F(JobFrameTest, CutTrailerFollowsModeKindAndFeed) {
  struct {
    std::uint32_t cutMode, markMode, preCutFeed, cutKind;
    bool last;
    Bytes expected;
  } cases[] = {
      {1, 0, 96, 1, false, {0x1B, 0x4A, 0x60, 0x1B, 0x69}},
      {1, 0, 0, 0, false, {0x1B, 0x6D}},
      {1, 1, 96, 1, false, {0x1D, 0x3C, 0x1B, 0x69}},
      {2, 1, 0, 0, true, {0x1D, 0x3C, 0x1B, 0x6D}},
      {2, 0, 255, 1, true, {0x1B, 0x4A, 0xFF, 0x1B, 0x69}},
      {2, 0, 96, 1, false, {}},
      {0, 1, 96, 1, true, {}},
      {0, 0, 96, 1, false, {}},
  };
  for (const auto& c : cases) {
    device.clear();
    s.cutMode = c.cutMode;
    s.markMode = c.markMode;
    s.preCutFeed = c.preCutFeed;
    s.cutKind = c.cutKind;
    output::sendCutTrailer(device.devobj(), c.last);
    EXPECT_EQ(device.stream(), c.expected) << "cutMode " << c.cutMode << " mark " << c.markMode;
    EXPECT_LE(device.groups().size(), 1u);
  }
}

}  // namespace
