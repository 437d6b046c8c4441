#include "output/page_emitter.h"

#include <algorithm>
#include <cstring>

#include "output/band_encoder.h"
#include "output/commands.h"
#include "output/printer_port.h"
#include "output/run_length.h"
#include "platform/platform.h"
#include "jobstate/job_state.h"
#include "transform/trim.h"

namespace output {
namespace {

constexpr std::uint32_t kLine = commands::kLineBytes;
constexpr const platform::WChar* kKeepAwakeFailed = QMX_WIDE("SetThreadExecutionState()失敗\n");
constexpr const platform::WChar* kBandModeText = QMX_WIDE("ビットイメージ印字\n");
static_assert(kBandOutputOffset >= kBandChunkLines * kLine * 2);
static_assert(kWorkAreaBytes - kBandOutputOffset >= kBandChunkLines * kLine + 5);

// One page on its way out: the work area, the encode buffer and the sticky
// choice between encoded and raw blocks.
struct Emission {
  DEVOBJ* pdevobj;
  const JobSettings& settings;
  std::uint8_t* workArea;
  std::uint8_t* encodeBuffer = nullptr;
  bool useEncoded = true;
};

bool trimsLastPage(const JobSettings& s, bool isLastPage) {
  return isLastPage && s.keepTrailingBlank == 0 && s.bandMode == 0;
}

// Sends the `lines` lines in the work area as one raster block. Once a
// block goes raw, the rest of the page goes raw too.
void sendRasterBlock(Emission& e, std::uint32_t lines) {
  std::uint32_t raw = lines * kLine;
  std::uint32_t encoded = 0;
  if (e.encodeBuffer != nullptr) {
    encodeRunLength(e.encodeBuffer, &encoded, e.workArea, raw);
  } else {
    e.useEncoded = false;
  }
  if (encoded >= raw) e.useEncoded = false;
  writeToPrinter(e.pdevobj, commands::rasterBlockHeader(e.settings.blockLevel, e.useEncoded, lines));
  if (e.useEncoded) {
    writeToPrinter(e.pdevobj, e.encodeBuffer, encoded);
  } else {
    writeToPrinter(e.pdevobj, e.workArea, raw);
  }
}

// Encodes the whole lines in the work area as one band chunk.
void sendBandChunk(Emission& e, std::uint32_t lines) {
  std::uint8_t* out = e.workArea + kBandOutputOffset;
  std::uint32_t size = encodeBand(out, e.workArea, lines * kLine);
  writeToPrinter(e.pdevobj, out, size);
}

std::uint32_t chunkLines(const JobSettings& s) { return s.bandMode != 0 ? kBandChunkLines : s.imageLine; }

void allocateEncodeBuffer(Emission& e, std::uint32_t lines) {
  if (e.settings.bandMode != 0) return;
  std::uint32_t blockLines = std::min(lines, e.settings.imageLine);
  e.encodeBuffer = static_cast<std::uint8_t*>(platform::allocZeroed(blockLines * kEncodedLineBytes));
}

void sendPageFromBuffer(Emission& e, std::uint16_t pageNumber, bool isLastPage) {
  jobstate::JobState& job = jobstate::jobState;
  bool odd = (pageNumber & 1) != 0;
  const std::uint8_t* source = odd ? job.pageBufferOdd : job.pageBufferEven;
  std::uint32_t& counter = odd ? job.oddPageLines : job.evenPageLines;
  std::uint64_t lines = static_cast<std::uint64_t>(counter) + jobstate::marginLines(e.settings, pageNumber);
  // The store never fills more than the buffer; stay inside it regardless.
  auto remaining = static_cast<std::uint32_t>(std::min<std::uint64_t>(lines, source ? job.pageBufferLines : 0));
  if (trimsLastPage(e.settings, isLastPage)) remaining = transform::trimPageBuffer(source, remaining);
  allocateEncodeBuffer(e, remaining);

  if (e.settings.bandMode != 0) platform::debugText(kBandModeText);
  // In block mode a page of no lines still sends its (empty) block header.
  bool sendEmptyBlock = e.settings.bandMode == 0;
  std::uint32_t step = chunkLines(e.settings);
  while (remaining > 0 || sendEmptyBlock) {
    std::uint32_t chunk = std::min(remaining, step);
    if (chunk > 0) std::memcpy(e.workArea, source, static_cast<std::size_t>(chunk) * kLine);
    if (e.settings.bandMode != 0) {
      sendBandChunk(e, chunk);
    } else {
      sendRasterBlock(e, chunk);
    }
    sendEmptyBlock = false;
    remaining -= chunk;
    source += static_cast<std::size_t>(chunk) * kLine;
  }
  counter = 0;
  platform::freeZeroed(e.encodeBuffer);
  e.encodeBuffer = nullptr;
}

// Reads up to `lines` lines into the work area. A short last line (left by
// calls of other lengths) is zero-padded to a whole line. Returns the lines
// read; 0 at the end or when a read fails.
std::uint32_t readLines(platform::FileHandle file, std::uint8_t* area, std::uint32_t lines) {
  std::uint32_t got = 0;
  if (!platform::readFile(file, area, lines * kLine, &got) || got == 0) return 0;
  std::uint32_t whole = (got + kLine - 1) / kLine;
  std::memset(area + got, 0, whole * kLine - got);
  return whole;
}

bool sendPageFromFile(Emission& e, bool isLastPage) {
  const platform::WChar* path = jobstate::jobState.pageFilePath;
  if (trimsLastPage(e.settings, isLastPage)) transform::trimPageFile();
  platform::FileHandle file =
      platform::openFile(path, platform::FileAccess::kRead, platform::FileDisposition::kOpenAlways);
  if (file == platform::kInvalidFile) return false;
  if (e.settings.bandMode != 0) platform::debugText(kBandModeText);
  allocateEncodeBuffer(e, e.settings.imageLine);
  std::uint32_t step = chunkLines(e.settings);
  while (std::uint32_t lines = readLines(file, e.workArea, step)) {
    if (e.settings.bandMode != 0) {
      sendBandChunk(e, lines);
    } else {
      sendRasterBlock(e, lines);
    }
  }
  platform::freeZeroed(e.encodeBuffer);
  e.encodeBuffer = nullptr;
  platform::closeFile(file);
  return true;
}

// A page that cannot be sent is dropped, so the next page of the same
// parity starts on an empty buffer instead of behind the unsent lines.
void dropPage(std::uint16_t pageNumber) {
  if (!jobstate::jobState.memorySpool) return;
  ((pageNumber & 1) != 0 ? jobstate::jobState.oddPageLines : jobstate::jobState.evenPageLines) = 0;
}

}  // namespace

void sendPageFeeds(DEVOBJ* pdevobj, bool isLastPage) {
  const JobSettings& s = jobstate::jobState.settings;
  if (isLastPage && s.jobEndFeed != 0) writeToPrinter(pdevobj, commands::feed(s.jobEndFeed));
  if (s.pageEndFeed != 0) writeToPrinter(pdevobj, commands::feed(s.pageEndFeed));
}

bool emitPage(DEVOBJ* pdevobj, std::uint16_t pageNumber, bool isLastPage) {
  auto* workArea = static_cast<std::uint8_t*>(platform::allocWork(kWorkAreaBytes));
  if (workArea == nullptr) {
    dropPage(pageNumber);
    sendPageFeeds(pdevobj, isLastPage);
    return false;
  }
  if (!platform::keepSystemAwake()) platform::debugText(kKeepAwakeFailed);
  Emission e{pdevobj, jobstate::jobState.settings, workArea};
  bool sent = true;
  if (jobstate::jobState.memorySpool) {
    sendPageFromBuffer(e, pageNumber, isLastPage);
  } else {
    sent = sendPageFromFile(e, isLastPage);
  }
  sendPageFeeds(pdevobj, isLastPage);
  platform::freeWork(workArea);
  return sent;
}

}  // namespace output
