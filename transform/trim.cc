#include "transform/trim.h"

#include <cstring>

#include "output/commands.h"
#include "platform/platform.h"
#include "spool/job_state.h"

namespace transform {
namespace {

constexpr std::uint32_t kLine = commands::kLineBytes;
constexpr std::uint32_t kScanBytes = 128 * kLine;
constexpr std::uint8_t kZeroLine[kLine] = {};

using platform::FileHandle;

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
    for (std::uint32_t i = got; i > 0; --i) {
      if (buffer[i - 1] != 0) {
        *lastInk = position + i;
        break;
      }
    }
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

}  // namespace

std::uint32_t trimPageBuffer(const std::uint8_t* page, std::uint32_t lineCount) {
  std::uint32_t count = lineCount;
  while (count > 0 && std::memcmp(page + static_cast<std::size_t>(count - 1) * kLine, kZeroLine, kLine) == 0)
    --count;
  return count;
}

void trimPageFile() {
  const platform::WChar* pagePath = spool::jobState.pageFilePath;
  const platform::WChar* scratchPath = spool::jobState.scratchFilePath;
  std::uint64_t lastInk = 0;
  if (!findLastInk(pagePath, &lastInk)) return;

  FileHandle page = openForReading(pagePath);
  if (page == platform::kInvalidFile) return;
  FileHandle scratch =
      platform::openFile(scratchPath, platform::FileAccess::kWrite, platform::FileDisposition::kCreateAlways);
  bool copied = scratch != platform::kInvalidFile && copyInkedLines(page, scratch, lastInk);
  platform::closeFile(page);
  platform::closeFile(scratch);
  if (!copied) {
    if (scratch != platform::kInvalidFile) platform::deleteFile(scratchPath);
    return;
  }
  if (!platform::deleteFile(pagePath)) {
    platform::deleteFile(scratchPath);  // the untrimmed page is still there
    return;
  }
  if (!platform::moveFile(scratchPath, pagePath)) copyFileContents(scratchPath, pagePath);
  platform::deleteFile(scratchPath);
}

}  // namespace transform
