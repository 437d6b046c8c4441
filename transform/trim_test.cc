#include "transform/trim.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>

#include "platform/fault_injection.h"
#include "jobstate/job_state.h"
#include "testing/test_support.h"

namespace {

using testsupport::Bytes;

Bytes pageOf(std::size_t lines, std::initializer_list<std::pair<std::size_t, std::uint8_t>> ink) {
  Bytes page(lines * 72, 0);
  for (auto [offset, value] : ink) page[offset] = value;
  return page;
}

TEST(TrimPageBufferTest, KeepsLinesUpToTheLastInk) {
  struct {
    const char* name;
    Bytes page;
    std::uint32_t expected;
  } cases[] = {
      {"no lines", {}, 0},
      {"all blank", pageOf(5, {}), 0},
      {"one byte in line 3", pageOf(5, {{2 * 72 + 10, 0x01}}), 3},
      {"last byte of line 2", pageOf(5, {{2 * 72 - 1, 0x80}}), 2},
      {"first byte of line 4", pageOf(5, {{3 * 72, 0x80}}), 4},
      {"no trailing blanks", pageOf(3, {{3 * 72 - 1, 1}}), 3},
      {"blank lines inside and on top remain", pageOf(9, {{2 * 72, 1}, {6 * 72 + 5, 1}}), 7},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(transform::trimPageBuffer(c.page.data(), static_cast<std::uint32_t>(c.page.size() / 72)), c.expected)
        << c.name;
  }
}

class TrimPageFileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    testsupport::resetAll();
    setName(jobstate::jobState.pageFilePath, pagePath());
    setName(jobstate::jobState.scratchFilePath, (folder.path() / "QMX$$0001.TMP").string());
  }
  void TearDown() override { testsupport::resetAll(); }

  static void setName(platform::WChar* name, const std::string& utf8) {
    platform::WString wide = platform::fromUtf8(utf8);
    std::copy(wide.begin(), wide.end(), name);
    name[wide.size()] = 0;
  }
  std::string pagePath() const { return (folder.path() / "QMX$$0001.001").string(); }
  void writePage(const Bytes& bytes) {
    std::ofstream(pagePath(), std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()), bytes.size());
  }
  Bytes readPage() const {
    std::ifstream in(pagePath(), std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), {});
  }

  testsupport::TempFolder folder;
};

TEST_F(TrimPageFileTest, MatchesTheMemoryFormAndLeavesNoScratch) {
  const Bytes pages[] = {
      pageOf(5, {{2 * 72 + 10, 0x01}}),  // lastInk 155: three lines kept
      pageOf(5, {}),
      pageOf(4, {{4 * 72 - 1, 0xFF}}),
      pageOf(300, {{0, 1}, {200 * 72 + 71, 2}}),
      {},
  };
  for (const Bytes& page : pages) {
    writePage(page);
    transform::trimPageFile();
    std::uint32_t kept = transform::trimPageBuffer(page.data(), static_cast<std::uint32_t>(page.size() / 72));
    EXPECT_EQ(readPage(), Bytes(page.begin(), page.begin() + kept * 72));
    EXPECT_EQ(folder.fileNames(), std::vector<std::string>{"QMX$$0001.001"});
  }
}

TEST_F(TrimPageFileTest, PartialLastLineIsPaddedToAWholeLine) {
  Bytes page = pageOf(2, {{10, 1}});
  page.resize(72 + 40, 0x00);
  page[72 + 5] = 0x09;
  writePage(page);
  transform::trimPageFile();
  Bytes expected = pageOf(2, {{10, 1}, {72 + 5, 0x09}});
  EXPECT_EQ(readPage(), expected);
}

TEST_F(TrimPageFileTest, PageStaysWholeWhenAnyStepFails) {
  Bytes page = pageOf(6, {{72, 1}});
  // Every file operation of the trim failing in turn.
  for (int nth = 1; nth <= 12; ++nth) {
    writePage(page);
    platform::testing::reset();
    platform::testing::failFileOperation(nth);
    transform::trimPageFile();
    platform::testing::reset();
    Bytes after = readPage();
    EXPECT_TRUE(after == page || after == Bytes(page.begin(), page.begin() + 2 * 72)) << "operation " << nth;
    EXPECT_EQ(folder.fileNames(), std::vector<std::string>{"QMX$$0001.001"}) << "operation " << nth;
  }
}

// Two steps failing together, every pair: whatever the page file and the
// scratch file end up as, the name the page is sent from holds the page,
// trimmed or not, and a scratch file left on disk is marked for the end of
// the job to delete.
TEST_F(TrimPageFileTest, PageIsNeverLostWhenTwoStepsFail) {
  Bytes page = pageOf(6, {{72, 1}});
  Bytes trimmed(page.begin(), page.begin() + 2 * 72);
  const std::string scratchName = "QMX$$0001.TMP";
  for (int first = 1; first <= 14; ++first) {
    for (int second = first + 1; second <= 15; ++second) {
      writePage(page);
      setName(jobstate::jobState.pageFilePath, pagePath());
      jobstate::jobState.scratchOnDisk = false;
      platform::testing::reset();
      platform::testing::failFileOperations({first, second});
      transform::trimPageFile();
      platform::testing::reset();
      std::string sentFrom = platform::toUtf8(jobstate::jobState.pageFilePath,
                                              platform::wideLength(jobstate::jobState.pageFilePath));
      std::ifstream in(sentFrom, std::ios::binary);
      Bytes after(std::istreambuf_iterator<char>(in), {});
      EXPECT_TRUE(after == page || after == trimmed) << "operations " << first << " and " << second;
      std::vector<std::string> names = folder.fileNames();
      bool scratchLeft = std::find(names.begin(), names.end(), scratchName) != names.end();
      EXPECT_EQ(scratchLeft, jobstate::jobState.scratchOnDisk) << "operations " << first << " and " << second;
      for (const std::string& name : names) std::filesystem::remove(folder.path() / name);
    }
  }
}

// The word-at-a-time scans against where the ink actually is: one inked
// byte at every place of the last lines, on pages just under, at and over
// the eight-line stride and the 9216-byte read.
TEST(TrimPageBufferTest, KeepsTheLineOfTheLastInkWhereverItIs) {
  for (std::size_t lines : {1u, 7u, 8u, 9u, 17u, 127u, 128u, 129u, 130u}) {
    std::size_t from = lines > 10 ? (lines - 10) * 72 : 0;
    for (std::size_t ink = from; ink < lines * 72; ++ink) {
      Bytes page = pageOf(lines, {{ink, 0x01}, {ink / 2, 0x80}});
      ASSERT_EQ(transform::trimPageBuffer(page.data(), static_cast<std::uint32_t>(lines)), ink / 72 + 1)
          << lines << " lines, ink at " << ink;
    }
    Bytes blank = pageOf(lines, {});
    EXPECT_EQ(transform::trimPageBuffer(blank.data(), static_cast<std::uint32_t>(lines)), 0u);
  }
}

TEST_F(TrimPageFileTest, KeepsTheLineOfTheLastInkWhereverItIs) {
  // Files of whole lines and files ending inside a line; the last read of
  // 130 lines delivers 144 bytes after the first 9216.
  for (std::size_t bytes : {72u * 130u, 72u * 130u + 5u, 72u * 3u + 40u, 72u * 2u + 1u}) {
    for (std::size_t ink : {std::size_t{0}, bytes / 2, bytes - 80, bytes - 73, bytes - 72, bytes - 9, bytes - 8,
                            bytes - 2, bytes - 1}) {
      Bytes page(bytes, 0);
      page[ink] = 0x40;
      writePage(page);
      transform::trimPageFile();
      Bytes expected = pageOf(ink / 72 + 1, {{ink, 0x40}});
      ASSERT_EQ(readPage(), expected) << bytes << " bytes, ink at " << ink;
    }
  }
}

}  // namespace
