// The platform set-up of the benchmarks, apart from the device so that the
// peak-memory program links without the file-system library. The
// benchmarks run the plain platform layer, as shipped, so the folders are
// given the way a user gives them: through the environment.
#include "bench/job_driver.h"

#include <stdlib.h>

#include <filesystem>

namespace bench {

BenchPlatform::BenchPlatform() {
  std::string tmpl = (std::filesystem::temp_directory_path() / "qmx-bench-XXXXXX").string();
  if (mkdtemp(tmpl.data()) != nullptr) folder_ = tmpl;
  setenv(kProfileFolderEnv, kNoProfileFolder, 1);
  if (!folder_.empty()) setenv(kSpoolFolderEnv, folder_.c_str(), 1);
}

BenchPlatform::~BenchPlatform() {
  std::error_code ec;
  if (!folder_.empty()) std::filesystem::remove_all(folder_, ec);
}

}  // namespace bench
