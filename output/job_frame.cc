#include "output/job_frame.h"

#include <cstdint>

#include "output/commands.h"
#include "output/printer_port.h"
#include "jobstate/job_state.h"

namespace output {
namespace {

// Small fixed-capacity byte group.
struct Group {
  std::uint8_t bytes[16];
  std::uint32_t size = 0;
  template <std::size_t N>
  void append(const std::array<std::uint8_t, N>& part) {
    for (std::uint8_t b : part) bytes[size++] = b;
  }
};

}  // namespace

void sendJobPreamble(DEVOBJ* pdevobj) {
  const JobSettings& s = jobstate::jobState.settings;
  Group group;
  group.append(commands::gsE(s.gsEValue));
  group.append(commands::fsE(s.fsEValue));
  if (s.markMode != 0) group.append(commands::markSetup(s.gsAValue));
  writeToPrinter(pdevobj, group.bytes, group.size);
}

void sendCutTrailer(DEVOBJ* pdevobj, bool isLastPage) {
  const JobSettings& s = jobstate::jobState.settings;
  if (!(s.cutMode == 1 || (s.cutMode == 2 && isLastPage))) return;
  Group group;
  if (s.markMode != 0) {
    group.append(commands::markFeed());
  } else if (s.preCutFeed != 0) {
    group.append(commands::feed(s.preCutFeed));
  }
  group.append(commands::cut(s.cutKind != 0 ? 1 : 0));
  writeToPrinter(pdevobj, group.bytes, group.size);
}

}  // namespace output
