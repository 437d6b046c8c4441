// The print system's published records, constants and interfaces, declared
// from their published layouts so that the plug-in matches them byte for byte.
//
// On Windows the basic COM and GDI types come from the system headers; the
// rendering plug-in's own records have no header there and are declared here
// for both builds. On other systems everything is declared here.
#ifndef QMX_PRINTSYS_PRINTSYS_H_
#define QMX_PRINTSYS_PRINTSYS_H_

#include <cstddef>
#include <cstdint>

#include "platform/wide.h"

#if defined(_WIN32)
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
#include <objbase.h>
#include <unknwn.h>
#include <winddi.h>
#define QMX_STDCALL __stdcall
#define QMX_APIENTRY __stdcall
#else
#define QMX_STDCALL
#define QMX_APIENTRY

using BYTE = std::uint8_t;
using WORD = std::uint16_t;
using DWORD = std::uint32_t;
using ULONG = std::uint32_t;
using LONG = std::int32_t;
using INT = std::int32_t;
using BOOL = std::int32_t;
using HRESULT = std::int32_t;
using WCHAR = platform::WChar;
using PVOID = void*;
using HANDLE = void*;
using HMODULE = void*;
using HINSTANCE = void*;
using HSURF = void*;
using HGLYPH = ULONG;
using MIX = ULONG;
using LPVOID = void*;

struct GUID {
  std::uint32_t Data1;
  std::uint16_t Data2;
  std::uint16_t Data3;
  std::uint8_t Data4[8];
};
using IID = GUID;
using CLSID = GUID;
using REFIID = const GUID&;
using REFCLSID = const GUID&;

// Public device mode: only dmPaperLength is read; the rest stays opaque.
struct DEVMODEW {
  WCHAR dmDeviceName[32];
  WORD dmSpecVersion;
  WORD dmDriverVersion;
  WORD dmSize;
  WORD dmDriverExtra;
  DWORD dmFields;
  short dmOrientation;
  short dmPaperSize;
  short dmPaperLength;
  short dmPaperWidth;
  BYTE dmRest[220 - 84];
};

// Opaque records of the graphics interface, passed through unchanged.
struct GDIINFO;
struct DEVINFO;
struct SURFOBJ;
struct STROBJ;
struct FONTOBJ;
struct CLIPOBJ;
struct BRUSHOBJ;
struct RECTL;
struct POINTL;
struct BITMAPINFOHEADER;

class IUnknown {
 public:
  virtual HRESULT QMX_STDCALL QueryInterface(REFIID riid, void** ppv) = 0;
  virtual ULONG QMX_STDCALL AddRef() = 0;
  virtual ULONG QMX_STDCALL Release() = 0;
};

class IClassFactory : public IUnknown {
 public:
  virtual HRESULT QMX_STDCALL CreateInstance(IUnknown* pUnkOuter, REFIID riid, void** ppv) = 0;
  virtual HRESULT QMX_STDCALL LockServer(BOOL fLock) = 0;
};
#endif  // !_WIN32

static_assert(sizeof(GUID) == 16);
static_assert(sizeof(DEVMODEW) == 220);
static_assert(offsetof(DEVMODEW, dmPaperLength) == 80);

// Printer-interface records that no system header declares.
struct IPParams;
struct OEMMEMORYUSAGE;
struct UNIFONTOBJ;
struct FINVOCATION;

struct DEVOBJ;

using PFN_DrvWriteSpoolBuf = DWORD(QMX_APIENTRY*)(DEVOBJ* pdevobj, PVOID pBuffer, DWORD cbSize);

struct DRVPROCS {
  PFN_DrvWriteSpoolBuf DrvWriteSpoolBuf;
  PVOID DrvXMoveTo;
  PVOID DrvYMoveTo;
  PVOID DrvGetDriverSetting;
  PVOID BGetStandardVariable;
  PVOID DrvUnidriverTextOut;
  PVOID DrvWriteAbortBuf;
};

struct DEVOBJ {
  DWORD dwSize;
  PVOID pdevOEM;
  HANDLE hEngine;
  HANDLE hPrinter;
  HANDLE hOEM;
  DEVMODEW* pPublicDM;
  PVOID pOEMDM;
  DRVPROCS* pDrvProcs;
};

struct OEMDMPARAM {
  DWORD cbSize;
  PVOID pdriverobj;
  HANDLE hPrinter;
  HANDLE hModule;
  DEVMODEW* pPublicDMIn;
  DEVMODEW* pPublicDMOut;
  PVOID pOEMDMIn;
  PVOID pOEMDMOut;
  DWORD cbBufSize;
};

struct OEM_DMEXTRAHEADER {
  DWORD dwSize;
  DWORD dwSignature;
  DWORD dwVersion;
};

#if !defined(_WIN32)
struct DRVFN {
  ULONG iFunc;
  PVOID pfn;
};

struct DRVENABLEDATA {
  ULONG iDriverVersion;
  ULONG c;
  DRVFN* pdrvfn;
};
#endif

constexpr std::size_t kPtr = sizeof(void*);
static_assert(sizeof(OEM_DMEXTRAHEADER) == 12);
static_assert(offsetof(DEVOBJ, pdevOEM) == kPtr);
static_assert(offsetof(DEVOBJ, pPublicDM) == 5 * kPtr);
static_assert(offsetof(DEVOBJ, pOEMDM) == 6 * kPtr);
static_assert(offsetof(DEVOBJ, pDrvProcs) == 7 * kPtr);
static_assert(sizeof(DEVOBJ) == 8 * kPtr);
static_assert(sizeof(DRVPROCS) == 7 * kPtr);
static_assert(offsetof(OEMDMPARAM, pOEMDMIn) == 6 * kPtr);
static_assert(offsetof(OEMDMPARAM, pOEMDMOut) == 7 * kPtr);
static_assert(offsetof(OEMDMPARAM, cbBufSize) == 8 * kPtr);
static_assert(sizeof(DRVFN) == 2 * kPtr);
static_assert(offsetof(DRVENABLEDATA, pdrvfn) == 8);  // after two ULONGs, on 32 and 64 bits
static_assert(sizeof(OEMDMPARAM) == 9 * kPtr);
static_assert(sizeof(DRVENABLEDATA) == 8 + kPtr);

namespace printsys {

// HRESULTs, as signed 32-bit values.
inline constexpr HRESULT kS_OK = 0;
inline constexpr HRESULT kS_FALSE = 1;
inline constexpr HRESULT kE_NOTIMPL = static_cast<HRESULT>(0x80004001u);
inline constexpr HRESULT kE_NOINTERFACE = static_cast<HRESULT>(0x80004002u);
inline constexpr HRESULT kE_POINTER = static_cast<HRESULT>(0x80004003u);
inline constexpr HRESULT kE_FAIL = static_cast<HRESULT>(0x80004005u);
inline constexpr HRESULT kE_OUTOFMEMORY = static_cast<HRESULT>(0x8007000Eu);
inline constexpr HRESULT kCLASS_E_NOAGGREGATION = static_cast<HRESULT>(0x80040110u);
inline constexpr HRESULT kCLASS_E_CLASSNOTAVAILABLE = static_cast<HRESULT>(0x80040111u);

// Thread last-error codes.
inline constexpr DWORD kERROR_INVALID_PARAMETER = 87;
inline constexpr DWORD kERROR_INSUFFICIENT_BUFFER = 122;

inline constexpr DWORD kPRINTER_OEMINTF_VERSION = 0x00010000;
inline constexpr DWORD kOEMGI_GETSIGNATURE = 1;
inline constexpr DWORD kOEMGI_GETINTERFACEVERSION = 2;
inline constexpr DWORD kOEMGI_GETVERSION = 3;
inline constexpr DWORD kOEMGI_GETPUBLISHERINFO = 4;
inline constexpr DWORD kOEMDM_SIZE = 1;
inline constexpr DWORD kOEMDM_DEFAULT = 2;
inline constexpr DWORD kOEMDM_CONVERT = 3;
inline constexpr DWORD kOEMDM_MERGE = 4;
inline constexpr DWORD kDLL_PROCESS_ATTACH = 1;

// Published identifiers.
inline constexpr GUID kCLSID_OEMRENDER = {0x6D6ABF26, 0x9F38, 0x11D1, {0x88, 0x2A, 0x00, 0xC0, 0x4F, 0xB9, 0x61, 0xEC}};
inline constexpr GUID kIID_IUnknown = {0x00000000, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};
inline constexpr GUID kIID_IClassFactory = {0x00000001, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};
inline constexpr GUID kIID_IPrintOemUni = {0xD67EBBF0, 0x78BF, 0x11D1, {0x94, 0x80, 0x00, 0xA0, 0xC9, 0x06, 0x40, 0xB8}};
inline constexpr GUID kIID_IPrintOemDriverUni = {0xD67EBBF1, 0x78BF, 0x11D1, {0x94, 0x80, 0x00, 0xA0, 0xC9, 0x06, 0x40, 0xB8}};

// Compares all 16 bytes.
inline bool sameGuid(const GUID& a, const GUID& b) {
  const auto* x = reinterpret_cast<const std::uint8_t*>(&a);
  const auto* y = reinterpret_cast<const std::uint8_t*>(&b);
  for (int i = 0; i < 16; ++i)
    if (x[i] != y[i]) return false;
  return true;
}

}  // namespace printsys

// The rendering plug-in interface: 26 slots in published order.
class IPrintOemUni : public IUnknown {
 public:
  virtual HRESULT QMX_STDCALL GetInfo(DWORD dwMode, PVOID pBuffer, DWORD cbSize, DWORD* pcbNeeded) = 0;
  virtual HRESULT QMX_STDCALL DevMode(DWORD dwMode, OEMDMPARAM* pOemDMParam) = 0;
  virtual HRESULT QMX_STDCALL EnableDriver(DWORD DriverVersion, DWORD cbSize, DRVENABLEDATA* pded) = 0;
  virtual HRESULT QMX_STDCALL DisableDriver() = 0;
  virtual HRESULT QMX_STDCALL EnablePDEV(DEVOBJ* pdevobj, WCHAR* pPrinterName, ULONG cPatterns,
                                         HSURF* phsurfPatterns, ULONG cjGdiInfo, GDIINFO* pGdiInfo,
                                         ULONG cjDevInfo, DEVINFO* pDevInfo, DRVENABLEDATA* pded,
                                         PVOID* pDevOem) = 0;
  virtual HRESULT QMX_STDCALL DisablePDEV(DEVOBJ* pdevobj) = 0;
  virtual HRESULT QMX_STDCALL ResetPDEV(DEVOBJ* pdevobjOld, DEVOBJ* pdevobjNew) = 0;
  virtual HRESULT QMX_STDCALL PublishDriverInterface(IUnknown* pIUnknown) = 0;
  virtual HRESULT QMX_STDCALL GetImplementedMethod(char* pMethodName) = 0;
  virtual HRESULT QMX_STDCALL DriverDMS(PVOID pDevObj, PVOID pBuffer, DWORD cbSize, DWORD* pcbNeeded) = 0;
  virtual HRESULT QMX_STDCALL CommandCallback(DEVOBJ* pdevobj, DWORD dwCallbackID, DWORD dwCount,
                                              DWORD* pdwParams, INT* piResult) = 0;
  virtual HRESULT QMX_STDCALL ImageProcessing(DEVOBJ* pdevobj, BYTE* pSrcBitmap,
                                              BITMAPINFOHEADER* pBitmapInfoHeader, BYTE* pColorTable,
                                              DWORD dwCallbackID, IPParams* pIPParams,
                                              BYTE** ppbResult) = 0;
  virtual HRESULT QMX_STDCALL FilterGraphics(DEVOBJ* pdevobj, BYTE* pBuf, DWORD dwLen) = 0;
  virtual HRESULT QMX_STDCALL Compression(DEVOBJ* pdevobj, BYTE* pInBuf, BYTE* pOutBuf, DWORD dwInLen,
                                          DWORD dwOutLen, INT* piResult) = 0;
  virtual HRESULT QMX_STDCALL HalftonePattern(DEVOBJ* pdevobj, BYTE* pHTPattern, DWORD dwHTPatternX,
                                              DWORD dwHTPatternY, DWORD dwHTNumPatterns,
                                              DWORD dwCallbackID, BYTE* pResource,
                                              DWORD dwResourceSize) = 0;
  virtual HRESULT QMX_STDCALL MemoryUsage(DEVOBJ* pdevobj, OEMMEMORYUSAGE* pMemoryUsage) = 0;
  virtual HRESULT QMX_STDCALL TTYGetInfo(DEVOBJ* pdevobj, DWORD dwInfoIndex, PVOID pOutputBuf,
                                         DWORD dwSize, DWORD* pcbcNeeded) = 0;
  virtual HRESULT QMX_STDCALL DownloadFontHeader(DEVOBJ* pdevobj, UNIFONTOBJ* pUFObj, DWORD* pdwResult) = 0;
  virtual HRESULT QMX_STDCALL DownloadCharGlyph(DEVOBJ* pdevobj, UNIFONTOBJ* pUFObj, HGLYPH hGlyph,
                                                DWORD* pdwWidth, DWORD* pdwResult) = 0;
  virtual HRESULT QMX_STDCALL TTDownloadMethod(DEVOBJ* pdevobj, UNIFONTOBJ* pUFObj, DWORD* pdwResult) = 0;
  virtual HRESULT QMX_STDCALL OutputCharStr(DEVOBJ* pdevobj, UNIFONTOBJ* pUFObj, DWORD dwType,
                                            DWORD dwCount, PVOID pGlyph) = 0;
  virtual HRESULT QMX_STDCALL SendFontCmd(DEVOBJ* pdevobj, UNIFONTOBJ* pUFObj, FINVOCATION* pFInv) = 0;
  virtual HRESULT QMX_STDCALL TextOutAsBitmap(SURFOBJ* pso, STROBJ* pstro, FONTOBJ* pfo, CLIPOBJ* pco,
                                              RECTL* prclExtra, RECTL* prclOpaque, BRUSHOBJ* pboFore,
                                              BRUSHOBJ* pboOpaque, POINTL* pptlOrg, MIX mix) = 0;
};

#endif  // QMX_PRINTSYS_PRINTSYS_H_
