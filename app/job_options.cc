#include "app/job_options.h"

#include <memory>

#include "app/document_worker.h"
#include "app/ipp_options.h"
#include "app/printer_defaults.h"

namespace app {
namespace {

// The printer's default for `name` (its NAME-default) in `defaults`, or "".
std::string printerDefault(ipp_t* defaults, const std::string& name) {
  ipp_attribute_t* attr = ippFindAttribute(defaults, (name + "-default").c_str(), IPP_TAG_ZERO);
  if (attr == nullptr) return {};
  char buffer[256];
  ippAttributeString(attr, buffer, sizeof buffer);
  return buffer;
}

const char* scalingKeyword(pappl_scaling_t scaling) {
  switch (scaling) {
    case PAPPL_SCALING_AUTO_FIT:
      return "auto-fit";
    case PAPPL_SCALING_FILL:
      return "fill";
    case PAPPL_SCALING_FIT:
      return "fit";
    case PAPPL_SCALING_NONE:
      return "none";
    default:
      return "auto";
  }
}

bool jobNamesMedia(pappl_job_t* job) {
  return papplJobGetAttribute(job, "media") != nullptr || papplJobGetAttribute(job, "media-col") != nullptr;
}

struct PrintOptionsDelete {
  void operator()(pappl_pr_options_t* options) const { papplJobDeletePrintOptions(options); }
};

}  // namespace

bool resolvePrintOptions(pappl_job_t* job, const pappl_pr_options_t* options, frontend::PrintOptions* settings,
                         std::string* why) {
  // A copy of the printer's attributes, taken once: each copy takes the printer's lock.
  const std::unique_ptr<ipp_t, decltype(&ippDelete)> defaults(
      papplPrinterGetDriverAttributes(papplJobGetPrinter(job)), ippDelete);
  for (const frontend::OptionSpec* option : vendorOptions()) {
    const char* given = cupsGetOption(option->ippName, options->num_vendor, options->vendor);
    const std::string text = given != nullptr ? given : printerDefault(defaults.get(), option->ippName);
    if (text.empty()) continue;  // the factory value stands
    std::uint32_t value = 0;
    if (!readVendorValue(*option, text, &value, why)) return false;
    option->set(*settings, value);
  }
  // Paper tracked by its marks is black-mark paper (app/printer_defaults.h).
  applyPaperTracking(options->media, cupsGetOption(kBlackMarkOption, options->num_vendor, options->vendor) != nullptr,
                     settings);
  return true;
}

std::string filterOptions(const frontend::PrintOptions& settings) {
  std::string text;
  for (const frontend::OptionSpec& option : frontend::printOptions()) {
    if (!text.empty()) text += ' ';
    text += std::string(option.name) + "=" + frontend::valueKeyword(option, option.get(settings));
  }
  return text;
}

bool workerJobOptions(pappl_job_t* job, WorkerJobOptions* out, std::string* why) {
  const std::unique_ptr<pappl_pr_options_t, PrintOptionsDelete> options(papplJobCreatePrintOptions(job, 0, false));
  if (!options) {
    *why = "the job's options could not be read";
    return false;
  }
  frontend::PrintOptions settings;
  if (!resolvePrintOptions(job, options.get(), &settings, why)) return false;
  const char* format = papplJobGetFormat(job);
  out->text = filterOptions(settings);
  out->text += std::string(" ") + kOptionFormat + "=" + (format != nullptr ? format : "application/octet-stream");
  out->text += std::string(" ") + kOptionMediaSize + "=" + std::to_string(options->media.size_width) + "x" +
               std::to_string(options->media.size_length);
  out->text += std::string(" ") + kOptionLeftMargin + "=" + std::to_string(options->media.left_margin);
  out->text += std::string(" ") + kOptionMediaNamed + "=" + (jobNamesMedia(job) ? "true" : "false");
  out->text += std::string(" ") + kOptionScaling + "=" + scalingKeyword(options->print_scaling);
  const int orientation = options->orientation_requested >= IPP_ORIENT_PORTRAIT &&
                                  options->orientation_requested <= IPP_ORIENT_REVERSE_PORTRAIT
                              ? static_cast<int>(options->orientation_requested)
                              : static_cast<int>(IPP_ORIENT_PORTRAIT);
  out->text += std::string(" ") + kOptionOrientation + "=" + std::to_string(orientation);
  out->copies = options->copies < 1 ? 1 : options->copies > kMostCopies ? static_cast<int>(kMostCopies) : options->copies;
  return true;
}

}  // namespace app
