#include "settings/job_settings.h"

#include "platform/platform.h"
#include "settings/devmode_layout.h"

namespace settings {
namespace {

constexpr const platform::WChar* kIniSection = QMX_WIDE("QMX415U");
constexpr const platform::WChar* kIniFile = QMX_WIDE("QMXI415U.INI");
constexpr const platform::WChar* kIniImageLineKey = QMX_WIDE("ImageLine");

// Keeps `value` when it is at most `bound`, else takes `fallback`.
constexpr std::uint32_t limit(std::uint32_t value, std::uint32_t bound, std::uint32_t fallback) {
  return value <= bound ? value : fallback;
}

std::uint32_t readGsEValue(const std::uint8_t* record) {
  if (devmode::readU32(record, devmode::kGsESelect) > 1) return 3;
  return limit(devmode::readU8(record, devmode::kGsEValue), 11, 3);
}

void readRecordFields(const std::uint8_t* record, JobSettings& s) {
  using namespace devmode;
  s.fsEValue = limit(readU32(record, kFsEValue), 127, 127);
  s.gsEValue = readGsEValue(record);
  s.keepTrailingBlank = limit(readU8(record, kKeepTrailingBlank), 1, 0);
  s.blockLevel = limit(readU8(record, kBlockLevel), 3, 3);
  s.bandMode = limit(readU8(record, kBandMode), 1, 0);
  s.firstPageExtraLines = limit(readU16(record, kFirstPageExtraLines), 255, 0);
  s.topMarginLines = limit(readU16(record, kTopMarginLines), 255, 12);
  s.pageEndFeed = limit(readU16(record, kPageEndFeed), 255, 0);
  s.jobEndFeed = limit(readU16(record, kJobEndFeed), 255, 0);
  s.cutMode = limit(readU8(record, kCutMode), 2, 0);
  s.cutKind = limit(readU8(record, kCutKind), 1, 1);
  s.preCutFeed = limit(readU16(record, kPreCutFeed), 255, 96);
  s.markMode = limit(readU8(record, kMarkMode), 1, 0);
  s.gsAValue = limit(readU16(record, kGsAValue), 63, 32);
}

std::uint32_t readImageLine() {
  std::uint32_t value = platform::profileInt(kIniSection, kIniImageLineKey,
                                             static_cast<std::int32_t>(kMaxImageLine), kIniFile);
  return (value == 0 || value > kMaxImageLine) ? kMaxImageLine : value;
}

}  // namespace

void derivePageLines(std::int16_t paperLength, JobSettings& out) {
  // Signed arithmetic, compared unsigned: a negative length is a long page.
  const std::int32_t lines = pageLineCount(paperLength);
  if (static_cast<std::uint32_t>(lines) > kLongPageLines) {
    out.longPage = 1;
    out.pageLines = kLongPageLines + 1;
  } else {
    out.longPage = 0;
    out.pageLines = static_cast<std::uint32_t>(lines);
  }
}

JobSettings loadJobSettings(const DEVOBJ* pdevobj) {
  platform::debugText(QMX_WIDE("UNI:設定済みのDEVMODE\n"));
  JobSettings s;  // the out-of-range replacements, kept when there is no record
  const auto* record = pdevobj != nullptr ? static_cast<const std::uint8_t*>(pdevobj->pOEMDM) : nullptr;
  if (record != nullptr) readRecordFields(record, s);
  s.imageLine = readImageLine();
  const DEVMODEW* publicDm = pdevobj != nullptr ? pdevobj->pPublicDM : nullptr;
  derivePageLines(publicDm != nullptr ? publicDm->dmPaperLength : kAssumedPaperLength, s);
  return s;
}

}  // namespace settings
