// The plug-in's private device-mode record (572 bytes, layout in
// devmode_layout.h): sizing, defaulting, converting and merging it for the
// print system's DevMode requests.
//
// No field is range-checked here; the job settings check them when a job
// starts. Nothing here keeps state: only the records handed in are touched,
// and never beyond their first 572 bytes.
#ifndef QMX_SETTINGS_PRIVATE_DEVMODE_H_
#define QMX_SETTINGS_PRIVATE_DEVMODE_H_

#include "printsys/printsys.h"

namespace settings {

// The DevMode method: OEMDM_SIZE reports 572 in cbBufSize; OEMDM_DEFAULT
// stamps the header of pOEMDMOut and leaves every settings field as the buffer
// held it; OEMDM_CONVERT converts pOEMDMIn into pOEMDMOut; OEMDM_MERGE
// converts, then stamps pOEMDMOut.
// S_OK, or E_FAIL with last error ERROR_INVALID_PARAMETER for a null request,
// an unknown mode, or OEMDM_DEFAULT without an output record. Convert and
// Merge answer S_OK even when a record is missing.
HRESULT privateDevMode(DWORD mode, OEMDMPARAM* param);

// Writes size 572, the plug-in's signature, version 1 and clearOnMerge 0.
// False (nothing written) when the record is null.
bool stampPrivateDevMode(void* record);

// Same signatures: copies the first min(in.dwSize, out.dwSize, 572) bytes of
// `in` over `out` after clearing out.clearOnMerge. Different signatures:
// copies nothing, gives `out` the plug-in's signature and clearOnMerge 0.
// Either way `out` ends with size 572 and version 1.
// False (nothing written) when either record is null. `in` and `out` may be
// the same record.
bool convertPrivateDevMode(const void* in, void* out);

}  // namespace settings

#endif  // QMX_SETTINGS_PRIVATE_DEVMODE_H_
