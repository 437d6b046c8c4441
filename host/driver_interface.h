// The print system's driver interface as the host hands it to the plug-in in
// PublishDriverInterface. It only counts: the plug-in keeps it and releases
// it, and never calls anything else on it.
#ifndef QMX_HOST_DRIVER_INTERFACE_H_
#define QMX_HOST_DRIVER_INTERFACE_H_

#include <cstdint>

#include "printsys/printsys.h"

namespace host {

// Owned by the host, not by its reference count: Release never frees it.
class DriverInterface final : public IUnknown {
 public:
  // offersDriverInterface false: answers IUnknown only, as an object that is
  // not the driver would.
  explicit DriverInterface(bool offersDriverInterface = true) : offers_(offersDriverInterface) {}
  DriverInterface(const DriverInterface&) = delete;
  DriverInterface& operator=(const DriverInterface&) = delete;

  HRESULT QMX_STDCALL QueryInterface(REFIID riid, void** ppv) override;
  ULONG QMX_STDCALL AddRef() override;
  ULONG QMX_STDCALL Release() override;

  int queries() const { return queries_; }                  // QueryInterface calls
  int driverQueries() const { return driverQueries_; }      // of them, for IID_IPrintOemDriverUni
  int addRefs() const { return addRefs_; }
  int releases() const { return releases_; }
  // References handed out and not yet released.
  int outstanding() const { return addRefs_ - releases_; }

 private:
  bool offers_;
  int queries_ = 0;
  int driverQueries_ = 0;
  int addRefs_ = 0;
  int releases_ = 0;
};

}  // namespace host

#endif  // QMX_HOST_DRIVER_INTERFACE_H_
