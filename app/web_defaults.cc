// The printing defaults (app/web_pages.h): what a job gets that names
// none of these itself. Only what changes what prints is offered: PAPPL
// 1.3's page also offered print quality and content optimisation, which no
// part of the job path reads.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "app/driver.h"
#include "app/ipp_options.h"
#include "app/printer_defaults.h"
#include "app/web_html.h"
#include "app/web_pages.h"

namespace app::web {
namespace {

constexpr double kLinesPerMm = 8.0;  // the options' own unit (frontend/print_options.h)

const std::pair<ipp_orient_t, const char*> kOrientations[] = {
    {IPP_ORIENT_PORTRAIT, "Portrait"},
    {IPP_ORIENT_LANDSCAPE, "Landscape"},
    {IPP_ORIENT_REVERSE_LANDSCAPE, "Reverse landscape"},
    {IPP_ORIENT_REVERSE_PORTRAIT, "Reverse portrait"},
    {IPP_ORIENT_NONE, "Auto (landscape for a wide picture)"},
};

const std::pair<pappl_scaling_t, const char*> kScalings[] = {
    {PAPPL_SCALING_AUTO, "Auto"},
    {PAPPL_SCALING_AUTO_FIT, "Auto-fit"},
    {PAPPL_SCALING_FILL, "Fill"},
    {PAPPL_SCALING_FIT, "Fit"},
    {PAPPL_SCALING_NONE, "None"},
};

const char* scalingKeyword(pappl_scaling_t scaling) {
  switch (scaling) {
    case PAPPL_SCALING_AUTO: return "auto";
    case PAPPL_SCALING_AUTO_FIT: return "auto-fit";
    case PAPPL_SCALING_FILL: return "fill";
    case PAPPL_SCALING_FIT: return "fit";
    case PAPPL_SCALING_NONE: return "none";
  }
  return "auto";
}

std::string currentDefault(ipp_t* attrs, const frontend::OptionSpec& option) {
  ipp_attribute_t* attr = ippFindAttribute(attrs, (std::string(option.ippName) + "-default").c_str(), IPP_TAG_ZERO);
  if (attr == nullptr) return {};
  char text[256];
  ippAttributeString(attr, text, sizeof text);
  return text;
}

std::uint32_t currentValue(ipp_t* attrs, const frontend::OptionSpec& option) {
  std::uint32_t value = frontend::factoryValue(option);
  std::string why;
  const std::string text = currentDefault(attrs, option);
  if (!text.empty()) readVendorValue(option, text, &value, &why);
  return value;
}

// The vendor options the form sets, as PAPPL stores them (NAME, IPP text);
// false with *status naming the first value that is not one.
bool readVendorForm(const Form& form, std::vector<std::pair<std::string, std::string>>* values, std::string* status) {
  for (const frontend::OptionSpec* option : vendorOptions()) {
    const IppSyntax syntax = ippSyntax(*option);
    if (syntax == IppSyntax::kBoolean) {
      values->emplace_back(option->ippName, form.has(option->ippName) ? "true" : "false");
      continue;
    }
    if (!form.has(option->ippName)) continue;
    std::uint32_t value = 0;
    std::string why;
    if (!readVendorValue(*option, form.text(option->ippName), &value, &why)) {
      *status = std::string(option->text) + ": " + why;
      return false;
    }
    values->emplace_back(option->ippName, syntax == IppSyntax::kKeyword
                                              ? ippKeyword(frontend::valueKeyword(*option, value))
                                              : std::to_string(value));
  }
  return true;
}

// Keeps the loaded paper's tracking with the black-mark default.
void followBlackMark(pappl_printer_t* printer, bool blackMark) {
  pappl_pr_driver_data_t data;
  papplPrinterGetDriverData(printer, &data);
  pappl_media_col_t ready = data.media_ready[0];
  if (markedPaper(ready) == blackMark) return;
  ready.tracking = blackMark ? PAPPL_MEDIA_TRACKING_MARK : PAPPL_MEDIA_TRACKING_CONTINUOUS;
  papplPrinterSetReadyMedia(printer, 1, &ready);
}

// PAPPL 1.3's papplPrinterSetDriverDefaults leaves the orientation default
// as it was (and so does its Set-Printer-Attributes): it is set with the
// whole driver data instead, whose capability attributes are made again
// from the driver's, with the printer's current vendor defaults.
bool setOrientationDefault(pappl_printer_t* printer, ipp_orient_t orientation) {
  pappl_pr_driver_data_t data;
  papplPrinterGetDriverData(printer, &data);
  if (data.orient_default == orientation) return true;
  pappl_pr_driver_data_t scratch;
  std::memset(&scratch, 0, sizeof scratch);
  ipp_t* made = nullptr;
  const char* deviceId = papplPrinterGetDeviceID(printer);
  if (!fillDriverData(papplPrinterGetSystem(printer), papplPrinterGetDriverName(printer),
                      papplPrinterGetDeviceURI(printer), deviceId, &scratch, &made, nullptr)) {
    return false;
  }
  const std::unique_ptr<ipp_t, decltype(&ippDelete)> attrs(made, ippDelete);
  const std::unique_ptr<ipp_t, decltype(&ippDelete)> current(papplPrinterGetDriverAttributes(printer), ippDelete);
  for (const frontend::OptionSpec* option : vendorOptions()) {
    const std::string name = std::string(option->ippName) + "-default";
    ipp_attribute_t* now = ippFindAttribute(current.get(), name.c_str(), IPP_TAG_ZERO);
    if (now == nullptr) continue;
    ippDeleteAttribute(attrs.get(), ippFindAttribute(attrs.get(), name.c_str(), IPP_TAG_ZERO));
    ippCopyAttribute(attrs.get(), now, 0);
  }
  data.orient_default = orientation;
  return papplPrinterSetDriverData(printer, &data, attrs.get());
}

std::string saveDefaults(pappl_printer_t* printer, const Form& form) {
  std::vector<std::pair<std::string, std::string>> values;
  std::string status;
  if (!readVendorForm(form, &values, &status)) return status;
  pappl_pr_driver_data_t data;
  papplPrinterGetDriverData(printer, &data);
  const int orientation = std::atoi(form.text("orientation-requested").c_str());
  for (const auto& [value, label] : kOrientations) {
    if (orientation == value && !setOrientationDefault(printer, value)) return "The printer refused that orientation.";
  }
  papplPrinterGetDriverData(printer, &data);
  const std::string scaling = form.text("print-scaling");
  for (const auto& [value, label] : kScalings) {
    if (scaling == scalingKeyword(value)) data.scaling_default = value;
  }
  int count = 0;
  cups_option_t* vendor = nullptr;
  for (const auto& [name, text] : values) count = cupsAddOption(name.c_str(), text.c_str(), count, &vendor);
  const bool saved = papplPrinterSetDriverDefaults(printer, &data, count, vendor);
  cupsFreeOptions(count, vendor);
  if (!saved) return "The printer refused those defaults.";
  followBlackMark(printer, form.has(kBlackMarkOption));
  return "Changes saved.";
}

void optionRow(pappl_client_t* client, const frontend::OptionSpec& option, std::uint32_t value) {
  const char* name = option.ippName;
  papplClientHTMLPrintf(client, "              <tr><th><label for=\"%s\">%s:</label></th><td>", name, option.text);
  switch (ippSyntax(option)) {
    case IppSyntax::kBoolean:
      papplClientHTMLPrintf(client, "<input type=\"checkbox\" name=\"%s\" id=\"%s\"%s>", name, name,
                            value != 0 ? " checked" : "");
      break;
    case IppSyntax::kKeyword:
      papplClientHTMLPrintf(client, "<select name=\"%s\" id=\"%s\">", name, name);
      for (const frontend::Choice& choice : option.choices) {
        papplClientHTMLPrintf(client, "<option value=\"%s\"%s>%s</option>", ippKeyword(choice.keyword).c_str(),
                              choice.value == value ? " selected" : "", choice.text);
      }
      papplClientHTMLPuts(client, "</select>");
      break;
    case IppSyntax::kInteger:
      if (option.kind == frontend::ValueKind::kLines) {
        char mm[32];
        std::snprintf(mm, sizeof mm, "%g", value / kLinesPerMm);
        papplClientHTMLPrintf(client,
                              "<input type=\"text\" name=\"%s\" id=\"%s\" value=\"%u\" size=\"8\"> dot lines, or "
                              "millimetres as \"3mm\" (now %s mm; 0 to %u lines)",
                              name, name, value, mm, option.largest);
      } else {
        papplClientHTMLPrintf(client, "<input type=\"number\" name=\"%s\" id=\"%s\" min=\"0\" max=\"%u\" value=\"%u\">",
                              name, name, option.largest, value);
      }
      break;
  }
  papplClientHTMLPuts(client, "</td></tr>\n");
}

}  // namespace

void defaultsPage(pappl_client_t* client, pappl_printer_t* printer) {
  if (!papplClientHTMLAuthorize(client)) return;
  std::string status;
  if (isPost(client)) {
    Form form(client);
    status = form.valid() ? saveDefaults(printer, form) : "Invalid form submission.";
  }
  pappl_pr_driver_data_t data;
  papplPrinterGetDriverData(printer, &data);
  const std::unique_ptr<ipp_t, decltype(&ippDelete)> attrs(papplPrinterGetDriverAttributes(printer), ippDelete);
  startPrinterPage(client, printer, "Printing Defaults");
  banner(client, status);
  papplClientHTMLStartForm(client, printerPath(printer, "/printing").c_str(), false);
  papplClientHTMLPrintf(client,
                        "          <table class=\"form\"><tbody>\n"
                        "              <tr><th>Paper:</th><td>%g x %g mm, %s <a class=\"btn\" href=\"%s\">Change</a>"
                        "</td></tr>\n",
                        data.media_default.size_width / 100.0, data.media_default.size_length / 100.0,
                        markedPaper(data.media_default) ? "black-mark" : "continuous",
                        printerPath(printer, "/media").c_str());
  papplClientHTMLPuts(client, "              <tr><th>Orientation:</th><td>");
  for (const auto& [value, label] : kOrientations) {
    papplClientHTMLPrintf(client, "<label><input type=\"radio\" name=\"orientation-requested\" value=\"%d\"%s> %s</label> ",
                          static_cast<int>(value), data.orient_default == value ? " checked" : "", label);
  }
  papplClientHTMLPuts(client, "</td></tr>\n              <tr><th><label for=\"print-scaling\">Scaling:</label></th>"
                              "<td><select name=\"print-scaling\" id=\"print-scaling\">");
  for (const auto& [value, label] : kScalings) {
    papplClientHTMLPrintf(client, "<option value=\"%s\"%s>%s</option>", scalingKeyword(value),
                          data.scaling_default == value ? " selected" : "", label);
  }
  papplClientHTMLPuts(client, "</select> (pictures)</td></tr>\n");
  for (const frontend::OptionSpec* option : vendorOptions()) {
    std::uint32_t value = currentValue(attrs.get(), *option);
    // The loaded paper's tracking selects black-mark paper as the default does.
    if (std::strcmp(option->ippName, kBlackMarkOption) == 0 && markedPaper(data.media_default)) value = 1;
    optionRow(client, *option, value);
  }
  papplClientHTMLPuts(client,
                      "              <tr><th></th><td><input type=\"submit\" value=\"Save Changes\"></td></tr>\n"
                      "          </tbody></table>\n"
                      "          </form>\n");
  endPrinterPage(client);
}

}  // namespace app::web
