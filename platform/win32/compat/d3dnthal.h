// winddi.h includes this header, which the mingw-w64 packages of some
// distributions leave out; the plug-in needs nothing from it.
#ifndef QMX_COMPAT_D3DNTHAL_H_
#define QMX_COMPAT_D3DNTHAL_H_
#endif  // QMX_COMPAT_D3DNTHAL_H_
