#include "spool/page_files.h"

#include <bit>
#include <cstdio>
#include <iterator>
#include <string_view>

#include "platform/platform.h"
#include "jobstate/job_state.h"
#include "jobstate/raster_line.h"

namespace spool {

using jobstate::jobState;
using jobstate::marginLines;
using jobstate::kNameChars;
namespace {

constexpr const platform::WChar* kStemPrefix = QMX_WIDE("\\QMX$$");
constexpr const platform::WChar* kFirstPageProbe = QMX_WIDE(".001");
constexpr const platform::WChar* kScratchExtension = QMX_WIDE(".TMP");
constexpr int kLastNumber = 9999;

// Appends `text` to the NUL-terminated `name`; stops at the string's end.
void appendName(platform::WChar* name, const platform::WChar* text) {
  std::size_t at = platform::wideLength(name);
  while (*text != 0 && at + 1 < kNameChars) name[at++] = *text++;
  name[at] = 0;
}

void appendAscii(platform::WChar* name, std::string_view text) {
  platform::WChar wide[16] = {};
  for (std::size_t i = 0; i < text.size() && i + 1 < std::size(wide); ++i) wide[i] = static_cast<platform::WChar>(text[i]);
  appendName(name, wide);
}

void copyName(platform::WChar* to, const platform::WChar* from) {
  to[0] = 0;
  appendName(to, from);
}

// folder + "\QMX$$" + four digits
void formStem(platform::WChar* stem, const platform::WChar* folder, int number) {
  char digits[8];
  std::snprintf(digits, sizeof digits, "%04d", number);
  copyName(stem, folder);
  appendName(stem, kStemPrefix);
  appendAscii(stem, digits);
}

enum class Search { kFree, kProbeStays, kNoneFree };

// The first number whose probe name can be created new; the probe is
// deleted at once. Falls back to the last number when none can.
Search searchFreeStem(platform::WChar* name, const platform::WChar* probeExtension) {
  platform::WChar folder[kNameChars];
  copyName(folder, name);
  platform::WChar probe[kNameChars];
  for (int k = 1; k <= kLastNumber; ++k) {
    formStem(name, folder, k);
    copyName(probe, name);
    appendName(probe, probeExtension);
    platform::FileHandle file =
        platform::openFile(probe, platform::FileAccess::kRead, platform::FileDisposition::kCreateNew);
    if (file != platform::kInvalidFile) {
      platform::closeFile(file);
      return platform::deleteFile(probe) ? Search::kFree : Search::kProbeStays;
    }
  }
  formStem(name, folder, kLastNumber);
  return Search::kNoneFree;
}

}  // namespace

bool loadSpoolFolder() {
  platform::WChar folder[platform::kMaxPath] = {};
  jobState.pageFilePath[0] = 0;
  jobState.scratchFilePath[0] = 0;
  if (!platform::commonDocumentsFolder(folder)) return false;
  std::size_t length = platform::wideLength(folder);
  if (length > 0 && folder[length - 1] == QMX_WIDE('\\')) folder[--length] = 0;
  if (length == 0 || length > kMaxFolderChars) return false;
  copyName(jobState.pageFilePath, folder);
  copyName(jobState.scratchFilePath, folder);
  return true;
}

bool makePageFileBase() {
  Search found = searchFreeStem(jobState.pageFilePath, kFirstPageProbe);
  // A probe that stays is page 1's name: the end of the job removes it.
  if (found == Search::kProbeStays) notePageFile(1, true);
  appendAscii(jobState.pageFilePath, ".");
  return found != Search::kNoneFree;
}

void makeScratchFilePath() {
  jobState.scratchOnDisk = searchFreeStem(jobState.scratchFilePath, kScratchExtension) == Search::kProbeStays;
  appendName(jobState.scratchFilePath, kScratchExtension);
}

void appendPageNumber(std::uint16_t pageNumber) {
  char digits[8];
  std::snprintf(digits, sizeof digits, "%03u", static_cast<unsigned>(pageNumber));
  appendAscii(jobState.pageFilePath, digits);
}

void selectPageFile(std::uint16_t pageNumber) {
  copyName(jobState.pageFilePath, jobState.pageFileBase);
  appendPageNumber(pageNumber);
  jobState.pageFileNumber = pageNumber;
}

void notePageFile(std::uint16_t pageNumber, bool onDisk) {
  std::uint64_t& word = jobState.pageFilesOnDisk[pageNumber / 64];
  std::uint64_t bit = std::uint64_t{1} << (pageNumber % 64);
  word = onDisk ? (word | bit) : (word & ~bit);
}

void deletePageFile(std::uint16_t pageNumber) {
  selectPageFile(pageNumber);
  notePageFile(pageNumber, !platform::deleteFile(jobState.pageFilePath));
}

void deleteNotedPageFiles() {
  constexpr std::size_t kWords = std::size(jobState.pageFilesOnDisk);
  for (std::size_t w = 0; w < kWords; ++w) {
    while (jobState.pageFilesOnDisk[w] != 0) {
      auto bit = static_cast<std::uint32_t>(std::countr_zero(jobState.pageFilesOnDisk[w]));
      selectPageFile(static_cast<std::uint16_t>(w * 64 + bit));
      // Tried twice, so that a passing failure leaves nothing behind.
      if (!platform::deleteFile(jobState.pageFilePath)) platform::deleteFile(jobState.pageFilePath);
      jobState.pageFilesOnDisk[w] &= jobState.pageFilesOnDisk[w] - 1;
    }
  }
}

void createPageFile() {
  platform::FileHandle file = platform::openFile(jobState.pageFilePath, platform::FileAccess::kWrite,
                                                 platform::FileDisposition::kCreateAlways);
  if (file == platform::kInvalidFile) return;
  notePageFile(jobState.pageFileNumber, true);
  std::uint32_t lines = marginLines(jobState.settings, jobState.pageNumber);
  if (lines > 0) {
    std::uint32_t bytes = lines * jobstate::kLineBytes;
    void* zeros = platform::allocZeroed(bytes);
    if (zeros != nullptr) {
      std::uint32_t written = 0;
      platform::writeFile(file, zeros, bytes, &written);
      platform::freeZeroed(zeros);
    }
  }
  platform::closeFile(file);
}

void appendToPageFile(const std::uint8_t* data, std::uint32_t length) {
  platform::FileHandle file = platform::openFile(jobState.pageFilePath, platform::FileAccess::kWrite,
                                                 platform::FileDisposition::kOpenAlways);
  if (file == platform::kInvalidFile) return;
  notePageFile(jobState.pageFileNumber, true);
  if (platform::seekToEnd(file)) {
    std::uint32_t written = 0;
    platform::writeFile(file, data, length, &written);
  }
  platform::closeFile(file);
}

}  // namespace spool
