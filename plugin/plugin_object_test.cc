#include "plugin/plugin_object.h"

#include <gtest/gtest.h>

#include <array>
#include <string>

#include "platform/platform.h"
#include "plugin/frame_test_support.h"

namespace {

using frametest::kUntouched;
using namespace printsys;

class PluginObjectTest : public frametest::PluginObjectTest {
 protected:
  HRESULT implemented(const char* name) {
    std::string copy = name;
    return plugin_->GetImplementedMethod(copy.data());
  }
};

TEST_F(PluginObjectTest, QueryInterfaceAnswersOnlyTheRenderingInterface) {
  for (const GUID& iid : {kIID_IUnknown, kIID_IPrintOemUni}) {
    void* ppv = nullptr;
    ASSERT_EQ(plugin_->QueryInterface(iid, &ppv), kS_OK);
    EXPECT_EQ(ppv, static_cast<IUnknown*>(plugin_));
    EXPECT_EQ(plugin_->Release(), 1u);
  }
  void* ppv = kUntouched;
  for (const GUID& iid : {kIID_IPrintOemDriverUni, kIID_IClassFactory}) {
    EXPECT_EQ(plugin_->QueryInterface(iid, &ppv), kE_NOINTERFACE);
    EXPECT_EQ(ppv, nullptr);
  }
  EXPECT_EQ(plugin_->QueryInterface(kIID_IUnknown, nullptr), kE_POINTER);
  EXPECT_EQ(frametest::queryWithoutInterface(plugin_, &ppv), kE_POINTER);
  EXPECT_EQ(plugin_->AddRef(), 2u) << "refused queries add no reference";
  EXPECT_EQ(plugin_->Release(), 1u);
}

TEST_F(PluginObjectTest, GetInfoAnswersEachModeAsPublished) {
  constexpr DWORD kNoError = 0xC0FFEE, kNotWritten = 0xAAAA;
  constexpr std::uint32_t kFill = 0xA5A5A5A5;
  const struct {
    const char* what;
    DWORD mode, cbSize;
    bool withBuffer, withNeeded;
    HRESULT result;
    DWORD lastError, needed;
    std::uint32_t stored;  // the buffer's first four bytes afterwards
  } cases[] = {
      {"no size pointer", 1, 4, true, false, kE_FAIL, 87, kNotWritten, kFill},
      {"signature", 1, 4, true, true, kS_OK, kNoError, 4, 0x4D534654},
      {"signature, 3 bytes", 1, 3, true, true, kE_FAIL, 122, 4, kFill},
      {"signature, no buffer", 1, 4, false, true, kE_FAIL, 122, 4, kFill},
      {"version, 16 bytes", 3, 16, true, true, kS_OK, kNoError, 4, 1},
      {"interface version", 2, 16, true, true, kE_FAIL, 87, kNotWritten, kFill},
      {"mode 0", 0, 16, true, true, kE_FAIL, 87, kNotWritten, kFill},
      {"mode 5", 5, 16, true, true, kE_FAIL, 87, kNotWritten, kFill},
      {"publisher", 4, 16, true, true, kE_FAIL, kNoError, 8, kFill},
      {"publisher, no buffer", 4, 0, false, true, kE_FAIL, kNoError, 8, kFill},
  };
  for (const auto& c : cases) {
    std::array<std::uint32_t, 4> buffer;
    buffer.fill(kFill);
    DWORD needed = kNotWritten;
    platform::setLastError(kNoError);
    EXPECT_EQ(plugin_->GetInfo(c.mode, c.withBuffer ? buffer.data() : nullptr, c.cbSize,
                               c.withNeeded ? &needed : nullptr),
              c.result)
        << c.what;
    EXPECT_EQ(platform::lastError(), c.lastError) << c.what;
    EXPECT_EQ(needed, c.needed) << c.what;
    EXPECT_EQ(buffer, (std::array<std::uint32_t, 4>{c.stored, kFill, kFill, kFill})) << c.what;
  }
}

TEST_F(PluginObjectTest, GetImplementedMethodNamesEveryMethodButFive) {
  for (const char* name :
       {"CommandCallback", "Compression", "DisableDriver", "DisablePDEV", "DriverDMS", "DevMode",
        "DownloadFontHeader", "DownloadCharGlyph", "EnableDriver", "EnablePDEV", "FilterGraphics", "GetInfo",
        "HalftonePattern", "ImageProcessing", "MemoryUsage", "OutputCharStr", "ResetPDEV", "SendFontCmd",
        "TextOutAsBitmap", "TTDownloadMethod", "TTYGetInfo"}) {
    EXPECT_EQ(implemented(name), kS_OK) << name;
  }
  for (const char* name : {"QueryInterface", "AddRef", "Release", "PublishDriverInterface", "GetImplementedMethod",
                           "disabledriver", "DisableDriver ", "DisableDrive", "DisableDriverX", "", "T", "\xC3\xA9"}) {
    EXPECT_EQ(implemented(name), kS_FALSE) << '"' << name << '"';
  }
  EXPECT_EQ(plugin_->GetImplementedMethod(nullptr), kS_FALSE);
}

TEST_F(PluginObjectTest, MethodsThatDoNothingTouchNoArgument) {
  INT result = 77;
  BYTE* processed = reinterpret_cast<BYTE*>(kUntouched);
  EXPECT_EQ(plugin_->Compression(nullptr, nullptr, nullptr, 8, 8, &result), kE_NOTIMPL);
  EXPECT_EQ(result, 77);
  EXPECT_EQ(plugin_->ImageProcessing(nullptr, nullptr, nullptr, nullptr, 1, nullptr, &processed), kS_OK);
  EXPECT_EQ(processed, kUntouched);
}

TEST_F(PluginObjectTest, JobCallbacksAnswerOkAndClearTheResult) {
  DEVOBJ devobj{};
  for (DWORD id : {0u, 5u, 0xFFFFFFFFu}) {  // IDs that change nothing in the job
    INT result = -3;
    EXPECT_EQ(plugin_->CommandCallback(&devobj, id, 0, nullptr, &result), kS_OK) << id;
    EXPECT_EQ(result, 0) << id;
    EXPECT_EQ(plugin_->CommandCallback(&devobj, id, 0, nullptr, nullptr), kS_OK) << id;
  }
  BYTE line[72] = {0xFF};  // no job: the line has nowhere to go
  EXPECT_EQ(plugin_->FilterGraphics(&devobj, line, sizeof line), kS_OK);
  EXPECT_EQ(plugin_->FilterGraphics(&devobj, nullptr, sizeof line), kS_OK);
}

}  // namespace
