// Graphics-call hooks: the plug-in hooks 29 DDI functions and hands every
// call, unchanged, back to the print system's own function (DrvRealizeBrush
// excepted, which answers TRUE by itself). Drawing stays with the print
// system; the plug-in only works on the finished raster lines.
#ifndef QMX_PLUGIN_HOOKS_H_
#define QMX_PLUGIN_HOOKS_H_

#include <cstddef>

#include "printsys/ddi.h"
#include "printsys/printsys.h"

namespace plugin {

inline constexpr std::size_t kHookCount = 29;
// Room for one slot more than the hooks use; the last slot stays unused.
inline constexpr std::size_t kHookArraySlots = 30;

// The hooked DDI functions, one row per hook; row i's hook calls slot i of
// the device's UnidrvHookArray.
extern const DRVFN HookTable[kHookCount];

// The print system's own function for every row of HookTable (null where it
// offers none). Lives from EnablePDEV to DisablePDEV in DEVOBJ::pdevOEM.
struct UnidrvHookArray {
  ddi::RowPointer slots[kHookArraySlots];
};

// Hands the print system HookTable: version PRINTER_OEMINTF_VERSION, 29 rows.
// A null pded is ignored.
void enableDriver(DRVENABLEDATA* pded);

// Builds the device's UnidrvHookArray from the print system's own table and
// stores it in *pDevOem (null on failure). S_OK, E_FAIL when no memory can be
// had, E_POINTER when pDevOem is null. A null pded gives an all-null array.
HRESULT enablePdev(const DRVENABLEDATA* pded, PVOID* pDevOem);

// Frees the array held in pdevobj->pdevOEM; the field itself is left alone.
void disablePdev(DEVOBJ* pdevobj);

}  // namespace plugin

#endif  // QMX_PLUGIN_HOOKS_H_
