// The rendering plug-in object: IPrintOemUni with all of its 26 slots.
//
// The object carries no job state: CommandCallback and FilterGraphics work on
// the module-wide job of the spool layer, DevMode only on the records it is
// handed, and the hooks on the device's own UnidrvHookArray.
#ifndef QMX_PLUGIN_PLUGIN_OBJECT_H_
#define QMX_PLUGIN_PLUGIN_OBJECT_H_

#include <cstdint>

#include "printsys/printsys.h"

namespace plugin {

// The plug-in's signature and version, as GetInfo reports them.
inline constexpr DWORD kPluginSignature = 0x4D534654;
inline constexpr DWORD kPluginVersion = 1;

// True when GetImplementedMethod answers S_OK for the name.
bool isImplementedMethod(const char* name);

// Made only by the class factory; counted as a live object from construction
// to destruction. Holds one reference on the print system's driver interface
// from PublishDriverInterface until DisableDriver or destruction.
class PluginObject final : public IPrintOemUni {
 public:
  PluginObject();
  PluginObject(const PluginObject&) = delete;
  PluginObject& operator=(const PluginObject&) = delete;

  HRESULT QMX_STDCALL QueryInterface(REFIID riid, void** ppv) override;
  ULONG QMX_STDCALL AddRef() override;
  ULONG QMX_STDCALL Release() override;
  HRESULT QMX_STDCALL GetInfo(DWORD dwMode, PVOID pBuffer, DWORD cbSize, DWORD* pcbNeeded) override;
  HRESULT QMX_STDCALL DevMode(DWORD dwMode, OEMDMPARAM* pOemDMParam) override;
  HRESULT QMX_STDCALL EnableDriver(DWORD DriverVersion, DWORD cbSize, DRVENABLEDATA* pded) override;
  HRESULT QMX_STDCALL DisableDriver() override;
  HRESULT QMX_STDCALL EnablePDEV(DEVOBJ* pdevobj, WCHAR* pPrinterName, ULONG cPatterns, HSURF* phsurfPatterns,
                                 ULONG cjGdiInfo, GDIINFO* pGdiInfo, ULONG cjDevInfo, DEVINFO* pDevInfo,
                                 DRVENABLEDATA* pded, PVOID* pDevOem) override;
  HRESULT QMX_STDCALL DisablePDEV(DEVOBJ* pdevobj) override;
  HRESULT QMX_STDCALL ResetPDEV(DEVOBJ* pdevobjOld, DEVOBJ* pdevobjNew) override;
  HRESULT QMX_STDCALL PublishDriverInterface(IUnknown* pIUnknown) override;
  HRESULT QMX_STDCALL GetImplementedMethod(char* pMethodName) override;
  HRESULT QMX_STDCALL DriverDMS(PVOID pDevObj, PVOID pBuffer, DWORD cbSize, DWORD* pcbNeeded) override;
  HRESULT QMX_STDCALL CommandCallback(DEVOBJ* pdevobj, DWORD dwCallbackID, DWORD dwCount, DWORD* pdwParams,
                                      INT* piResult) override;
  HRESULT QMX_STDCALL ImageProcessing(DEVOBJ* pdevobj, BYTE* pSrcBitmap, BITMAPINFOHEADER* pBitmapInfoHeader,
                                      BYTE* pColorTable, DWORD dwCallbackID, IPParams* pIPParams,
                                      BYTE** ppbResult) override;
  HRESULT QMX_STDCALL FilterGraphics(DEVOBJ* pdevobj, BYTE* pBuf, DWORD dwLen) override;
  HRESULT QMX_STDCALL Compression(DEVOBJ* pdevobj, BYTE* pInBuf, BYTE* pOutBuf, DWORD dwInLen, DWORD dwOutLen,
                                  INT* piResult) override;
  HRESULT QMX_STDCALL HalftonePattern(DEVOBJ* pdevobj, BYTE* pHTPattern, DWORD dwHTPatternX, DWORD dwHTPatternY,
                                      DWORD dwHTNumPatterns, DWORD dwCallbackID, BYTE* pResource,
                                      DWORD dwResourceSize) override;
  HRESULT QMX_STDCALL MemoryUsage(DEVOBJ* pdevobj, OEMMEMORYUSAGE* pMemoryUsage) override;
  HRESULT QMX_STDCALL TTYGetInfo(DEVOBJ* pdevobj, DWORD dwInfoIndex, PVOID pOutputBuf, DWORD dwSize,
                                 DWORD* pcbcNeeded) override;
  HRESULT QMX_STDCALL DownloadFontHeader(DEVOBJ* pdevobj, UNIFONTOBJ* pUFObj, DWORD* pdwResult) override;
  HRESULT QMX_STDCALL DownloadCharGlyph(DEVOBJ* pdevobj, UNIFONTOBJ* pUFObj, HGLYPH hGlyph, DWORD* pdwWidth,
                                        DWORD* pdwResult) override;
  HRESULT QMX_STDCALL TTDownloadMethod(DEVOBJ* pdevobj, UNIFONTOBJ* pUFObj, DWORD* pdwResult) override;
  HRESULT QMX_STDCALL OutputCharStr(DEVOBJ* pdevobj, UNIFONTOBJ* pUFObj, DWORD dwType, DWORD dwCount,
                                    PVOID pGlyph) override;
  HRESULT QMX_STDCALL SendFontCmd(DEVOBJ* pdevobj, UNIFONTOBJ* pUFObj, FINVOCATION* pFInv) override;
  HRESULT QMX_STDCALL TextOutAsBitmap(SURFOBJ* pso, STROBJ* pstro, FONTOBJ* pfo, CLIPOBJ* pco, RECTL* prclExtra,
                                      RECTL* prclOpaque, BRUSHOBJ* pboFore, BRUSHOBJ* pboOpaque, POINTL* pptlOrg,
                                      MIX mix) override;

 private:
  ~PluginObject();
  void releaseDriverInterface();

  std::int32_t refCount_ = 1;
  IUnknown* driverInterface_ = nullptr;
};

}  // namespace plugin

#endif  // QMX_PLUGIN_PLUGIN_OBJECT_H_
