// qmx415u-app-worker: one job's document into printer bytes, for the
// printer application's server. The contract (arguments, standard input
// and output, messages, cancel, exit status) is app/document_worker.h's.
//
//   qmx415u-app-worker job-id user title copies options  <document  >framed-bytes
//
// The whole document is checked before anything prints: a raster's every
// page header and row framing, a picture decoded whole. A document refused
// so prints nothing (exit kExitDocumentRefused). Each copy is then a job of
// the plug-in's own, the document's pages in order.
#include <cups/cups.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "app/document_worker.h"
#include "documents/picture.h"
#include "documents/placement.h"
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

#ifndef QMX_INSTALLED_PLUGIN
#define QMX_INSTALLED_PLUGIN "/usr/lib/qmx415u/libqmx415u.so"
#endif

namespace {

using frontend::report;

constexpr int kArguments = 6;
constexpr int kExitFailed = 1;
constexpr int kDocumentFd = STDIN_FILENO;
constexpr std::size_t kSniffBytes = 8;
constexpr char kPwgSync[] = "RaS2";
constexpr char kUrfSync[] = "UNIRAST";  // with its NUL: 8 bytes

enum class Kind { kRaster, kPicture };

struct Format {
  std::string_view mime;
  Kind kind;
  documents::PictureFormat picture;  // kNone for rasters
};

constexpr Format kFormats[] = {
    {"image/pwg-raster", Kind::kRaster, documents::PictureFormat::kNone},
    {"image/urf", Kind::kRaster, documents::PictureFormat::kNone},
    {"image/png", Kind::kPicture, documents::PictureFormat::kPng},
    {"image/jpeg", Kind::kPicture, documents::PictureFormat::kJpeg},
    {"image/x-portable-bitmap", Kind::kPicture, documents::PictureFormat::kPbm},
};
constexpr std::string_view kAnyFormat = "application/octet-stream";

// What the worker is asked to do besides the print options.
struct Request {
  long copies = 1;
  std::string format;  // MIME type; empty or kAnyFormat: known by the document's first bytes
  documents::PlacementRequest placement;
};

int fail(const std::string& why) {
  report("ERROR", why);
  return kExitFailed;
}

int refuse(const std::string& why) {
  report("ERROR", why);
  return app::kExitDocumentRefused;
}

// ---- The command line -----------------------------------------------------------

bool parseNumber(std::string_view text, long long least, long long most, long long* value) {
  const std::string copy(text);
  char* end = nullptr;
  errno = 0;
  const long long n = std::strtoll(copy.c_str(), &end, 10);
  if (copy.empty() || errno != 0 || *end != '\0' || n < least || n > most) return false;
  *value = n;
  return true;
}

// "WxL" in hundredths of a millimetre.
bool parseMediaSize(std::string_view text, documents::Media* media) {
  const std::size_t x = text.find('x');
  long long width = 0, length = 0;
  if (x == std::string_view::npos || !parseNumber(text.substr(0, x), 1, documents::kWidestMedia, &width) ||
      !parseNumber(text.substr(x + 1), 1, documents::kLongestMedia, &length))
    return false;
  media->width = static_cast<std::uint32_t>(width);
  media->length = static_cast<std::uint32_t>(length);
  return true;
}

bool parseBoolean(std::string_view text, bool* value) {
  if (text != "true" && text != "false") return false;
  *value = text == "true";
  return true;
}

// One document option; false when `name` is none of them. *why is set
// when the value does not read.
bool readDocumentOption(std::string_view name, std::string_view value, Request* request, std::string* why) {
  documents::PlacementRequest& placement = request->placement;
  long long number = 0;
  bool read = true;
  if (name == app::kOptionFormat) {
    request->format = value;
  } else if (name == app::kOptionMediaSize) {
    read = parseMediaSize(value, &placement.media);
  } else if (name == app::kOptionLeftMargin) {
    read = parseNumber(value, 0, documents::kWidestMedia, &number);
    placement.media.leftMargin = static_cast<std::uint32_t>(number);
  } else if (name == app::kOptionMediaNamed) {
    read = parseBoolean(value, &placement.media.named);
  } else if (name == app::kOptionScaling) {
    read = documents::parseScaling(value, &placement.scaling);
  } else if (name == app::kOptionOrientation) {
    read = documents::parseOrientation(value, &placement.orientation);
  } else {
    return false;
  }
  if (!read) *why = "option " + std::string(name) + "=\"" + frontend::loggable(value) + "\" does not read";
  return true;
}

// The options the server resolved: every value must read, since a value
// put in place of one that does not would print what nobody asked for.
bool readOptions(const char* text, frontend::PrintOptions* print, Request* request, std::string* why) {
  cups_option_t* options = nullptr;
  const int count = cupsParseOptions(text, 0, &options);
  for (int i = 0; i < count && why->empty(); ++i) {
    const std::string_view name = options[i].name, value = options[i].value;
    if (readDocumentOption(name, value, request, why)) continue;
    const frontend::OptionSpec* option = frontend::findOption(name);
    if (option == nullptr) {
      report("WARNING", "unknown option " + frontend::loggable(name) + " is left aside");
      continue;
    }
    std::uint32_t number = 0;
    if (frontend::parseValue(*option, value, &number, why)) option->set(*print, number);
  }
  cupsFreeOptions(count, options);
  const documents::Media& media = request->placement.media;
  if (why->empty() && 2 * std::uint64_t{media.leftMargin} >= media.width)
    *why = "the media's left margin leaves it no printable width";
  return why->empty();
}

// ---- The document ----------------------------------------------------------------

// The format the document's first bytes show, or null.
const Format* formatOfBytes(const std::uint8_t* bytes, std::size_t count) {
  if (count >= sizeof kPwgSync - 1 && std::memcmp(bytes, kPwgSync, sizeof kPwgSync - 1) == 0) return &kFormats[0];
  if (count >= sizeof kUrfSync && std::memcmp(bytes, kUrfSync, sizeof kUrfSync) == 0) return &kFormats[1];
  const documents::PictureFormat picture = documents::pictureFormatOf({bytes, count});
  for (const Format& format : kFormats)
    if (picture != documents::PictureFormat::kNone && format.picture == picture) return &format;
  return nullptr;
}

// The document's format: the one the server states, which its first bytes
// must show; any the bytes show when it states none. Null with *why set.
const Format* documentFormat(const std::string& stated, std::string* why) {
  std::uint8_t head[kSniffBytes] = {};
  const ssize_t count = ::pread(kDocumentFd, head, sizeof head, 0);
  if (count < 0) {
    *why = std::string("cannot read the document: ") + std::strerror(errno);
    return nullptr;
  }
  if (count == 0) {
    *why = "the document is empty";
    return nullptr;
  }
  const Format* shown = formatOfBytes(head, static_cast<std::size_t>(count));
  if (stated.empty() || stated == kAnyFormat) {
    if (shown == nullptr)
      *why = "the document is none of the formats printed here; it starts " +
             frontend::hexBytes(head, static_cast<std::size_t>(count));
    return shown;
  }
  for (const Format& format : kFormats) {
    if (format.mime != stated) continue;
    if (shown != &format) {
      *why = "the document is not the " + std::string(stated) + " it is said to be; it starts " +
             frontend::hexBytes(head, static_cast<std::size_t>(count));
      return nullptr;
    }
    return shown;
  }
  *why = "document-format " + frontend::loggable(stated) + " is not printed here";
  return nullptr;
}

bool rewindDocument(std::string* why) {
  if (::lseek(kDocumentFd, 0, SEEK_SET) == 0) return true;
  *why = std::string("the document cannot be read from its start: ") + std::strerror(errno);
  return false;
}

// What the printer application knows of a raster page: the media's left
// margin and width.
qmxcups::MediaBounds rasterBounds(const documents::Media& media) {
  qmxcups::MediaBounds bounds;
  bounds.marginGiven = true;
  bounds.leftMargin = documents::leftMarginDots(media);
  bounds.widestPage = documents::mediaWidthDots(media);
  return bounds;
}

// Reads every page header and row of the raster; *why says what is wrong.
bool checkRaster(const qmxcups::MediaBounds& bounds, std::string* why) {
  if (!rewindDocument(why)) return false;
  int fd = kDocumentFd;
  qmxcups::RasterStream stream(qmxcups::readFileDescriptor, &fd);
  qmxcups::RasterPages pages(stream, bounds);
  // Each nextPage() reads the rows of the page before it.
  while (!frontend::cancelRequested() && pages.nextPage()) continue;
  if (!pages.error().empty()) {
    *why = pages.error();
  } else if (pages.pageNumber() == 0 && !frontend::cancelRequested()) {
    *why = "the document holds no pages";
  }
  return why->empty();
}

// ---- Printing --------------------------------------------------------------------

// The plug-in's session and the job's framed output.
class Printer {
 public:
  bool open(const frontend::PrintOptions& options, std::string* why) {
    // Page files go to a private folder under $TMPDIR, the worker's own.
    if (!host::configureProcess({}, why)) return false;
    module_ = frontend::loadPlugin(QMX_INSTALLED_PLUGIN, why);
    if (!module_) return false;
    session_ = host::PrintSession::open(*module_, {}, why);
    if (!session_) return false;
    job_ = std::make_unique<frontend::PluginJob>(*session_, options, framed_);
    // The server counts a page printed once its mark and every byte before
    // it reached the printer.
    job_->setPageOut([this] { framed_.markPageEnd(); });
    return true;
  }
  frontend::PluginJob& job() { return *job_; }
  void close() {
    job_.reset();
    session_.reset();
  }

 private:
  host::FdSink output_{STDOUT_FILENO, "the output"};
  host::FramingSink framed_{output_};
  std::unique_ptr<host::PluginModule> module_;
  std::unique_ptr<host::PrintSession> session_;
  std::unique_ptr<frontend::PluginJob> job_;
};

struct Printed {
  std::size_t pages = 0;
  std::uint64_t bytes = 0;
  std::string documentError;  // the document failed while printing
  std::string printError;     // the output failed
};

// Prints `copies` passes, each a plug-in job of its own; `pass` prints one
// pass's pages after the pages printed so far.
template <typename Pass>
Printed printCopies(frontend::PluginJob& job, long copies, Pass pass) {
  Printed printed;
  for (long copy = 0; copy < copies && !frontend::cancelRequested(); ++copy) {
    const frontend::PassOutcome outcome = pass(printed.pages);
    printed.pages += outcome.pages;
    const bool whole = job.endJob();
    if (!whole) printed.printError = job.error();
    if (!outcome.error.empty()) printed.documentError = outcome.error;
    if (!whole || !outcome.error.empty()) break;
  }
  printed.bytes = job.bytesWritten();
  return printed;
}

int finish(const Printed& printed) {
  if (frontend::cancelRequested()) {
    report("INFO", "Job canceled after " + std::to_string(printed.pages) +
                       " pages; the stream ends on a whole command");
    return 0;
  }
  if (!printed.printError.empty()) return fail("printing failed: " + printed.printError);
  if (!printed.documentError.empty()) return refuse(printed.documentError);
  report("INFO", "Printed " + std::to_string(printed.pages) + (printed.pages == 1 ? " page, " : " pages, ") +
                     std::to_string(printed.bytes) + " bytes");
  return 0;
}

int printRaster(const Request& request, const frontend::PrintOptions& options) {
  const qmxcups::MediaBounds bounds = rasterBounds(request.placement.media);
  std::string why;
  if (!checkRaster(bounds, &why)) return refuse(why);
  if (frontend::cancelRequested()) return finish({});
  Printer printer;
  if (!printer.open(options, &why)) return fail("the plug-in did not set up: " + why);
  const Printed printed = printCopies(printer.job(), request.copies, [&](std::size_t before) {
    frontend::PassOutcome outcome;
    std::string rewound;
    if (!rewindDocument(&rewound)) {
      outcome.error = rewound;
      return outcome;
    }
    int fd = kDocumentFd;
    qmxcups::RasterStream stream(qmxcups::readFileDescriptor, &fd);
    qmxcups::RasterPages pages(stream, bounds);
    return frontend::printPages(pages, printer.job(), before);
  });
  printer.close();
  return finish(printed);
}

std::string describe(const documents::Picture& picture, const documents::PageLayout& layout) {
  std::string text = std::string(documents::formatName(picture.format)) + " picture of " +
                     std::to_string(picture.width) + " x " + std::to_string(picture.height) + " pixels";
  if (picture.resolution.stated())
    text += " at " + std::to_string(std::lround(picture.resolution.x)) + "x" +
            std::to_string(std::lround(picture.resolution.y)) + " dpi";
  return text + ", placed as " + std::to_string(layout.width) + " x " + std::to_string(layout.height) +
         " dots at dot " + std::to_string(layout.left) + ", line " + std::to_string(layout.top) + " of " +
         std::to_string(layout.pageRows) + " (print-scaling=" + documents::scalingKeyword(layout.applied) + ")";
}

int printPicture(const Request& request, const frontend::PrintOptions& options) {
  std::string why;
  std::optional<documents::PicturePage> page;
  {
    std::vector<std::uint8_t> bytes;
    if (!rewindDocument(&why) || !documents::readDocumentBytes(kDocumentFd, &bytes, &why)) return refuse(why);
    documents::Picture picture;
    if (!documents::readPicture(bytes, {}, &picture, &why)) return refuse(why);
    bytes = {};
    const documents::PageLayout layout = documents::placePicture(picture, request.placement);
    report("INFO", describe(picture, layout));
    page.emplace(picture, layout);
  }
  if (frontend::cancelRequested()) return finish({});
  Printer printer;
  if (!printer.open(options, &why)) return fail("the plug-in did not set up: " + why);
  const Printed printed = printCopies(printer.job(), request.copies, [&](std::size_t before) {
    page->rewind();
    return frontend::printPages(*page, printer.job(), before);
  });
  printer.close();
  return finish(printed);
}

int runWorker(int argc, char** argv) {
  if (argc != kArguments) {
    std::fprintf(stderr, "Usage: %s job-id user title copies options <document\n", argv[0]);
    return kExitFailed;
  }
  frontend::cancelOnTerminate();
  Request request;
  long long copies = 0;
  if (!parseNumber(argv[4], 1, app::kMostCopies, &copies))
    return fail("copies \"" + frontend::loggable(argv[4]) + "\" is not a number from 1 to " +
                std::to_string(app::kMostCopies));
  request.copies = static_cast<long>(copies);
  frontend::PrintOptions options;
  std::string why;
  if (!readOptions(argv[5], &options, &request, &why)) return fail(why);
  const Format* format = documentFormat(request.format, &why);
  if (format == nullptr) return refuse(why);
  return format->kind == Kind::kRaster ? printRaster(request, options) : printPicture(request, options);
}

}  // namespace

// No exception leaves the worker: one that escapes (memory running out)
// unwinds the job, whose stream still ends it on a whole command, and is
// reported like any other failure.
int main(int argc, char** argv) {
  try {
    return runWorker(argc, argv);
  } catch (const std::exception& e) {
    return fail(std::string("the worker failed: ") + e.what());
  } catch (...) {
    return fail("the worker failed");
  }
}
