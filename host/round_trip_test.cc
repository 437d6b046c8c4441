// Generated jobs through the real entry points of the loaded plug-in, read
// back by the emulator: the same paper as the pages, feeds and cuts say,
// whether the pages are spooled in memory or in files.
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <random>

#include "host/module_loader.h"
#include "host/print_session.h"
#include "testing/paper_model.h"
#include "testing/test_support.h"

namespace {

host::JobSpec toSpec(const testsupport::GeneratedJob& job, std::int16_t paperLength) {
  host::JobSpec spec;
  host::Record record{};
  std::memcpy(record.data(), job.record, record.size());
  spec.rawRecord = record;
  spec.paperLength = paperLength;
  for (const testsupport::Page& page : job.pages) spec.pages.emplace_back(page.begin(), page.end());
  return spec;
}

TEST(HostRoundTripTest, GeneratedJobsThroughTheSharedLibrary) {
  std::string error;
  auto module = host::PluginModule::load(QMX_PLUGIN_LIBRARY, &error);
  ASSERT_NE(module, nullptr) << error;
  auto session = host::PrintSession::open(*module, {}, &error);
  ASSERT_NE(session, nullptr) << error;
  std::mt19937 gen(99);
  for (int trial = 0; trial < 60; ++trial) {
    testsupport::GeneratedJob job = testsupport::generateJob(gen);
    // Memory spooling, then file spooling through a long paper.
    for (std::int16_t paperLength : {std::int16_t{1000}, std::int16_t{12600}}) {
      // A job without pages sends the top margin of its "page 0" from
      // memory; no page file was ever made for it, so files send none.
      std::uint8_t record[devmode::kRecordSize];
      std::memcpy(record, job.record, sizeof record);
      if (paperLength == 12600 && job.pages.empty()) devmode::writeU16(record, devmode::kTopMarginLines, 0);
      testsupport::ExpectedPaper expected = testsupport::expectedPaper(record, job.pages);
      host::JobResult result = session->runJob(toSpec(job, paperLength));
      ASSERT_TRUE(result.ok) << result.error;
      emulator::Paper paper = testsupport::decodeStrict(result.writes);
      EXPECT_TRUE(paper.rows == expected.rows) << "trial " << trial << " paper " << paperLength;
      std::vector<std::size_t> cuts;
      for (const auto& e : paper.events)
        if (e.kind == emulator::EventKind::kCut) cuts.push_back(e.row);
      EXPECT_EQ(cuts, expected.cutRows) << "trial " << trial;
      for (const auto& entry : std::filesystem::directory_iterator(session->workDir()))
        EXPECT_EQ(entry.path().filename().string().rfind("QMX$$", 0), std::string::npos) << entry.path();
    }
  }
  EXPECT_EQ(session->close(), printsys::kS_OK);
}

}  // namespace
