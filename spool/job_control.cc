#include "spool/job_control.h"

#include <algorithm>
#include <iterator>

#include "output/job_frame.h"
#include "output/page_emitter.h"
#include "platform/platform.h"
#include "jobstate/job_state.h"
#include "jobstate/raster_line.h"
#include "spool/page_files.h"

namespace spool {

using jobstate::jobState;
using jobstate::releasePageBuffers;
using jobstate::kNameChars;
namespace {

constexpr const platform::WChar* kNoSpoolFolder = QMX_WIDE("UNI:一時ファイルを作れないのでメモリに保持\n");
constexpr const platform::WChar* kNoPageStore = QMX_WIDE("UNI:ページを保持できない\n");

void copyName(platform::WChar* to, const platform::WChar* from) {
  for (std::size_t i = 0; i < kNameChars; ++i) to[i] = from[i];
}

// Deletes every page file the job may still have on disk, and the scratch
// file when the job left it there.
void deleteLeftovers() {
  deleteNotedPageFiles();
  if (jobState.scratchOnDisk && jobState.scratchFilePath[0] != 0) platform::deleteFile(jobState.scratchFilePath);
  jobState.scratchOnDisk = false;
}

// Drops what a job left behind when a new job starts without its end:
// its buffers and the page files it still had on disk.
void abandonOpenJob() {
  if (!jobState.jobOpen) return;
  if (!jobState.memorySpool && jobState.pageFileBase[0] != 0) deleteLeftovers();
  releasePageBuffers(jobState);
  jobState.jobOpen = false;
}

void allocatePageBuffers() {
  const JobSettings& s = jobState.settings;
  std::uint32_t lines = s.firstPageExtraLines + s.topMarginLines + s.pageLines;
  std::size_t bytes = static_cast<std::size_t>(lines) * jobstate::kLineBytes;
  jobState.pageBufferOdd = static_cast<std::uint8_t*>(platform::allocZeroed(bytes));
  jobState.pageBufferEven = static_cast<std::uint8_t*>(platform::allocZeroed(bytes));
  if (jobState.pageBufferOdd == nullptr || jobState.pageBufferEven == nullptr) {
    releasePageBuffers(jobState);  // one buffer alone is of no use
    return;
  }
  jobState.pageBufferLines = lines;
}

// Chooses file spooling when the buffers are missing or the page is long.
// Without a usable folder (unknown, too long for the names, or no name in
// it can be created) the pages stay in the buffers if there are any (a
// long page is then cut at the buffer's end, and the store says so);
// otherwise they cannot be kept at all. Either way the job goes on and says
// so in a debug text.
void chooseSpooling() {
  bool buffers = jobState.pageBufferOdd != nullptr;
  jobState.memorySpool = buffers && jobState.settings.longPage == 0;
  jobState.pageFileBase[0] = 0;
  jobState.scratchFilePath[0] = 0;
  jobState.scratchOnDisk = false;
  std::fill(std::begin(jobState.pageFilesOnDisk), std::end(jobState.pageFilesOnDisk), 0);
  if (jobState.memorySpool) return;
  auto keepInBuffers = [&] {
    jobState.memorySpool = buffers;
    platform::debugText(buffers ? kNoSpoolFolder : kNoPageStore);
  };
  if (!loadSpoolFolder()) return keepInBuffers();
  // With no free name the spooling would go on under the last number, as
  // the names are made; that loses every page in a folder that cannot be
  // written, and in a folder whose names are all taken it empties files
  // that may be another job's. Buffers, when there are any, keep the pages
  // instead.
  if (!makePageFileBase() && buffers) {
    jobState.pageFilePath[0] = 0;
    jobState.scratchFilePath[0] = 0;
    return keepInBuffers();
  }
  makeScratchFilePath();
  copyName(jobState.pageFileBase, jobState.pageFilePath);
  // Lines before the first start of page go to a file of page 0, which no
  // end of page sends and the end of the job deletes.
  selectPageFile(0);
}

// Sends page n from its file. Emission opens the file with OPEN_ALWAYS, so
// it may be on disk afterwards even if it was not before.
void sendPageFile(DEVOBJ* pdevobj, std::uint16_t n, bool isLastPage) {
  selectPageFile(n);
  notePageFile(n, true);
  output::emitPage(pdevobj, n, isLastPage);
}

bool pagesGoToFiles() { return !jobState.memorySpool && jobState.pageFileBase[0] != 0; }

void startJob(DEVOBJ* pdevobj) {
  platform::renewFileOwner();  // this job's files are its own user's
  abandonOpenJob();
  jobState.settings = settings::loadJobSettings(pdevobj);
  jobState.pageNumber = 0;
  jobState.firstPageFilePath[0] = 0;
  jobState.oddPageLines = 0;
  jobState.evenPageLines = 0;
  jobState.linesLostOnPage = false;
  allocatePageBuffers();
  chooseSpooling();
  jobState.jobOpen = true;
  output::sendJobPreamble(pdevobj);
}

void startPage() {
  jobState.pageNumber = static_cast<std::uint16_t>(jobState.pageNumber + 1);
  jobState.linesLostOnPage = false;
  if (pagesGoToFiles()) {
    selectPageFile(jobState.pageNumber);
    createPageFile();
  }
}

void endPage(DEVOBJ* pdevobj) {
  std::uint16_t n = jobState.pageNumber;
  if (n == 1) return;
  auto previous = static_cast<std::uint16_t>(n - 1);
  if (jobState.memorySpool) {
    output::emitPage(pdevobj, previous, false);
  } else if (pagesGoToFiles()) {
    sendPageFile(pdevobj, previous, false);
    if (n == 2) {
      copyName(jobState.firstPageFilePath, jobState.pageFilePath);
    } else {
      deletePageFile(previous);
    }
    // Lines before the next start of page belong to page n, as they do in
    // the page buffers; the file just sent must not come back.
    selectPageFile(n);
  } else {
    output::sendPageFeeds(pdevobj, false);  // the page was lost; its paper handling stands
  }
  if (jobState.settings.cutMode == 1) output::sendCutTrailer(pdevobj, false);
}

void endJob(DEVOBJ* pdevobj) {
  std::uint16_t n = jobState.pageNumber;
  if (jobState.memorySpool) {
    output::emitPage(pdevobj, n, true);
  } else if (pagesGoToFiles()) {
    sendPageFile(pdevobj, n, true);
    deletePageFile(n);
    if (n != 1 && jobState.firstPageFilePath[0] != 0) deletePageFile(1);
    deleteLeftovers();
  } else {
    output::sendPageFeeds(pdevobj, true);
  }
  std::uint32_t cutMode = jobState.settings.cutMode;
  if (cutMode == 1 || cutMode == 2) output::sendCutTrailer(pdevobj, true);
  releasePageBuffers(jobState);
  platform::renewFileOwner();
  jobState.jobOpen = false;
}

}  // namespace

void commandCallback(DEVOBJ* pdevobj, std::uint32_t callbackId) {
  if (callbackId == kStartJob) {
    startJob(pdevobj);
    return;
  }
  // Page and job ends without an open job have nothing to work on: the
  // buffers are gone and the file names belong to a finished job.
  if (!jobState.jobOpen) return;
  switch (callbackId) {
    case kStartPage: startPage(); break;
    case kEndPage: endPage(pdevobj); break;
    case kEndJob: endJob(pdevobj); break;
    default: break;
  }
}

}  // namespace spool
