#include "host/job_stream.h"

#include <gtest/gtest.h>

#include "host/linked_module.h"
#include "platform/fault_injection.h"
#include "testing/paper_model.h"

namespace {

host::RasterLine inked(std::size_t n) {
  host::RasterLine line{};
  line[n % 72] = static_cast<std::uint8_t>(0x80 | n);
  return line;
}

class JobStreamTest : public ::testing::Test {
 protected:
  void SetUp() override {
    platform::testing::reset();
    module_ = host::linkedModule();
    std::string error;
    session_ = host::PrintSession::open(*module_, {}, &error);
    ASSERT_NE(session_, nullptr) << error;
  }
  void TearDown() override {
    EXPECT_EQ(session_->close(), printsys::kS_OK);
    EXPECT_EQ(platform::testing::liveZeroedBlocks(), 0) << "the plug-in's page buffers were freed";
    platform::testing::reset();
  }
  std::unique_ptr<host::PluginModule> module_;
  std::unique_ptr<host::PrintSession> session_;
};

TEST_F(JobStreamTest, ManyPagesStreamAsTheyGoAndMatchTheWholeJob) {
  host::JobSpec whole;
  whole.fields.cutMode = 1;
  for (std::size_t p = 0; p < 300; ++p) whole.pages.push_back(host::Page(1 + p % 7, inked(p)));
  const host::JobResult reference = session_->runJob(whole);
  ASSERT_TRUE(reference.ok) << reference.error;

  std::vector<std::uint8_t> streamed;
  std::size_t largestGroup = 0;
  host::CallbackSink sink([&](const std::uint8_t* bytes, std::size_t length) {
    streamed.insert(streamed.end(), bytes, bytes + length);
    largestGroup = std::max(largestGroup, length);
    return true;
  });
  std::string error;
  auto job = host::JobStream::start(*session_, whole, sink, &error);
  ASSERT_NE(job, nullptr) << error;
  std::size_t bytesBeforeLastPage = 0;
  for (const host::Page& page : whole.pages) {
    bytesBeforeLastPage = streamed.size();
    job->startPage();
    for (const host::RasterLine& line : page) job->addLine(line);
    job->endPage();
  }
  EXPECT_GT(bytesBeforeLastPage, reference.stream.size() / 2) << "pages left during the job, not at its end";
  EXPECT_TRUE(job->end()) << job->error();
  EXPECT_EQ(streamed, reference.stream);
  EXPECT_EQ(job->bytesWritten(), streamed.size());
  EXPECT_LT(largestGroup, 8u * 72 + 64) << "no group holds more than a page";
}

TEST_F(JobStreamTest, AFailedSinkFailsTheJobWhichStillEndsInThePlugin) {
  int calls = 0;
  host::CallbackSink sink([&](const std::uint8_t*, std::size_t) { return ++calls < 3; });
  std::string error;
  auto job = host::JobStream::start(*session_, {}, sink, &error);
  ASSERT_NE(job, nullptr) << error;
  for (int p = 0; p < 4 && job->ok(); ++p) {
    job->startPage();
    job->addLine(inked(p));
    job->endPage();
  }
  EXPECT_FALSE(job->ok());
  EXPECT_TRUE(job->sinkFailed());
  EXPECT_NE(job->error().find("refused"), std::string::npos) << job->error();
  job.reset();  // ends the job: the fixture checks that the buffers went
  EXPECT_EQ(calls, 3) << "nothing more was offered after the failure";
}

TEST_F(JobStreamTest, CallsOutOfOrderAreRefusedAndAnOpenPageEndsWhole) {
  host::MemorySink sink;
  std::string error;
  auto job = host::JobStream::start(*session_, {}, sink, &error);
  ASSERT_NE(job, nullptr) << error;
  EXPECT_EQ(host::JobStream::start(*session_, {}, sink, &error), nullptr);
  EXPECT_NE(error.find("already"), std::string::npos) << error;

  EXPECT_FALSE(job->addLine(inked(1)));
  EXPECT_EQ(job->linesAdded(), 0u) << "not passed on";
  EXPECT_NE(job->error().find("outside a page"), std::string::npos);

  job->startPage();
  for (std::size_t n = 0; n < 40; ++n) job->addLine(inked(n));
  job->end();  // cancelled mid-page: the page is ended, then the job
  EXPECT_TRUE(job->ended());
  emulator::Paper paper = testsupport::decodeStrict(sink.groups());
  ASSERT_GE(paper.rows.size(), 40u);
}

}  // namespace
