#include "spool/line_store.h"

#include <algorithm>
#include <cstring>

#include "jobstate/job_state.h"
#include "jobstate/raster_line.h"
#include "platform/platform.h"
#include "spool/page_files.h"

namespace spool {

using jobstate::jobState;
using jobstate::marginLines;
namespace {

constexpr const platform::WChar* kLinesLost = QMX_WIDE("UNI:ページがバッファに収まらず行を失った\n");

// Says once per page that lines past the buffer's end are lost.
void reportLostLine() {
  if (jobState.linesLostOnPage) return;
  jobState.linesLostOnPage = true;
  platform::debugText(kLinesLost);
}

// A call lands in the slot after the page's stored lines. Calls past the
// buffer's last slot are dropped and not counted, and a long call in the
// last slots is cut at the buffer's end, so the page never outgrows its
// buffer and the emitter never reads past it. A short call leaves the rest
// of its slot blank: the buffers are reused without clearing, and the slot
// still holds a line of an earlier page of the same parity.
void storeInBuffer(const std::uint8_t* data, std::uint32_t length) {
  bool odd = (jobState.pageNumber & 1) != 0;
  std::uint8_t* buffer = odd ? jobState.pageBufferOdd : jobState.pageBufferEven;
  std::uint32_t& counter = odd ? jobState.oddPageLines : jobState.evenPageLines;
  if (buffer == nullptr) return;
  std::uint64_t slot = static_cast<std::uint64_t>(marginLines(jobState.settings, jobState.pageNumber)) + counter;
  if (slot >= jobState.pageBufferLines) return reportLostLine();
  std::uint64_t offset = slot * jobstate::kLineBytes;
  std::uint64_t room = static_cast<std::uint64_t>(jobState.pageBufferLines) * jobstate::kLineBytes - offset;
  std::size_t copy = static_cast<std::size_t>(std::min<std::uint64_t>(length, room));
  if (copy > 0) std::memcpy(buffer + offset, data, copy);
  if (copy < jobstate::kLineBytes) std::memset(buffer + offset + copy, 0, jobstate::kLineBytes - copy);
  ++counter;
}

}  // namespace

void storeRasterLine(const std::uint8_t* data, std::uint32_t length) {
  if (!jobState.jobOpen) return;
  if (data == nullptr && length > 0) return;
  if (jobState.memorySpool) {
    storeInBuffer(data, length);
  } else if (jobState.pageFileBase[0] != 0) {
    if (length > kMaxFileCallBytes) return;
    appendToPageFile(data, length);
  }
}

}  // namespace spool
