// The class factory of the rendering plug-in class.
#ifndef QMX_PLUGIN_CLASS_FACTORY_H_
#define QMX_PLUGIN_CLASS_FACTORY_H_

#include <cstdint>

#include "printsys/printsys.h"

namespace plugin {

// Every factory is alike: it holds nothing but its reference count, does not
// count as a live object and does not lock the module. Lives from
// DllGetClassObject to its last Release.
class PluginClassFactory final : public IClassFactory {
 public:
  PluginClassFactory() = default;
  PluginClassFactory(const PluginClassFactory&) = delete;
  PluginClassFactory& operator=(const PluginClassFactory&) = delete;

  HRESULT QMX_STDCALL QueryInterface(REFIID riid, void** ppv) override;
  ULONG QMX_STDCALL AddRef() override;
  ULONG QMX_STDCALL Release() override;
  // Aggregation is refused. A failed QueryInterface destroys the new object.
  HRESULT QMX_STDCALL CreateInstance(IUnknown* pUnkOuter, REFIID riid, void** ppv) override;
  // Unbounded either way: an unmatched unlock takes the count below zero.
  HRESULT QMX_STDCALL LockServer(BOOL fLock) override;

 private:
  ~PluginClassFactory() = default;

  std::int32_t refCount_ = 1;
};

}  // namespace plugin

#endif  // QMX_PLUGIN_CLASS_FACTORY_H_
