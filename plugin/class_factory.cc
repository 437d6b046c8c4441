#include "plugin/class_factory.h"

#include "platform/platform.h"
#include "plugin/module.h"
#include "plugin/plugin_object.h"

namespace plugin {

HRESULT QMX_STDCALL PluginClassFactory::QueryInterface(REFIID riid, void** ppv) {
  if (ppv == nullptr) return printsys::kE_POINTER;
  if (absent(&riid)) {
    *ppv = nullptr;
    return printsys::kE_POINTER;
  }
  if (printsys::sameGuid(riid, printsys::kIID_IUnknown) || printsys::sameGuid(riid, printsys::kIID_IClassFactory)) {
    *ppv = static_cast<IClassFactory*>(this);
    static_cast<IUnknown*>(*ppv)->AddRef();
    return printsys::kS_OK;
  }
  *ppv = nullptr;
  return printsys::kE_NOINTERFACE;
}

ULONG QMX_STDCALL PluginClassFactory::AddRef() {
  return static_cast<ULONG>(platform::atomicIncrement(&refCount_));
}

ULONG QMX_STDCALL PluginClassFactory::Release() {
  std::int32_t remaining = platform::atomicDecrement(&refCount_);
  // The decrement's own result: reading the count again could race with
  // the release that frees the object.
  if (remaining != 0) return static_cast<ULONG>(remaining);
  delete this;
  return 0;
}

HRESULT QMX_STDCALL PluginClassFactory::CreateInstance(IUnknown* pUnkOuter, REFIID riid, void** ppv) {
  if (ppv == nullptr || absent(&riid)) return printsys::kE_POINTER;
  if (pUnkOuter != nullptr) return printsys::kCLASS_E_NOAGGREGATION;
  auto* object = makeFrameObject<PluginObject>();
  if (object == nullptr) return printsys::kE_OUTOFMEMORY;
  HRESULT result = object->QueryInterface(riid, ppv);
  object->Release();
  return result;
}

HRESULT QMX_STDCALL PluginClassFactory::LockServer(BOOL fLock) {
  countLock(fLock != 0);
  return printsys::kS_OK;
}

}  // namespace plugin
