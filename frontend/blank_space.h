// Blank space on continuous paper. Applications print receipts on fixed
// page sizes, and the CUPS chain centres a small page on the loaded media,
// so a page arrives with long white rows above and below its print. By
// default a page's blank head (the rows above its first inked row) and its
// blank tail (the rows below its last) are dropped before the lines reach
// the plug-in; the plug-in's top margin, first-page margin and feeds are
// its own and still apply as set. On black-mark paper the default keeps
// every row where it came, since pre-printed forms depend on the
// positions. Blank runs between inked rows stay as they are unless a bound
// shortens them.
//
// Blank runs are counted, never stored, so memory stays constant.
#ifndef QMX_FRONTEND_BLANK_SPACE_H_
#define QMX_FRONTEND_BLANK_SPACE_H_

#include <cstdint>

#include "host/job_stream.h"
#include "host/print_session.h"
#include "jobstate/raster_line.h"

namespace frontend {

inline constexpr std::uint32_t kLinesPerMm = 8;

// What happens to each page's blank head and tail. The numbers are the
// option's stored values (PPD, IPP, saved printer defaults): never renumber.
enum class BlankEnds : std::uint32_t {
  kAuto = 0,    // dropped, except on black-mark paper, where rows keep their places
  kTrim = 1,    // dropped
  kAsSent = 2,  // kept: every row as it came
};

struct BlankSpace {
  BlankEnds ends = BlankEnds::kAuto;
  bool trimTrailing = false;     // also drop each page's blank tail, whatever `ends` says
  std::uint32_t longestRun = 0;  // blank runs longer than this many lines are cut to it; 0: no bound
};

// The rows a job's pages lose, once `kAuto` is settled by the job's record.
struct Trimming {
  bool head = false;
  bool tail = false;
  std::uint32_t longestRun = 0;

  bool off() const { return !head && !tail && longestRun == 0; }
};

// True when the record asks for black-mark paper (as the plug-in reads it:
// 1 is on, anything else off).
bool blackMarkPaper(const host::Record& record);
Trimming trimmingFor(const BlankSpace& blankSpace, const host::Record& record);

// Feeds a JobStream's pages through the option, settled by the job's own
// record. Each call answers what the job stream answers. `job` must outlive
// the writer.
class PageWriter {
 public:
  PageWriter(host::JobStream& job, BlankSpace blankSpace)
      : job_(job), trimming_(trimmingFor(blankSpace, job.record())) {}

  bool startPage();
  bool addLine(const jobstate::RasterLine& line);
  bool endPage();
  std::uint64_t linesDropped() const { return dropped_; }
  const Trimming& trimming() const { return trimming_; }

 private:
  std::uint32_t boundedRun() const;  // the pending run, cut to the bound
  bool flushBlank(std::uint32_t keep);

  host::JobStream& job_;
  Trimming trimming_;
  bool inked_ = false;              // the page has had an inked row
  std::uint32_t pendingBlank_ = 0;  // blank lines seen and not yet passed on
  std::uint64_t dropped_ = 0;
};

bool isBlank(const jobstate::RasterLine& line);

}  // namespace frontend

#endif  // QMX_FRONTEND_BLANK_SPACE_H_
