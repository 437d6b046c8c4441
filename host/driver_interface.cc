#include "host/driver_interface.h"

namespace host {

HRESULT QMX_STDCALL DriverInterface::QueryInterface(REFIID riid, void** ppv) {
  ++queries_;
  if (ppv == nullptr) return printsys::kE_POINTER;
  const bool driver = printsys::sameGuid(riid, printsys::kIID_IPrintOemDriverUni);
  if (driver) ++driverQueries_;
  if (printsys::sameGuid(riid, printsys::kIID_IUnknown) || (driver && offers_)) {
    *ppv = static_cast<IUnknown*>(this);
    AddRef();
    return printsys::kS_OK;
  }
  *ppv = nullptr;
  return printsys::kE_NOINTERFACE;
}

ULONG QMX_STDCALL DriverInterface::AddRef() { return static_cast<ULONG>(++addRefs_ - releases_); }

ULONG QMX_STDCALL DriverInterface::Release() { return static_cast<ULONG>(addRefs_ - ++releases_); }

}  // namespace host
