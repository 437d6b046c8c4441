#include <sys/stat.h>

#include <gtest/gtest.h>

#include <fstream>
#include <thread>

#include "platform/fault_injection.h"
#include "platform/platform.h"
#include "testing/test_support.h"

namespace {

using platform::FileAccess;
using platform::FileDisposition;

class PlatformPosixTest : public ::testing::Test {
 protected:
  void SetUp() override { platform::testing::reset(); }
  void TearDown() override { platform::testing::reset(); }
  // Names as the plug-in forms them: folders joined by a backslash.
  platform::WString name(const std::string& file) const {
    return platform::fromUtf8(folder.path().string() + "\\" + file);
  }
  std::string native(const std::string& file) const { return (folder.path() / file).string(); }
  testsupport::TempFolder folder;
};

TEST_F(PlatformPosixTest, DispositionsBehaveLikeTheirWin32Namesakes) {
  auto a = name("a");
  platform::FileHandle f = platform::openFile(a.c_str(), FileAccess::kRead, FileDisposition::kCreateNew);
  ASSERT_NE(f, platform::kInvalidFile);
  platform::closeFile(f);
  EXPECT_EQ(platform::openFile(a.c_str(), FileAccess::kRead, FileDisposition::kCreateNew), platform::kInvalidFile);

  std::ofstream(native("a")) << "old contents";
  f = platform::openFile(a.c_str(), FileAccess::kWrite, FileDisposition::kOpenAlways);
  ASSERT_TRUE(platform::seekToEnd(f));
  std::uint32_t n = 0;
  ASSERT_TRUE(platform::writeFile(f, "+", 1, &n));
  platform::closeFile(f);
  std::string text;
  std::getline(std::ifstream(native("a")), text);
  EXPECT_EQ(text, "old contents+");

  f = platform::openFile(a.c_str(), FileAccess::kWrite, FileDisposition::kCreateAlways);
  platform::closeFile(f);
  EXPECT_EQ(std::filesystem::file_size(native("a")), 0u);

  struct stat st {};
  ASSERT_EQ(stat(native("a").c_str(), &st), 0);
  // Created by CREATE_NEW above: owner-only whatever the umask allows.
  EXPECT_EQ(st.st_mode & 0077, 0u);
  EXPECT_EQ(platform::testing::openFiles(), 0);
}

// A name planted in a shared spool folder (a symbolic or hard link to
// another file) is refused, and the file it leads to is not emptied.
TEST_F(PlatformPosixTest, LinksUnderAPageFileNameAreRefusedAndLeftWhole) {
  std::ofstream(native("victim")) << "precious";
  std::filesystem::create_symlink(native("victim"), native("soft"));
  std::filesystem::create_hard_link(native("victim"), native("hard"));
  for (const char* planted : {"soft", "hard"}) {
    for (FileDisposition d : {FileDisposition::kCreateAlways, FileDisposition::kOpenAlways}) {
      auto n = name(planted);
      EXPECT_EQ(platform::openFile(n.c_str(), FileAccess::kWrite, d), platform::kInvalidFile) << planted;
    }
  }
  EXPECT_EQ(std::filesystem::file_size(native("victim")), 8u);
}

TEST_F(PlatformPosixTest, MoveRefusesAnExistingTargetAndDeleteReportsMissingFiles) {
  std::ofstream(native("from")) << "x";
  std::ofstream(native("to")) << "y";
  EXPECT_FALSE(platform::moveFile(name("from").c_str(), name("to").c_str()));
  EXPECT_TRUE(platform::deleteFile(name("to").c_str()));
  EXPECT_FALSE(platform::deleteFile(name("to").c_str()));
  EXPECT_TRUE(platform::moveFile(name("from").c_str(), name("to").c_str()));
  EXPECT_EQ(folder.fileNames(), std::vector<std::string>{"to"});
}

TEST_F(PlatformPosixTest, ReadsReportZeroAtTheEnd) {
  std::ofstream(native("r")) << "abc";
  auto r = name("r");
  platform::FileHandle f = platform::openFile(r.c_str(), FileAccess::kRead, FileDisposition::kOpenAlways);
  char buf[8];
  std::uint32_t got = 0;
  EXPECT_TRUE(platform::readFile(f, buf, 8, &got));
  EXPECT_EQ(got, 3u);
  EXPECT_TRUE(platform::readFile(f, buf, 8, &got));
  EXPECT_EQ(got, 0u);
  platform::closeFile(f);
}

TEST_F(PlatformPosixTest, InjectedFaultsHitTheChosenCall) {
  platform::testing::failZeroedAllocation(2);
  void* first = platform::allocZeroed(8);
  EXPECT_NE(first, nullptr);
  EXPECT_EQ(platform::allocZeroed(8), nullptr);
  void* third = platform::allocZeroed(8);
  EXPECT_NE(third, nullptr);
  EXPECT_EQ(static_cast<unsigned char*>(third)[7], 0);
  platform::freeZeroed(first);
  platform::freeZeroed(third);

  auto p = name("p");
  platform::testing::failFileOperationsOn(p);
  EXPECT_EQ(platform::openFile(p.c_str(), FileAccess::kWrite, FileDisposition::kOpenAlways), platform::kInvalidFile);
  platform::testing::reset();
  platform::testing::failFileOperation(1);
  EXPECT_EQ(platform::openFile(p.c_str(), FileAccess::kWrite, FileDisposition::kOpenAlways), platform::kInvalidFile);
  platform::FileHandle f = platform::openFile(p.c_str(), FileAccess::kWrite, FileDisposition::kOpenAlways);
  EXPECT_NE(f, platform::kInvalidFile);
  platform::closeFile(f);
}

TEST_F(PlatformPosixTest, DocumentsFolderComesFromTheOverride) {
  platform::testing::setDocumentsFolder(folder.path().string());
  platform::WChar path[platform::kMaxPath];
  ASSERT_TRUE(platform::commonDocumentsFolder(path));
  EXPECT_EQ(platform::toUtf8(path, platform::wideLength(path)), folder.path().string());
  platform::testing::setDocumentsFolder(std::string(300, 'x'));
  EXPECT_FALSE(platform::commonDocumentsFolder(path));
  EXPECT_EQ(path[0], 0);
}

TEST_F(PlatformPosixTest, LastErrorIsPerThread) {
  platform::setLastError(87);
  std::uint32_t other = 1;
  std::thread([&] { other = platform::lastError(); }).join();
  EXPECT_EQ(platform::lastError(), 87u);
  EXPECT_EQ(other, 0u);
}

}  // namespace
