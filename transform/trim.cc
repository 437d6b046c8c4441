#include "transform/trim.h"

#include <bit>
#include <cstring>

#include "platform/platform.h"
#include "jobstate/job_state.h"
#include "jobstate/raster_line.h"

namespace transform {
namespace {

constexpr std::uint32_t kLine = jobstate::kLineBytes;
constexpr std::uint32_t kScanBytes = 128 * kLine;
// Blank tails are skipped this many lines at a time.
constexpr std::uint32_t kStrideLines = 8;
static_assert(kLine % 8 == 0, "lines are scanned a word at a time");

using platform::FileHandle;

// Eight bytes, the byte at the lowest address in the low bits.
std::uint64_t loadWord(const std::uint8_t* p) {
  std::uint64_t v;
  std::memcpy(&v, p, sizeof v);
  if constexpr (std::endian::native == std::endian::big) v = __builtin_bswap64(v);
  return v;
}

// True when the `bytes` bytes (a multiple of 8) from `p` on are all zero.
bool allZero(const std::uint8_t* p, std::size_t bytes) {
  std::uint64_t any = 0;
  for (std::size_t i = 0; i < bytes; i += 8) any |= loadWord(p + i);
  return any == 0;
}

// 1-based offset of the last nonzero byte of the `n` bytes, 0 when none:
// the bytes past the last whole word first, then a word at a time.
std::uint32_t lastNonzero(const std::uint8_t* p, std::uint32_t n) {
  std::uint32_t whole = n & ~7u;
  for (std::uint32_t i = n; i > whole; --i)
    if (p[i - 1] != 0) return i;
  for (std::uint32_t i = whole; i > 0; i -= 8) {
    if (std::uint64_t w = loadWord(p + i - 8)) return i - static_cast<std::uint32_t>(std::countl_zero(w)) / 8;
  }
  return 0;
}

FileHandle openForReading(const platform::WChar* path) {
  return platform::openFile(path, platform::FileAccess::kRead, platform::FileDisposition::kOpenAlways);
}

// 1-based offset of the last nonzero byte of the file, 0 when there is
// none; false when the file cannot be read through.
bool findLastInk(const platform::WChar* path, std::uint64_t* lastInk) {
  FileHandle file = openForReading(path);
  if (file == platform::kInvalidFile) return false;
  static std::uint8_t buffer[kScanBytes];
  std::uint64_t position = 0;
  *lastInk = 0;
  bool ok = true;
  while (true) {
    std::uint32_t got = 0;
    if (!platform::readFile(file, buffer, kScanBytes, &got)) {
      ok = false;
      break;
    }
    if (got == 0) break;
    if (std::uint32_t last = lastNonzero(buffer, got)) *lastInk = position + last;
    position += got;
  }
  platform::closeFile(file);
  return ok;
}

// Copies whole lines up to the one holding `lastInk`; the last line read
// short is padded with zeros.
bool copyInkedLines(FileHandle page, FileHandle scratch, std::uint64_t lastInk) {
  std::uint64_t position = 0;
  std::uint8_t line[kLine];
  while (position < lastInk) {
    std::memset(line, 0, kLine);
    std::uint32_t got = 0;
    if (!platform::readFile(page, line, kLine, &got) || got == 0) return false;
    std::uint32_t written = 0;
    if (!platform::writeFile(scratch, line, kLine, &written) || written != kLine) return false;
    position += got;
  }
  return true;
}

// Copies the whole of `from` into a new `to`; used when the rename fails
// after the page file was already removed.
bool copyFileContents(const platform::WChar* from, const platform::WChar* to) {
  FileHandle in = openForReading(from);
  if (in == platform::kInvalidFile) return false;
  FileHandle out = platform::openFile(to, platform::FileAccess::kWrite, platform::FileDisposition::kCreateAlways);
  bool ok = out != platform::kInvalidFile;
  static std::uint8_t buffer[kScanBytes];
  while (ok) {
    std::uint32_t got = 0, written = 0;
    if (!platform::readFile(in, buffer, kScanBytes, &got)) ok = false;
    if (!ok || got == 0) break;
    ok = platform::writeFile(out, buffer, got, &written) && written == got;
  }
  platform::closeFile(in);
  platform::closeFile(out);
  return ok;
}

// Deletes the scratch file, remembering for the end of the job whether it
// is still there.
void removeScratch(const platform::WChar* path) { jobstate::jobState.scratchOnDisk = !platform::deleteFile(path); }

}  // namespace

std::uint32_t trimPageBuffer(const std::uint8_t* page, std::uint32_t lineCount) {
  std::uint32_t count = lineCount;
  auto lineAt = [page](std::uint32_t line) { return page + static_cast<std::size_t>(line) * kLine; };
  while (count >= kStrideLines && allZero(lineAt(count - kStrideLines), kStrideLines * kLine)) count -= kStrideLines;
  while (count > 0 && allZero(lineAt(count - 1), kLine)) --count;
  return count;
}

void trimPageFile() {
  const platform::WChar* pagePath = jobstate::jobState.pageFilePath;
  const platform::WChar* scratchPath = jobstate::jobState.scratchFilePath;
  std::uint64_t lastInk = 0;
  if (!findLastInk(pagePath, &lastInk)) return;

  FileHandle page = openForReading(pagePath);
  if (page == platform::kInvalidFile) return;
  FileHandle scratch =
      platform::openFile(scratchPath, platform::FileAccess::kWrite, platform::FileDisposition::kCreateAlways);
  if (scratch != platform::kInvalidFile) jobstate::jobState.scratchOnDisk = true;
  bool copied = scratch != platform::kInvalidFile && copyInkedLines(page, scratch, lastInk);
  platform::closeFile(page);
  platform::closeFile(scratch);
  if (!copied) {
    if (scratch != platform::kInvalidFile) removeScratch(scratchPath);
    return;
  }
  if (!platform::deleteFile(pagePath)) {
    removeScratch(scratchPath);  // the untrimmed page is still there
    return;
  }
  if (platform::moveFile(scratchPath, pagePath)) {
    jobstate::jobState.scratchOnDisk = false;
    return;
  }
  if (copyFileContents(scratchPath, pagePath)) {
    removeScratch(scratchPath);
    return;
  }
  // Neither the rename nor the copy took, and the page file is gone: the
  // scratch file is the only whole copy of the page, so the page is sent
  // from there. The end of the job deletes it.
  std::memcpy(jobstate::jobState.pageFilePath, scratchPath, sizeof jobstate::jobState.pageFilePath);
}

}  // namespace transform
