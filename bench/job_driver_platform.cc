// The platform set-up of the benchmarks, apart from the device so that the
// peak-memory program links without the file-system library.
#include "bench/job_driver.h"

#include <stdlib.h>

#include <filesystem>

#include "platform/fault_injection.h"

namespace bench {

BenchPlatform::BenchPlatform() {
  std::string tmpl = (std::filesystem::temp_directory_path() / "qmx-bench-XXXXXX").string();
  if (mkdtemp(tmpl.data()) != nullptr) folder_ = tmpl;
  resetPlatform();
}

BenchPlatform::~BenchPlatform() {
  platform::testing::reset();
  std::error_code ec;
  if (!folder_.empty()) std::filesystem::remove_all(folder_, ec);
}

void BenchPlatform::resetPlatform() {
  platform::testing::reset();
  platform::testing::setProfileFolder("/nonexistent/qmx415u-bench-ini");
  if (!folder_.empty()) platform::testing::setDocumentsFolder(folder_);
}

}  // namespace bench
