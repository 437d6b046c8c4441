// Blank space on continuous paper: applications print receipts on fixed
// page sizes and leave long white tails and gaps. With the option on, a
// page's trailing blank lines are dropped and any blank run longer than a
// bound is shortened to it, before the lines reach the plug-in. With it
// off, every line goes through as it came.
//
// Blank runs are counted, never stored, so memory stays constant.
#ifndef QMX_FRONTEND_BLANK_SPACE_H_
#define QMX_FRONTEND_BLANK_SPACE_H_

#include <cstdint>

#include "host/job_stream.h"
#include "jobstate/raster_line.h"

namespace frontend {

inline constexpr std::uint32_t kLinesPerMm = 8;

struct BlankSpace {
  bool trimTrailing = false;       // drop each page's trailing blank lines
  std::uint32_t longestRun = 0;    // blank runs longer than this many lines are cut to it; 0: no bound

  bool off() const { return !trimTrailing && longestRun == 0; }
};

// Feeds a JobStream's pages through the option. Each call answers what the
// job stream answers.
class PageWriter {
 public:
  PageWriter(host::JobStream& job, BlankSpace blankSpace) : job_(job), blankSpace_(blankSpace) {}

  bool startPage();
  bool addLine(const jobstate::RasterLine& line);
  bool endPage();
  std::uint64_t linesDropped() const { return dropped_; }

 private:
  std::uint32_t boundedRun() const;  // the pending run, cut to the bound
  bool flushBlank(std::uint32_t keep);

  host::JobStream& job_;
  BlankSpace blankSpace_;
  std::uint32_t pendingBlank_ = 0;  // blank lines seen and not yet passed on
  std::uint64_t dropped_ = 0;
};

bool isBlank(const jobstate::RasterLine& line);

}  // namespace frontend

#endif  // QMX_FRONTEND_BLANK_SPACE_H_
