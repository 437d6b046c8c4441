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
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "cups/filter_options.h"
#include "documents/raster_pages.h"
#include "documents/raster_stream.h"
#include "frontend/job_loop.h"
#include "frontend/log_text.h"
#include "frontend/print_options.h"
#include "host/byte_sink.h"
#include "host/group_frames.h"
#include "host/module_loader.h"
#include "host/print_session.h"
#include "host/process.h"

#pragma GCC diagnostic ignored "-Wdeprecated-declarations"  // the PPD API, see filter_options.cc

#ifndef QMX_INSTALLED_PLUGIN
#define QMX_INSTALLED_PLUGIN "/usr/lib/qmx415u/libqmx415u.so"
#endif

namespace {

// Set to "groups" by a printer application that runs the filter as its
// per-job worker: the output is framed by command group
// (host/group_frames.h), so that a worker that dies mid-write never leaves
// half a command on the printer.
constexpr const char* kOutputEnv = "QMX415U_OUTPUT";
constexpr int kArgumentsWithoutFile = 6;
constexpr int kArgumentsWithFile = 7;
constexpr long kMostCopies = 9999;  // CUPS' own default limit

using frontend::report;

int fail(const std::string& text) {
  report("ERROR", text);
  return 1;
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
    report("WARNING", "copies \"" + frontend::loggable(text) + "\" is not a number from 1 to " +
                          std::to_string(kMostCopies) + "; printing one copy");
    return 1;
  }
  return copies;
}

// One pass over a raster stream, its pages numbered after `pagesBefore`.
frontend::PassOutcome printRaster(int fd, frontend::PluginJob& job, std::size_t pagesBefore) {
  qmxcups::RasterStream stream(qmxcups::readFileDescriptor, &fd);
  qmxcups::RasterPages pages(stream);
  return frontend::printPages(pages, job, pagesBefore);
}

int runFilter(int argc, char** argv) {
  if (argc != kArgumentsWithoutFile && argc != kArgumentsWithFile) {
    std::fprintf(stderr, "Usage: %s job-id user title copies options [file]\n", argv[0]);
    return 1;
  }
  frontend::cancelOnTerminate();
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
  for (const std::string& w : warnings) report("WARNING", w);
  const long copies = copiesToPrint(argv[4], file != nullptr);

  // Page files go to a private folder under $TMPDIR, the job's own
  // temporary folder when CUPS runs the filter; it goes when the filter exits.
  std::string error;
  if (!host::configureProcess({}, &error)) return fail("cannot make a temporary folder: " + error);
  std::unique_ptr<host::PluginModule> module = frontend::loadPlugin(QMX_INSTALLED_PLUGIN, &error);
  if (!module) return fail("cannot load the plug-in: " + error);
  std::unique_ptr<host::PrintSession> session = host::PrintSession::open(*module, {}, &error);
  if (!session) return fail("the plug-in did not set up: " + error);

  host::FdSink output(STDOUT_FILENO, "the output");
  host::FramingSink framed(output);
  const char* outputMode = std::getenv(kOutputEnv);
  const bool groups = outputMode != nullptr && std::strcmp(outputMode, "groups") == 0;
  host::ByteSink& sink = groups ? static_cast<host::ByteSink&>(framed) : output;
  frontend::PluginJob job(*session, options, sink);
  std::size_t pages = 0;
  std::string rasterError;
  for (long copy = 0; copy < copies && !frontend::cancelRequested() && job.ok() && rasterError.empty(); ++copy) {
    const int fd = file != nullptr ? ::open(file, O_RDONLY | O_CLOEXEC) : STDIN_FILENO;
    if (fd < 0) {
      rasterError = frontend::loggable(file) + ": " + std::strerror(errno);
      break;
    }
    const frontend::PassOutcome outcome = printRaster(fd, job, pages);
    if (fd != STDIN_FILENO) ::close(fd);
    pages += outcome.pages;
    rasterError = outcome.error;
  }
  const bool whole = job.endJob();
  const std::uint64_t bytes = job.bytesWritten();
  session.reset();

  if (frontend::cancelRequested()) {
    report("INFO", "Job canceled after " + std::to_string(pages) + " pages; the stream ends on a whole command");
    return 0;
  }
  if (!whole) return fail("printing failed: " + job.error());
  if (!rasterError.empty()) return fail("bad raster input: " + rasterError);
  if (pages == 0) return fail("the raster holds no pages");
  report("INFO", "Printed " + std::to_string(pages) + (pages == 1 ? " page, " : " pages, ") + std::to_string(bytes) +
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
