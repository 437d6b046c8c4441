#include "app/driver.h"

#include <atomic>
#include <chrono>
#include <cstring>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "app/file_device.h"
#include "app/ipp_options.h"
#include "app/paper_log.h"
#include "app/picture_width.h"
#include "app/printer_defaults.h"
#include "frontend/log_text.h"
#include "frontend/print_options.h"

namespace app {
namespace {

constexpr const char* kMakeAndModel = "QMX415U 80 mm thermal receipt printer";
constexpr double kHundredthsPerInch = 2540.0;
constexpr double kPointsPerInch = 72.0;
constexpr int kRollWidth = 8000;           // hundredths of a millimetre
constexpr int kSideMargin = 400;           // 72 mm printable on the 80 mm roll
constexpr int kReadyLength = 29700;        // the length a job gets when it names none
constexpr int kPagesPerMinute = 30;

const char* const kMedia[] = {"roll_max_80x3276.7mm", "roll_min_80x10mm", "custom_receipt_80x297mm"};
constexpr const char* kReadyMedia = "custom_receipt_80x297mm";

pappl_pr_driver_t kDrivers[] = {
    {kDriverName, kMakeAndModel, "MFG:QMX415U;MDL:80 mm receipt printer;CMD:QMX415U;", nullptr},
};

std::atomic<long long> lastJobMs{0};  // steady clock, when a job last started or ended
std::atomic<int> jobsRunning{0};

long long nowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

// Counts a running job for as long as it lives (see jobsRecently).
class JobActivity {
 public:
  JobActivity() { note(1); }
  ~JobActivity() { note(-1); }
  JobActivity(const JobActivity&) = delete;
  JobActivity& operator=(const JobActivity&) = delete;

 private:
  static void note(int change) {
    jobsRunning += change;
    lastJobMs = nowMs();
  }
};

WorkerConfig& workerConfig() {
  static WorkerConfig config;
  return config;
}

// Everything one job keeps between the callbacks.
struct JobRun {
  JobActivity activity;
  std::unique_ptr<Worker> worker;
  cups_raster_t* raster = nullptr;
  std::size_t deviceBytesBefore = 0;
  bool inputLost = false;  // the worker took no more raster
  bool refused = false;    // the driver refused a page: the job is over
  std::uint32_t lineBytes = 0;
  std::unique_ptr<PaperRecord> paper;  // what reached the device, for the printer's page (app/paper_log.h)

  ~JobRun() {
    if (raster != nullptr) cupsRasterClose(raster);
  }
};

JobRun* runOf(pappl_job_t* job) { return static_cast<JobRun*>(papplJobGetData(job)); }

void finishRun(pappl_job_t* job) {
  delete runOf(job);
  papplJobSetData(job, nullptr);
}

// ---- Settings from the job and the printer ----------------------------------

// The printer's default for `name` (its NAME-default) in `defaults`, or "".
std::string printerDefault(ipp_t* defaults, const std::string& name) {
  ipp_attribute_t* attr = ippFindAttribute(defaults, (name + "-default").c_str(), IPP_TAG_ZERO);
  if (attr == nullptr) return {};
  char buffer[256];
  ippAttributeString(attr, buffer, sizeof buffer);
  return buffer;
}

const char* vendorValue(const pappl_pr_options_t* options, const char* name) {
  return cupsGetOption(name, options->num_vendor, options->vendor);
}

bool applyVendorOptions(pappl_job_t* job, const pappl_pr_options_t* options, frontend::PrintOptions* settings) {
  // A copy of the printer's attributes, taken once: each copy takes the printer's lock.
  const std::unique_ptr<ipp_t, decltype(&ippDelete)> defaults(
      papplPrinterGetDriverAttributes(papplJobGetPrinter(job)), ippDelete);
  for (const frontend::OptionSpec* option : vendorOptions()) {
    const char* given = vendorValue(options, option->ippName);
    const std::string text = given != nullptr ? given : printerDefault(defaults.get(), option->ippName);
    if (text.empty()) continue;  // the factory value stands
    std::uint32_t value = 0;
    std::string why;
    if (!readVendorValue(*option, text, &value, &why)) {
      papplLogJob(job, PAPPL_LOGLEVEL_ERROR, "Bad value: %s", why.c_str());
      return false;
    }
    option->set(*settings, value);
  }
  // Paper tracked by its marks is black-mark paper (app/printer_defaults.h).
  applyPaperTracking(options->media, vendorValue(options, kBlackMarkOption) != nullptr, settings);
  return true;
}

// Every option as the filter reads it (Name=Value ...), so that the
// worker's own defaults never decide anything.
std::string filterOptions(const frontend::PrintOptions& settings) {
  std::string text;
  for (const frontend::OptionSpec& option : frontend::printOptions()) {
    if (!text.empty()) text += ' ';
    text += std::string(option.name) + "=" + frontend::valueKeyword(option, option.get(settings));
  }
  return text;
}

// A job's own text on the worker's command line, escaped as every
// filter message is; a name instead of nothing.
std::string argumentText(const char* text, const char* fallback) {
  return frontend::loggable(text != nullptr && *text != '\0' ? text : fallback);
}

// ---- The worker's side of the job -------------------------------------------

pappl_loglevel_t levelOf(const std::string& line, std::string* text) {
  static const std::pair<const char*, pappl_loglevel_t> kLevels[] = {
      {"ERROR: ", PAPPL_LOGLEVEL_ERROR}, {"WARNING: ", PAPPL_LOGLEVEL_WARN}, {"INFO: ", PAPPL_LOGLEVEL_INFO},
      {"PAGE: ", PAPPL_LOGLEVEL_DEBUG},  {"DEBUG: ", PAPPL_LOGLEVEL_DEBUG},
  };
  for (const auto& [prefix, level] : kLevels) {
    if (line.rfind(prefix, 0) == 0) {
      *text = line.substr(std::strlen(prefix));
      return level;
    }
  }
  *text = line;
  return PAPPL_LOGLEVEL_DEBUG;
}

// Whole command groups of the worker, to the device as they come; the
// paper log keeps each one the device took.
bool writeToDevice(pappl_device_t* device, PaperRecord* paper, const std::uint8_t* bytes, std::size_t length) {
  if (papplDeviceWrite(device, bytes, length) != static_cast<ssize_t>(length)) return false;
  if (paper != nullptr) paper->add(bytes, length);
  return true;
}

// libcups's write callback: nothing may be thrown through it.
ssize_t rasterToWorker(void* context, unsigned char* bytes, size_t length) {
  auto* run = static_cast<JobRun*>(context);
  try {
    if (!run->inputLost && run->worker->send(bytes, length)) return static_cast<ssize_t>(length);
  } catch (const std::exception&) {
  }
  run->inputLost = true;
  return -1;
}

std::unique_ptr<Worker> startWorker(pappl_job_t* job, pappl_device_t* device, PaperRecord* paper,
                                    const frontend::PrintOptions& settings, std::string* error) {
  const WorkerConfig& config = workerConfig();
  WorkerSetup setup;
  setup.program = config.program;
  setup.arguments = {std::to_string(papplJobGetID(job)), argumentText(papplJobGetUsername(job), "guest"),
                     argumentText(papplJobGetName(job), "untitled"), "1", filterOptions(settings)};
  setup.environment = config.environment;
  setup.folderParent = config.folderParent;
  setup.runAs = config.runAs;
  setup.idleTimeoutMs = config.idleTimeoutMs;
  return Worker::start(
      setup,
      [device, paper](const std::uint8_t* bytes, std::size_t length) {
        return writeToDevice(device, paper, bytes, length);
      },
      [job](const std::string& line) {
        std::string text;
        const pappl_loglevel_t level = levelOf(line, &text);
        papplLogJob(job, level, "Worker: %s", text.c_str());
      },
      error);
}

std::size_t deviceBytesWritten(pappl_device_t* device) {
  pappl_devmetrics_t metrics{};
  papplDeviceGetMetrics(device, &metrics);
  return metrics.write_bytes;
}

void abortWith(pappl_job_t* job, pappl_jreason_t reason, const char* format, const std::string& why) {
  papplLogJob(job, PAPPL_LOGLEVEL_ERROR, format, why.c_str());
  papplJobSetReasons(job, reason, PAPPL_JREASON_NONE);
}

// The worker's own refusals are about the document; anything else about
// the system that ran it.
pappl_jreason_t reasonFor(const WorkerOutcome& outcome) {
  if (outcome.end != WorkerEnd::kFailed) return PAPPL_JREASON_ABORTED_BY_SYSTEM;
  static const char* const kDocumentFaults[] = {"bad raster input", "the raster holds no pages", "page "};
  for (const char* prefix : kDocumentFaults) {
    if (outcome.why.rfind(prefix, 0) == 0) return PAPPL_JREASON_DOCUMENT_FORMAT_ERROR;
  }
  return PAPPL_JREASON_ABORTED_BY_SYSTEM;
}

// PAPPL 1.3 streams a PWG raster document to the driver, and when the
// document is not 8-bit it hands the driver its own 8-bit page header and
// the document's rows as they are, which no driver can read correctly. A
// page whose header is exactly PAPPL's own is therefore refused rather
// than printed as noise.
bool isHiddenPwgPage(pappl_job_t* job, const cups_page_header2_t& header) {
  const char* format = papplJobGetFormat(job);
  if (format == nullptr || std::strcmp(format, "image/pwg-raster") != 0) return false;
  pappl_pr_options_t* own = papplJobCreatePrintOptions(job, static_cast<unsigned>(papplJobGetImpressions(job)), false);
  const bool same = own != nullptr && std::memcmp(&own->header, &header, sizeof header) == 0;
  papplJobDeletePrintOptions(own);
  return same;
}

// Points from hundredths of a millimetre.
float pointsFrom(int hundredths) { return static_cast<float>(hundredths * kPointsPerInch / kHundredthsPerInch); }

// Where the printable area of a page starts, in points. PAPPL 1.3 draws a
// PNG or JPEG picture itself, centred in a printable area that starts after
// a margin of whole dots (the media's rounded down: 31 of 31.97 at 203
// dpi): a picture no wider than that area starts there, and a picture as
// wide as the head lost its first column when the margin's exact place was
// given. A wider picture (a page as wide as the media) keeps its own
// margin, which the exact place matches.
float printableLeft(pappl_job_t* job, const pappl_pr_options_t& options) {
  const char* format = papplJobGetFormat(job);
  const bool drawnByPappl =
      format != nullptr && (std::strcmp(format, "image/png") == 0 || std::strcmp(format, "image/jpeg") == 0);
  const int dpi = options.printer_resolution[0];
  if (!drawnByPappl || dpi <= 0) return pointsFrom(options.media.left_margin);
  const auto wholeDots = [dpi](long hundredths) { return hundredths * dpi / static_cast<long>(kHundredthsPerInch); };
  const long printable = static_cast<long>(options.header.cupsWidth) -
                         wholeDots(options.media.left_margin + options.media.right_margin);
  const char* file = papplJobGetFilename(job);
  const long width = file != nullptr ? pictureWidth(file) : -1;
  if (width < 0 || width > printable) return pointsFrom(options.media.left_margin);
  return static_cast<float>(wholeDots(options.media.left_margin) * kPointsPerInch / dpi);
}

// ---- Raster callbacks -------------------------------------------------------

// Runs one callback's work; nothing is thrown back into PAPPL: a failure
// ends the job, with its reason.
template <typename Work>
bool guarded(pappl_job_t* job, const char* step, Work work) {
  try {
    return work();
  } catch (const std::exception& e) {
    papplLogJob(job, PAPPL_LOGLEVEL_ERROR, "%s failed: %s", step, e.what());
  } catch (...) {
    papplLogJob(job, PAPPL_LOGLEVEL_ERROR, "%s failed.", step);
  }
  papplJobSetReasons(job, PAPPL_JREASON_ABORTED_BY_SYSTEM, PAPPL_JREASON_NONE);
  return false;
}

// The job starts its worker, which reads the pages as CUPS raster and
// starts the plug-in's job with the first page.
bool startJob(pappl_job_t* job, pappl_pr_options_t* options, pappl_device_t* device) {
  endFileDeviceJob(device);  // whatever an earlier, failed job left open is its own
  frontend::PrintOptions settings;
  if (!applyVendorOptions(job, options, &settings)) {
    papplJobSetReasons(job, PAPPL_JREASON_JOB_COMPLETED_WITH_ERRORS, PAPPL_JREASON_NONE);
    return false;
  }
  auto run = std::make_unique<JobRun>();
  run->paper = PaperLog::open(papplPrinterGetID(papplJobGetPrinter(job)), papplJobGetID(job),
                              papplJobGetUsername(job) != nullptr ? papplJobGetUsername(job) : "");
  std::string error;
  run->worker = startWorker(job, device, run->paper.get(), settings, &error);
  if (!run->worker) {
    abortWith(job, PAPPL_JREASON_ABORTED_BY_SYSTEM, "The worker did not start: %s", error);
    return false;
  }
  run->raster = cupsRasterOpenIO(rasterToWorker, run.get(), CUPS_RASTER_WRITE);
  if (run->raster == nullptr) {
    abortWith(job, PAPPL_JREASON_ABORTED_BY_SYSTEM, "The job did not start: %s", cupsLastErrorString());
    return false;
  }
  run->deviceBytesBefore = deviceBytesWritten(device);
  papplLogJob(job, PAPPL_LOGLEVEL_INFO, "Worker process %d started.", static_cast<int>(run->worker->pid()));
  papplJobSetData(job, run.release());
  return true;
}

bool startPage(pappl_job_t* job, pappl_pr_options_t* options, pappl_device_t* /*device*/, unsigned page) {
  JobRun* run = runOf(job);
  if (run == nullptr) return false;
  cups_page_header2_t header = options->header;
  if (isHiddenPwgPage(job, header)) {
    abortWith(job, PAPPL_JREASON_DOCUMENT_FORMAT_ERROR, "%s",
              "Page " + std::to_string(page) + " is not 8-bit grey (sgray_8), the only PWG raster type this "
              "printer takes; it was refused rather than printed wrongly.");
    run->refused = true;
    return false;
  }
  // The printable area starts after the media's left margin, as PAPPL lays out its own pages.
  header.cupsImagingBBox[0] = printableLeft(job, *options);
  papplLogJob(job, PAPPL_LOGLEVEL_DEBUG, "Page %u: %ux%u, %u bits.", page, header.cupsWidth, header.cupsHeight,
              header.cupsBitsPerPixel);
  run->lineBytes = header.cupsBytesPerLine;
  // The worker checks the page before any of its lines is read: a page it
  // refuses ends the job here, without PAPPL reading the rest of it.
  if (!cupsRasterWriteHeader2(run->raster, &header) || !run->worker->awaitPage(page)) {
    run->inputLost = true;
    return false;
  }
  return true;
}

bool writeLine(pappl_job_t* job, pappl_pr_options_t* /*options*/, pappl_device_t* /*device*/, unsigned /*y*/,
               const unsigned char* line) {
  JobRun* run = runOf(job);
  if (run == nullptr || line == nullptr || run->inputLost) return false;
  return cupsRasterWritePixels(run->raster, const_cast<unsigned char*>(line), run->lineBytes) == run->lineBytes;
}

bool endPage(pappl_job_t* job, pappl_pr_options_t* /*options*/, pappl_device_t* /*device*/, unsigned /*page*/) {
  JobRun* run = runOf(job);
  return run != nullptr && !run->inputLost;
}

// The worker ends; the job is whole only when it printed and the device
// took every byte it was given.
bool endJob(pappl_job_t* job, pappl_pr_options_t* /*options*/, pappl_device_t* device) {
  JobRun* run = runOf(job);
  if (run == nullptr) return false;
  // A refused or cancelled job ends at the worker's next whole command.
  if (papplJobIsCanceled(job) || run->refused) run->worker->cancel();
  cupsRasterClose(run->raster);
  run->raster = nullptr;
  const WorkerOutcome outcome = run->worker->finish();
  papplDeviceFlush(device);
  const std::size_t taken = deviceBytesWritten(device) - run->deviceBytesBefore;
  const std::uint64_t given = run->worker->bytesOut();
  endFileDeviceJob(device);
  bool ended = false;
  if (run->refused) {
    // The refusal gave the reason; what the worker made of the cut-short
    // raster adds nothing.
  } else if (outcome.end != WorkerEnd::kPrinted) {
    abortWith(job, reasonFor(outcome), "The job failed: %s.", outcome.why);
  } else if (taken != given) {
    abortWith(job, PAPPL_JREASON_ABORTED_BY_SYSTEM, "%s",
              "The job failed: the printer took " + std::to_string(taken) + " of " + std::to_string(given) +
                  " bytes.");
  } else {
    ended = true;
    papplLogJob(job, PAPPL_LOGLEVEL_INFO, "Ended: %llu bytes to the printer; worker peak memory %ld KB.",
                static_cast<unsigned long long>(given), run->worker->peakKb());
  }
  if (run->paper) run->paper->finish(ended);
  finishRun(job);
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

void configureWorkers(WorkerConfig config) { workerConfig() = std::move(config); }

bool fillDriverData(pappl_system_t* /*system*/, const char* driverName, const char* /*deviceUri*/,
                    const char* /*deviceId*/, pappl_pr_driver_data_t* data, ipp_t** attrs, void* /*context*/) {
  if (driverName == nullptr || std::strcmp(driverName, kDriverName) != 0) return false;
  data->rstartjob_cb = [](pappl_job_t* job, pappl_pr_options_t* options, pappl_device_t* device) {
    return guarded(job, "Starting the job", [&] { return startJob(job, options, device); });
  };
  data->rstartpage_cb = [](pappl_job_t* job, pappl_pr_options_t* options, pappl_device_t* device, unsigned page) {
    return guarded(job, "Starting a page", [&] { return startPage(job, options, device, page); });
  };
  data->rwriteline_cb = [](pappl_job_t* job, pappl_pr_options_t* options, pappl_device_t* device, unsigned y,
                           const unsigned char* line) {
    return guarded(job, "Printing a line", [&] { return writeLine(job, options, device, y, line); });
  };
  data->rendpage_cb = [](pappl_job_t* job, pappl_pr_options_t* options, pappl_device_t* device, unsigned page) {
    return guarded(job, "Ending a page", [&] { return endPage(job, options, device, page); });
  };
  data->rendjob_cb = [](pappl_job_t* job, pappl_pr_options_t* options, pappl_device_t* device) {
    return guarded(job, "Ending the job", [&] { return endJob(job, options, device); });
  };
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
