// Reaching a plug-in module's two exports: from a shared library loaded at
// run time (dlopen; LoadLibraryW on Windows), or from a copy linked into the
// calling program.
#ifndef QMX_HOST_MODULE_LOADER_H_
#define QMX_HOST_MODULE_LOADER_H_

#include <memory>
#include <string>

#include "printsys/printsys.h"

namespace host {

using GetClassObjectFn = HRESULT(QMX_STDCALL*)(REFCLSID rclsid, REFIID riid, void** ppv);
using CanUnloadNowFn = HRESULT(QMX_STDCALL*)();

class PluginModule {
 public:
  // Loads the library and finds both exports; null with *error set when
  // either step fails. The library is unloaded when the module is destroyed.
  static std::unique_ptr<PluginModule> load(const std::string& path, std::string* error);
  // Entry points of a module linked into this program; nothing is unloaded.
  static std::unique_ptr<PluginModule> fromEntryPoints(GetClassObjectFn getClassObject,
                                                       CanUnloadNowFn canUnloadNow);

  ~PluginModule();
  PluginModule(const PluginModule&) = delete;
  PluginModule& operator=(const PluginModule&) = delete;

  HRESULT getClassObject(REFCLSID rclsid, REFIID riid, void** ppv) const { return getClassObject_(rclsid, riid, ppv); }
  HRESULT canUnloadNow() const { return canUnloadNow_(); }
  bool isLoadedLibrary() const { return library_ != nullptr; }

 private:
  PluginModule(void* library, GetClassObjectFn getClassObject, CanUnloadNowFn canUnloadNow)
      : library_(library), getClassObject_(getClassObject), canUnloadNow_(canUnloadNow) {}

  void* library_;
  GetClassObjectFn getClassObject_;
  CanUnloadNowFn canUnloadNow_;
};

}  // namespace host

#endif  // QMX_HOST_MODULE_LOADER_H_
