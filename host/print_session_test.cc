#include "host/print_session.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>

#include "host/linked_module.h"
#include "host/process.h"
#include "plugin/module.h"
#include "settings/devmode_layout.h"

namespace {

namespace fs = std::filesystem;

host::RasterLine inkedLine(std::uint8_t seed) {
  host::RasterLine line{};
  for (std::size_t i = 0; i < line.size(); ++i) line[i] = static_cast<std::uint8_t>(seed * 31 + i * 7);
  return line;
}

host::JobSpec smallJob(int pages, int linesPerPage) {
  host::JobSpec job;
  job.imageLine = 64;
  for (int p = 0; p < pages; ++p) {
    host::Page page;
    for (int l = 0; l < linesPerPage; ++l) page.push_back(inkedLine(static_cast<std::uint8_t>(p * 16 + l)));
    job.pages.push_back(page);
  }
  return job;
}

TEST(LoadedModuleTest, RunsJobsThroughTheSharedLibraryEndToEnd) {
  std::string error;
  auto module = host::PluginModule::load(QMX_PLUGIN_LIBRARY, &error);
  ASSERT_NE(module, nullptr) << error;
  EXPECT_TRUE(module->isLoadedLibrary());

  auto session = host::PrintSession::open(*module, {}, &error);
  ASSERT_NE(session, nullptr) << error;
  EXPECT_EQ(session->signature(), 0x4D534654u);
  EXPECT_EQ(session->version(), 1u);
  EXPECT_EQ(session->implementedMethods().at("FilterGraphics"), printsys::kS_OK);
  EXPECT_EQ(session->implementedMethods().at("PublishDriverInterface"), printsys::kS_FALSE);
  EXPECT_EQ(session->hooks().c, 29u);
  EXPECT_EQ(module->canUnloadNow(), printsys::kS_FALSE) << "the plug-in object is alive";

  const host::JobResult empty = session->runJob(smallJob(0, 0));
  EXPECT_TRUE(empty.ok) << empty.error;
  EXPECT_FALSE(empty.writes.empty()) << "the job preamble goes out at the start of the job";

  const host::JobResult inked = session->runJob(smallJob(2, 5));
  EXPECT_TRUE(inked.ok) << inked.error;
  EXPECT_GT(inked.stream.size(), empty.stream.size() + 2 * 5 * 8) << "the lines reached the printer stream";

  EXPECT_EQ(session->close(), printsys::kS_OK);
  EXPECT_EQ(session->driverInterface().releases(), 1);
  EXPECT_EQ(session->driverInterface().outstanding(), 0);
  EXPECT_EQ(session->plugin(), nullptr);
  EXPECT_FALSE(session->runJob(smallJob(1, 1)).ok);
}

TEST(LoadedModuleTest, LoadingReportsWhatWentWrongAndOneShotJobsUnload) {
  std::string error;
  EXPECT_EQ(host::PluginModule::load("/nonexistent/libqmx415u.so", &error), nullptr);
  EXPECT_NE(error.find("/nonexistent/libqmx415u.so"), std::string::npos) << error;

  error.clear();
  EXPECT_EQ(host::PluginModule::load("libm.so.6", &error), nullptr);
  EXPECT_NE(error.find("DllGetClassObject"), std::string::npos) << error;

  auto module = host::PluginModule::load(QMX_PLUGIN_LIBRARY, &error);
  ASSERT_NE(module, nullptr) << error;
  const host::JobResult result = host::printJob(*module, smallJob(1, 3));  // one-shot
  EXPECT_TRUE(result.ok) << result.error;
  EXPECT_EQ(module->canUnloadNow(), printsys::kS_OK);
}

class LinkedSessionTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(plugin::liveObjects(), 0);
    module_ = host::linkedModule();
    ASSERT_NE(module_, nullptr);
  }
  void TearDown() override { EXPECT_EQ(plugin::liveObjects(), 0); }

  std::unique_ptr<host::PrintSession> open(const host::SessionOptions& options = {}) {
    std::string error;
    auto session = host::PrintSession::open(*module_, options, &error);
    EXPECT_NE(session, nullptr) << error;
    return session;
  }

  std::unique_ptr<host::PluginModule> module_;
};

TEST_F(LinkedSessionTest, SetUpDefaultsTheRecordAndTearDownReleasesEverything) {
  auto session = open();
  ASSERT_NE(session, nullptr);
  EXPECT_FALSE(module_->isLoadedLibrary());
  EXPECT_EQ(plugin::liveObjects(), 1);
  EXPECT_EQ(session->driverInterface().outstanding(), 1);
  const host::Record& record = session->defaultRecord();
  EXPECT_EQ(devmode::readU32(record.data(), devmode::kDwSize), 572u);
  EXPECT_EQ(devmode::readU32(record.data(), devmode::kDwSignature), devmode::kSignature);
  EXPECT_EQ(devmode::readU32(record.data(), devmode::kDwVersion), 1u);
  for (std::size_t i = 12; i < record.size(); ++i) ASSERT_EQ(record[i], 0) << "offset " << i;
  EXPECT_NE(session->device()->pdevOEM, nullptr);

  EXPECT_EQ(session->close(), printsys::kS_OK);
  EXPECT_EQ(session->driverInterface().releases(), 1);
  EXPECT_EQ(session->close(), printsys::kS_OK) << "closing twice tears down once";
  EXPECT_EQ(session->driverInterface().releases(), 1);
}

// Through the entry points, each page leaves one page late: nothing at the
// end of page 1, page k at the end of page k + 1, the last page (with its
// job-end feed) at the end of the job.
TEST_F(LinkedSessionTest, PagesLeaveOnePageLate) {
  auto session = open();
  ASSERT_NE(session, nullptr);
  host::JobSpec job = smallJob(3, 4);
  job.fields.topMarginLines = 0;
  job.fields.jobEndFeed = 40;
  job.fields.cutMode = 0;
  for (std::size_t p = 0; p < job.pages.size(); ++p) job.pages[p].resize(p + 2, inkedLine(9));  // 2, 3, 4 lines
  const host::JobResult result = session->runJob(job);
  ASSERT_TRUE(result.ok) << result.error;
  // IDs: 1, then 2 and 3 per page, then 4.
  ASSERT_EQ(result.callbacks.size(), 8u);
  auto groupsAfter = [&](std::size_t call) { return result.callbacks[call].second; };
  auto linesInBlockAfter = [&](std::size_t call) {
    const std::vector<std::uint8_t>& header = result.writes[groupsAfter(call - 1)];
    EXPECT_EQ(header[0], 0x1C);
    return header[3] | (header[4] << 8);
  };
  EXPECT_EQ(groupsAfter(0), 1u) << "the preamble at the start of the job";
  EXPECT_EQ(groupsAfter(2), 1u) << "nothing at the end of page 1";
  EXPECT_EQ(groupsAfter(4), 3u) << "page 1 at the end of page 2";
  EXPECT_EQ(linesInBlockAfter(4), 2);
  EXPECT_EQ(groupsAfter(6), 5u) << "page 2 at the end of page 3";
  EXPECT_EQ(linesInBlockAfter(6), 3);
  EXPECT_EQ(groupsAfter(7), 8u) << "page 3 and its job-end feed at the end of the job";
  EXPECT_EQ(linesInBlockAfter(7), 4);
  EXPECT_EQ(result.writes.back(), (std::vector<std::uint8_t>{0x1B, 0x4A, 40}));
}

TEST_F(LinkedSessionTest, TheJobRecordIsMergedFromNamedFieldsOrTakenRaw) {
  auto session = open();
  ASSERT_NE(session, nullptr);
  host::JobSpec job = smallJob(1, 2);
  job.fields.topMarginLines = 0x1234;
  job.fields.cutMode = 0x102;  // a one-byte field keeps its low byte
  job.fields.fsEValue = 0xDEADBEEF;
  host::JobResult result = session->runJob(job);
  EXPECT_TRUE(result.ok) << result.error;
  const std::uint8_t* r = result.record.data();
  EXPECT_EQ(devmode::readU16(r, devmode::kTopMarginLines), 0x1234u);
  EXPECT_EQ(devmode::readU8(r, devmode::kCutMode), 0x02u);
  EXPECT_EQ(devmode::readU32(r, devmode::kFsEValue), 0xDEADBEEFu);
  EXPECT_EQ(devmode::readU8(r, devmode::kCutKind), 0u) << "fields not given keep the defaulted value";
  EXPECT_EQ(devmode::readU32(r, devmode::kDwSignature), devmode::kSignature);
  EXPECT_EQ(std::memcmp(session->device()->pOEMDM, r, host::kRecordBytes), 0) << "the job ran with it";

  job.rawRecord.emplace();
  job.rawRecord->fill(0x5C);  // not even the plug-in's signature
  result = session->runJob(job);
  EXPECT_TRUE(result.ok) << result.error;
  EXPECT_EQ(result.record, *job.rawRecord);
}

TEST_F(LinkedSessionTest, TheIniFileFollowsTheJobInTheProcessFolder) {
  auto session = open();
  ASSERT_NE(session, nullptr);
  const fs::path folder = session->workDir();
  EXPECT_EQ(std::string(std::getenv("QMX415U_INI_DIR")), folder.string());
  EXPECT_EQ(std::string(std::getenv("QMX415U_SPOOL_DIR")), folder.string());

  host::JobSpec job = smallJob(1, 1);
  job.imageLine = 17;
  ASSERT_TRUE(session->runJob(job).ok);
  std::ifstream ini(folder / "QMXI415U.INI", std::ios::binary);
  EXPECT_EQ(std::string(std::istreambuf_iterator<char>(ini), {}), "[QMX415U]\r\nImageLine=17\r\n");

  job.imageLine.reset();
  ASSERT_TRUE(session->runJob(job).ok);
  EXPECT_FALSE(fs::exists(folder / "QMXI415U.INI"));

  std::string error;
  EXPECT_TRUE(host::configureProcess({folder.string(), ""}, &error)) << "asking for what is in force";
  EXPECT_FALSE(host::configureProcess({"/elsewhere", ""}, &error)) << "the folders are fixed once";
  EXPECT_NE(error.find(folder.string()), std::string::npos) << error;
  EXPECT_EQ(session->close(), printsys::kS_OK);
}

TEST_F(LinkedSessionTest, ADriverThatOffersNoInterfaceIsToleratedAndNothingLeaks) {
  host::SessionOptions options;
  options.offerDriverInterface = false;
  auto session = open(options);
  ASSERT_NE(session, nullptr);
  EXPECT_EQ(session->driverInterface().driverQueries(), 1);
  EXPECT_TRUE(session->runJob(smallJob(1, 2)).ok);
  EXPECT_EQ(session->close(), printsys::kS_OK);
  EXPECT_EQ(session->driverInterface().outstanding(), 0);
}

TEST_F(LinkedSessionTest, AFailedSetUpTearsDownWhatItBuilt) {
  plugin::testing::failFrameAllocation(2);  // the plug-in object itself
  std::string error;
  EXPECT_EQ(host::PrintSession::open(*module_, {}, &error), nullptr);
  EXPECT_NE(error.find("CreateInstance"), std::string::npos) << error;

  plugin::testing::failFrameAllocation(3);  // the device's hook array
  EXPECT_EQ(host::PrintSession::open(*module_, {}, &error), nullptr);
  EXPECT_NE(error.find("EnablePDEV"), std::string::npos) << error;
  plugin::testing::failFrameAllocation(0);
  EXPECT_EQ(module_->canUnloadNow(), printsys::kS_OK);
}

}  // namespace
