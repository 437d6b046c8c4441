// The device record a session hands the plug-in (internal to host/).
#ifndef QMX_HOST_SESSION_DEVICE_H_
#define QMX_HOST_SESSION_DEVICE_H_

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

#include "host/byte_sink.h"
#include "host/print_session.h"

namespace host {

// "CALL answered 0x80004005": how a refused call is reported.
inline std::string answered(const std::string& call, HRESULT result) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%08X", static_cast<unsigned>(result));
  return call + " answered " + text;
}

// The device as the host keeps it. The plug-in reads only pdevOEM,
// pPublicDM, pOEMDM and pDrvProcs; hEngine, the print system's own handle,
// leads the spool-write callback back here.
struct PrintSession::Device {
  DEVOBJ devobj{};
  DRVPROCS procs{};
  DEVMODEW publicDM{};
  Record record{};
  // The running job's sink; null between jobs, when writes are dropped.
  ByteSink* sink = nullptr;
  bool sinkFailed = false;
  std::size_t groups = 0;
  std::uint64_t bytes = 0;

  Device() {
    devobj.dwSize = sizeof(DEVOBJ);
    devobj.hEngine = this;
    devobj.pPublicDM = &publicDM;
    devobj.pOEMDM = record.data();
    devobj.pDrvProcs = &procs;
    procs.DrvWriteSpoolBuf = &writeSpoolBuf;
    const char name[] = "QMX415U";
    for (std::size_t i = 0; i + 1 < sizeof name; ++i) publicDM.dmDeviceName[i] = static_cast<WCHAR>(name[i]);
    publicDM.dmSize = sizeof(DEVMODEW);
    publicDM.dmDriverExtra = static_cast<WORD>(kRecordBytes);
    publicDM.dmFields = 0x00000004;  // DM_PAPERLENGTH
  }

  // Each call is one byte group, handed on as it came.
  static DWORD QMX_APIENTRY writeSpoolBuf(DEVOBJ* pdevobj, PVOID pBuffer, DWORD cbSize) {
    if (pdevobj == nullptr || pdevobj->hEngine == nullptr) return 0;
    auto* device = static_cast<Device*>(pdevobj->hEngine);
    const auto* bytes = static_cast<const std::uint8_t*>(pBuffer);
    if (bytes == nullptr) cbSize = 0;
    if (device->sink == nullptr || device->sinkFailed) return 0;
    if (!device->sink->write(bytes, cbSize)) {
      device->sinkFailed = true;
      return 0;
    }
    ++device->groups;
    device->bytes += cbSize;
    return cbSize;
  }
};

}  // namespace host

#endif  // QMX_HOST_SESSION_DEVICE_H_
