#include "app/journal.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "app/state_file.h"

namespace {

namespace fs = std::filesystem;

class JournalTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const char* tmp = std::getenv("TMPDIR");
    folder_ = fs::path(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") / ("journal-test-" + std::to_string(getpid()));
    fs::remove_all(folder_);
  }
  void TearDown() override { fs::remove_all(folder_); }

  void open(app::Journal& journal) {
    std::string why;
    EXPECT_TRUE(journal.open(folder_.string(), &why)) << why;
  }

  // A job as the queue keeps it: its document first, then its record.
  void keep(app::Journal& journal, int printer, int job, const std::string& name) {
    std::ofstream(journal.documentPath(printer, job)) << "document of " << name;
    app::JobRecord record;
    record.printerId = printer;
    record.jobId = job;
    record.username = "shop";
    record.format = "image/png";
    record.attrs.reset(ippNew());
    ippAddString(record.attrs.get(), IPP_TAG_JOB, IPP_TAG_NAME, "job-name", nullptr, name.c_str());
    ippAddInteger(record.attrs.get(), IPP_TAG_JOB, IPP_TAG_INTEGER, "copies", 2);
    std::string why;
    ASSERT_TRUE(journal.add(record, &why)) << why;
  }

  fs::path folder_;
};

std::string jobName(const app::JobRecord& record) {
  ipp_attribute_t* name = ippFindAttribute(record.attrs.get(), "job-name", IPP_TAG_NAME);
  return name != nullptr ? ippGetString(name, 0, nullptr) : "";
}

// What a restart finds: every job kept and not removed, in order, with its
// attributes and starts; ids past every one ever given, removed ones too.
TEST_F(JournalTest, ARestartFindsTheUnfinishedJobsInOrderAndIdsNeverRepeat) {
  {
    app::Journal journal;
    open(journal);
    keep(journal, 2, 7, "second printer's");
    keep(journal, 1, 12, "twelve");
    keep(journal, 1, 3, "three");
    keep(journal, 1, 40, "forty, done");
    EXPECT_EQ(journal.countStart(1, 3), 1);
    EXPECT_EQ(journal.countStart(1, 3), 2);
    EXPECT_EQ(journal.countStart(1, 99), 0) << "no record, no start";
    journal.remove(1, 40);
    EXPECT_FALSE(fs::exists(journal.documentPath(1, 40))) << "an ended job's document goes with it";
  }
  app::Journal journal;
    open(journal);
  std::vector<std::string> problems;
  const std::vector<app::JobRecord> records = journal.load(&problems);
  EXPECT_TRUE(problems.empty());
  ASSERT_EQ(records.size(), 3u);
  const std::pair<int, int> order[] = {{1, 3}, {1, 12}, {2, 7}};
  for (std::size_t i = 0; i < records.size(); ++i) {
    EXPECT_EQ(records[i].printerId, order[i].first);
    EXPECT_EQ(records[i].jobId, order[i].second);
    EXPECT_EQ(records[i].username, "shop");
    EXPECT_EQ(records[i].format, "image/png");
  }
  EXPECT_EQ(jobName(records[0]), "three");
  EXPECT_EQ(records[0].starts, 2);
  EXPECT_EQ(records[1].starts, 0);
  EXPECT_EQ(ippGetInteger(ippFindAttribute(records[1].attrs.get(), "copies", IPP_TAG_INTEGER), 0), 2);
  EXPECT_EQ(journal.nextJobId(1), 41) << "job 40 ended, and its id is never given again";
  EXPECT_EQ(journal.nextJobId(2), 8);
  EXPECT_TRUE(journal.contains(1, 12));
  EXPECT_FALSE(journal.contains(1, 40));
}

// A record that cannot be read is named, and left with its document for a
// person; documents without a record and half-written files go.
TEST_F(JournalTest, DamagedRecordsStayAndLeftoversGo) {
  {
    app::Journal journal;
    open(journal);
    keep(journal, 1, 1, "whole");
    keep(journal, 1, 2, "damaged");
  }
  std::ofstream(folder_ / "p1-j2.job", std::ios::trunc) << "not an IPP message";
  std::ofstream(folder_ / "p1-j5.doc") << "a document whose record was never written";
  std::ofstream(folder_ / "p1-j6.job.tmp") << "half a record";
  app::Journal journal;
    open(journal);
  std::vector<std::string> problems;
  const std::vector<app::JobRecord> records = journal.load(&problems);
  journal.sweep();
  ASSERT_EQ(records.size(), 1u);
  EXPECT_EQ(jobName(records[0]), "whole");
  ASSERT_EQ(problems.size(), 1u);
  EXPECT_NE(problems[0].find("p1-j2.job"), std::string::npos) << problems[0];
  EXPECT_TRUE(fs::exists(folder_ / "p1-j2.doc")) << "a damaged record's document stays";
  EXPECT_FALSE(fs::exists(folder_ / "p1-j5.doc"));
  EXPECT_FALSE(fs::exists(folder_ / "p1-j6.job.tmp"));
  EXPECT_TRUE(fs::exists(folder_ / "p1-j1.doc"));
}

TEST_F(JournalTest, AJobMovedToAnotherIdTakesItsDocumentAndRecord) {
  app::Journal journal;
    open(journal);
  keep(journal, 1, 4, "moved");
  std::vector<std::string> problems;
  std::vector<app::JobRecord> records = journal.load(&problems);
  ASSERT_EQ(records.size(), 1u);
  ASSERT_TRUE(journal.moveJob(records[0], 9));
  EXPECT_FALSE(journal.contains(1, 4));
  EXPECT_TRUE(journal.contains(1, 9));
  EXPECT_TRUE(fs::exists(journal.documentPath(1, 9)));
  EXPECT_FALSE(fs::exists(journal.documentPath(1, 4)));
  EXPECT_EQ(journal.nextJobId(1), 10);
  app::Journal reopened;
  open(reopened);
  records = reopened.load(&problems);
  ASSERT_EQ(records.size(), 1u);
  EXPECT_EQ(records[0].jobId, 9);
}

// The state file keeps the finished jobs' history and nothing the journal
// will make again.
TEST(StateFileTest, OnlyFinishedJobsTheJournalDoesNotHold) {
  const std::string state =
      "DNSSDName app\n"
      "<Printer did=\"\" driver=\"qmx415u\" id=\"1\" name=\"a\" uri=\"socket://h\">\n"
      "NextJobId 9\n"
      "Job id=1 name=done username=u format=image/png state=9\n"
      "Job id=2 name=waiting username=u format=image/png state=3\n"
      "Job id=3 name=printing username=u format=image/png state=5\n"
      "Job id=4 name=held username=u format=image/png state=4\n"
      "Job id=5 name=stopped username=u format=image/png state=8\n"
      "Job id=6 name=canceled username=u format=image/png state=7\n"
      "</Printer>\n"
      "<Printer did=\"\" driver=\"qmx415u\" id=\"2\" name=\"b\" uri=\"socket://k\">\n"
      "Job id=5 name=other-printer username=u format=image/png state=9\n"
      "</Printer>\n";
  // Printer 1's job 5 ended with the server's stop: the journal holds it.
  const std::string kept =
      app::finishedJobsOnly(state, [](int printer, int job) { return printer == 1 && job == 5; });
  EXPECT_EQ(kept,
            "DNSSDName app\n"
            "<Printer did=\"\" driver=\"qmx415u\" id=\"1\" name=\"a\" uri=\"socket://h\">\n"
            "NextJobId 9\n"
            "Job id=1 name=done username=u format=image/png state=9\n"
            "Job id=6 name=canceled username=u format=image/png state=7\n"
            "</Printer>\n"
            "<Printer did=\"\" driver=\"qmx415u\" id=\"2\" name=\"b\" uri=\"socket://k\">\n"
            "Job id=5 name=other-printer username=u format=image/png state=9\n"
            "</Printer>\n");
}

}  // namespace
