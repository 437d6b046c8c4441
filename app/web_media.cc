// The loaded paper (app/web_pages.h): its length, and whether it is
// black-mark paper (media-tracking "mark"), which the printing defaults'
// black-mark checkbox follows.
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "app/printer_defaults.h"
#include "app/web_html.h"
#include "app/web_pages.h"

namespace app::web {
namespace {

constexpr double kHundredthsPerMm = 100.0;
constexpr double kShortestMm = 10.0;     // roll_min_80x10mm
constexpr double kLongestMm = 3276.7;    // roll_max_80x3276.7mm

std::string lengthText(int hundredths) {
  char text[32];
  std::snprintf(text, sizeof text, "%g", hundredths / kHundredthsPerMm);
  return text;
}

// Millimetres from "297", "297.5" or "297mm"; -1 when it is not a length.
double readMillimetres(std::string text) {
  if (text.size() > 2 && text.compare(text.size() - 2, 2, "mm") == 0) text.resize(text.size() - 2);
  char* end = nullptr;
  const double mm = std::strtod(text.c_str(), &end);
  return !text.empty() && end != nullptr && *end == '\0' && std::isfinite(mm) ? mm : -1;
}

// Loads paper of `lengthMm` tracked by `tracking`; the black-mark default
// follows. "" or why not.
std::string loadPaper(pappl_printer_t* printer, double lengthMm, pappl_media_tracking_t tracking) {
  pappl_pr_driver_data_t data;
  papplPrinterGetDriverData(printer, &data);
  pappl_media_col_t ready = data.media_ready[0];
  const int hundredths = static_cast<int>(std::lround(lengthMm * kHundredthsPerMm));
  std::snprintf(ready.size_name, sizeof ready.size_name, "custom_receipt_%gx%smm", ready.size_width / kHundredthsPerMm,
                lengthText(hundredths).c_str());
  ready.size_length = hundredths;
  ready.tracking = tracking;
  if (!papplPrinterSetReadyMedia(printer, 1, &ready)) return "The printer refused that paper.";
  papplPrinterGetDriverData(printer, &data);  // the default media follows the loaded paper
  cups_option_t* vendor = nullptr;
  const int count = cupsAddOption(kBlackMarkOption, tracking == PAPPL_MEDIA_TRACKING_MARK ? "true" : "false", 0, &vendor);
  const bool set = papplPrinterSetDriverDefaults(printer, &data, count, vendor);
  cupsFreeOptions(count, vendor);
  return set ? "" : "The black-mark default could not follow the paper.";
}

}  // namespace

void mediaPage(pappl_client_t* client, pappl_printer_t* printer) {
  if (!papplClientHTMLAuthorize(client)) return;
  std::string status;
  if (isPost(client)) {
    Form form(client);
    const double mm = readMillimetres(form.text("length"));
    const std::string tracking = form.text("tracking");
    if (!form.valid()) {
      status = "Invalid form submission.";
    } else if (mm < kShortestMm || mm > kLongestMm) {
      status = "The length is " + std::to_string(static_cast<int>(kShortestMm)) + " to 3276.7 mm.";
    } else if (tracking != "continuous" && tracking != "mark") {
      status = "Choose continuous or black-mark paper.";
    } else {
      const std::string why = loadPaper(printer, mm,
                                        tracking == "mark" ? PAPPL_MEDIA_TRACKING_MARK : PAPPL_MEDIA_TRACKING_CONTINUOUS);
      status = why.empty() ? "Changes saved." : why;
    }
  }
  pappl_pr_driver_data_t data;
  papplPrinterGetDriverData(printer, &data);
  const pappl_media_col_t& ready = data.media_ready[0];
  const bool marked = markedPaper(ready);
  startPrinterPage(client, printer, "Media");
  banner(client, status);
  papplClientHTMLStartForm(client, printerPath(printer, "/media").c_str(), false);
  papplClientHTMLPrintf(
      client,
      "          <table class=\"form\"><tbody>\n"
      "              <tr><th>Width:</th><td>%s mm roll, %s mm printable</td></tr>\n"
      "              <tr><th><label for=\"length\">Page length:</label></th><td><input type=\"text\" name=\"length\" "
      "id=\"length\" value=\"%s\" size=\"8\"> mm (10 to 3276.7; every page of a job that names no paper is this "
      "long)</td></tr>\n"
      "              <tr><th><label for=\"tracking\">Paper:</label></th><td><select name=\"tracking\" id=\"tracking\">"
      "<option value=\"continuous\"%s>Continuous</option><option value=\"mark\"%s>Black-mark (mark): feed to the "
      "mark before a cut</option></select></td></tr>\n"
      "              <tr><th></th><td><input type=\"submit\" value=\"Save Changes\"></td></tr>\n"
      "          </tbody></table>\n"
      "          </form>\n",
      lengthText(ready.size_width).c_str(), lengthText(ready.size_width - ready.left_margin - ready.right_margin).c_str(),
      lengthText(ready.size_length).c_str(), marked ? "" : " selected", marked ? " selected" : "");
  endPrinterPage(client);
}

}  // namespace app::web
