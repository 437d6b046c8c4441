#include "plugin/hooks.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <set>
#include <tuple>
#include <utility>
#include <vector>

#include "host/ddi_table.h"
#include "host/linked_module.h"
#include "host/print_session.h"
#include "plugin/frame_test_support.h"

namespace {

using host::word;

// The hooked indexes in the order the print system must receive them.
constexpr ULONG kExpectedOrder[plugin::kHookCount] = {12, 13, 19, 18, 20, 69, 70, 74, 71, 68, 23, 14, 15, 16, 17,
                                                      31, 33, 32, 24, 35, 34, 58, 57, 26, 27, 28, 53, 47, 37};

class HooksTest : public frametest::FrameTest {
 protected:
  void SetUp() override {
    FrameTest::SetUp();
    host::clearDdiCalls();
    host::resetDdiResults();
    module_ = host::linkedModule();
  }
  void TearDown() override {
    if (session_ != nullptr) {
      EXPECT_EQ(session_->close(), printsys::kS_OK);
    }
    session_.reset();
    host::resetDdiResults();
    FrameTest::TearDown();
  }

  // The print system's set-up, with `table` as its own DDI functions.
  void open(std::optional<std::vector<DRVFN>> table = std::nullopt) {
    host::SessionOptions options;
    options.ddiTable = std::move(table);
    std::string error;
    session_ = host::PrintSession::open(*module_, options, &error);
    ASSERT_NE(session_, nullptr) << error;
  }
  // The hook the print system received for a DDI index.
  ddi::RowPointer hook(ULONG index) const {
    const DRVENABLEDATA& d = session_->hooks();
    for (ULONG i = 0; i < d.c; ++i)
      if (d.pdrvfn[i].iFunc == index) return d.pdrvfn[i].pfn;
    ADD_FAILURE() << "no hook for index " << index;
    return nullptr;
  }
  std::unique_ptr<host::PluginModule> module_;
  std::unique_ptr<host::PrintSession> session_;
};

TEST_F(HooksTest, EnableDriverHandsOverTheTableInOrder) {
  open();
  const DRVENABLEDATA& d = session_->hooks();
  EXPECT_EQ(d.iDriverVersion, 0x00010000u);
  ASSERT_EQ(d.c, plugin::kHookCount);
  ASSERT_EQ(d.pdrvfn, plugin::HookTable);
  std::set<ddi::RowPointer> distinct;
  for (std::size_t row = 0; row < plugin::kHookCount; ++row) {
    EXPECT_EQ(d.pdrvfn[row].iFunc, kExpectedOrder[row]) << "row " << row;
    EXPECT_NE(d.pdrvfn[row].pfn, nullptr);
    distinct.insert(d.pdrvfn[row].pfn);
  }
  EXPECT_EQ(distinct.size(), plugin::kHookCount);
}

std::vector<DRVFN> without(ULONG index) {
  std::vector<DRVFN> table = host::ddiTable();
  std::erase_if(table, [index](const DRVFN& row) { return row.iFunc == index; });
  return table;
}

TEST_F(HooksTest, SlotsAreFilledByIndexFromThePrintSystemsTable) {
  std::vector<DRVFN> reversed = host::ddiTable();
  std::reverse(reversed.begin(), reversed.end());
  std::vector<DRVFN> rotated = host::ddiTable();
  std::rotate(rotated.begin(), rotated.begin() + 11, rotated.end());
  rotated.insert(rotated.begin() + 5, {99, host::ddiFunction(ddi::kPaint)});  // not hooked: passed over
  // Duplicates: the first row listed wins.
  std::vector<DRVFN> duplicated = host::ddiTable();
  duplicated.insert(duplicated.begin(), {ddi::kTextOut, host::ddiFunction(ddi::kPaint)});
  duplicated.push_back({ddi::kBitBlt, host::ddiFunction(ddi::kCopyBits)});
  std::vector<DRVFN> noGradientFill = without(ddi::kGradientFill);
  std::vector<DRVFN> full = host::ddiTable();
  const std::set<ULONG> none, all(std::begin(kExpectedOrder), std::end(kExpectedOrder));

  const struct {
    const char* what;
    DRVENABLEDATA own;
    std::set<ULONG> missing;
    ULONG textOutFrom;  // whose function DrvTextOut's slot holds
  } cases[] = {
      {"reversed", {0x10000, 29, reversed.data()}, none, ddi::kTextOut},
      {"rotated, padded", {0x10000, 30, rotated.data()}, none, ddi::kTextOut},
      {"duplicates", {0x10000, 31, duplicated.data()}, none, ddi::kPaint},
      {"no DrvGradientFill", {0x10000, 28, noGradientFill.data()}, {ddi::kGradientFill}, ddi::kTextOut},
      {"count 0", {0x10000, 0, full.data()}, all, 0},
      {"negative count", {0x10000, 0x80000000u, full.data()}, all, 0},
      {"no rows", {0x10000, 29, nullptr}, all, 0},
  };
  open();
  IPrintOemUni* plugin = session_->plugin();
  for (const auto& c : cases) {
    DRVENABLEDATA own = c.own;
    PVOID devOem = frametest::kUntouched;
    ASSERT_EQ(plugin->EnablePDEV(session_->device(), nullptr, 0, nullptr, 0, nullptr, 0, nullptr, &own, &devOem),
              printsys::kS_OK)
        << c.what;
    const auto* array = static_cast<plugin::UnidrvHookArray*>(devOem);
    for (std::size_t row = 0; row < plugin::kHookCount; ++row) {
      ULONG index = plugin::HookTable[row].iFunc;
      ULONG from = index == ddi::kTextOut ? c.textOutFrom : index;
      EXPECT_EQ(array->slots[row], c.missing.count(index) ? nullptr : host::ddiFunction(from))
          << c.what << ", row " << row;
    }
    EXPECT_EQ(array->slots[plugin::kHookArraySlots - 1], nullptr) << c.what;
    DEVOBJ device{};
    device.pdevOEM = devOem;
    EXPECT_EQ(plugin->DisablePDEV(&device), printsys::kS_OK);
    EXPECT_EQ(device.pdevOEM, devOem) << "the field is the print system's to clear";
  }

  PVOID devOem = frametest::kUntouched;
  DRVENABLEDATA own = cases[0].own;
  plugin::testing::failFrameAllocation(1);
  EXPECT_EQ(plugin->EnablePDEV(session_->device(), nullptr, 0, nullptr, 0, nullptr, 0, nullptr, &own, &devOem),
            printsys::kE_FAIL);
  EXPECT_EQ(devOem, nullptr) << "out of memory";
  EXPECT_EQ(plugin->EnablePDEV(session_->device(), nullptr, 0, nullptr, 0, nullptr, 0, nullptr, &own, nullptr),
            printsys::kE_POINTER);
}

// Calls a hook the way the print system does, with a distinct value for
// every argument after the first. Gives the result and the arguments sent,
// as the host's log records them.
template <typename Fn>
struct HookCall;

template <typename R, typename First, typename... Rest>
struct HookCall<R(QMX_APIENTRY*)(First, Rest...)> {
  template <typename T>
  static T argument(std::uintptr_t position) {
    if constexpr (std::is_pointer_v<T>)
      return reinterpret_cast<T>(0x10000 + 0x100 * position);
    else
      return static_cast<T>(0xA0000000u + position);  // negative where the type is signed
  }
  template <std::size_t... I>
  static std::pair<std::uintptr_t, std::vector<std::uintptr_t>> run(ddi::RowPointer hook, First first,
                                                                      std::index_sequence<I...>) {
    auto fn = ddi::fromRowPointer<R(QMX_APIENTRY*)(First, Rest...)>(hook);
    R result = fn(first, argument<Rest>(I + 1)...);
    return {word(result), {word(first), word(argument<Rest>(I + 1))...}};
  }
  static auto run(ddi::RowPointer hook, First first) { return run(hook, first, std::index_sequence_for<Rest...>{}); }
};

// What every hook must do, for one device: `check` is given each hook's
// index, its published signature as a type, and its first argument.
template <typename Check>
void forEveryPassThroughHook(DEVOBJ* device, SURFOBJ* surface, Check check) {
  auto dev = reinterpret_cast<DHPDEV>(device);
  check(ddi::kDitherColor, static_cast<ddi::DitherColorFn>(nullptr), dev, ULONG{0});
  check(ddi::kCopyBits, static_cast<ddi::CopyBitsFn>(nullptr), surface, BOOL{0});
  check(ddi::kBitBlt, static_cast<ddi::BitBltFn>(nullptr), surface, BOOL{0});
  check(ddi::kStretchBlt, static_cast<ddi::StretchBltFn>(nullptr), surface, BOOL{0});
  check(ddi::kStretchBltROP, static_cast<ddi::StretchBltROPFn>(nullptr), surface, BOOL{0});
  check(ddi::kPlgBlt, static_cast<ddi::PlgBltFn>(nullptr), surface, BOOL{0});
  check(ddi::kTransparentBlt, static_cast<ddi::TransparentBltFn>(nullptr), surface, BOOL{0});
  check(ddi::kAlphaBlend, static_cast<ddi::AlphaBlendFn>(nullptr), surface, BOOL{0});
  check(ddi::kGradientFill, static_cast<ddi::GradientFillFn>(nullptr), surface, BOOL{0});
  check(ddi::kTextOut, static_cast<ddi::TextOutFn>(nullptr), surface, BOOL{0});
  check(ddi::kStrokePath, static_cast<ddi::StrokePathFn>(nullptr), surface, BOOL{0});
  check(ddi::kFillPath, static_cast<ddi::FillPathFn>(nullptr), surface, BOOL{0});
  check(ddi::kStrokeAndFillPath, static_cast<ddi::StrokeAndFillPathFn>(nullptr), surface, BOOL{0});
  check(ddi::kPaint, static_cast<ddi::PaintFn>(nullptr), surface, BOOL{0});
  check(ddi::kLineTo, static_cast<ddi::LineToFn>(nullptr), surface, BOOL{0});
  check(ddi::kStartPage, static_cast<ddi::StartPageFn>(nullptr), surface, BOOL{0});
  check(ddi::kSendPage, static_cast<ddi::SendPageFn>(nullptr), surface, BOOL{0});
  check(ddi::kEscape, static_cast<ddi::EscapeFn>(nullptr), surface, ULONG{0});
  check(ddi::kStartDoc, static_cast<ddi::StartDocFn>(nullptr), surface, BOOL{0});
  check(ddi::kEndDoc, static_cast<ddi::EndDocFn>(nullptr), surface, BOOL{0});
  check(ddi::kNextBand, static_cast<ddi::NextBandFn>(nullptr), surface, BOOL{0});
  check(ddi::kStartBanding, static_cast<ddi::StartBandingFn>(nullptr), surface, BOOL{0});
  check(ddi::kQueryFont, static_cast<ddi::QueryFontFn>(nullptr), dev, static_cast<IFIMETRICS*>(nullptr));
  check(ddi::kQueryFontTree, static_cast<ddi::QueryFontTreeFn>(nullptr), dev, PVOID{nullptr});
  check(ddi::kQueryFontData, static_cast<ddi::QueryFontDataFn>(nullptr), dev, LONG{ddi::kFdError});
  check(ddi::kQueryAdvanceWidths, static_cast<ddi::QueryAdvanceWidthsFn>(nullptr), dev, BOOL{0});
  check(ddi::kFontManagement, static_cast<ddi::FontManagementFn>(nullptr), surface, ULONG{0});
  check(ddi::kGetGlyphMode, static_cast<ddi::GetGlyphModeFn>(nullptr), dev, ULONG{0});
}

SURFOBJ surfaceOf(DEVOBJ* device) {
  SURFOBJ surface{};
  surface.dhpdev = reinterpret_cast<DHPDEV>(device);
  return surface;
}

TEST_F(HooksTest, EveryPassThroughHookReachesThePrintSystemUnchanged) {
  open();
  SURFOBJ surface = surfaceOf(session_->device());
  int checked = 0;
  forEveryPassThroughHook(session_->device(), &surface, [&](ULONG index, auto signature, auto first, auto) {
    SCOPED_TRACE(::testing::Message() << "DDI index " << index);
    host::clearDdiCalls();
    host::setDdiResult(index, 0x4000 + index);
    auto [result, sent] = HookCall<decltype(signature)>::run(hook(index), first);
    EXPECT_EQ(result, 0x4000 + index);
    ASSERT_EQ(host::ddiCalls().size(), 1u);
    EXPECT_EQ(host::ddiCalls()[0].index, index);
    EXPECT_EQ(host::ddiCalls()[0].args, sent);
    ++checked;
  });
  EXPECT_EQ(checked, 28);
}

TEST_F(HooksTest, HooksWithNothingToCallAnswerFailure) {
  open(std::vector<DRVFN>{});
  auto answersFailure = [&](ULONG index, auto signature, auto first, auto failure) {
    SCOPED_TRACE(::testing::Message() << "DDI index " << index);
    host::clearDdiCalls();
    EXPECT_EQ(HookCall<decltype(signature)>::run(hook(index), first).first, word(failure));
    EXPECT_TRUE(host::ddiCalls().empty());
  };
  // A device whose print system offers nothing, a device that was never
  // enabled, and no device at all.
  DEVOBJ stranger{};
  SURFOBJ surface = surfaceOf(session_->device()), strangerSurface = surfaceOf(&stranger);
  forEveryPassThroughHook(session_->device(), &surface, answersFailure);
  forEveryPassThroughHook(&stranger, &strangerSurface, answersFailure);
  forEveryPassThroughHook(nullptr, nullptr, answersFailure);
}

TEST_F(HooksTest, RealizeBrushAnswersTrueWithoutCallingThrough) {
  open();
  SURFOBJ surface = surfaceOf(session_->device());
  host::setDdiResult(ddi::kRealizeBrush, 0);
  auto realize = ddi::fromRowPointer<ddi::RealizeBrushFn>(hook(ddi::kRealizeBrush));
  EXPECT_EQ(realize(nullptr, &surface, &surface, nullptr, nullptr, 3), 1);
  EXPECT_EQ(realize(nullptr, nullptr, nullptr, nullptr, nullptr, 0), 1);
  EXPECT_TRUE(host::ddiCalls().empty());
}

}  // namespace
