// The graphics-driver interface (DDI) as far as the 29 hooked functions need
// it: their published indexes and signatures.
//
// On Windows the records come from winddi.h (included by printsys.h); the
// other builds declare them here. Only SURFOBJ is looked into (its dhpdev
// field); every other record is passed along untouched.
#ifndef QMX_PRINTSYS_DDI_H_
#define QMX_PRINTSYS_DDI_H_

#include <cstdint>
#include <type_traits>

#include "printsys/printsys.h"

#if !defined(_WIN32)
using FLONG = ULONG;
using ROP4 = ULONG;
using USHORT = std::uint16_t;
using ULONG_PTR = std::uintptr_t;
using LPWSTR = WCHAR*;

struct DHPDEV__;
using DHPDEV = DHPDEV__*;
struct DHSURF__;
using DHSURF = DHSURF__*;
struct HDEV__;
using HDEV = HDEV__*;

struct SIZEL {
  LONG cx;
  LONG cy;
};

struct SURFOBJ {
  DHSURF dhsurf;
  HSURF hsurf;
  DHPDEV dhpdev;  // the device object of the surface's device
  HDEV hdev;
  SIZEL sizlBitmap;
  ULONG cjBits;
  PVOID pvBits;
  PVOID pvScan0;
  LONG lDelta;
  ULONG iUniq;
  ULONG iBitmapFormat;
  USHORT iType;
  USHORT fjBitmap;
};

struct XLATEOBJ;
struct COLORADJUSTMENT;
struct POINTFIX;
struct BLENDOBJ;
struct TRIVERTEX;
struct PATHOBJ;
struct XFORMOBJ;
struct LINEATTRS;
struct IFIMETRICS;
struct GLYPHDATA;
#endif  // !_WIN32

static_assert(sizeof(DHPDEV) == sizeof(void*));

namespace ddi {

// Published DDI function indexes of the hooked functions.
inline constexpr ULONG kRealizeBrush = 12;
inline constexpr ULONG kDitherColor = 13;
inline constexpr ULONG kStrokePath = 14;
inline constexpr ULONG kFillPath = 15;
inline constexpr ULONG kStrokeAndFillPath = 16;
inline constexpr ULONG kPaint = 17;
inline constexpr ULONG kBitBlt = 18;
inline constexpr ULONG kCopyBits = 19;
inline constexpr ULONG kStretchBlt = 20;
inline constexpr ULONG kTextOut = 23;
inline constexpr ULONG kEscape = 24;
inline constexpr ULONG kQueryFont = 26;
inline constexpr ULONG kQueryFontTree = 27;
inline constexpr ULONG kQueryFontData = 28;
inline constexpr ULONG kLineTo = 31;
inline constexpr ULONG kSendPage = 32;
inline constexpr ULONG kStartPage = 33;
inline constexpr ULONG kEndDoc = 34;
inline constexpr ULONG kStartDoc = 35;
inline constexpr ULONG kGetGlyphMode = 37;
inline constexpr ULONG kFontManagement = 47;
inline constexpr ULONG kQueryAdvanceWidths = 53;
inline constexpr ULONG kStartBanding = 57;
inline constexpr ULONG kNextBand = 58;
inline constexpr ULONG kGradientFill = 68;
inline constexpr ULONG kStretchBltROP = 69;
inline constexpr ULONG kPlgBlt = 70;
inline constexpr ULONG kAlphaBlend = 71;
inline constexpr ULONG kTransparentBlt = 74;

// What DrvQueryFontData answers on failure.
inline constexpr LONG kFdError = -1;

// The published signatures.
using RealizeBrushFn = BOOL(QMX_APIENTRY*)(BRUSHOBJ* pbo, SURFOBJ* psoTarget, SURFOBJ* psoPattern,
                                           SURFOBJ* psoMask, XLATEOBJ* pxlo, ULONG iHatch);
using DitherColorFn = ULONG(QMX_APIENTRY*)(DHPDEV dhpdev, ULONG iMode, ULONG rgb, ULONG* pul);
using CopyBitsFn = BOOL(QMX_APIENTRY*)(SURFOBJ* psoDest, SURFOBJ* psoSrc, CLIPOBJ* pco, XLATEOBJ* pxlo,
                                       RECTL* prclDest, POINTL* pptlSrc);
using BitBltFn = BOOL(QMX_APIENTRY*)(SURFOBJ* psoTrg, SURFOBJ* psoSrc, SURFOBJ* psoMask, CLIPOBJ* pco,
                                     XLATEOBJ* pxlo, RECTL* prclTrg, POINTL* pptlSrc, POINTL* pptlMask,
                                     BRUSHOBJ* pbo, POINTL* pptlBrush, ROP4 rop4);
using StretchBltFn = BOOL(QMX_APIENTRY*)(SURFOBJ* psoDest, SURFOBJ* psoSrc, SURFOBJ* psoMask, CLIPOBJ* pco,
                                         XLATEOBJ* pxlo, COLORADJUSTMENT* pca, POINTL* pptlHTOrg,
                                         RECTL* prclDest, RECTL* prclSrc, POINTL* pptlMask, ULONG iMode);
using StretchBltROPFn = BOOL(QMX_APIENTRY*)(SURFOBJ* psoDest, SURFOBJ* psoSrc, SURFOBJ* psoMask,
                                            CLIPOBJ* pco, XLATEOBJ* pxlo, COLORADJUSTMENT* pca,
                                            POINTL* pptlHTOrg, RECTL* prclDest, RECTL* prclSrc,
                                            POINTL* pptlMask, ULONG iMode, BRUSHOBJ* pbo, DWORD rop4);
using PlgBltFn = BOOL(QMX_APIENTRY*)(SURFOBJ* psoTrg, SURFOBJ* psoSrc, SURFOBJ* psoMsk, CLIPOBJ* pco,
                                     XLATEOBJ* pxlo, COLORADJUSTMENT* pca, POINTL* pptlBrushOrg,
                                     POINTFIX* pptfx, RECTL* prcl, POINTL* pptl, ULONG iMode);
using TransparentBltFn = BOOL(QMX_APIENTRY*)(SURFOBJ* psoDst, SURFOBJ* psoSrc, CLIPOBJ* pco, XLATEOBJ* pxlo,
                                             RECTL* prclDst, RECTL* prclSrc, ULONG iTransColor,
                                             ULONG ulReserved);
using AlphaBlendFn = BOOL(QMX_APIENTRY*)(SURFOBJ* psoDest, SURFOBJ* psoSrc, CLIPOBJ* pco, XLATEOBJ* pxlo,
                                         RECTL* prclDest, RECTL* prclSrc, BLENDOBJ* pBlendObj);
using GradientFillFn = BOOL(QMX_APIENTRY*)(SURFOBJ* psoDest, CLIPOBJ* pco, XLATEOBJ* pxlo,
                                           TRIVERTEX* pVertex, ULONG nVertex, PVOID pMesh, ULONG nMesh,
                                           RECTL* prclExtents, POINTL* pptlDitherOrg, ULONG ulMode);
using TextOutFn = BOOL(QMX_APIENTRY*)(SURFOBJ* pso, STROBJ* pstro, FONTOBJ* pfo, CLIPOBJ* pco,
                                      RECTL* prclExtra, RECTL* prclOpaque, BRUSHOBJ* pboFore,
                                      BRUSHOBJ* pboOpaque, POINTL* pptlOrg, MIX mix);
using StrokePathFn = BOOL(QMX_APIENTRY*)(SURFOBJ* pso, PATHOBJ* ppo, CLIPOBJ* pco, XFORMOBJ* pxo,
                                         BRUSHOBJ* pbo, POINTL* pptlBrushOrg, LINEATTRS* plineattrs,
                                         MIX mix);
using FillPathFn = BOOL(QMX_APIENTRY*)(SURFOBJ* pso, PATHOBJ* ppo, CLIPOBJ* pco, BRUSHOBJ* pbo,
                                       POINTL* pptlBrushOrg, MIX mix, FLONG flOptions);
using StrokeAndFillPathFn = BOOL(QMX_APIENTRY*)(SURFOBJ* pso, PATHOBJ* ppo, CLIPOBJ* pco, XFORMOBJ* pxo,
                                                BRUSHOBJ* pboStroke, LINEATTRS* plineattrs,
                                                BRUSHOBJ* pboFill, POINTL* pptlBrushOrg, MIX mixFill,
                                                FLONG flOptions);
using PaintFn = BOOL(QMX_APIENTRY*)(SURFOBJ* pso, CLIPOBJ* pco, BRUSHOBJ* pbo, POINTL* pptlBrushOrg,
                                    MIX mix);
using LineToFn = BOOL(QMX_APIENTRY*)(SURFOBJ* pso, CLIPOBJ* pco, BRUSHOBJ* pbo, LONG x1, LONG y1, LONG x2,
                                     LONG y2, RECTL* prclBounds, MIX mix);
using StartPageFn = BOOL(QMX_APIENTRY*)(SURFOBJ* pso);
using SendPageFn = BOOL(QMX_APIENTRY*)(SURFOBJ* pso);
using EscapeFn = ULONG(QMX_APIENTRY*)(SURFOBJ* pso, ULONG iEsc, ULONG cjIn, PVOID pvIn, ULONG cjOut,
                                      PVOID pvOut);
using StartDocFn = BOOL(QMX_APIENTRY*)(SURFOBJ* pso, LPWSTR pwszDocName, DWORD dwJobId);
using EndDocFn = BOOL(QMX_APIENTRY*)(SURFOBJ* pso, FLONG fl);
using NextBandFn = BOOL(QMX_APIENTRY*)(SURFOBJ* pso, POINTL* pptl);
using StartBandingFn = BOOL(QMX_APIENTRY*)(SURFOBJ* pso, POINTL* pptl);
using QueryFontFn = IFIMETRICS*(QMX_APIENTRY*)(DHPDEV dhpdev, ULONG_PTR iFile, ULONG iFace, ULONG_PTR* pid);
using QueryFontTreeFn = PVOID(QMX_APIENTRY*)(DHPDEV dhpdev, ULONG_PTR iFile, ULONG iFace, ULONG iMode,
                                             ULONG_PTR* pid);
using QueryFontDataFn = LONG(QMX_APIENTRY*)(DHPDEV dhpdev, FONTOBJ* pfo, ULONG iMode, HGLYPH hg,
                                            GLYPHDATA* pgd, PVOID pv, ULONG cjSize);
using QueryAdvanceWidthsFn = BOOL(QMX_APIENTRY*)(DHPDEV dhpdev, FONTOBJ* pfo, ULONG iMode, HGLYPH* phg,
                                                 PVOID pvWidths, ULONG cGlyphs);
using FontManagementFn = ULONG(QMX_APIENTRY*)(SURFOBJ* pso, FONTOBJ* pfo, ULONG iMode, ULONG cjIn,
                                              PVOID pvIn, ULONG cjOut, PVOID pvOut);
using GetGlyphModeFn = ULONG(QMX_APIENTRY*)(DHPDEV dhpdev, FONTOBJ* pfo);

// The pointer type of a DRVFN row (a generic function pointer on Windows).
using RowPointer = decltype(DRVFN::pfn);

// A DDI function as it goes into a DRVFN row, and back.
// Between two function pointer types the cast goes through void (*)(), the
// type compilers accept as "any function" without a warning.
using AnyFunction = void (*)();
template <typename Fn>
inline RowPointer toRowPointer(Fn fn) {
  if constexpr (std::is_pointer_v<RowPointer> && std::is_function_v<std::remove_pointer_t<RowPointer>>)
    return reinterpret_cast<RowPointer>(reinterpret_cast<AnyFunction>(fn));
  else
    return reinterpret_cast<RowPointer>(fn);
}
template <typename Fn>
inline Fn fromRowPointer(RowPointer pointer) {
  if constexpr (std::is_pointer_v<RowPointer> && std::is_function_v<std::remove_pointer_t<RowPointer>>)
    return reinterpret_cast<Fn>(reinterpret_cast<AnyFunction>(pointer));
  else
    return reinterpret_cast<Fn>(pointer);
}

}  // namespace ddi

#endif  // QMX_PRINTSYS_DDI_H_
