#include "app/driver.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>
#include <string>
#include <vector>

#include "app/file_device.h"
#include "app/ipp_options.h"
#include "frontend/blank_space.h"
#include "frontend/dither.h"
#include "frontend/page_fit.h"
#include "frontend/paper_length.h"
#include "frontend/print_options.h"
#include "host/byte_sink.h"
#include "host/job_stream.h"
#include "host/linked_module.h"
#include "host/print_session.h"
#include "host/record_fields.h"

namespace app {
namespace {

constexpr const char* kMakeAndModel = "QMX415U 80 mm thermal receipt printer";
constexpr int kHundredthsPerInch = 2540;
constexpr int kRollWidth = 8000;           // hundredths of a millimetre
constexpr int kSideMargin = 400;           // 72 mm printable on the 80 mm roll
constexpr int kRollLongest = 327670;       // the record's longest paper: 32767 tenths
constexpr int kReadyLength = 29700;        // the length a job gets when it names none
using frontend::kLongestPageLines;
constexpr std::uint32_t kWidestPage = 16384;                     // dots; PAPPL's own image limit
constexpr int kPagesPerMinute = 30;

const char* const kMedia[] = {"roll_max_80x3276.7mm", "roll_min_80x10mm", "custom_receipt_80x297mm"};
constexpr const char* kReadyMedia = "custom_receipt_80x297mm";

pappl_pr_driver_t kDrivers[] = {
    {kDriverName, kMakeAndModel, "MFG:QMX415U;MDL:80 mm receipt printer;CMD:QMX415U;", nullptr},
};

// One job at a time in the process, whichever printer it is for. Not a
// mutex: a job enters in one callback and leaves in another, and a failed
// start leaves at once.
class JobGate {
 public:
  // True when another job held the gate first.
  bool enter() {
    std::unique_lock<std::mutex> lock(mutex_);
    const bool waited = busy_;
    free_.wait(lock, [this] { return !busy_; });
    busy_ = true;
    return waited;
  }
  void leave() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      busy_ = false;
    }
    free_.notify_one();
  }

 private:
  std::mutex mutex_;
  std::condition_variable free_;
  bool busy_ = false;
};

std::atomic<long long> lastJobMs{0};  // steady clock, when a job last started or ended
std::atomic<int> jobsRunning{0};

long long nowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

void noteJobActivity(int change) {
  jobsRunning += change;
  lastJobMs = nowMs();
}

JobGate& jobGate() {
  static JobGate gate;
  return gate;
}

// Holds the gate for as long as it lives.
class GatePass {
 public:
  GatePass() : waited_(jobGate().enter()) { noteJobActivity(1); }
  ~GatePass() {
    noteJobActivity(-1);
    jobGate().leave();
  }
  GatePass(const GatePass&) = delete;
  GatePass& operator=(const GatePass&) = delete;
  bool waited() const { return waited_; }

 private:
  bool waited_;
};

host::PluginModule& pluginModule() {
  static std::unique_ptr<host::PluginModule> module = host::linkedModule();
  return *module;
}

// PAPPL hands pages over as 8-bit grey (0 black), dithered here by the
// dither every front end uses: its own pages of PNG, JPEG and Apple raster
// documents, and grey PWG raster pages as they come. 1-bit pages (a set bit
// black) are taken too. Only sgray_8 is offered for PWG raster: PAPPL 1.3
// turns a black_1 document into grey pages byte for byte, which garbles it.
bool isBlackBitsPage(const cups_page_header2_t& header) {
  return header.cupsBitsPerPixel == 1 && header.cupsColorSpace == CUPS_CSPACE_K;
}

bool isGreyPage(const cups_page_header2_t& header) {
  return header.cupsBitsPerPixel == 8 &&
         (header.cupsColorSpace == CUPS_CSPACE_SW || header.cupsColorSpace == CUPS_CSPACE_W);
}

// Everything one job keeps between the callbacks.
struct JobRun {
  GatePass pass;  // first in, last out
  std::unique_ptr<host::PrintSession> session;
  std::unique_ptr<host::CallbackSink> sink;
  std::unique_ptr<host::JobStream> stream;
  std::unique_ptr<frontend::PageWriter> writer;
  frontend::PrintOptions settings;
  std::int16_t paperLength = 0;
  std::uint32_t firstPageExtra = 0;
  // The page being printed.
  frontend::LineFit fit;
  bool grey8 = false;
  std::uint32_t lineBytes = 0;
  std::uint32_t lines = 0;
  frontend::RowDitherer ditherer{frontend::kHeadDots};
  std::array<std::uint8_t, frontend::kHeadDots> grey{};
};

JobRun* runOf(pappl_job_t* job) { return static_cast<JobRun*>(papplJobGetData(job)); }

void finishRun(pappl_job_t* job) {
  delete runOf(job);
  papplJobSetData(job, nullptr);
}

// ---- Settings from the job and the printer ----------------------------------

// The printer's default for `name` (its NAME-default), or null.
std::string printerDefault(pappl_printer_t* printer, const std::string& name) {
  ipp_t* attrs = papplPrinterGetDriverAttributes(printer);
  std::string text;
  if (ipp_attribute_t* attr = ippFindAttribute(attrs, (name + "-default").c_str(), IPP_TAG_ZERO)) {
    char buffer[256];
    ippAttributeString(attr, buffer, sizeof buffer);
    text = buffer;
  }
  ippDelete(attrs);
  return text;
}

const char* vendorValue(const pappl_pr_options_t* options, const char* name) {
  return cupsGetOption(name, options->num_vendor, options->vendor);
}

bool applyVendorOptions(pappl_job_t* job, const pappl_pr_options_t* options, frontend::PrintOptions* settings) {
  pappl_printer_t* printer = papplJobGetPrinter(job);
  for (const frontend::OptionSpec* option : vendorOptions()) {
    std::string text;
    if (const char* given = vendorValue(options, option->ippName)) {
      text = given;
    } else {
      text = printerDefault(printer, option->ippName);
    }
    if (text.empty()) continue;  // the factory value stands
    std::uint32_t value = 0;
    std::string why;
    if (!readVendorValue(*option, text, &value, &why)) {
      papplLogJob(job, PAPPL_LOGLEVEL_ERROR, "Bad value: %s", why.c_str());
      return false;
    }
    option->set(*settings, value);
  }
  return true;
}

// Dots from hundredths of a millimetre at `dpi`, rounded.
std::uint32_t dotsFrom(int hundredths, unsigned dpi) {
  if (hundredths <= 0) return 0;
  return static_cast<std::uint32_t>((static_cast<long long>(hundredths) * dpi + kHundredthsPerInch / 2) /
                                    kHundredthsPerInch);
}

bool isRoll(const pappl_media_col_t& media) { return std::strncmp(media.size_name, "roll_", 5) == 0; }

// ---- Raster callbacks -------------------------------------------------------

// The job starts in the plug-in with its first page, when that page's
// header is known: the plug-in sizes its page buffers from the paper
// length then, and PAPPL hands over a raster document's own page headers,
// which may be longer than the media.
bool startJob(pappl_job_t* job, pappl_pr_options_t* options, pappl_device_t* device) {
  endFileDeviceJob(device);  // whatever an earlier, failed job left open is its own
  try {
    // Settings first: reading the printer's defaults takes the printer's
    // lock, which a job waiting at the gate may hold.
    frontend::PrintOptions settings;
    if (!applyVendorOptions(job, options, &settings)) {
      papplJobSetReasons(job, PAPPL_JREASON_JOB_COMPLETED_WITH_ERRORS, PAPPL_JREASON_NONE);
      return false;
    }
    auto run = std::make_unique<JobRun>();  // waits for the gate
    if (run->pass.waited()) papplLogJob(job, PAPPL_LOGLEVEL_INFO, "Waited for another job to end.");
    run->settings = settings;
    run->firstPageExtra = frontend::findOption("first-page-margin")->get(run->settings);
    std::string error;
    run->session = host::PrintSession::open(pluginModule(), {}, &error);
    if (!run->session) {
      papplLogJob(job, PAPPL_LOGLEVEL_ERROR, "The printer module did not set up: %s", error.c_str());
      return false;
    }
    run->sink = std::make_unique<host::CallbackSink>([device](const std::uint8_t* bytes, std::size_t length) {
      return papplDeviceWrite(device, bytes, length) == static_cast<ssize_t>(length);
    });
    papplJobSetData(job, run.release());
    return true;
  } catch (const std::exception& e) {
    papplLogJob(job, PAPPL_LOGLEVEL_ERROR, "The job did not start: %s", e.what());
    return false;
  }
}

// CommandCallback(1), with the paper the first page needs.
bool startStream(pappl_job_t* job, JobRun& run, const pappl_pr_options_t* options) {
  run.paperLength = paperLengthForJob(options->media.size_length, isRoll(options->media),
                                      options->header.cupsHeight);
  host::JobOptions jobOptions;
  jobOptions.rawRecord = run.settings.record;
  jobOptions.paperLength = run.paperLength;
  std::string error;
  run.stream = host::JobStream::start(*run.session, jobOptions, *run.sink, &error);
  if (!run.stream) {
    papplLogJob(job, PAPPL_LOGLEVEL_ERROR, "The job did not start: %s", error.c_str());
    return false;
  }
  run.writer = std::make_unique<frontend::PageWriter>(*run.stream, run.settings.blankSpace);
  papplLogJob(job, PAPPL_LOGLEVEL_INFO, "Started: paper length %.1f mm for media %s.", run.paperLength / 10.0,
              options->media.size_name);
  return true;
}

// Refuses a page the head cannot print as it is.
bool checkPage(pappl_job_t* job, const cups_page_header2_t& header, unsigned page) {
  if (header.HWResolution[0] != kDotsPerInch || header.HWResolution[1] != kDotsPerInch) {
    papplLogJob(job, PAPPL_LOGLEVEL_ERROR, "Page %u is at %ux%u dpi; this printer prints at %d dpi.", page,
                header.HWResolution[0], header.HWResolution[1], kDotsPerInch);
    return false;
  }
  if (!isBlackBitsPage(header) && !isGreyPage(header)) {
    papplLogJob(job, PAPPL_LOGLEVEL_ERROR, "Page %u has %u-bit pixels of colour space %u; this printer takes "
                "black_1 or sgray_8.", page, header.cupsBitsPerPixel, header.cupsColorSpace);
    return false;
  }
  const std::uint64_t lineBytes = (std::uint64_t{header.cupsWidth} * header.cupsBitsPerPixel + 7) / 8;
  if (header.cupsWidth == 0 || header.cupsWidth > kWidestPage || header.cupsBytesPerLine < lineBytes) {
    papplLogJob(job, PAPPL_LOGLEVEL_ERROR, "Page %u is %u dots wide; this printer takes 1 to %u.", page,
                header.cupsWidth, kWidestPage);
    return false;
  }
  if (header.cupsHeight > kLongestPageLines) {
    papplLogJob(job, PAPPL_LOGLEVEL_ERROR, "Page %u has %u lines; the longest page is %u lines (3276.7 mm).", page,
                header.cupsHeight, kLongestPageLines);
    return false;
  }
  return true;
}

// Refuses a page longer than the plug-in keeps with the job's paper, rather
// than have its end dropped.
bool checkPageFits(pappl_job_t* job, const JobRun& run, const cups_page_header2_t& header, unsigned page) {
  const std::uint64_t room = frontend::pageRoom(run.paperLength, run.firstPageExtra, page == 1);
  if (room == 0 || header.cupsHeight <= room) return true;
  papplLogJob(job, PAPPL_LOGLEVEL_ERROR, "Page %u has %u lines; the job's paper (%.1f mm, from its first page) "
              "holds %u. Print it as a job of its own.", page, header.cupsHeight, run.paperLength / 10.0,
              static_cast<unsigned>(room));
  return false;
}

bool startPage(pappl_job_t* job, pappl_pr_options_t* options, pappl_device_t* /*device*/, unsigned page) {
  JobRun* run = runOf(job);
  if (run == nullptr) return false;
  try {
    const cups_page_header2_t& header = options->header;
    if (!checkPage(job, header, page) || (!run->stream && !startStream(job, *run, options)) ||
        !checkPageFits(job, *run, header, page)) {
      papplJobSetReasons(job, PAPPL_JREASON_DOCUMENT_FORMAT_ERROR, PAPPL_JREASON_NONE);
      return false;
    }
    papplLogJob(job, PAPPL_LOGLEVEL_DEBUG, "Page %u: %ux%u.", page, header.cupsWidth, header.cupsHeight);
    // A page wider than the head holds its printable area after the media's left margin.
    run->fit = frontend::fitLine(header.cupsWidth, dotsFrom(options->media.left_margin, header.HWResolution[0]));
    if (run->fit.shifted != 0)
      papplLogJob(job, PAPPL_LOGLEVEL_WARN, "Page %u: the printable area was moved %u dots left to fit the head.",
                  page, run->fit.shifted);
    run->grey8 = isGreyPage(header);
    run->lineBytes = header.cupsBytesPerLine;
    run->ditherer.restart();
    run->lines = 0;
    return run->writer->startPage();
  } catch (const std::exception& e) {
    papplLogJob(job, PAPPL_LOGLEVEL_ERROR, "Page %u did not start: %s", page, e.what());
    return false;
  }
}

// One line of the page as the head's 576 dots; grey is dithered.
bool writeLine(pappl_job_t* job, pappl_pr_options_t* /*options*/, pappl_device_t* /*device*/, unsigned /*y*/,
               const unsigned char* line) {
  JobRun* run = runOf(job);
  if (run == nullptr || line == nullptr || !run->writer) return false;
  jobstate::RasterLine dots{};
  if (run->grey8) {
    frontend::fitGrey(line, run->fit, run->grey.data());
    run->ditherer.ditherRow(run->grey.data(), dots.data());
  } else {
    frontend::fitBits(line, run->lineBytes, run->fit, dots);
  }
  ++run->lines;
  if (!run->writer->addLine(dots)) {
    papplLogJob(job, PAPPL_LOGLEVEL_ERROR, "Printing failed: %s", run->stream->error().c_str());
    return false;
  }
  return true;
}

bool endPage(pappl_job_t* job, pappl_pr_options_t* /*options*/, pappl_device_t* /*device*/, unsigned page) {
  JobRun* run = runOf(job);
  if (run == nullptr || !run->writer) return false;
  if (!run->writer->endPage()) {
    papplLogJob(job, PAPPL_LOGLEVEL_ERROR, "Page %u failed: %s", page, run->stream->error().c_str());
    return false;
  }
  papplLogJob(job, PAPPL_LOGLEVEL_DEBUG, "Page %u: %u lines, %llu blank lines dropped.", page, run->lines,
              static_cast<unsigned long long>(run->writer->linesDropped()));
  return true;
}

bool endJob(pappl_job_t* job, pappl_pr_options_t* /*options*/, pappl_device_t* device) {
  JobRun* run = runOf(job);
  if (run == nullptr) return false;
  bool ended = true;
  if (run->stream) {
    ended = run->stream->end();
    if (ended) {
      papplLogJob(job, PAPPL_LOGLEVEL_INFO, "Ended: %u pages, %llu bytes.",
                  static_cast<unsigned>(run->stream->pagesStarted()),
                  static_cast<unsigned long long>(run->stream->bytesWritten()));
    } else {
      papplLogJob(job, PAPPL_LOGLEVEL_ERROR, "The job failed: %s", run->stream->error().c_str());
    }
    run->stream.reset();
  }
  papplDeviceFlush(device);
  endFileDeviceJob(device);
  run->session->close();
  finishRun(job);  // leaves the gate
  return ended;
}

// ---- What the printer offers ------------------------------------------------

void setMedia(pappl_media_col_t& media, const char* name, int length) {
  std::memset(&media, 0, sizeof media);
  papplCopyString(media.size_name, name, sizeof media.size_name);
  media.size_width = kRollWidth;
  media.size_length = length;
  media.left_margin = media.right_margin = kSideMargin;
  papplCopyString(media.source, "main-roll", sizeof media.source);
  papplCopyString(media.type, "continuous", sizeof media.type);
  media.tracking = PAPPL_MEDIA_TRACKING_CONTINUOUS;
}

void fillMedia(pappl_pr_driver_data_t* data) {
  data->num_media = static_cast<int>(std::size(kMedia));
  for (int i = 0; i < data->num_media; ++i) data->media[i] = kMedia[i];
  data->num_source = 1;
  data->source[0] = "main-roll";
  data->num_type = 1;
  data->type[0] = "continuous";
  data->left_right = kSideMargin;
  data->bottom_top = 0;
  setMedia(data->media_default, kReadyMedia, kReadyLength);
  data->media_ready[0] = data->media_default;
  data->tracking_supported = PAPPL_MEDIA_TRACKING_CONTINUOUS | PAPPL_MEDIA_TRACKING_MARK;
  // Paper leaves at the front, printed side up; PAPPL needs one bin.
  data->num_bin = 1;
  data->bin[0] = "face-up";
  data->bin_default = 0;
}

// What PAPPL 1.3 leaves out and an IPP Everywhere client looks for, each
// as this printer has it.
void addDescriptionAttributes(ipp_t* attrs) {
  // Get-Printer-Attributes takes no preferred-attributes here.
  ippAddBoolean(attrs, IPP_TAG_PRINTER, "preferred-attributes-supported", 0);
  // Grey in, dots out: no colour rendering to choose.
  ippAddString(attrs, IPP_TAG_PRINTER, IPP_TAG_KEYWORD, "print-rendering-intent-supported", nullptr, "auto");
  ippAddString(attrs, IPP_TAG_PRINTER, IPP_TAG_KEYWORD, "print-rendering-intent-default", nullptr, "auto");
  // One-sided: a back side, were there one, would come as the front does.
  ippAddString(attrs, IPP_TAG_PRINTER, IPP_TAG_KEYWORD, "pwg-raster-document-sheet-back", nullptr, "normal");
}

}  // namespace

pappl_pr_driver_t* drivers() { return kDrivers; }

bool jobsRecently(long quietMs) { return jobsRunning > 0 || nowMs() - lastJobMs < quietMs; }
int driverCount() { return static_cast<int>(std::size(kDrivers)); }

std::int16_t paperLengthForJob(int mediaLength, bool rollWithoutLength, std::uint32_t firstPageLines) {
  std::int64_t tenths = rollWithoutLength || mediaLength <= 0 ? 0 : (mediaLength + 9) / 10;
  tenths = std::max(tenths, frontend::paperLengthForRows(firstPageLines));
  return static_cast<std::int16_t>(std::min<std::int64_t>(tenths, frontend::kLongestPaperLength));
}

bool fillDriverData(pappl_system_t* /*system*/, const char* driverName, const char* /*deviceUri*/,
                    const char* /*deviceId*/, pappl_pr_driver_data_t* data, ipp_t** attrs, void* /*context*/) {
  if (driverName == nullptr || std::strcmp(driverName, kDriverName) != 0) return false;
  data->rstartjob_cb = startJob;
  data->rstartpage_cb = startPage;
  data->rwriteline_cb = writeLine;
  data->rendpage_cb = endPage;
  data->rendjob_cb = endJob;
  papplCopyString(data->make_and_model, kMakeAndModel, sizeof data->make_and_model);
  data->ppm = kPagesPerMinute;
  data->kind = PAPPL_KIND_RECEIPT | PAPPL_KIND_ROLL;
  data->color_supported = PAPPL_COLOR_MODE_AUTO | PAPPL_COLOR_MODE_MONOCHROME;
  data->color_default = PAPPL_COLOR_MODE_MONOCHROME;
  data->raster_types = PAPPL_PWG_RASTER_TYPE_SGRAY_8;
  data->force_raster_type = PAPPL_PWG_RASTER_TYPE_NONE;
  data->content_default = PAPPL_CONTENT_AUTO;
  data->quality_default = IPP_QUALITY_NORMAL;
  data->scaling_default = PAPPL_SCALING_AUTO;
  data->duplex = PAPPL_DUPLEX_NONE;
  data->sides_supported = PAPPL_SIDES_ONE_SIDED;
  data->sides_default = PAPPL_SIDES_ONE_SIDED;
  data->orient_default = IPP_ORIENT_PORTRAIT;
  data->num_resolution = 1;
  data->x_resolution[0] = data->y_resolution[0] = kDotsPerInch;
  data->x_default = data->y_default = kDotsPerInch;
  data->finishings = PAPPL_FINISHINGS_NONE;  // the cut is the `cut` option (app/ipp_options.h)
  data->identify_supported = PAPPL_IDENTIFY_ACTIONS_NONE;
  data->identify_default = PAPPL_IDENTIFY_ACTIONS_NONE;
  fillMedia(data);

  data->num_vendor = 0;
  for (const frontend::OptionSpec* option : vendorOptions()) {
    if (data->num_vendor >= PAPPL_MAX_VENDOR) break;
    data->vendor[data->num_vendor++] = option->ippName;
  }
  *attrs = ippNew();
  addVendorAttributes(*attrs);
  addDescriptionAttributes(*attrs);
  return true;
}

}  // namespace app
