#include "app/app_paths.h"

#include <unistd.h>

namespace app {
namespace {

constexpr const char* kStateSuffix = ".state";

}  // namespace

std::string programBesideThis(const char* name, const char* installed) {
  char self[4096];
  const ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
  if (n > 0) {
    std::string path(self, static_cast<std::size_t>(n));
    path = path.substr(0, path.rfind('/') + 1) + name;
    if (access(path.c_str(), X_OK) == 0) return path;
  }
  return installed;
}

std::string besideStateFile(const std::string& stateFile, const char* suffix) {
  std::string base = stateFile;
  const std::string state = kStateSuffix;
  if (base.size() > state.size() && base.compare(base.size() - state.size(), state.size(), state) == 0)
    base.resize(base.size() - state.size());
  return base + suffix;
}

}  // namespace app
