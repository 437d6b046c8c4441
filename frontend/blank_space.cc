#include "frontend/blank_space.h"

#include <algorithm>

namespace frontend {
namespace {

const jobstate::RasterLine kBlankLine{};

}  // namespace

bool isBlank(const jobstate::RasterLine& line) { return line == kBlankLine; }

bool PageWriter::startPage() {
  pendingBlank_ = 0;
  return job_.startPage();
}

std::uint32_t PageWriter::boundedRun() const {
  return blankSpace_.longestRun == 0 ? pendingBlank_ : std::min(pendingBlank_, blankSpace_.longestRun);
}

bool PageWriter::flushBlank(std::uint32_t keep) {
  dropped_ += pendingBlank_ - keep;
  pendingBlank_ = 0;
  for (std::uint32_t i = 0; i < keep; ++i)
    if (!job_.addLine(kBlankLine)) return false;
  return true;
}

bool PageWriter::addLine(const jobstate::RasterLine& line) {
  if (blankSpace_.off()) return job_.addLine(line);
  if (isBlank(line)) {
    ++pendingBlank_;
    return job_.ok();
  }
  return flushBlank(boundedRun()) && job_.addLine(line);
}

bool PageWriter::endPage() {
  flushBlank(blankSpace_.trimTrailing ? 0 : boundedRun());
  return job_.endPage();
}

}  // namespace frontend
