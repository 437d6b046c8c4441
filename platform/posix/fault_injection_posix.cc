// The test controls of fault_injection.h and the hooks through which the
// POSIX platform layer consults them. Compiled into test builds only.
#include <mutex>
#include <string>
#include <vector>

#include "platform/fault_injection.h"
#include "platform/posix/fault_hooks.h"

namespace platform {
namespace {

// Debug texts kept, so that a job of many lines cannot grow them unbounded.
constexpr std::size_t kMaxDebugTexts = 100000;

struct Faults {
  int zeroedCountdown = 0;
  int zeroedFailFrom = 0;
  int workCountdown = 0;
  std::vector<int> fileOpsFailing;  // numbers of the file operations that fail
  bool keepAwakeFails = false;
  WString failPath;
  WString failOpenFragment;
  std::string documentsFolder;
  std::string profileFolder;
  std::vector<WString> debugTexts;
  int zeroedAllocations = 0;
  int liveZeroed = 0;
  int liveWork = 0;
  int openFiles = 0;
  int fileOperations = 0;
  int keepAwakeCalls = 0;
};

Faults& faults() {
  static Faults f;
  return f;
}

// Counts a step down; true when it reaches the failing call.
bool countdownHits(int& countdown) {
  if (countdown <= 0) return false;
  return --countdown == 0;
}

}  // namespace

namespace hooks {

bool zeroedAllocationFails() {
  Faults& f = faults();
  ++f.zeroedAllocations;
  return countdownHits(f.zeroedCountdown) || (f.zeroedFailFrom > 0 && f.zeroedAllocations >= f.zeroedFailFrom);
}

bool workAllocationFails() { return countdownHits(faults().workCountdown); }

bool fileOperationFails() {
  Faults& f = faults();
  ++f.fileOperations;
  for (int n : f.fileOpsFailing)
    if (n == f.fileOperations) return true;
  return false;
}

bool pathFails(const WChar* path) {
  const Faults& f = faults();
  return !f.failPath.empty() && f.failPath == path;
}

bool openFails(const WChar* path) {
  if (fileOperationFails() || pathFails(path)) return true;
  const Faults& f = faults();
  return !f.failOpenFragment.empty() && WString(path).find(f.failOpenFragment) != WString::npos;
}

bool keepAwakeFails() {
  Faults& f = faults();
  ++f.keepAwakeCalls;
  return f.keepAwakeFails;
}

void countBlock(bool zeroed, int change) { (zeroed ? faults().liveZeroed : faults().liveWork) += change; }
void countOpenFile(int change) { faults().openFiles += change; }
std::string documentsFolderOverride() { return faults().documentsFolder; }
std::string profileFolderOverride() { return faults().profileFolder; }

void recordDebugText(const WChar* text) {
  static std::mutex mutex;
  std::lock_guard<std::mutex> lock(mutex);
  Faults& f = faults();
  if (f.debugTexts.size() < kMaxDebugTexts) f.debugTexts.emplace_back(text);
}

}  // namespace hooks

namespace testing {

void reset() {
  Faults& f = faults();
  int liveZeroed = f.liveZeroed, liveWork = f.liveWork, open = f.openFiles;
  f = Faults{};
  // Live counts describe the process, not the test: keep them.
  f.liveZeroed = liveZeroed;
  f.liveWork = liveWork;
  f.openFiles = open;
}

void failZeroedAllocation(int nth) { faults().zeroedCountdown = nth; }
void failZeroedAllocationsFrom(int nth) {
  faults().zeroedFailFrom = nth <= 0 ? 0 : faults().zeroedAllocations + nth;
}
void failWorkAllocation(int nth) { faults().workCountdown = nth; }
void failFileOperationsOn(const WString& path) { faults().failPath = path; }
void failOpensContaining(const WString& fragment) { faults().failOpenFragment = fragment; }
void failFileOperation(int nth) { failFileOperations({nth}); }
void failFileOperations(std::initializer_list<int> nths) {
  Faults& f = faults();
  f.fileOpsFailing.clear();
  for (int nth : nths)
    if (nth > 0) f.fileOpsFailing.push_back(f.fileOperations + nth);
}
void failKeepAwake(bool fail) { faults().keepAwakeFails = fail; }
void setDocumentsFolder(const std::string& utf8Path) { faults().documentsFolder = utf8Path; }
void setProfileFolder(const std::string& utf8Path) { faults().profileFolder = utf8Path; }
const std::vector<WString>& debugTexts() { return faults().debugTexts; }
int zeroedAllocations() { return faults().zeroedAllocations; }
int liveZeroedBlocks() { return faults().liveZeroed; }
int liveWorkBlocks() { return faults().liveWork; }
int openFiles() { return faults().openFiles; }
int fileOperations() { return faults().fileOperations; }
int keepAwakeCalls() { return faults().keepAwakeCalls; }

}  // namespace testing
}  // namespace platform
