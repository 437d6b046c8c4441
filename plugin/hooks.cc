#include "plugin/hooks.h"

#include <cstdint>

#include "plugin/module.h"

namespace plugin {
namespace {

// Slots of UnidrvHookArray, in the order of HookTable's rows.
enum Slot : std::size_t {
  kSlotRealizeBrush,
  kSlotDitherColor,
  kSlotCopyBits,
  kSlotBitBlt,
  kSlotStretchBlt,
  kSlotStretchBltROP,
  kSlotPlgBlt,
  kSlotTransparentBlt,
  kSlotAlphaBlend,
  kSlotGradientFill,
  kSlotTextOut,
  kSlotStrokePath,
  kSlotFillPath,
  kSlotStrokeAndFillPath,
  kSlotPaint,
  kSlotLineTo,
  kSlotStartPage,
  kSlotSendPage,
  kSlotEscape,
  kSlotStartDoc,
  kSlotEndDoc,
  kSlotNextBand,
  kSlotStartBanding,
  kSlotQueryFont,
  kSlotQueryFontTree,
  kSlotQueryFontData,
  kSlotQueryAdvanceWidths,
  kSlotFontManagement,
  kSlotGetGlyphMode,
  kSlotCount
};
static_assert(kSlotCount == kHookCount);

// The print system passes its device object as the DDI device handle.
DEVOBJ* deviceOf(DHPDEV dhpdev) { return reinterpret_cast<DEVOBJ*>(dhpdev); }
DEVOBJ* deviceOf(SURFOBJ* pso) { return pso == nullptr ? nullptr : deviceOf(pso->dhpdev); }

// The print system's function for a slot, or null when the device has no
// array or the print system offered nothing for that index.
template <typename Fn>
Fn ownFunction(DEVOBJ* device, Slot slot) {
  if (device == nullptr || device->pdevOEM == nullptr) return nullptr;
  const auto* array = static_cast<const UnidrvHookArray*>(device->pdevOEM);
  return ddi::fromRowPointer<Fn>(array->slots[slot]);
}

// The print system resolves brushes itself; nothing to realise here.
BOOL QMX_APIENTRY hookRealizeBrush(BRUSHOBJ*, SURFOBJ*, SURFOBJ*, SURFOBJ*, XLATEOBJ*, ULONG) { return 1; }

// Each pass-through hook calls the print system's own function with its
// arguments unchanged; with no function to call it answers failure (FALSE,
// 0, null, or FD_ERROR for DrvQueryFontData) rather than calling through null.

ULONG QMX_APIENTRY hookDitherColor(DHPDEV dhpdev, ULONG iMode, ULONG rgb, ULONG* pul) {
  auto fn = ownFunction<ddi::DitherColorFn>(deviceOf(dhpdev), kSlotDitherColor);
  return fn ? fn(dhpdev, iMode, rgb, pul) : 0;
}

BOOL QMX_APIENTRY hookCopyBits(SURFOBJ* psoDest, SURFOBJ* psoSrc, CLIPOBJ* pco, XLATEOBJ* pxlo, RECTL* prclDest,
                               POINTL* pptlSrc) {
  auto fn = ownFunction<ddi::CopyBitsFn>(deviceOf(psoDest), kSlotCopyBits);
  return fn ? fn(psoDest, psoSrc, pco, pxlo, prclDest, pptlSrc) : 0;
}

BOOL QMX_APIENTRY hookBitBlt(SURFOBJ* psoTrg, SURFOBJ* psoSrc, SURFOBJ* psoMask, CLIPOBJ* pco, XLATEOBJ* pxlo,
                             RECTL* prclTrg, POINTL* pptlSrc, POINTL* pptlMask, BRUSHOBJ* pbo, POINTL* pptlBrush,
                             ROP4 rop4) {
  auto fn = ownFunction<ddi::BitBltFn>(deviceOf(psoTrg), kSlotBitBlt);
  return fn ? fn(psoTrg, psoSrc, psoMask, pco, pxlo, prclTrg, pptlSrc, pptlMask, pbo, pptlBrush, rop4) : 0;
}

BOOL QMX_APIENTRY hookStretchBlt(SURFOBJ* psoDest, SURFOBJ* psoSrc, SURFOBJ* psoMask, CLIPOBJ* pco,
                                 XLATEOBJ* pxlo, COLORADJUSTMENT* pca, POINTL* pptlHTOrg, RECTL* prclDest,
                                 RECTL* prclSrc, POINTL* pptlMask, ULONG iMode) {
  auto fn = ownFunction<ddi::StretchBltFn>(deviceOf(psoDest), kSlotStretchBlt);
  return fn ? fn(psoDest, psoSrc, psoMask, pco, pxlo, pca, pptlHTOrg, prclDest, prclSrc, pptlMask, iMode) : 0;
}

BOOL QMX_APIENTRY hookStretchBltROP(SURFOBJ* psoDest, SURFOBJ* psoSrc, SURFOBJ* psoMask, CLIPOBJ* pco,
                                    XLATEOBJ* pxlo, COLORADJUSTMENT* pca, POINTL* pptlHTOrg, RECTL* prclDest,
                                    RECTL* prclSrc, POINTL* pptlMask, ULONG iMode, BRUSHOBJ* pbo, DWORD rop4) {
  auto fn = ownFunction<ddi::StretchBltROPFn>(deviceOf(psoDest), kSlotStretchBltROP);
  return fn ? fn(psoDest, psoSrc, psoMask, pco, pxlo, pca, pptlHTOrg, prclDest, prclSrc, pptlMask, iMode, pbo,
                 rop4)
            : 0;
}

BOOL QMX_APIENTRY hookPlgBlt(SURFOBJ* psoTrg, SURFOBJ* psoSrc, SURFOBJ* psoMsk, CLIPOBJ* pco, XLATEOBJ* pxlo,
                             COLORADJUSTMENT* pca, POINTL* pptlBrushOrg, POINTFIX* pptfx, RECTL* prcl,
                             POINTL* pptl, ULONG iMode) {
  auto fn = ownFunction<ddi::PlgBltFn>(deviceOf(psoTrg), kSlotPlgBlt);
  return fn ? fn(psoTrg, psoSrc, psoMsk, pco, pxlo, pca, pptlBrushOrg, pptfx, prcl, pptl, iMode) : 0;
}

BOOL QMX_APIENTRY hookTransparentBlt(SURFOBJ* psoDst, SURFOBJ* psoSrc, CLIPOBJ* pco, XLATEOBJ* pxlo,
                                     RECTL* prclDst, RECTL* prclSrc, ULONG iTransColor, ULONG ulReserved) {
  auto fn = ownFunction<ddi::TransparentBltFn>(deviceOf(psoDst), kSlotTransparentBlt);
  return fn ? fn(psoDst, psoSrc, pco, pxlo, prclDst, prclSrc, iTransColor, ulReserved) : 0;
}

BOOL QMX_APIENTRY hookAlphaBlend(SURFOBJ* psoDest, SURFOBJ* psoSrc, CLIPOBJ* pco, XLATEOBJ* pxlo,
                                 RECTL* prclDest, RECTL* prclSrc, BLENDOBJ* pBlendObj) {
  auto fn = ownFunction<ddi::AlphaBlendFn>(deviceOf(psoDest), kSlotAlphaBlend);
  return fn ? fn(psoDest, psoSrc, pco, pxlo, prclDest, prclSrc, pBlendObj) : 0;
}

BOOL QMX_APIENTRY hookGradientFill(SURFOBJ* psoDest, CLIPOBJ* pco, XLATEOBJ* pxlo, TRIVERTEX* pVertex,
                                   ULONG nVertex, PVOID pMesh, ULONG nMesh, RECTL* prclExtents,
                                   POINTL* pptlDitherOrg, ULONG ulMode) {
  auto fn = ownFunction<ddi::GradientFillFn>(deviceOf(psoDest), kSlotGradientFill);
  return fn ? fn(psoDest, pco, pxlo, pVertex, nVertex, pMesh, nMesh, prclExtents, pptlDitherOrg, ulMode) : 0;
}

BOOL QMX_APIENTRY hookTextOut(SURFOBJ* pso, STROBJ* pstro, FONTOBJ* pfo, CLIPOBJ* pco, RECTL* prclExtra,
                              RECTL* prclOpaque, BRUSHOBJ* pboFore, BRUSHOBJ* pboOpaque, POINTL* pptlOrg,
                              MIX mix) {
  auto fn = ownFunction<ddi::TextOutFn>(deviceOf(pso), kSlotTextOut);
  return fn ? fn(pso, pstro, pfo, pco, prclExtra, prclOpaque, pboFore, pboOpaque, pptlOrg, mix) : 0;
}

BOOL QMX_APIENTRY hookStrokePath(SURFOBJ* pso, PATHOBJ* ppo, CLIPOBJ* pco, XFORMOBJ* pxo, BRUSHOBJ* pbo,
                                 POINTL* pptlBrushOrg, LINEATTRS* plineattrs, MIX mix) {
  auto fn = ownFunction<ddi::StrokePathFn>(deviceOf(pso), kSlotStrokePath);
  return fn ? fn(pso, ppo, pco, pxo, pbo, pptlBrushOrg, plineattrs, mix) : 0;
}

BOOL QMX_APIENTRY hookFillPath(SURFOBJ* pso, PATHOBJ* ppo, CLIPOBJ* pco, BRUSHOBJ* pbo, POINTL* pptlBrushOrg,
                               MIX mix, FLONG flOptions) {
  auto fn = ownFunction<ddi::FillPathFn>(deviceOf(pso), kSlotFillPath);
  return fn ? fn(pso, ppo, pco, pbo, pptlBrushOrg, mix, flOptions) : 0;
}

BOOL QMX_APIENTRY hookStrokeAndFillPath(SURFOBJ* pso, PATHOBJ* ppo, CLIPOBJ* pco, XFORMOBJ* pxo,
                                        BRUSHOBJ* pboStroke, LINEATTRS* plineattrs, BRUSHOBJ* pboFill,
                                        POINTL* pptlBrushOrg, MIX mixFill, FLONG flOptions) {
  auto fn = ownFunction<ddi::StrokeAndFillPathFn>(deviceOf(pso), kSlotStrokeAndFillPath);
  return fn ? fn(pso, ppo, pco, pxo, pboStroke, plineattrs, pboFill, pptlBrushOrg, mixFill, flOptions) : 0;
}

BOOL QMX_APIENTRY hookPaint(SURFOBJ* pso, CLIPOBJ* pco, BRUSHOBJ* pbo, POINTL* pptlBrushOrg, MIX mix) {
  auto fn = ownFunction<ddi::PaintFn>(deviceOf(pso), kSlotPaint);
  return fn ? fn(pso, pco, pbo, pptlBrushOrg, mix) : 0;
}

BOOL QMX_APIENTRY hookLineTo(SURFOBJ* pso, CLIPOBJ* pco, BRUSHOBJ* pbo, LONG x1, LONG y1, LONG x2, LONG y2,
                             RECTL* prclBounds, MIX mix) {
  auto fn = ownFunction<ddi::LineToFn>(deviceOf(pso), kSlotLineTo);
  return fn ? fn(pso, pco, pbo, x1, y1, x2, y2, prclBounds, mix) : 0;
}

BOOL QMX_APIENTRY hookStartPage(SURFOBJ* pso) {
  auto fn = ownFunction<ddi::StartPageFn>(deviceOf(pso), kSlotStartPage);
  return fn ? fn(pso) : 0;
}

BOOL QMX_APIENTRY hookSendPage(SURFOBJ* pso) {
  auto fn = ownFunction<ddi::SendPageFn>(deviceOf(pso), kSlotSendPage);
  return fn ? fn(pso) : 0;
}

ULONG QMX_APIENTRY hookEscape(SURFOBJ* pso, ULONG iEsc, ULONG cjIn, PVOID pvIn, ULONG cjOut, PVOID pvOut) {
  auto fn = ownFunction<ddi::EscapeFn>(deviceOf(pso), kSlotEscape);
  return fn ? fn(pso, iEsc, cjIn, pvIn, cjOut, pvOut) : 0;
}

BOOL QMX_APIENTRY hookStartDoc(SURFOBJ* pso, LPWSTR pwszDocName, DWORD dwJobId) {
  auto fn = ownFunction<ddi::StartDocFn>(deviceOf(pso), kSlotStartDoc);
  return fn ? fn(pso, pwszDocName, dwJobId) : 0;
}

BOOL QMX_APIENTRY hookEndDoc(SURFOBJ* pso, FLONG fl) {
  auto fn = ownFunction<ddi::EndDocFn>(deviceOf(pso), kSlotEndDoc);
  return fn ? fn(pso, fl) : 0;
}

BOOL QMX_APIENTRY hookNextBand(SURFOBJ* pso, POINTL* pptl) {
  auto fn = ownFunction<ddi::NextBandFn>(deviceOf(pso), kSlotNextBand);
  return fn ? fn(pso, pptl) : 0;
}

BOOL QMX_APIENTRY hookStartBanding(SURFOBJ* pso, POINTL* pptl) {
  auto fn = ownFunction<ddi::StartBandingFn>(deviceOf(pso), kSlotStartBanding);
  return fn ? fn(pso, pptl) : 0;
}

IFIMETRICS* QMX_APIENTRY hookQueryFont(DHPDEV dhpdev, ULONG_PTR iFile, ULONG iFace, ULONG_PTR* pid) {
  auto fn = ownFunction<ddi::QueryFontFn>(deviceOf(dhpdev), kSlotQueryFont);
  return fn ? fn(dhpdev, iFile, iFace, pid) : nullptr;
}

PVOID QMX_APIENTRY hookQueryFontTree(DHPDEV dhpdev, ULONG_PTR iFile, ULONG iFace, ULONG iMode, ULONG_PTR* pid) {
  auto fn = ownFunction<ddi::QueryFontTreeFn>(deviceOf(dhpdev), kSlotQueryFontTree);
  return fn ? fn(dhpdev, iFile, iFace, iMode, pid) : nullptr;
}

LONG QMX_APIENTRY hookQueryFontData(DHPDEV dhpdev, FONTOBJ* pfo, ULONG iMode, HGLYPH hg, GLYPHDATA* pgd,
                                    PVOID pv, ULONG cjSize) {
  auto fn = ownFunction<ddi::QueryFontDataFn>(deviceOf(dhpdev), kSlotQueryFontData);
  // 0 would read as "no bytes", a success; failure has its own value here.
  return fn ? fn(dhpdev, pfo, iMode, hg, pgd, pv, cjSize) : ddi::kFdError;
}

BOOL QMX_APIENTRY hookQueryAdvanceWidths(DHPDEV dhpdev, FONTOBJ* pfo, ULONG iMode, HGLYPH* phg, PVOID pvWidths,
                                         ULONG cGlyphs) {
  auto fn = ownFunction<ddi::QueryAdvanceWidthsFn>(deviceOf(dhpdev), kSlotQueryAdvanceWidths);
  return fn ? fn(dhpdev, pfo, iMode, phg, pvWidths, cGlyphs) : 0;
}

ULONG QMX_APIENTRY hookFontManagement(SURFOBJ* pso, FONTOBJ* pfo, ULONG iMode, ULONG cjIn, PVOID pvIn,
                                      ULONG cjOut, PVOID pvOut) {
  // A font-management call may come without a surface; there is then no
  // device to find, as for any null first argument.
  auto fn = ownFunction<ddi::FontManagementFn>(deviceOf(pso), kSlotFontManagement);
  return fn ? fn(pso, pfo, iMode, cjIn, pvIn, cjOut, pvOut) : 0;
}

ULONG QMX_APIENTRY hookGetGlyphMode(DHPDEV dhpdev, FONTOBJ* pfo) {
  auto fn = ownFunction<ddi::GetGlyphModeFn>(deviceOf(dhpdev), kSlotGetGlyphMode);
  return fn ? fn(dhpdev, pfo) : 0;
}

// Searches the print system's table from its start; the first row wins.
ddi::RowPointer findOwnFunction(const DRVENABLEDATA* pded, ULONG index) {
  if (pded == nullptr || pded->pdrvfn == nullptr) return nullptr;
  const auto count = static_cast<std::int32_t>(pded->c);
  for (std::int32_t i = 0; i < count; ++i) {
    if (pded->pdrvfn[i].iFunc == index) return pded->pdrvfn[i].pfn;
  }
  return nullptr;
}

}  // namespace

// The casts are written out in the initializer, not through a function, so
// the table is filled when the module is loaded instead of by a constructor
// run at load time (the module has no static objects to construct).
#define QMX_HOOK_ROW(index, hook) \
  { ddi::index, reinterpret_cast<ddi::RowPointer>(reinterpret_cast<ddi::AnyFunction>(&hook)) }

const DRVFN HookTable[kHookCount] = {
    QMX_HOOK_ROW(kRealizeBrush, hookRealizeBrush),
    QMX_HOOK_ROW(kDitherColor, hookDitherColor),
    QMX_HOOK_ROW(kCopyBits, hookCopyBits),
    QMX_HOOK_ROW(kBitBlt, hookBitBlt),
    QMX_HOOK_ROW(kStretchBlt, hookStretchBlt),
    QMX_HOOK_ROW(kStretchBltROP, hookStretchBltROP),
    QMX_HOOK_ROW(kPlgBlt, hookPlgBlt),
    QMX_HOOK_ROW(kTransparentBlt, hookTransparentBlt),
    QMX_HOOK_ROW(kAlphaBlend, hookAlphaBlend),
    QMX_HOOK_ROW(kGradientFill, hookGradientFill),
    QMX_HOOK_ROW(kTextOut, hookTextOut),
    QMX_HOOK_ROW(kStrokePath, hookStrokePath),
    QMX_HOOK_ROW(kFillPath, hookFillPath),
    QMX_HOOK_ROW(kStrokeAndFillPath, hookStrokeAndFillPath),
    QMX_HOOK_ROW(kPaint, hookPaint),
    QMX_HOOK_ROW(kLineTo, hookLineTo),
    QMX_HOOK_ROW(kStartPage, hookStartPage),
    QMX_HOOK_ROW(kSendPage, hookSendPage),
    QMX_HOOK_ROW(kEscape, hookEscape),
    QMX_HOOK_ROW(kStartDoc, hookStartDoc),
    QMX_HOOK_ROW(kEndDoc, hookEndDoc),
    QMX_HOOK_ROW(kNextBand, hookNextBand),
    QMX_HOOK_ROW(kStartBanding, hookStartBanding),
    QMX_HOOK_ROW(kQueryFont, hookQueryFont),
    QMX_HOOK_ROW(kQueryFontTree, hookQueryFontTree),
    QMX_HOOK_ROW(kQueryFontData, hookQueryFontData),
    QMX_HOOK_ROW(kQueryAdvanceWidths, hookQueryAdvanceWidths),
    QMX_HOOK_ROW(kFontManagement, hookFontManagement),
    QMX_HOOK_ROW(kGetGlyphMode, hookGetGlyphMode),
};
#undef QMX_HOOK_ROW

void enableDriver(DRVENABLEDATA* pded) {
  if (pded == nullptr) return;
  pded->iDriverVersion = printsys::kPRINTER_OEMINTF_VERSION;
  pded->c = kHookCount;
  // The published record has no const; the print system only reads the rows.
  pded->pdrvfn = const_cast<DRVFN*>(HookTable);
}

HRESULT enablePdev(const DRVENABLEDATA* pded, PVOID* pDevOem) {
  if (pDevOem == nullptr) return printsys::kE_POINTER;
  auto* array = makeFrameObject<UnidrvHookArray>();
  *pDevOem = array;
  if (array == nullptr) return printsys::kE_FAIL;
  for (std::size_t row = 0; row < kHookCount; ++row) array->slots[row] = findOwnFunction(pded, HookTable[row].iFunc);
  return printsys::kS_OK;
}

void disablePdev(DEVOBJ* pdevobj) {
  if (pdevobj == nullptr) return;
  destroyFrameObject(static_cast<UnidrvHookArray*>(pdevobj->pdevOEM));
}

}  // namespace plugin
