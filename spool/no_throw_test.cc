// The print system's entry points must never see an exception. The POSIX
// platform layer builds strings (paths, profile text, debug texts); here
// every allocation throws while a job runs through the spine, and the calls
// must still return, answering the failure the way a failed call would.
#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <new>

#include "jobstate/job_state.h"
#include "platform/fault_injection.h"
#include "platform/platform.h"
#include "spool/job_control.h"
#include "spool/line_store.h"
#include "testing/test_support.h"

namespace {
bool allocationsThrow = false;
}  // namespace

void* operator new(std::size_t bytes) {
  if (allocationsThrow) throw std::bad_alloc();
  if (void* p = std::malloc(bytes == 0 ? 1 : bytes)) return p;
  throw std::bad_alloc();
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }

namespace {

// Runs `call` with every allocation throwing.
template <typename F>
void whileAllocationsThrow(F call) {
  allocationsThrow = true;
  try {
    call();
  } catch (...) {
    allocationsThrow = false;
    ADD_FAILURE() << "an exception left the call";
    return;
  }
  allocationsThrow = false;
}

TEST(NoThrowTest, PlatformCallsAnswerFailureInsteadOfThrowing) {
  testsupport::resetAll();
  testsupport::TempFolder folder;
  platform::testing::setDocumentsFolder(folder.path().string());
  platform::testing::setProfileFolder(folder.path().string());
  std::ofstream(folder.path() / "QMXI415U.INI") << "[QMX415U]\nImageLine=7\n";
  platform::WString file = platform::fromUtf8(folder.path().string() + "/QMX$$0001.001");
  platform::WChar documents[platform::kMaxPath];

  platform::FileHandle handle = platform::kInvalidFile;
  bool deleted = true, moved = true, found = true;
  std::uint32_t value = 0;
  whileAllocationsThrow([&] {
    handle = platform::openFile(file.c_str(), platform::FileAccess::kWrite, platform::FileDisposition::kCreateNew);
    deleted = platform::deleteFile(file.c_str());
    moved = platform::moveFile(file.c_str(), file.c_str());
    found = platform::commonDocumentsFolder(documents);
    value = platform::profileInt(QMX_WIDE("QMX415U"), QMX_WIDE("ImageLine"), 3350, QMX_WIDE("QMXI415U.INI"));
    platform::debugText(QMX_WIDE("text\n"));
  });
  EXPECT_EQ(handle, platform::kInvalidFile);
  EXPECT_FALSE(deleted);
  EXPECT_FALSE(moved);
  EXPECT_FALSE(found);
  EXPECT_EQ(documents[0], 0);
  EXPECT_EQ(value, 3350u) << "the default, as for a file that cannot be read";
  testsupport::resetAll();
}

// The printer's bytes, counted without allocating.
std::size_t bytesWritten = 0;
DWORD QMX_APIENTRY countBytes(DEVOBJ*, PVOID, DWORD size) {
  bytesWritten += size;
  return size;
}

TEST(NoThrowTest, FileSpooledJobRunsThroughWithoutExceptions) {
  testsupport::resetAll();
  testsupport::TempFolder folder;
  platform::testing::setDocumentsFolder(folder.path().string());
  testsupport::CapturingDevice device;
  device.publicDm.dmPaperLength = 12600;  // a long page: files
  DRVPROCS counting{};
  counting.DrvWriteSpoolBuf = &countBytes;
  device.devobj()->pDrvProcs = &counting;
  bytesWritten = 0;
  testsupport::Line line = testsupport::patternLine(1);
  auto call = [&](std::uint32_t id) { whileAllocationsThrow([&] { spool::commandCallback(device.devobj(), id); }); };
  auto store = [&] { whileAllocationsThrow([&] { spool::storeRasterLine(line.data(), 72); }); };
  call(spool::kStartJob);
  call(spool::kStartPage);
  store();
  call(spool::kEndPage);
  call(spool::kEndJob);
  EXPECT_GT(bytesWritten, 0u) << "the job still sent its preamble";
  EXPECT_TRUE(folder.fileNames().empty());
  testsupport::resetAll();
}

}  // namespace
