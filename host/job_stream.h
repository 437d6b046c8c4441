// The streaming job API: one job through an open session, a page and a
// line at a time, each step one call of the plug-in's entry points in the
// order the print system makes them. Every front end prints through it.
//
//   host::FdSink sink(fd);
//   auto job = host::JobStream::start(*session, options, sink, &error);
//   job->startPage();                       // CommandCallback(2)
//   for (...) job->addLine(line);           // FilterGraphics, one per line
//   job->endPage();                         // CommandCallback(3)
//   job->end();                             // CommandCallback(4)
//
// start() is CommandCallback(1). The bytes of every DrvWriteSpoolBuf call
// reach the sink during that call, so memory stays at the plug-in's own
// page buffers plus one line here, whatever the number of pages.
//
// A job always ends: end() closes an open page first, and destroying an
// unended stream ends it, so the plug-in frees its buffers, deletes its
// page files and the printer receives whole commands only. Once the sink
// has failed, the job is failed; the plug-in still gets its calls (so that
// it cleans up), but nothing more reaches the sink.
//
// One job per session at a time; the session must outlive the stream. The
// plug-in's job state is module-wide, so a program that drives jobs from
// several threads runs one at a time.
#ifndef QMX_HOST_JOB_STREAM_H_
#define QMX_HOST_JOB_STREAM_H_

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "host/byte_sink.h"
#include "host/print_session.h"

namespace host {

class JobStream {
 public:
  // CommandCallback(1) with the job's record, paper length and INI value.
  // Null with *error set when the session is closed, busy with another
  // job, or the INI file cannot be written; nothing was sent then.
  static std::unique_ptr<JobStream> start(PrintSession& session, const JobOptions& options, ByteSink& sink,
                                          std::string* error);
  ~JobStream();  // end() when not yet ended
  JobStream(const JobStream&) = delete;
  JobStream& operator=(const JobStream&) = delete;

  // Each returns ok(): false from the first failure on (a refused call,
  // a call out of order, a failed sink). Calls out of order are not made.
  bool startPage();                          // CommandCallback(2)
  bool addLine(const RasterLine& line);      // one FilterGraphics call
  bool endPage();                            // CommandCallback(3)
  bool end();                                // [CommandCallback(3)], CommandCallback(4)

  bool ok() const { return error_.empty(); }
  const std::string& error() const { return error_; }  // the first failure
  bool sinkFailed() const;
  bool pageOpen() const { return pageOpen_; }
  bool ended() const { return ended_; }
  std::size_t pagesStarted() const { return pages_; }
  std::size_t linesAdded() const { return lines_; }
  std::uint64_t bytesWritten() const;
  std::size_t groupsWritten() const;
  const Record& record() const { return record_; }  // what the job runs with

 private:
  JobStream(PrintSession& session, const Record& record) : session_(session), record_(record) {}
  void note(std::string what);
  void command(DWORD id);

  PrintSession& session_;
  Record record_;
  RasterLine band_{};  // the print system's band buffer, not the caller's line
  std::string error_;
  bool pageOpen_ = false;
  bool ended_ = false;
  std::size_t pages_ = 0;
  std::size_t lines_ = 0;
};

}  // namespace host

#endif  // QMX_HOST_JOB_STREAM_H_
