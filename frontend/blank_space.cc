#include "frontend/blank_space.h"

#include <algorithm>

#include "host/record_fields.h"

namespace frontend {
namespace {

const jobstate::RasterLine kBlankLine{};

}  // namespace

bool isBlank(const jobstate::RasterLine& line) { return line == kBlankLine; }

bool blackMarkPaper(const host::Record& record) {
  return host::readField(record, *host::findField("markMode")) == 1;
}

Trimming trimmingFor(const BlankSpace& blankSpace, const host::Record& record) {
  Trimming t;
  t.head = blankSpace.ends == BlankEnds::kTrim || (blankSpace.ends == BlankEnds::kAuto && !blackMarkPaper(record));
  t.tail = t.head || blankSpace.trimTrailing;
  t.longestRun = blankSpace.longestRun;
  return t;
}

bool PageWriter::startPage() {
  pendingBlank_ = 0;
  inked_ = false;
  return job_.startPage();
}

std::uint32_t PageWriter::boundedRun() const {
  return trimming_.longestRun == 0 ? pendingBlank_ : std::min(pendingBlank_, trimming_.longestRun);
}

bool PageWriter::flushBlank(std::uint32_t keep) {
  dropped_ += pendingBlank_ - keep;
  pendingBlank_ = 0;
  for (std::uint32_t i = 0; i < keep; ++i)
    if (!job_.addLine(kBlankLine)) return false;
  return true;
}

bool PageWriter::addLine(const jobstate::RasterLine& line) {
  if (trimming_.off()) return job_.addLine(line);
  if (isBlank(line)) {
    ++pendingBlank_;
    return job_.ok();
  }
  const std::uint32_t keep = !inked_ && trimming_.head ? 0 : boundedRun();
  inked_ = true;
  return flushBlank(keep) && job_.addLine(line);
}

bool PageWriter::endPage() {
  flushBlank(trimming_.tail ? 0 : boundedRun());
  return job_.endPage();
}

}  // namespace frontend
