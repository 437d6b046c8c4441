#include "app/driver.h"

#include <cstring>
#include <string>

#include "app/ipp_options.h"
#include "app/job_queue.h"
#include "app/job_runner.h"

namespace app {
namespace {

constexpr const char* kMakeAndModel = "QMX415U 80 mm thermal receipt printer";
constexpr int kRollWidth = 8000;           // hundredths of a millimetre
constexpr int kSideMargin = 400;           // 72 mm printable on the 80 mm roll
constexpr int kReadyLength = 29700;        // the length a job gets when it names none
constexpr int kPagesPerMinute = 30;

const char* const kMedia[] = {"roll_max_80x3276.7mm", "roll_min_80x10mm", "custom_receipt_80x297mm"};
constexpr const char* kReadyMedia = "custom_receipt_80x297mm";

pappl_pr_driver_t kDrivers[] = {
    {kDriverName, kMakeAndModel, "MFG:QMX415U;MDL:80 mm receipt printer;CMD:QMX415U;", nullptr},
};

// PAPPL's raster callbacks, which only its own PNG and JPEG filters would
// call: every format the app prints has the job runner as its filter
// (addFormatFilters), so a job that comes here is one the app does not print.
bool refuseRaster(pappl_job_t* job) {
  papplLogJob(job, PAPPL_LOGLEVEL_ERROR, "The document reached a raster path the printer does not use.");
  papplJobSetReasons(job, PAPPL_JREASON_DOCUMENT_UNPRINTABLE_ERROR, PAPPL_JREASON_NONE);
  return false;
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

void addFormatFilters(pappl_system_t* system) {
  for (const char* format : printedFormats()) papplSystemAddMIMEFilter(system, format, kNativeFormat, printJob, nullptr);
}

int driverCount() { return static_cast<int>(std::size(kDrivers)); }


bool fillDriverData(pappl_system_t* /*system*/, const char* driverName, const char* /*deviceUri*/,
                    const char* /*deviceId*/, pappl_pr_driver_data_t* data, ipp_t** attrs, void* /*context*/) {
  if (driverName == nullptr || std::strcmp(driverName, kDriverName) != 0) return false;
  data->rstartjob_cb = [](pappl_job_t* job, pappl_pr_options_t*, pappl_device_t*) { return refuseRaster(job); };
  data->rstartpage_cb = [](pappl_job_t* job, pappl_pr_options_t*, pappl_device_t*, unsigned) {
    return refuseRaster(job);
  };
  data->rwriteline_cb = [](pappl_job_t* job, pappl_pr_options_t*, pappl_device_t*, unsigned, const unsigned char*) {
    return refuseRaster(job);
  };
  data->rendpage_cb = [](pappl_job_t* job, pappl_pr_options_t*, pappl_device_t*, unsigned) {
    return refuseRaster(job);
  };
  data->rendjob_cb = [](pappl_job_t* job, pappl_pr_options_t*, pappl_device_t*) { return refuseRaster(job); };
  papplCopyString(data->make_and_model, kMakeAndModel, sizeof data->make_and_model);
  data->ppm = kPagesPerMinute;
  data->kind = PAPPL_KIND_RECEIPT | PAPPL_KIND_ROLL;
  data->color_supported = PAPPL_COLOR_MODE_AUTO | PAPPL_COLOR_MODE_MONOCHROME;
  data->color_default = PAPPL_COLOR_MODE_MONOCHROME;
  // The job runner reads each PWG raster page's own header from the
  // document: 1-bit pages print as they are.
  data->raster_types = PAPPL_PWG_RASTER_TYPE_SGRAY_8 | PAPPL_PWG_RASTER_TYPE_BLACK_1;
  // Every document reaches the job runner as a MIME filter to this format
  // (addFormatFilters); a job of this format itself is never accepted.
  data->format = kNativeFormat;
  data->printfile_cb = [](pappl_job_t* job, pappl_pr_options_t*, pappl_device_t*) {
    papplLogJob(job, PAPPL_LOGLEVEL_ERROR, "A document of unknown format is not printed.");
    return false;
  };
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
