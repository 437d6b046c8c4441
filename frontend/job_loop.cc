#include "frontend/job_loop.h"

#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>

#include "frontend/log_text.h"
#include "frontend/paper_length.h"
#include "host/linked_module.h"
#include "host/record_fields.h"

namespace frontend {
namespace {

constexpr const char* kPluginEnv = "QMX415U_PLUGIN";

volatile std::sig_atomic_t canceled = 0;

// Only a flag: the row loops test it, so a cancelled job still ends on a
// whole command.
extern "C" void onTerminate(int) { canceled = 1; }

std::uint32_t firstPageExtraLines(const host::Record& record) {
  const host::FieldInfo& field = *host::findField("firstPageExtraLines");
  const std::uint32_t extra = host::readField(record, field);
  return extra > field.largest ? 0 : extra;
}

}  // namespace

void report(const char* level, std::string_view text) {
  std::fprintf(stderr, "%s: %s\n", level, loggable(text, kMostMessageChars).c_str());
}

void cancelOnTerminate() {
  std::signal(SIGPIPE, SIG_IGN);  // a closed output is a write error, reported
  struct sigaction action {};
  action.sa_handler = onTerminate;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;
  sigaction(SIGTERM, &action, nullptr);
}

bool cancelRequested() { return canceled != 0; }

std::unique_ptr<host::PluginModule> loadPlugin(const char* installedPath, std::string* error) {
  if (const char* chosen = std::getenv(kPluginEnv); chosen != nullptr && *chosen != '\0')
    return host::PluginModule::load(chosen, error);
  if (::access(installedPath, F_OK) == 0) return host::PluginModule::load(installedPath, error);
  return host::linkedModule();
}

bool PluginJob::startPage(const PageShape& shape, std::size_t pageNumber) {
  if (stream_ && !fits(shape)) {
    report("WARNING", "page " + std::to_string(pageNumber) + " has " + std::to_string(shape.rows) +
                          " rows, more than this job's page buffers hold; it starts a new job (job end feed, cut "
                          "and preamble in between)");
    if (!endJob()) return false;
  }
  if (!stream_ && !startJob(shape)) return false;
  ++pagesInJob_;
  return writer_->startPage();
}

bool PluginJob::endPage() {
  const bool ok = writer_->endPage();
  // The page before this one went out as this one ended.
  if (ok && pagesInJob_ >= 2 && pageOut_) pageOut_();
  return ok;
}

bool PluginJob::endJob() {
  if (!stream_) return error_.empty();
  stream_->end();
  if (stream_->ok() && pagesInJob_ >= 1 && pageOut_) pageOut_();  // the job's last page
  bytes_ += stream_->bytesWritten();
  const bool ok = stream_->ok();
  if (!ok && error_.empty()) error_ = stream_->error();
  writer_.reset();
  stream_.reset();
  return ok;
}

bool PluginJob::fits(const PageShape& shape) const {
  const std::uint64_t room = pageRoom(paperLength_, firstPageExtraLines(options_.record), pagesInJob_ == 0);
  return room == 0 || shape.rows <= room;
}

bool PluginJob::startJob(const PageShape& shape) {
  if (shape.paperLength > kLongestPaperLength)
    report("WARNING", "the page is longer than 3276.7 mm, the longest paper the job can state; it is printed "
                      "whole from files all the same");
  host::JobOptions job;
  job.rawRecord = options_.record;
  paperLength_ = jobPaperLength(shape.paperLength);
  job.paperLength = paperLength_;
  std::string why;
  stream_ = host::JobStream::start(session_, job, sink_, &why);
  if (!stream_) {
    error_ = "the job did not start: " + why;
    return false;
  }
  writer_ = std::make_unique<PageWriter>(*stream_, options_.blankSpace);
  pagesInJob_ = 0;
  return true;
}

PassOutcome printPages(PageSource& source, PluginJob& job, std::size_t pagesBefore) {
  PassOutcome outcome;
  jobstate::RasterLine line{};
  std::size_t opened = 0;
  while (!cancelRequested() && job.ok() && source.nextPage()) {
    const std::size_t number = pagesBefore + ++opened;
    if (const std::string notice = source.pageNotice(); !notice.empty())
      report("WARNING", "page " + std::to_string(number) + ": " + notice);
    if (!job.startPage(source.shape(), number)) break;
    ++outcome.pages;
    report("PAGE", std::to_string(number) + " 1");
    report("INFO", "Printing page " + std::to_string(number));
    while (!cancelRequested() && source.rowsLeft() > 0 && source.readLine(&line)) {
      if (!job.addLine(line)) break;
    }
    job.endPage();
  }
  if (!cancelRequested()) outcome.error = source.error();
  return outcome;
}

}  // namespace frontend
