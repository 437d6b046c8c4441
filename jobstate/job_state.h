// The module-wide job state: one record, one instance.
//
// The print system drives one job at a time per process from one thread, so
// the state is shared by every plug-in object and is not locked.
#ifndef QMX_JOBSTATE_JOB_STATE_H_
#define QMX_JOBSTATE_JOB_STATE_H_

#include <cstddef>
#include <cstdint>

#include "platform/wide.h"
#include "settings/job_settings.h"

namespace jobstate {

// Length of each file-name string, terminator included.
inline constexpr std::size_t kNameChars = 256;

struct JobState {
  JobSettings settings;          // snapshot taken at the start of the job
  std::uint16_t pageNumber = 0;  // page being received; wraps at 16 bits
  bool memorySpool = false;      // pages in the two buffers, else in files
  bool jobOpen = false;          // between a start of job and its end

  // Pages alternate between the buffers by parity, so the page being
  // received never overwrites the page waiting to be sent.
  std::uint8_t* pageBufferOdd = nullptr;
  std::uint8_t* pageBufferEven = nullptr;
  std::uint32_t pageBufferLines = 0;  // capacity of each buffer, in lines
  std::uint32_t oddPageLines = 0;     // stored lines, margins excluded
  std::uint32_t evenPageLines = 0;
  bool linesLostOnPage = false;       // the page outgrew its buffer (said once)

  platform::WChar pageFileBase[kNameChars] = {};
  platform::WChar pageFilePath[kNameChars] = {};
  platform::WChar firstPageFilePath[kNameChars] = {};
  platform::WChar scratchFilePath[kNameChars] = {};

  std::uint16_t pageFileNumber = 0;  // the page whose file pageFilePath names
  // The scratch file is on disk and the job's own: its probe could not be
  // removed, or a trim could not remove or rename it. Only then does the
  // end of the job delete it; a name taken by someone else is left alone.
  bool scratchOnDisk = false;

  // Pages whose file may be on disk: marked when the file is created or
  // about to be opened, cleared when it is deleted. The end of the job
  // deletes whatever is still marked, so callbacks out of order (pages
  // started and never ended, lines before the first page) leave no file
  // behind, and a failed deletion is tried once more.
  std::uint64_t pageFilesOnDisk[65536 / 64] = {};
};

extern JobState jobState;

// Margin lines ahead of the stored lines of page `pageNumber`.
std::uint32_t marginLines(const JobSettings& settings, std::uint16_t pageNumber);

// Frees the page buffers, if any.
void releasePageBuffers(JobState& state);

// Back to the state of a freshly loaded module (frees buffers). For tests.
void resetJobState();

}  // namespace jobstate

#endif  // QMX_JOBSTATE_JOB_STATE_H_
