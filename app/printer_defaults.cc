#include "app/printer_defaults.h"

#include <cstdio>
#include <memory>

#include "app/ipp_options.h"

namespace app {
namespace {

constexpr double kLinesPerMm = 8.0;  // the options' own unit (frontend/print_options.h)

std::string defaultText(ipp_t* attrs, const frontend::OptionSpec& option) {
  ipp_attribute_t* attr = ippFindAttribute(attrs, (std::string(option.ippName) + "-default").c_str(), IPP_TAG_ZERO);
  if (attr == nullptr) return {};
  char buffer[256];
  ippAttributeString(attr, buffer, sizeof buffer);
  return buffer;
}

}  // namespace

bool markedPaper(const pappl_media_col_t& media) { return media.tracking == PAPPL_MEDIA_TRACKING_MARK; }

void applyPaperTracking(const pappl_media_col_t& media, bool jobNamedBlackMark, frontend::PrintOptions* settings) {
  if (jobNamedBlackMark || !markedPaper(media)) return;
  if (const frontend::OptionSpec* option = frontend::findOption(kBlackMarkOption)) option->set(*settings, 1);
}

frontend::PrintOptions printerDefaults(pappl_printer_t* printer) {
  frontend::PrintOptions settings;
  const std::unique_ptr<ipp_t, decltype(&ippDelete)> attrs(papplPrinterGetDriverAttributes(printer), ippDelete);
  for (const frontend::OptionSpec* option : vendorOptions()) {
    std::uint32_t value = 0;
    std::string why;
    const std::string text = defaultText(attrs.get(), *option);
    if (!text.empty() && readVendorValue(*option, text, &value, &why)) option->set(settings, value);
  }
  pappl_pr_driver_data_t data;
  papplPrinterGetDriverData(printer, &data);
  applyPaperTracking(data.media_default, false, &settings);
  return settings;
}

std::string valueText(const frontend::OptionSpec& option, std::uint32_t value) {
  switch (ippSyntax(option)) {
    case IppSyntax::kBoolean:
      return value != 0 ? "on" : "off";
    case IppSyntax::kKeyword:
      return ippKeyword(frontend::valueKeyword(option, value));
    case IppSyntax::kInteger:
      break;
  }
  if (option.kind != frontend::ValueKind::kLines) return std::to_string(value);
  char mm[32];
  std::snprintf(mm, sizeof mm, "%g", value / kLinesPerMm);
  return std::to_string(value) + (value == 1 ? " line (" : " lines (") + mm + " mm)";
}

}  // namespace app
