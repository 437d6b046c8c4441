#include "host/ddi_table.h"

#include <map>

namespace host {
namespace {

struct Log {
  std::vector<DdiCall> calls;
  std::map<ULONG, std::uintptr_t> results;
};

Log& log() {
  static Log instance;
  return instance;
}

template <typename R>
R fromWord(std::uintptr_t value) {
  if constexpr (std::is_pointer_v<R>)
    return reinterpret_cast<R>(value);
  else
    return static_cast<R>(value);
}

// The recording function for one index, generated from its signature.
template <ULONG Index, typename Fn>
struct Recorder;

template <ULONG Index, typename R, typename... Args>
struct Recorder<Index, R(QMX_APIENTRY*)(Args...)> {
  static R QMX_APIENTRY call(Args... args) {
    Log& l = log();
    l.calls.push_back(DdiCall{Index, {word(args)...}});
    auto found = l.results.find(Index);
    return fromWord<R>(found == l.results.end() ? 1 : found->second);
  }
};

template <ULONG Index, typename Fn>
DRVFN row() {
  return DRVFN{Index, ddi::toRowPointer(&Recorder<Index, Fn>::call)};
}

const std::vector<DRVFN>& table() {
  static const std::vector<DRVFN> rows = {
      row<ddi::kRealizeBrush, ddi::RealizeBrushFn>(),
      row<ddi::kDitherColor, ddi::DitherColorFn>(),
      row<ddi::kStrokePath, ddi::StrokePathFn>(),
      row<ddi::kFillPath, ddi::FillPathFn>(),
      row<ddi::kStrokeAndFillPath, ddi::StrokeAndFillPathFn>(),
      row<ddi::kPaint, ddi::PaintFn>(),
      row<ddi::kBitBlt, ddi::BitBltFn>(),
      row<ddi::kCopyBits, ddi::CopyBitsFn>(),
      row<ddi::kStretchBlt, ddi::StretchBltFn>(),
      row<ddi::kTextOut, ddi::TextOutFn>(),
      row<ddi::kEscape, ddi::EscapeFn>(),
      row<ddi::kQueryFont, ddi::QueryFontFn>(),
      row<ddi::kQueryFontTree, ddi::QueryFontTreeFn>(),
      row<ddi::kQueryFontData, ddi::QueryFontDataFn>(),
      row<ddi::kLineTo, ddi::LineToFn>(),
      row<ddi::kSendPage, ddi::SendPageFn>(),
      row<ddi::kStartPage, ddi::StartPageFn>(),
      row<ddi::kEndDoc, ddi::EndDocFn>(),
      row<ddi::kStartDoc, ddi::StartDocFn>(),
      row<ddi::kGetGlyphMode, ddi::GetGlyphModeFn>(),
      row<ddi::kFontManagement, ddi::FontManagementFn>(),
      row<ddi::kQueryAdvanceWidths, ddi::QueryAdvanceWidthsFn>(),
      row<ddi::kStartBanding, ddi::StartBandingFn>(),
      row<ddi::kNextBand, ddi::NextBandFn>(),
      row<ddi::kGradientFill, ddi::GradientFillFn>(),
      row<ddi::kStretchBltROP, ddi::StretchBltROPFn>(),
      row<ddi::kPlgBlt, ddi::PlgBltFn>(),
      row<ddi::kAlphaBlend, ddi::AlphaBlendFn>(),
      row<ddi::kTransparentBlt, ddi::TransparentBltFn>(),
  };
  return rows;
}

}  // namespace

const std::vector<DdiCall>& ddiCalls() { return log().calls; }
void clearDdiCalls() { log().calls.clear(); }
void setDdiResult(ULONG index, std::uintptr_t result) { log().results[index] = result; }
void resetDdiResults() { log().results.clear(); }

ddi::RowPointer ddiFunction(ULONG index) {
  for (const DRVFN& r : table())
    if (r.iFunc == index) return r.pfn;
  return nullptr;
}

std::vector<DRVFN> ddiTable() { return table(); }

}  // namespace host
