// The one loop from pages to the plug-in, for every front end that prints a
// document as a program of its own (the CUPS filter, the printer
// application's worker). A page source hands out each page as head lines;
// the job loop feeds them into the plug-in's job, starts a new plug-in job
// when a page is too long for the job's page buffers, and tests for a
// cancel between lines, so that a cancelled job still ends on a whole
// command.
//
//   frontend::cancelOnTerminate();
//   frontend::PluginJob job(*session, options, sink);
//   frontend::PassOutcome pass = frontend::printPages(pages, job, 0);
//   job.endJob();
//
// Messages go to standard error, a line each, as a print system reads a
// filter's: "PAGE: n 1" as page n starts, INFO:, WARNING:.
//
// Memory is one head line besides what the source and the plug-in hold.
#ifndef QMX_FRONTEND_JOB_LOOP_H_
#define QMX_FRONTEND_JOB_LOOP_H_

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <utility>

#include "frontend/blank_space.h"
#include "frontend/print_options.h"
#include "host/byte_sink.h"
#include "host/job_stream.h"
#include "host/module_loader.h"
#include "host/print_session.h"
#include "jobstate/raster_line.h"

namespace frontend {

// Room for the longest message with the job text it quotes.
inline constexpr std::size_t kMostMessageChars = 1024;

// Writes "LEVEL: text" as one line on standard error, the text escaped as
// loggable() does, so that nothing a job holds can start a line of its own.
void report(const char* level, std::string_view text);

// From here on SIGTERM only sets a flag that cancelRequested() reads (the
// row loops test it), and a closed output is a write error (SIGPIPE is
// ignored).
void cancelOnTerminate();
bool cancelRequested();

// The plug-in to print through: $QMX415U_PLUGIN when set, else the
// library at `installedPath` when it exists, else the copy linked into the
// program. Null with *error set when the one chosen does not load.
std::unique_ptr<host::PluginModule> loadPlugin(const char* installedPath, std::string* error);

struct PageShape {
  std::uint32_t rows = 0;  // head lines
  // Tenths of a millimetre that hold the page; not bounded by the 16-bit
  // field (see jobPaperLength).
  std::int64_t paperLength = 0;
};

// Pages as head lines, one page at a time.
class PageSource {
 public:
  virtual ~PageSource() = default;
  // Opens the next page, skipping what is left of the current one. False
  // at the end (error() empty), or with error() set for a page that cannot
  // be printed or a document cut short.
  virtual bool nextPage() = 0;
  virtual PageShape shape() const = 0;
  // About the open page, for a WARNING: line; empty when all is well.
  virtual std::string pageNotice() const { return {}; }
  virtual std::uint32_t rowsLeft() const = 0;
  // The open page's next line. False with error() set when the document
  // ends before it, or when no line is left.
  virtual bool readLine(jobstate::RasterLine* line) = 0;
  virtual const std::string& error() const = 0;
};

// The plug-in's job across pages. The job's paper length comes from its
// first page (the plug-in sizes its page buffers once per job); a later
// page too long for those buffers starts a new job rather than lose its end.
class PluginJob {
 public:
  // Every argument must outlive the job.
  PluginJob(host::PrintSession& session, const PrintOptions& options, host::ByteSink& sink)
      : session_(session), options_(options), sink_(sink) {}
  PluginJob(const PluginJob&) = delete;
  PluginJob& operator=(const PluginJob&) = delete;

  // Called each time every byte of a page has been handed to the sink:
  // the plug-in sends a page when the next one ends, and the last when its
  // job ends (so a page-end mark can follow it).
  void setPageOut(std::function<void()> pageOut) { pageOut_ = std::move(pageOut); }

  bool startPage(const PageShape& shape, std::size_t pageNumber);
  bool addLine(const jobstate::RasterLine& line) { return writer_->addLine(line); }
  bool endPage();

  // Ends the plug-in's job (an open page first); the next page starts
  // another. True when everything reached the sink.
  bool endJob();

  bool ok() const { return error_.empty() && (!stream_ || stream_->ok()); }
  std::string error() const { return !error_.empty() ? error_ : stream_ ? stream_->error() : std::string(); }
  std::uint64_t bytesWritten() const { return bytes_ + (stream_ ? stream_->bytesWritten() : 0); }

 private:
  bool fits(const PageShape& shape) const;
  bool startJob(const PageShape& shape);

  host::PrintSession& session_;
  const PrintOptions& options_;
  host::ByteSink& sink_;
  std::unique_ptr<host::JobStream> stream_;
  std::unique_ptr<PageWriter> writer_;
  std::int16_t paperLength_ = 0;
  std::size_t pagesInJob_ = 0;
  std::uint64_t bytes_ = 0;
  std::string error_;
  std::function<void()> pageOut_;
};

// How one pass over a source ended.
struct PassOutcome {
  std::size_t pages = 0;  // pages started
  std::string error;      // the source's error; empty when it ended whole or the job was cancelled
};

// Prints every page of `source` into `job`, numbering them after
// `pagesBefore`: a page's notice, then "PAGE: n 1" and its lines. Stops at
// a cancel, a failed job or a bad page; an open page is ended either way.
PassOutcome printPages(PageSource& source, PluginJob& job, std::size_t pagesBefore);

}  // namespace frontend

#endif  // QMX_FRONTEND_JOB_LOOP_H_
