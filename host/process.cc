#include "host/process.h"

#include <cstdlib>
#include <filesystem>
#include <mutex>
#include <system_error>

#if !defined(_WIN32)
#include <unistd.h>
#endif

namespace host {
namespace {

constexpr const char* kIniDirEnv = "QMX415U_INI_DIR";
constexpr const char* kSpoolDirEnv = "QMX415U_SPOOL_DIR";

void setEnvironment(const char* name, const std::string& value) {
#if defined(_WIN32)
  _putenv_s(name, value.c_str());
#else
  setenv(name, value.c_str(), 1);
#endif
}

// A new folder only this user can use.
std::string makePrivateFolder(std::string* error) {
  std::error_code ec;
  std::filesystem::path base = std::filesystem::temp_directory_path(ec);
  if (ec) base = ".";
#if defined(_WIN32)
  for (unsigned attempt = 0; attempt < 1000; ++attempt) {
    std::filesystem::path candidate = base / ("qmx415u-host-" + std::to_string(std::rand()));
    if (std::filesystem::create_directory(candidate, ec)) return candidate.string();
  }
#else
  std::string pattern = (base / "qmx415u-host-XXXXXX").string();
  if (mkdtemp(pattern.data()) != nullptr) return pattern;
#endif
  if (error != nullptr) *error = "cannot create a temporary folder under " + base.string();
  return {};
}

// The one configuration of the process; its private folder goes with it.
struct Registry {
  std::mutex mutex;
  bool configured = false;
  ProcessFolders folders;

  ~Registry() {
    if (configured && folders.ownsWorkDir) {
      std::error_code ec;
      std::filesystem::remove_all(folders.workDir, ec);
    }
  }
};

Registry& registry() {
  static Registry instance;
  return instance;
}

bool matches(const ProcessSettings& wanted, const ProcessFolders& current) {
  return (wanted.workDir.empty() || wanted.workDir == current.workDir) &&
         (wanted.spoolDir.empty() || wanted.spoolDir == current.spoolDir);
}

}  // namespace

bool configureProcess(const ProcessSettings& settings, std::string* error) {
  Registry& r = registry();
  std::lock_guard<std::mutex> lock(r.mutex);
  if (r.configured) {
    if (matches(settings, r.folders)) return true;
    if (error != nullptr)
      *error = "the process already uses work folder " + r.folders.workDir + " and spool folder " + r.folders.spoolDir;
    return false;
  }
  ProcessFolders folders;
  if (settings.workDir.empty()) {
    folders.workDir = makePrivateFolder(error);
    if (folders.workDir.empty()) return false;
    folders.ownsWorkDir = true;
  } else {
    folders.workDir = settings.workDir;
  }
  folders.spoolDir = settings.spoolDir.empty() ? folders.workDir : settings.spoolDir;
  setEnvironment(kIniDirEnv, folders.workDir);
  setEnvironment(kSpoolDirEnv, folders.spoolDir);
  r.folders = folders;
  r.configured = true;
  return true;
}

const ProcessFolders* processFolders(std::string* error) {
  Registry& r = registry();
  {
    std::lock_guard<std::mutex> lock(r.mutex);
    if (r.configured) return &r.folders;
  }
  if (!configureProcess({}, error)) return nullptr;
  return &r.folders;
}

}  // namespace host
