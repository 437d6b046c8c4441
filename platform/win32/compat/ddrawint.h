// winddi.h includes this header, which the mingw-w64 packages of some
// distributions leave out. The plug-in uses none of the display-driver
// records declared here, so opaque declarations of the names winddi.h
// mentions are all it needs.
#ifndef QMX_COMPAT_DDRAWINT_H_
#define QMX_COMPAT_DDRAWINT_H_

typedef struct _DD_SURFACE_LOCAL DD_SURFACE_LOCAL, *PDD_SURFACE_LOCAL;
typedef struct _DD_DIRECTDRAW_GLOBAL DD_DIRECTDRAW_GLOBAL;
typedef struct _DD_CALLBACKS DD_CALLBACKS;
typedef struct _DD_SURFACECALLBACKS DD_SURFACECALLBACKS;
typedef struct _DD_PALETTECALLBACKS DD_PALETTECALLBACKS;
typedef struct _DD_HALINFO DD_HALINFO;
typedef struct _VIDEOMEMORY VIDEOMEMORY;

#endif  // QMX_COMPAT_DDRAWINT_H_
