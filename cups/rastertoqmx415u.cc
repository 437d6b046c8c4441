// rastertoqmx415u: the CUPS raster filter. Reads CUPS raster (the file
// named on the command line, else standard input), prints every page
// through the plug-in, as the print system drives it, and writes the
// printer's byte stream to standard output for the backend.
//
//   rastertoqmx415u job-id user title copies options [file]
//
// Job options come from argv[5] and the PPD named by $PPD (see
// filter_options.h). Messages follow the CUPS filter conventions: PAGE: per
// page, INFO: progress, WARNING: for a value replaced by its default, and
// ERROR: before a non-zero exit.
#include <cups/cups.h>
#include <cups/ppd.h>
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "cups/filter_options.h"
#include "cups/raster_pages.h"
#include "frontend/blank_space.h"
#include "frontend/log_text.h"
#include "frontend/print_options.h"
#include "host/byte_sink.h"
#include "host/group_frames.h"
#include "host/job_stream.h"
#include "host/linked_module.h"
#include "host/module_loader.h"
#include "host/print_session.h"
#include "host/process.h"
#include "host/record_fields.h"

#pragma GCC diagnostic ignored "-Wdeprecated-declarations"  // the PPD API, see filter_options.cc

#ifndef QMX_INSTALLED_PLUGIN
#define QMX_INSTALLED_PLUGIN "/usr/lib/qmx415u/libqmx415u.so"
#endif

namespace {

constexpr const char* kPluginEnv = "QMX415U_PLUGIN";
// Set to "groups" by a printer application that runs the filter as its
// per-job worker: the output is framed by command group
// (host/group_frames.h), so that a worker that dies mid-write never leaves
// half a command on the printer.
constexpr const char* kOutputEnv = "QMX415U_OUTPUT";
constexpr int kArgumentsWithoutFile = 6;
constexpr int kArgumentsWithFile = 7;
constexpr long kMostCopies = 9999;  // CUPS' own default limit

volatile std::sig_atomic_t canceled = 0;

// Only a flag: the row loops test it, so a cancelled job still ends on a
// whole command.
extern "C" void onTerminate(int) { canceled = 1; }

// Room for the longest message with its quoted job text.
constexpr std::size_t kMostMessageChars = 1024;

// One line whatever the text holds: the print system reads each line of
// standard error as a report.
void say(const char* level, const std::string& text) {
  std::fprintf(stderr, "%s: %s\n", level, frontend::loggable(text, kMostMessageChars).c_str());
}

int fail(const std::string& text) {
  say("ERROR", text);
  return 1;
}

void installSignalHandlers() {
  std::signal(SIGPIPE, SIG_IGN);  // a closed output is a write error, reported
  struct sigaction action {};
  action.sa_handler = onTerminate;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;
  sigaction(SIGTERM, &action, nullptr);
}

// Copies are made by whoever renders the pages when the filter reads a pipe
// (the PPD sets *cupsManualCopies: True); a raster file given on the command
// line is read once per copy.
long copiesToPrint(const char* text, bool fromFile) {
  if (!fromFile) return 1;
  char* end = nullptr;
  errno = 0;
  const long copies = std::strtol(text, &end, 10);
  if (errno != 0 || end == text || *end != '\0' || copies < 1 || copies > kMostCopies) {
    say("WARNING", "copies \"" + frontend::loggable(text) + "\" is not a number from 1 to " + std::to_string(kMostCopies) +
                       "; printing one copy");
    return 1;
  }
  return copies;
}

std::unique_ptr<host::PluginModule> loadPlugin(std::string* error) {
  if (const char* chosen = std::getenv(kPluginEnv); chosen != nullptr && *chosen != '\0')
    return host::PluginModule::load(chosen, error);
  if (::access(QMX_INSTALLED_PLUGIN, F_OK) == 0) return host::PluginModule::load(QMX_INSTALLED_PLUGIN, error);
  return host::linkedModule();
}

std::uint32_t firstPageExtraLines(const host::Record& record) {
  const host::FieldInfo& field = *host::findField("firstPageExtraLines");
  const std::uint32_t extra = host::readField(record, field);
  return extra > field.largest ? 0 : extra;
}

// The plug-in's job across the raster's pages. The job's paper length
// comes from its first page (the plug-in sizes its page buffers once per
// job); a later page too long for those buffers starts a new job rather
// than lose its end.
class FilterJob {
 public:
  FilterJob(host::PrintSession& session, const frontend::PrintOptions& options, host::ByteSink& sink)
      : session_(session), options_(options), sink_(sink) {}

  bool startPage(const qmxcups::PageFormat& format, std::size_t pageNumber) {
    if (stream_ && !fits(format)) {
      say("WARNING", "page " + std::to_string(pageNumber) + " has " + std::to_string(format.height) +
                         " rows, more than this job's page buffers hold; it starts a new job (job end feed, cut "
                         "and preamble in between)");
      if (!endJob()) return false;
    }
    if (!stream_ && !startJob(format)) return false;
    ++pagesInJob_;
    return writer_->startPage();
  }
  bool addLine(const jobstate::RasterLine& line) { return writer_->addLine(line); }
  bool endPage() { return writer_->endPage(); }

  // Ends the job (an open page first). True when everything reached the sink.
  bool endJob() {
    if (!stream_) return error_.empty();
    stream_->end();
    bytes_ += stream_->bytesWritten();
    const bool ok = stream_->ok();
    if (!ok && error_.empty()) error_ = stream_->error();
    writer_.reset();
    stream_.reset();
    return ok;
  }

  bool ok() const { return error_.empty() && (!stream_ || stream_->ok()); }
  std::string error() const { return !error_.empty() ? error_ : stream_ ? stream_->error() : std::string(); }
  std::uint64_t bytesWritten() const { return bytes_ + (stream_ ? stream_->bytesWritten() : 0); }

 private:
  bool fits(const qmxcups::PageFormat& format) const {
    const std::uint64_t room = qmxcups::pageRoom(paperLength_, firstPageExtraLines(options_.record), pagesInJob_ == 0);
    return room == 0 || format.height <= room;
  }

  bool startJob(const qmxcups::PageFormat& format) {
    if (format.paperLength > qmxcups::kLongestPaperLength)
      say("WARNING", "the page is longer than 3276.7 mm, the longest paper the job can state; it is printed "
                     "whole from files all the same");
    host::JobOptions job;
    job.rawRecord = options_.record;
    paperLength_ = qmxcups::jobPaperLength(format.paperLength);
    job.paperLength = paperLength_;
    std::string why;
    stream_ = host::JobStream::start(session_, job, sink_, &why);
    if (!stream_) {
      error_ = "the job did not start: " + why;
      return false;
    }
    writer_ = std::make_unique<frontend::PageWriter>(*stream_, options_.blankSpace);
    pagesInJob_ = 0;
    return true;
  }

  host::PrintSession& session_;
  const frontend::PrintOptions& options_;
  host::ByteSink& sink_;
  std::unique_ptr<host::JobStream> stream_;
  std::unique_ptr<frontend::PageWriter> writer_;
  std::int16_t paperLength_ = 0;
  std::size_t pagesInJob_ = 0;
  std::uint64_t bytes_ = 0;
  std::string error_;
};

// How reading the raster ended.
struct ReadOutcome {
  std::size_t pages = 0;  // pages started
  std::string error;      // bad raster input; empty when the raster was whole or the job cancelled
};

// One pass over a raster stream: header, page start, a line per row, page
// end, testing for a cancel between rows.
ReadOutcome printRaster(int fd, FilterJob& job, std::size_t pagesBefore) {
  ReadOutcome outcome;
  qmxcups::RasterStream stream(qmxcups::readFileDescriptor, &fd);
  qmxcups::RasterPages pages(stream);
  jobstate::RasterLine line{};
  while (!canceled && job.ok() && pages.nextPage()) {
    const qmxcups::PageFormat& format = pages.format();
    const std::size_t number = pagesBefore + pages.pageNumber();
    if (format.fit.shifted != 0)
      say("WARNING", "page " + std::to_string(number) + ": the printable area ends past the head's 576 dots; "
                     "moved " + std::to_string(format.fit.shifted) + " dots to the left");
    if (!job.startPage(format, number)) break;
    ++outcome.pages;
    std::fprintf(stderr, "PAGE: %zu 1\n", number);
    say("INFO", "Printing page " + std::to_string(number));
    while (!canceled && pages.rowsLeft() > 0 && pages.readLine(&line)) {
      if (!job.addLine(line)) break;
    }
    job.endPage();
  }
  if (!canceled) outcome.error = pages.error();
  return outcome;
}

int runFilter(int argc, char** argv) {
  if (argc != kArgumentsWithoutFile && argc != kArgumentsWithFile) {
    std::fprintf(stderr, "Usage: %s job-id user title copies options [file]\n", argv[0]);
    return 1;
  }
  installSignalHandlers();
  const char* file = argc == kArgumentsWithFile ? argv[6] : nullptr;

  ppd_file_t* ppd = nullptr;
  if (const char* ppdPath = std::getenv("PPD"); ppdPath != nullptr && *ppdPath != '\0') {
    ppd = ppdOpenFile(ppdPath);
    if (ppd == nullptr) return fail("cannot read the PPD file " + frontend::loggable(ppdPath));
  }
  cups_option_t* jobOptions = nullptr;
  const int numOptions = cupsParseOptions(argv[5], 0, &jobOptions);
  std::vector<std::string> warnings;
  const frontend::PrintOptions options = qmxcups::resolveOptions(numOptions, jobOptions, ppd, &warnings);
  cupsFreeOptions(numOptions, jobOptions);
  if (ppd != nullptr) ppdClose(ppd);
  for (const std::string& w : warnings) say("WARNING", w);
  const long copies = copiesToPrint(argv[4], file != nullptr);

  // Page files go to a private folder under $TMPDIR, the job's own
  // temporary folder when CUPS runs the filter; it goes when the filter exits.
  std::string error;
  if (!host::configureProcess({}, &error)) return fail("cannot make a temporary folder: " + error);
  std::unique_ptr<host::PluginModule> module = loadPlugin(&error);
  if (!module) return fail("cannot load the plug-in: " + error);
  std::unique_ptr<host::PrintSession> session = host::PrintSession::open(*module, {}, &error);
  if (!session) return fail("the plug-in did not set up: " + error);

  host::FdSink output(STDOUT_FILENO, "the output");
  host::FramingSink framed(output);
  const char* outputMode = std::getenv(kOutputEnv);
  const bool groups = outputMode != nullptr && std::strcmp(outputMode, "groups") == 0;
  host::ByteSink& sink = groups ? static_cast<host::ByteSink&>(framed) : output;
  FilterJob job(*session, options, sink);
  std::size_t pages = 0;
  std::string rasterError;
  for (long copy = 0; copy < copies && !canceled && job.ok() && rasterError.empty(); ++copy) {
    const int fd = file != nullptr ? ::open(file, O_RDONLY | O_CLOEXEC) : STDIN_FILENO;
    if (fd < 0) {
      rasterError = frontend::loggable(file) + ": " + std::strerror(errno);
      break;
    }
    ReadOutcome outcome = printRaster(fd, job, pages);
    if (fd != STDIN_FILENO) ::close(fd);
    pages += outcome.pages;
    rasterError = outcome.error;
  }
  const bool whole = job.endJob();
  const std::uint64_t bytes = job.bytesWritten();
  session.reset();

  if (canceled) {
    say("INFO", "Job canceled after " + std::to_string(pages) + " pages; the stream ends on a whole command");
    return 0;
  }
  if (!whole) return fail("printing failed: " + job.error());
  if (!rasterError.empty()) return fail("bad raster input: " + rasterError);
  if (pages == 0) return fail("the raster holds no pages");
  say("INFO", "Printed " + std::to_string(pages) + (pages == 1 ? " page, " : " pages, ") + std::to_string(bytes) +
                  " bytes");
  return 0;
}

}  // namespace

// No exception leaves the filter: one that escapes (memory running out)
// unwinds the job, whose stream still ends it on a whole command, and is
// reported like any other failure.
int main(int argc, char** argv) {
  try {
    return runFilter(argc, argv);
  } catch (const std::exception& e) {
    return fail(std::string("the filter failed: ") + e.what());
  } catch (...) {
    return fail("the filter failed");
  }
}
