#include "settings/job_settings.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <initializer_list>
#include <iterator>
#include <utility>
#include <vector>

#include "platform/fault_injection.h"
#include "settings/devmode_layout.h"
#include "testing/test_support.h"

namespace {

using testsupport::CapturingDevice;

class JobSettingsTest : public ::testing::Test {
 protected:
  void SetUp() override { testsupport::resetAll(); }
  void TearDown() override { testsupport::resetAll(); }

  void writeIni(const std::string& body) {
    std::ofstream(ini.path() / "QMXI415U.INI") << body;
    platform::testing::setProfileFolder(ini.path().string());
  }

  CapturingDevice device;
  testsupport::TempFolder ini;
};

enum class Width { k8, k16, k32 };

struct FieldCase {
  const char* name;
  std::size_t offset;
  Width width;
  std::uint32_t stored;
  std::uint32_t JobSettings::*field;
  std::uint32_t expected;
};

void store(std::uint8_t* record, std::size_t offset, Width width, std::uint32_t value) {
  switch (width) {
    case Width::k8: record[offset] = static_cast<std::uint8_t>(value); break;
    case Width::k16: devmode::writeU16(record, offset, value); break;
    case Width::k32: devmode::writeU32(record, offset, value); break;
  }
}

TEST_F(JobSettingsTest, FieldsAreKeptInRangeAndReplacedOutside) {
  using namespace devmode;
  const FieldCase cases[] = {
      {"fsE 127 kept", kFsEValue, Width::k32, 127, &JobSettings::fsEValue, 127},
      {"fsE 128 clamps", kFsEValue, Width::k32, 128, &JobSettings::fsEValue, 127},
      {"fsE huge clamps", kFsEValue, Width::k32, 0xFFFFFFFF, &JobSettings::fsEValue, 127},
      {"keepTrailingBlank 1", kKeepTrailingBlank, Width::k8, 1, &JobSettings::keepTrailingBlank, 1},
      {"keepTrailingBlank 2", kKeepTrailingBlank, Width::k8, 2, &JobSettings::keepTrailingBlank, 0},
      {"blockLevel 3", kBlockLevel, Width::k8, 3, &JobSettings::blockLevel, 3},
      {"blockLevel 200", kBlockLevel, Width::k8, 200, &JobSettings::blockLevel, 3},
      {"firstPageExtra 255", kFirstPageExtraLines, Width::k16, 255, &JobSettings::firstPageExtraLines, 255},
      {"firstPageExtra 256", kFirstPageExtraLines, Width::k16, 256, &JobSettings::firstPageExtraLines, 0},
      {"topMargin 255", kTopMarginLines, Width::k16, 255, &JobSettings::topMarginLines, 255},
      {"topMargin 256", kTopMarginLines, Width::k16, 256, &JobSettings::topMarginLines, 12},
      {"topMargin 0xFFFF", kTopMarginLines, Width::k16, 0xFFFF, &JobSettings::topMarginLines, 12},
      {"pageEndFeed 256", kPageEndFeed, Width::k16, 256, &JobSettings::pageEndFeed, 0},
      {"jobEndFeed 255", kJobEndFeed, Width::k16, 255, &JobSettings::jobEndFeed, 255},
      {"jobEndFeed 300", kJobEndFeed, Width::k16, 300, &JobSettings::jobEndFeed, 0},
      {"cutMode 2", kCutMode, Width::k8, 2, &JobSettings::cutMode, 2},
      {"cutMode 3", kCutMode, Width::k8, 3, &JobSettings::cutMode, 0},
      {"cutKind 0", kCutKind, Width::k8, 0, &JobSettings::cutKind, 0},
      {"cutKind 2", kCutKind, Width::k8, 2, &JobSettings::cutKind, 1},
      {"preCutFeed 255", kPreCutFeed, Width::k16, 255, &JobSettings::preCutFeed, 255},
      {"preCutFeed 256", kPreCutFeed, Width::k16, 256, &JobSettings::preCutFeed, 96},
      {"markMode 1", kMarkMode, Width::k8, 1, &JobSettings::markMode, 1},
      {"markMode 7", kMarkMode, Width::k8, 7, &JobSettings::markMode, 0},
      {"gsA 63", kGsAValue, Width::k16, 63, &JobSettings::gsAValue, 63},
      {"gsA 64", kGsAValue, Width::k16, 64, &JobSettings::gsAValue, 32},
      {"bandMode 1", kBandMode, Width::k8, 1, &JobSettings::bandMode, 1},
      {"bandMode 2", kBandMode, Width::k8, 2, &JobSettings::bandMode, 0},
  };
  for (const FieldCase& c : cases) {
    testsupport::setPlainRecord(device.record);
    store(device.record, c.offset, c.width, c.stored);
    JobSettings s = settings::loadJobSettings(device.devobj());
    EXPECT_EQ(s.*c.field, c.expected) << c.name;
  }
}

// The record is a stored format, so these records are built from literal
// offsets and little-endian bytes, not through the layout the code reads
// with. Every byte the load must not read holds 0xFF. The first record
// holds in-range values (a wrong offset or byte order changes them); the
// second holds values above 255 in the 16-bit and 32-bit fields, which a
// read of the low byte alone would keep.
TEST_F(JobSettingsTest, GoldenRecordsReadAtTheirStoredOffsets) {
  struct Golden {
    const char* name;
    std::vector<std::pair<std::size_t, std::vector<std::uint8_t>>> bytes;
    JobSettings expected;
  };
  auto expect = [](std::initializer_list<std::uint32_t> v) {
    auto f = v.begin();
    JobSettings s;
    for (std::uint32_t JobSettings::*field :
         {&JobSettings::fsEValue, &JobSettings::gsEValue, &JobSettings::keepTrailingBlank, &JobSettings::blockLevel,
          &JobSettings::firstPageExtraLines, &JobSettings::topMarginLines, &JobSettings::pageEndFeed,
          &JobSettings::jobEndFeed, &JobSettings::cutMode, &JobSettings::cutKind, &JobSettings::preCutFeed,
          &JobSettings::markMode, &JobSettings::gsAValue, &JobSettings::bandMode})
      s.*field = *f++;
    return s;
  };
  const Golden records[] = {
      {"in range",
       {{16, {0x64, 0x00, 0x00, 0x00}}, {20, {0x01, 0x00, 0x00, 0x00}}, {544, {0x07, 0x01, 0x02}},
        {548, {0xC8, 0x00, 0xC9, 0x00, 0xCA, 0x00, 0xCB, 0x00, 0x02, 0x00, 0xCC, 0x00, 0x01}},
        {562, {0x3F, 0x00}}, {568, {0x01}}},
       expect({100, 7, 1, 2, 200, 201, 202, 203, 2, 0, 204, 1, 63, 1})},
      {"above a byte",
       {{16, {0x00, 0x01, 0x00, 0x00}}, {20, {0x00, 0x01, 0x00, 0x00}}, {544, {0x07, 0x00, 0x00}},
        {548, {0x05, 0x01, 0x0A, 0x01, 0x01, 0x01, 0x02, 0x01, 0x00, 0x01, 0x07, 0x01, 0x00}},
        {562, {0x05, 0x01}}, {568, {0x00}}},
       expect({127, 3, 0, 0, 0, 12, 0, 0, 0, 1, 96, 0, 32, 0})},
  };
  for (const Golden& g : records) {
    std::fill(device.record, device.record + 572, 0xFF);
    const std::uint8_t header[] = {0x3C, 0x02, 0x00, 0x00, 0x54, 0x46, 0x53, 0x4D, 0x01, 0x00, 0x00, 0x00};
    std::copy(std::begin(header), std::end(header), device.record);
    for (const auto& [offset, bytes] : g.bytes) std::copy(bytes.begin(), bytes.end(), device.record + offset);
    JobSettings s = settings::loadJobSettings(device.devobj());
    const JobSettings& e = g.expected;
    EXPECT_EQ(s.fsEValue, e.fsEValue) << g.name;
    EXPECT_EQ(s.gsEValue, e.gsEValue) << g.name;
    EXPECT_EQ(s.keepTrailingBlank, e.keepTrailingBlank) << g.name;
    EXPECT_EQ(s.blockLevel, e.blockLevel) << g.name;
    EXPECT_EQ(s.firstPageExtraLines, e.firstPageExtraLines) << g.name;
    EXPECT_EQ(s.topMarginLines, e.topMarginLines) << g.name;
    EXPECT_EQ(s.pageEndFeed, e.pageEndFeed) << g.name;
    EXPECT_EQ(s.jobEndFeed, e.jobEndFeed) << g.name;
    EXPECT_EQ(s.cutMode, e.cutMode) << g.name;
    EXPECT_EQ(s.cutKind, e.cutKind) << g.name;
    EXPECT_EQ(s.preCutFeed, e.preCutFeed) << g.name;
    EXPECT_EQ(s.markMode, e.markMode) << g.name;
    EXPECT_EQ(s.gsAValue, e.gsAValue) << g.name;
    EXPECT_EQ(s.bandMode, e.bandMode) << g.name;
  }
}

TEST_F(JobSettingsTest, GsEValueIsGatedBySelector) {
  struct {
    std::uint32_t select;
    std::uint8_t value;
    std::uint32_t expected;
  } cases[] = {{2, 5, 3}, {1, 5, 5}, {0, 11, 11}, {0, 12, 3}, {0xFFFFFFFF, 0, 3}};
  for (const auto& c : cases) {
    devmode::writeU32(device.record, devmode::kGsESelect, c.select);
    device.record[devmode::kGsEValue] = c.value;
    EXPECT_EQ(settings::loadJobSettings(device.devobj()).gsEValue, c.expected)
        << "select " << c.select << " value " << int(c.value);
  }
}

TEST_F(JobSettingsTest, AllZeroRecordGivesZeroFieldsAndMissingIniGives3350) {
  std::fill(device.record + 12, device.record + devmode::kRecordSize, 0);
  JobSettings s = settings::loadJobSettings(device.devobj());
  EXPECT_EQ(s.fsEValue, 0u);
  EXPECT_EQ(s.gsEValue, 0u);
  EXPECT_EQ(s.topMarginLines, 0u);
  EXPECT_EQ(s.cutKind, 0u);
  EXPECT_EQ(s.preCutFeed, 0u);
  EXPECT_EQ(s.gsAValue, 0u);
  EXPECT_EQ(s.blockLevel, 0u);
  EXPECT_EQ(s.imageLine, 3350u);
}

TEST_F(JobSettingsTest, ImageLineComesFromTheIniFile) {
  struct {
    const char* body;
    std::uint32_t expected;
  } cases[] = {
      {"[QMX415U]\nImageLine=1\n", 1},
      {"[QMX415U]\nImageLine=3350\n", 3350},
      {"[QMX415U]\nImageLine=3351\n", 3350},
      {"[QMX415U]\nImageLine=0\n", 3350},
      {"[QMX415U]\nImageLine=-1\n", 3350},
      {"[qmx415u]\r\n  imageline = 200 \r\n", 200},
      {"[OTHER]\nImageLine=5\n", 3350},
      {"[QMX415U]\nOther=5\n", 3350},
      {"[QMX415U]\nImageLine=\n", 3350},
      {"[QMX415U]\nImageLine=abc\n", 3350},
      {"[QMX415U]\nImageLine=0x20\n", 32},
  };
  for (const auto& c : cases) {
    writeIni(c.body);
    EXPECT_EQ(settings::loadJobSettings(device.devobj()).imageLine, c.expected) << c.body;
  }
}

TEST_F(JobSettingsTest, PaperLengthGivesPageLinesAndLongPage) {
  struct {
    std::int16_t paperLength;
    std::uint32_t lines;
    std::uint32_t longPage;
  } cases[] = {
      {2970, 2377, 0}, {12599, 10080, 0}, {12600, 10081, 1}, {32767, 10081, 1},
      {0, 1, 0},       {-1, 1, 0},         {-2, 0, 0},        {-13, 10081, 1},  {-32768, 10081, 1},
  };
  for (const auto& c : cases) {
    device.publicDm.dmPaperLength = c.paperLength;
    JobSettings s = settings::loadJobSettings(device.devobj());
    EXPECT_EQ(s.pageLines, c.lines) << c.paperLength;
    EXPECT_EQ(s.longPage, c.longPage) << c.paperLength;
  }
}

TEST_F(JobSettingsTest, ShortPageAfterLongPageIsNotLong) {
  device.publicDm.dmPaperLength = 20000;
  EXPECT_EQ(settings::loadJobSettings(device.devobj()).longPage, 1u);
  device.publicDm.dmPaperLength = 800;
  EXPECT_EQ(settings::loadJobSettings(device.devobj()).longPage, 0u);
}

TEST_F(JobSettingsTest, MissingRecordsGiveDefaultsWithoutCrashing) {
  DEVOBJ bare{};
  JobSettings s = settings::loadJobSettings(&bare);
  EXPECT_EQ(s.topMarginLines, 12u);
  EXPECT_EQ(s.cutKind, 1u);
  EXPECT_EQ(s.preCutFeed, 96u);
  EXPECT_EQ(s.fsEValue, 127u);
  EXPECT_EQ(s.pageLines, 10080u);
  EXPECT_EQ(s.longPage, 0u);
  JobSettings none = settings::loadJobSettings(nullptr);
  EXPECT_EQ(none.pageLines, 10080u);
}

TEST_F(JobSettingsTest, WritesItsDebugText) {
  settings::loadJobSettings(device.devobj());
  ASSERT_EQ(platform::testing::debugTexts().size(), 1u);
  EXPECT_EQ(platform::testing::debugTexts()[0], QMX_WIDE("UNI:設定済みのDEVMODE\n"));
}

}  // namespace
