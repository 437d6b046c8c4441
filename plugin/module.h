// Module entry and module-wide state of the COM in-process server: the two
// exports, the live-object and server-lock counts, and the allocator of the
// frame's own objects (COM objects and per-device hook arrays).
#ifndef QMX_PLUGIN_MODULE_H_
#define QMX_PLUGIN_MODULE_H_

#include <cstdint>
#include <new>
#include <utility>

#include "printsys/printsys.h"

#if defined(_WIN32)
#define QMX_EXPORT
#else
#define QMX_EXPORT __attribute__((visibility("default")))
#endif

// The only two exports. DllGetClassObject answers the rendering plug-in class
// alone; DllCanUnloadNow is S_OK once no plug-in object lives and no server
// lock is held. Null arguments answer E_POINTER.
extern "C" QMX_EXPORT HRESULT QMX_STDCALL DllGetClassObject(REFCLSID rclsid, REFIID riid, void** ppv);
extern "C" QMX_EXPORT HRESULT QMX_STDCALL DllCanUnloadNow();

namespace plugin {

// Live PluginObjects and server locks; changed only atomically.
void countObject(bool alive);
void countLock(bool locked);
std::int32_t liveObjects();
std::int32_t serverLocks();

// The instance handle recorded at process attach (Windows only; null elsewhere).
void* moduleHandle();

// The print system hands C pointers where the published C++ signatures have
// references; a null one must be answered, not dereferenced. Callers pass
// the reference's address (absent(&riid)); the volatile read keeps the
// compiler from assuming that address is never null.
template <typename T>
inline bool absent(const T* address) {
  const T* volatile checked = address;
  return checked == nullptr;
}

namespace testing {
// Test builds only (QMX_FAULT_INJECTION): the nth frame allocation from now
// fails (0 = none).
void failFrameAllocation(int nth);
// True when the control above refuses this allocation.
bool frameAllocationRefused();
}  // namespace testing

// Frame objects come from the ordinary allocator; null when memory is short.
template <typename T, typename... Args>
T* makeFrameObject(Args&&... args) {
#if defined(QMX_FAULT_INJECTION)
  if (testing::frameAllocationRefused()) return nullptr;
#endif
  return new (std::nothrow) T(std::forward<Args>(args)...);
}
template <typename T>
void destroyFrameObject(T* object) {
  delete object;
}

}  // namespace plugin

#endif  // QMX_PLUGIN_MODULE_H_
