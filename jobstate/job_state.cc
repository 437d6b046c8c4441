#include "jobstate/job_state.h"

#include "platform/platform.h"

namespace jobstate {

JobState jobState;

std::uint32_t marginLines(const JobSettings& settings, std::uint16_t pageNumber) {
  return settings.topMarginLines + (pageNumber == 1 ? settings.firstPageExtraLines : 0);
}

void releasePageBuffers(JobState& state) {
  platform::freeZeroed(state.pageBufferOdd);
  platform::freeZeroed(state.pageBufferEven);
  state.pageBufferOdd = nullptr;
  state.pageBufferEven = nullptr;
  state.pageBufferLines = 0;
}

void resetJobState() {
  releasePageBuffers(jobState);
  jobState = JobState{};
}

}  // namespace jobstate
