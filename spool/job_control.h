// Job and page control: the body of CommandCallback.
#ifndef QMX_SPOOL_JOB_CONTROL_H_
#define QMX_SPOOL_JOB_CONTROL_H_

#include <cstdint>

#include "printsys/printsys.h"

namespace spool {

inline constexpr std::uint32_t kStartJob = 1;
inline constexpr std::uint32_t kStartPage = 2;
inline constexpr std::uint32_t kEndPage = 3;
inline constexpr std::uint32_t kEndJob = 4;

// Runs the step of one callback ID on the module-wide job state; other IDs
// do nothing. Never throws.
void commandCallback(DEVOBJ* pdevobj, std::uint32_t callbackId);

}  // namespace spool

#endif  // QMX_SPOOL_JOB_CONTROL_H_
