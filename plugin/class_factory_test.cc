#include "plugin/class_factory.h"

#include <gtest/gtest.h>

#include <thread>
#include <vector>

#include "plugin/frame_test_support.h"
#include "plugin/module.h"

namespace {

using frametest::factory;
using frametest::kUntouched;
using namespace printsys;

class ClassFactoryTest : public frametest::FrameTest {};

TEST_F(ClassFactoryTest, OnlyTheRenderingPluginClassIsAvailable) {
  // Other published identifiers, and the class itself with any one byte off.
  std::vector<GUID> others = {kIID_IUnknown, kIID_IClassFactory, kIID_IPrintOemUni, GUID{}};
  for (int byte = 0; byte < 16; ++byte) {
    others.push_back(kCLSID_OEMRENDER);
    reinterpret_cast<std::uint8_t*>(&others.back())[byte] ^= 0x01;
  }
  for (const GUID& clsid : others) {
    void* ppv = kUntouched;
    EXPECT_EQ(DllGetClassObject(clsid, kIID_IClassFactory, &ppv), kCLASS_E_CLASSNOTAVAILABLE);
    EXPECT_EQ(ppv, kUntouched);
  }
}

TEST_F(ClassFactoryTest, FactoryComesWithOneReferenceAndAnswersOnlyItsInterfaces) {
  for (const GUID& iid : {kIID_IUnknown, kIID_IClassFactory}) {
    void* ppv = nullptr;
    ASSERT_EQ(DllGetClassObject(kCLSID_OEMRENDER, iid, &ppv), kS_OK);
    auto* f = static_cast<IClassFactory*>(ppv);
    EXPECT_EQ(f->AddRef(), 2u);
    EXPECT_EQ(f->Release(), 1u);  // the remaining count while another reference holds it
    for (const GUID& other : {kIID_IPrintOemUni, kIID_IPrintOemDriverUni}) {
      ppv = kUntouched;
      EXPECT_EQ(f->QueryInterface(other, &ppv), kE_NOINTERFACE);
      EXPECT_EQ(ppv, nullptr);
    }
    EXPECT_EQ(f->Release(), 0u);
  }
  // The factory made for a refused call is freed again (the leak checker of
  // the sanitizer build sees it otherwise).
  void* ppv = kUntouched;
  EXPECT_EQ(DllGetClassObject(kCLSID_OEMRENDER, kIID_IPrintOemUni, &ppv), kE_NOINTERFACE);
  EXPECT_EQ(ppv, nullptr);
}

TEST_F(ClassFactoryTest, NullArgumentsAnswerEPointer) {
  void* ppv = kUntouched;
  EXPECT_EQ(DllGetClassObject(kCLSID_OEMRENDER, kIID_IClassFactory, nullptr), kE_POINTER);
  EXPECT_EQ(frametest::getClassObjectWithoutClass(&ppv), kE_POINTER);
  EXPECT_EQ(frametest::getClassObjectWithoutInterface(&ppv), kE_POINTER);
  EXPECT_EQ(ppv, kUntouched);

  IClassFactory* f = factory();
  EXPECT_EQ(f->QueryInterface(kIID_IUnknown, nullptr), kE_POINTER);
  EXPECT_EQ(frametest::queryWithoutInterface(f, &ppv), kE_POINTER);
  EXPECT_EQ(ppv, nullptr);
  EXPECT_EQ(f->CreateInstance(nullptr, kIID_IPrintOemUni, nullptr), kE_POINTER);
  EXPECT_EQ(frametest::createWithoutInterface(f, &ppv), kE_POINTER);
  EXPECT_EQ(f->Release(), 0u);
}

TEST_F(ClassFactoryTest, CreateInstanceRefusesAggregationAndForeignInterfaces) {
  IClassFactory* f = factory();
  void* ppv = kUntouched;
  EXPECT_EQ(f->CreateInstance(f, kIID_IPrintOemUni, &ppv), kCLASS_E_NOAGGREGATION);
  EXPECT_EQ(ppv, kUntouched);
  for (const GUID& iid : {kIID_IClassFactory, kIID_IPrintOemDriverUni}) {
    EXPECT_EQ(f->CreateInstance(nullptr, iid, &ppv), kE_NOINTERFACE);
    EXPECT_EQ(ppv, nullptr);
    EXPECT_EQ(plugin::liveObjects(), 0) << "the object made for the call is freed";
  }
  f->Release();
}

TEST_F(ClassFactoryTest, LiveObjectsKeepTheModuleLoaded) {
  IClassFactory* f = factory();
  EXPECT_EQ(DllCanUnloadNow(), kS_OK) << "a factory neither counts nor locks";
  void* ppv = nullptr;
  ASSERT_EQ(f->CreateInstance(nullptr, kIID_IPrintOemUni, &ppv), kS_OK);
  f->Release();
  auto* object = static_cast<IUnknown*>(ppv);
  EXPECT_EQ(plugin::liveObjects(), 1);
  EXPECT_EQ(DllCanUnloadNow(), kS_FALSE);
  EXPECT_EQ(object->AddRef(), 2u);  // created with one reference
  EXPECT_EQ(object->Release(), 1u);
  EXPECT_EQ(DllCanUnloadNow(), kS_FALSE);
  EXPECT_EQ(object->Release(), 0u);
  EXPECT_EQ(DllCanUnloadNow(), kS_OK);
}

TEST_F(ClassFactoryTest, ServerLocksCountBothWaysWithoutBounds) {
  IClassFactory* f = factory();
  // Any non-zero value locks; an unmatched unlock goes below zero and keeps
  // the module loaded until a lock brings the count back.
  const struct {
    BOOL lock;
    std::int32_t count;
    HRESULT canUnload;
  } steps[] = {{1, 1, kS_FALSE}, {0, 0, kS_OK},    {0, -1, kS_FALSE}, {1, 0, kS_OK},
               {-1, 1, kS_FALSE}, {2, 2, kS_FALSE}, {0, 1, kS_FALSE},  {0, 0, kS_OK}};
  for (const auto& s : steps) {
    EXPECT_EQ(f->LockServer(s.lock), kS_OK);
    EXPECT_EQ(plugin::serverLocks(), s.count);
    EXPECT_EQ(DllCanUnloadNow(), s.canUnload) << "lock count " << s.count;
  }
  f->Release();
}

TEST_F(ClassFactoryTest, OutOfMemoryLeavesNothingBehind) {
  void* ppv = kUntouched;
  plugin::testing::failFrameAllocation(1);
  EXPECT_EQ(DllGetClassObject(kCLSID_OEMRENDER, kIID_IClassFactory, &ppv), kE_OUTOFMEMORY);
  IClassFactory* f = factory();
  plugin::testing::failFrameAllocation(1);
  EXPECT_EQ(f->CreateInstance(nullptr, kIID_IPrintOemUni, &ppv), kE_OUTOFMEMORY);
  EXPECT_EQ(ppv, kUntouched);
  f->Release();
}

TEST_F(ClassFactoryTest, CountsStayExactUnderConcurrentUse) {
  IPrintOemUni* shared = frametest::createPlugin();
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([shared] {
      IClassFactory* f = factory();
      for (int i = 0; i < 2000; ++i) {
        shared->AddRef();
        void* ppv = nullptr;
        if (f->CreateInstance(nullptr, kIID_IPrintOemUni, &ppv) == kS_OK) static_cast<IUnknown*>(ppv)->Release();
        f->LockServer(1);
        f->LockServer(0);
        shared->Release();
      }
      f->Release();
    });
  }
  for (auto& t : threads) t.join();
  EXPECT_EQ(plugin::liveObjects(), 1);
  EXPECT_EQ(plugin::serverLocks(), 0);
  EXPECT_EQ(shared->Release(), 0u);
}

}  // namespace
