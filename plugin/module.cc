#include "plugin/module.h"

#include <atomic>

#include "platform/platform.h"
#include "plugin/class_factory.h"

namespace plugin {
namespace {

// Plain 32-bit module state, zero at load: the counts change through the
// platform's interlocked operations and are read as whole 32-bit values.
alignas(std::atomic_ref<std::int32_t>::required_alignment) std::int32_t objectCount = 0;
alignas(std::atomic_ref<std::int32_t>::required_alignment) std::int32_t lockCount = 0;
void* instanceHandle = nullptr;

std::int32_t readCount(std::int32_t& count) { return std::atomic_ref<std::int32_t>(count).load(); }

}  // namespace

void countObject(bool alive) {
  if (alive)
    platform::atomicIncrement(&objectCount);
  else
    platform::atomicDecrement(&objectCount);
}

void countLock(bool locked) {
  if (locked)
    platform::atomicIncrement(&lockCount);
  else
    platform::atomicDecrement(&lockCount);
}

std::int32_t liveObjects() { return readCount(objectCount); }
std::int32_t serverLocks() { return readCount(lockCount); }

void* moduleHandle() { return instanceHandle; }

#if defined(QMX_FAULT_INJECTION)
namespace testing {
namespace {
int allocationCountdown = 0;
}  // namespace

void failFrameAllocation(int nth) { allocationCountdown = nth; }

bool frameAllocationRefused() {
  if (allocationCountdown <= 0) return false;
  return --allocationCountdown == 0;
}
}  // namespace testing
#endif

#if defined(_WIN32)
void recordInstance(HINSTANCE instance) { instanceHandle = instance; }
#endif

}  // namespace plugin

#if defined(_WIN32)
// Nothing to set up or tear down: no static objects, no per-thread state.
extern "C" BOOL WINAPI DllMain(HINSTANCE hInstance, DWORD dwReason, LPVOID) {
  if ((dwReason & 0xFFFF) == printsys::kDLL_PROCESS_ATTACH) plugin::recordInstance(hInstance);
  return TRUE;
}
#endif

extern "C" HRESULT QMX_STDCALL DllGetClassObject(REFCLSID rclsid, REFIID riid, void** ppv) {
  if (plugin::absent(&rclsid) || plugin::absent(&riid) || ppv == nullptr) return printsys::kE_POINTER;
  if (!printsys::sameGuid(rclsid, printsys::kCLSID_OEMRENDER)) return printsys::kCLASS_E_CLASSNOTAVAILABLE;
  auto* factory = plugin::makeFrameObject<plugin::PluginClassFactory>();
  if (factory == nullptr) return printsys::kE_OUTOFMEMORY;
  // On failure QueryInterface nulls *ppv and the Release frees the factory.
  HRESULT result = factory->QueryInterface(riid, ppv);
  factory->Release();
  return result;
}

extern "C" HRESULT QMX_STDCALL DllCanUnloadNow() {
  return plugin::liveObjects() != 0 || plugin::serverLocks() != 0 ? printsys::kS_FALSE : printsys::kS_OK;
}
