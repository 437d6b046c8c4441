#include "host/module_loader.h"

#if defined(_WIN32)
#include "platform/wide.h"
#else
#include <dlfcn.h>
#endif

namespace host {
namespace {

#if defined(_WIN32)
void* openLibrary(const std::string& path, std::string* error) {
  platform::WString wide = platform::fromUtf8(path);
  HMODULE module = LoadLibraryW(wide.c_str());
  if (module == nullptr && error != nullptr)
    *error = "cannot load " + path + " (error " + std::to_string(GetLastError()) + ")";
  return reinterpret_cast<void*>(module);
}
void* findSymbol(void* library, const char* name) {
  return reinterpret_cast<void*>(GetProcAddress(static_cast<HMODULE>(library), name));
}
void closeLibrary(void* library) { FreeLibrary(static_cast<HMODULE>(library)); }
#else
void* openLibrary(const std::string& path, std::string* error) {
  // RTLD_LOCAL: the module's symbols must not stand in for the program's.
  void* library = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (library == nullptr && error != nullptr) {
    const char* reason = dlerror();
    *error = "cannot load " + path + ": " + (reason != nullptr ? reason : "unknown error");
  }
  return library;
}
void* findSymbol(void* library, const char* name) { return dlsym(library, name); }
void closeLibrary(void* library) { dlclose(library); }
#endif

}  // namespace

std::unique_ptr<PluginModule> PluginModule::load(const std::string& path, std::string* error) {
  void* library = openLibrary(path, error);
  if (library == nullptr) return nullptr;
  auto getClassObject = reinterpret_cast<GetClassObjectFn>(findSymbol(library, "DllGetClassObject"));
  auto canUnloadNow = reinterpret_cast<CanUnloadNowFn>(findSymbol(library, "DllCanUnloadNow"));
  if (getClassObject == nullptr || canUnloadNow == nullptr) {
    if (error != nullptr) *error = path + " does not export DllGetClassObject and DllCanUnloadNow";
    closeLibrary(library);
    return nullptr;
  }
  return std::unique_ptr<PluginModule>(new PluginModule(library, getClassObject, canUnloadNow));
}

std::unique_ptr<PluginModule> PluginModule::fromEntryPoints(GetClassObjectFn getClassObject,
                                                            CanUnloadNowFn canUnloadNow) {
  if (getClassObject == nullptr || canUnloadNow == nullptr) return nullptr;
  return std::unique_ptr<PluginModule>(new PluginModule(nullptr, getClassObject, canUnloadNow));
}

PluginModule::~PluginModule() {
  if (library_ != nullptr) closeLibrary(library_);
}

}  // namespace host
