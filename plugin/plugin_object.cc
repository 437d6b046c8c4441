#include "plugin/plugin_object.h"

#include <cstring>

#include "platform/platform.h"
#include "plugin/hooks.h"
#include "plugin/module.h"
#include "settings/private_devmode.h"
#include "spool/job_control.h"
#include "spool/line_store.h"

namespace plugin {
namespace {

// The names GetImplementedMethod answers S_OK for, grouped by first letter:
// every slot except the IUnknown methods, PublishDriverInterface and
// GetImplementedMethod. Methods that answer E_NOTIMPL are listed all the same.
struct MethodGroup {
  char letter;
  const char* const* names;
  std::size_t count;
};

constexpr const char* kNamesC[] = {"CommandCallback", "Compression"};
constexpr const char* kNamesD[] = {"DisableDriver",      "DisablePDEV",       "DriverDMS",
                                   "DevMode",            "DownloadFontHeader", "DownloadCharGlyph"};
constexpr const char* kNamesE[] = {"EnableDriver", "EnablePDEV"};
constexpr const char* kNamesF[] = {"FilterGraphics"};
constexpr const char* kNamesG[] = {"GetInfo"};
constexpr const char* kNamesH[] = {"HalftonePattern"};
constexpr const char* kNamesI[] = {"ImageProcessing"};
constexpr const char* kNamesM[] = {"MemoryUsage"};
constexpr const char* kNamesO[] = {"OutputCharStr"};
constexpr const char* kNamesR[] = {"ResetPDEV"};
constexpr const char* kNamesS[] = {"SendFontCmd"};
constexpr const char* kNamesT[] = {"TextOutAsBitmap", "TTDownloadMethod", "TTYGetInfo"};

template <std::size_t N>
constexpr MethodGroup group(char letter, const char* const (&names)[N]) {
  return {letter, names, N};
}

constexpr MethodGroup kImplementedMethodNames[] = {
    group('C', kNamesC), group('D', kNamesD), group('E', kNamesE), group('F', kNamesF),
    group('G', kNamesG), group('H', kNamesH), group('I', kNamesI), group('M', kNamesM),
    group('O', kNamesO), group('R', kNamesR), group('S', kNamesS), group('T', kNamesT),
};

}  // namespace

bool isImplementedMethod(const char* name) {
  if (name == nullptr) return false;
  for (const MethodGroup& g : kImplementedMethodNames) {
    if (g.letter != name[0]) continue;
    for (std::size_t i = 0; i < g.count; ++i) {
      if (std::strcmp(g.names[i], name) == 0) return true;
    }
    return false;
  }
  return false;
}

PluginObject::PluginObject() { countObject(true); }

PluginObject::~PluginObject() {
  releaseDriverInterface();
  countObject(false);
}

void PluginObject::releaseDriverInterface() {
  if (driverInterface_ == nullptr) return;
  IUnknown* held = driverInterface_;
  driverInterface_ = nullptr;
  held->Release();
}

HRESULT QMX_STDCALL PluginObject::QueryInterface(REFIID riid, void** ppv) {
  if (ppv == nullptr) return printsys::kE_POINTER;
  if (absent(&riid)) {
    *ppv = nullptr;
    return printsys::kE_POINTER;
  }
  if (printsys::sameGuid(riid, printsys::kIID_IUnknown) || printsys::sameGuid(riid, printsys::kIID_IPrintOemUni)) {
    *ppv = static_cast<IPrintOemUni*>(this);
    static_cast<IUnknown*>(*ppv)->AddRef();
    return printsys::kS_OK;
  }
  *ppv = nullptr;
  return printsys::kE_NOINTERFACE;
}

ULONG QMX_STDCALL PluginObject::AddRef() { return static_cast<ULONG>(platform::atomicIncrement(&refCount_)); }

ULONG QMX_STDCALL PluginObject::Release() {
  std::int32_t remaining = platform::atomicDecrement(&refCount_);
  if (remaining != 0) return static_cast<ULONG>(remaining);
  delete this;
  return 0;
}

HRESULT QMX_STDCALL PluginObject::GetInfo(DWORD dwMode, PVOID pBuffer, DWORD cbSize, DWORD* pcbNeeded) {
  if (pcbNeeded == nullptr || (dwMode != printsys::kOEMGI_GETSIGNATURE && dwMode != printsys::kOEMGI_GETVERSION &&
                               dwMode != printsys::kOEMGI_GETPUBLISHERINFO)) {
    platform::setLastError(printsys::kERROR_INVALID_PARAMETER);
    return printsys::kE_FAIL;
  }
  // There is no publisher information to give; the size is answered anyway.
  if (dwMode == printsys::kOEMGI_GETPUBLISHERINFO) {
    *pcbNeeded = 8;
    return printsys::kE_FAIL;
  }
  *pcbNeeded = sizeof(DWORD);
  if (cbSize < sizeof(DWORD) || pBuffer == nullptr) {
    platform::setLastError(printsys::kERROR_INSUFFICIENT_BUFFER);
    return printsys::kE_FAIL;
  }
  const DWORD value = dwMode == printsys::kOEMGI_GETSIGNATURE ? kPluginSignature : kPluginVersion;
  std::memcpy(pBuffer, &value, sizeof value);
  return printsys::kS_OK;
}

HRESULT QMX_STDCALL PluginObject::DevMode(DWORD dwMode, OEMDMPARAM* pOemDMParam) {
  return settings::privateDevMode(dwMode, pOemDMParam);
}

HRESULT QMX_STDCALL PluginObject::EnableDriver(DWORD, DWORD, DRVENABLEDATA* pded) {
  enableDriver(pded);
  return printsys::kS_OK;
}

HRESULT QMX_STDCALL PluginObject::DisableDriver() {
  releaseDriverInterface();
  return printsys::kS_OK;
}

HRESULT QMX_STDCALL PluginObject::EnablePDEV(DEVOBJ*, WCHAR*, ULONG, HSURF*, ULONG, GDIINFO*, ULONG, DEVINFO*,
                                             DRVENABLEDATA* pded, PVOID* pDevOem) {
  return enablePdev(pded, pDevOem);
}

HRESULT QMX_STDCALL PluginObject::DisablePDEV(DEVOBJ* pdevobj) {
  disablePdev(pdevobj);
  return printsys::kS_OK;
}

// Each device keeps the hook array its own EnablePDEV built; nothing moves.
HRESULT QMX_STDCALL PluginObject::ResetPDEV(DEVOBJ*, DEVOBJ*) { return printsys::kS_OK; }

HRESULT QMX_STDCALL PluginObject::PublishDriverInterface(IUnknown* pIUnknown) {
  if (driverInterface_ != nullptr) return printsys::kS_OK;
  if (pIUnknown == nullptr) return printsys::kE_FAIL;
  void* obtained = nullptr;
  HRESULT result = pIUnknown->QueryInterface(printsys::kIID_IPrintOemDriverUni, &obtained);
  if (result < 0) return printsys::kE_FAIL;  // driverInterface_ stays null
  driverInterface_ = static_cast<IUnknown*>(obtained);
  return printsys::kS_OK;
}

HRESULT QMX_STDCALL PluginObject::GetImplementedMethod(char* pMethodName) {
  return isImplementedMethod(pMethodName) ? printsys::kS_OK : printsys::kS_FALSE;
}

HRESULT QMX_STDCALL PluginObject::DriverDMS(PVOID, PVOID, DWORD, DWORD*) { return printsys::kE_NOTIMPL; }

HRESULT QMX_STDCALL PluginObject::CommandCallback(DEVOBJ* pdevobj, DWORD dwCallbackID, DWORD, DWORD*,
                                                  INT* piResult) {
  if (piResult != nullptr) *piResult = 0;
  spool::commandCallback(pdevobj, dwCallbackID);
  return printsys::kS_OK;
}

// The page arrives line by line through FilterGraphics; bitmaps are not
// processed here, and the result pointer is left alone.
HRESULT QMX_STDCALL PluginObject::ImageProcessing(DEVOBJ*, BYTE*, BITMAPINFOHEADER*, BYTE*, DWORD, IPParams*,
                                                  BYTE**) {
  return printsys::kS_OK;
}

HRESULT QMX_STDCALL PluginObject::FilterGraphics(DEVOBJ*, BYTE* pBuf, DWORD dwLen) {
  // A missing buffer still counts as a call, but brings no bytes.
  spool::storeRasterLine(pBuf, pBuf == nullptr ? 0 : dwLen);
  return printsys::kS_OK;
}

HRESULT QMX_STDCALL PluginObject::Compression(DEVOBJ*, BYTE*, BYTE*, DWORD, DWORD, INT*) {
  return printsys::kE_NOTIMPL;
}

HRESULT QMX_STDCALL PluginObject::HalftonePattern(DEVOBJ*, BYTE*, DWORD, DWORD, DWORD, DWORD, BYTE*, DWORD) {
  return printsys::kE_NOTIMPL;
}

HRESULT QMX_STDCALL PluginObject::MemoryUsage(DEVOBJ*, OEMMEMORYUSAGE*) { return printsys::kE_NOTIMPL; }

HRESULT QMX_STDCALL PluginObject::TTYGetInfo(DEVOBJ*, DWORD, PVOID, DWORD, DWORD*) { return printsys::kE_NOTIMPL; }

HRESULT QMX_STDCALL PluginObject::DownloadFontHeader(DEVOBJ*, UNIFONTOBJ*, DWORD*) { return printsys::kE_NOTIMPL; }

HRESULT QMX_STDCALL PluginObject::DownloadCharGlyph(DEVOBJ*, UNIFONTOBJ*, HGLYPH, DWORD*, DWORD*) {
  return printsys::kE_NOTIMPL;
}

HRESULT QMX_STDCALL PluginObject::TTDownloadMethod(DEVOBJ*, UNIFONTOBJ*, DWORD*) { return printsys::kE_NOTIMPL; }

HRESULT QMX_STDCALL PluginObject::OutputCharStr(DEVOBJ*, UNIFONTOBJ*, DWORD, DWORD, PVOID) {
  return printsys::kE_NOTIMPL;
}

HRESULT QMX_STDCALL PluginObject::SendFontCmd(DEVOBJ*, UNIFONTOBJ*, FINVOCATION*) { return printsys::kE_NOTIMPL; }

HRESULT QMX_STDCALL PluginObject::TextOutAsBitmap(SURFOBJ*, STROBJ*, FONTOBJ*, CLIPOBJ*, RECTL*, RECTL*, BRUSHOBJ*,
                                                  BRUSHOBJ*, POINTL*, MIX) {
  return printsys::kE_NOTIMPL;
}

}  // namespace plugin
