// Helpers of the plug-in frame's tests: reaching the linked module the way
// the print system does, and calling it with the null pointers a C caller
// can hand over where the C++ signatures have references.
#ifndef QMX_PLUGIN_FRAME_TEST_SUPPORT_H_
#define QMX_PLUGIN_FRAME_TEST_SUPPORT_H_

#include <gtest/gtest.h>

#include "platform/platform.h"
#include "plugin/module.h"
#include "printsys/printsys.h"

namespace frametest {

// A value no call of the frame produces, to see what was left alone.
inline void* const kUntouched = reinterpret_cast<void*>(static_cast<std::uintptr_t>(0x5EED));

// Calls with a null address where a GUID reference belongs, as a C caller
// can make them. Made without the sanitizer's reference check, since a null
// reference is the point.
#define QMX_AS_C_CALLER __attribute__((no_sanitize("undefined")))

QMX_AS_C_CALLER inline HRESULT getClassObjectWithoutClass(void** ppv) {
  const GUID* volatile none = nullptr;
  return DllGetClassObject(*none, printsys::kIID_IClassFactory, ppv);
}
QMX_AS_C_CALLER inline HRESULT getClassObjectWithoutInterface(void** ppv) {
  const GUID* volatile none = nullptr;
  return DllGetClassObject(printsys::kCLSID_OEMRENDER, *none, ppv);
}
QMX_AS_C_CALLER inline HRESULT queryWithoutInterface(IUnknown* object, void** ppv) {
  const GUID* volatile none = nullptr;
  return object->QueryInterface(*none, ppv);
}
QMX_AS_C_CALLER inline HRESULT createWithoutInterface(IClassFactory* factory, void** ppv) {
  const GUID* volatile none = nullptr;
  return factory->CreateInstance(nullptr, *none, ppv);
}

inline IClassFactory* factory() {
  void* ppv = nullptr;
  EXPECT_EQ(DllGetClassObject(printsys::kCLSID_OEMRENDER, printsys::kIID_IClassFactory, &ppv), printsys::kS_OK);
  return static_cast<IClassFactory*>(ppv);
}

inline IPrintOemUni* createPlugin() {
  IClassFactory* f = factory();
  void* ppv = nullptr;
  EXPECT_EQ(f->CreateInstance(nullptr, printsys::kIID_IPrintOemUni, &ppv), printsys::kS_OK);
  f->Release();
  return static_cast<IPrintOemUni*>(ppv);
}

// Every test starts and must end with nothing alive and nothing locked.
class FrameTest : public ::testing::Test {
 protected:
  void SetUp() override {
    plugin::testing::failFrameAllocation(0);
    ASSERT_EQ(plugin::liveObjects(), 0);
    ASSERT_EQ(plugin::serverLocks(), 0);
  }
  void TearDown() override {
    plugin::testing::failFrameAllocation(0);
    EXPECT_EQ(plugin::liveObjects(), 0) << "a plug-in object was left alive";
    EXPECT_EQ(plugin::serverLocks(), 0) << "a server lock was left held";
  }
};

// A plug-in object made as the print system makes it, released at the end.
class PluginObjectTest : public FrameTest {
 protected:
  void SetUp() override {
    FrameTest::SetUp();
    plugin_ = createPlugin();
    ASSERT_NE(plugin_, nullptr);
  }
  void TearDown() override {
    if (plugin_ != nullptr) {
      EXPECT_EQ(plugin_->Release(), 0u);
    }
    FrameTest::TearDown();
  }
  void destroy() {
    EXPECT_EQ(plugin_->Release(), 0u);
    plugin_ = nullptr;
  }
  IPrintOemUni* plugin_ = nullptr;
};

}  // namespace frametest

#endif  // QMX_PLUGIN_FRAME_TEST_SUPPORT_H_
