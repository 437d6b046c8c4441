// The settings snapshot taken at every start of job.
#ifndef QMX_SETTINGS_JOB_SETTINGS_H_
#define QMX_SETTINGS_JOB_SETTINGS_H_

#include <cstdint>

#include "printsys/printsys.h"

// Every field is range-checked once, by loadJobSettings; readers use the
// values as they stand.
struct JobSettings {
  std::uint32_t fsEValue = 127;
  std::uint32_t gsEValue = 3;
  std::uint32_t keepTrailingBlank = 0;
  std::uint32_t blockLevel = 3;
  std::uint32_t firstPageExtraLines = 0;
  std::uint32_t topMarginLines = 12;
  std::uint32_t pageEndFeed = 0;
  std::uint32_t jobEndFeed = 0;
  std::uint32_t cutMode = 0;
  std::uint32_t cutKind = 1;
  std::uint32_t preCutFeed = 96;
  std::uint32_t markMode = 0;
  std::uint32_t gsAValue = 32;
  std::uint32_t bandMode = 0;
  std::uint32_t imageLine = 3350;
  // Derived from the public device mode's paper length.
  std::uint32_t pageLines = 0;
  std::uint32_t longPage = 0;
};

namespace settings {

inline constexpr std::uint32_t kMaxImageLine = 3350;
inline constexpr std::uint32_t kLongPageLines = 10080;  // longer pages go to files
// Paper length assumed when the device object carries no public device
// mode: the longest page that still spools in memory.
inline constexpr std::int16_t kAssumedPaperLength = 12599;

// Lines a page of `paperLength` tenths of a millimetre holds, before the
// long-page rule; signed, so a negative length gives a count at or below 0.
constexpr std::int32_t pageLineCount(std::int16_t paperLength) {
  return static_cast<std::int32_t>(paperLength) * 8 / 10 + 1;
}

// Builds the snapshot from the job's private record (pdevobj->pOEMDM), its
// public device mode (pdevobj->pPublicDM) and the INI value ImageLine.
// A missing record gives every field its out-of-range replacement; a missing
// public device mode gives kAssumedPaperLength.
JobSettings loadJobSettings(const DEVOBJ* pdevobj);

// The paper-length rule alone: fills pageLines and longPage.
void derivePageLines(std::int16_t paperLength, JobSettings& out);

}  // namespace settings

#endif  // QMX_SETTINGS_JOB_SETTINGS_H_
