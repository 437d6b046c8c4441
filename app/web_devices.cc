// The add-printer page and a printer's device page (app/web_pages.h).
#include <cerrno>
#include <cstring>
#include <string>

#include "app/device_choice.h"
#include "app/driver.h"
#include "app/printer_device.h"
#include "app/web_html.h"
#include "app/web_pages.h"

namespace app::web {
namespace {

std::string creationError(int error) {
  switch (error) {
    case EEXIST: return "A printer with that name already exists.";
    case EIO: return "The printer could not be set up on that device.";
    case EINVAL: return "Printer names start with a letter or an underscore and hold no special characters.";
    default: return std::strerror(error);
  }
}

// Makes the printer the form asks for; its path, or "" with *status set.
std::string addPrinter(pappl_system_t* system, const Form& form, std::string* status) {
  const std::string name = form.text("printer_name");
  DeviceChoice device;
  if (name.empty()) {
    *status = "Enter a name for the printer.";
  } else if (readDeviceChoice(form.get("device_uri"), form.get("hostname"), form.get("file_name"), &device, status)) {
    errno = 0;
    pappl_printer_t* printer = papplPrinterCreate(system, 0, name.c_str(), kDriverName,
                                                  device.deviceId.empty() ? nullptr : device.deviceId.c_str(),
                                                  device.uri.c_str());
    if (printer != nullptr) return printerPath(printer, "/");
    *status = creationError(errno);
  }
  return "";
}

}  // namespace

void addPrinterPage(pappl_client_t* client, pappl_system_t* system) {
  if (!papplClientHTMLAuthorize(client)) return;
  std::string status;
  std::string name;
  std::string chosen;
  if (isPost(client)) {
    Form form(client);
    name = form.text("printer_name");
    if (!form.valid()) {
      status = "Invalid form submission.";
    } else {
      const std::string path = addPrinter(system, form, &status);
      if (!path.empty()) {
        papplClientRespondRedirect(client, HTTP_STATUS_FOUND, path.c_str());
        return;
      }
      const std::string hostname = form.text("hostname");
      if (form.text("device_uri") == "socket" && !hostname.empty()) chosen = socketUri(hostname, &status);
    }
  }
  startSystemPage(client, "Add Printer");
  banner(client, status);
  papplClientHTMLStartForm(client, "/addprinter", false);
  papplClientHTMLPrintf(client,
                        "          <table class=\"form\"><tbody>\n"
                        "              <tr><th><label for=\"printer_name\">Name:</label></th><td><input type=\"text\" "
                        "name=\"printer_name\" id=\"printer_name\" placeholder=\"receipt\" value=\"%s\" required>"
                        "</td></tr>\n",
                        name.c_str());
  writeDeviceChooser(client, chosen);
  papplClientHTMLPuts(client,
                      "              <tr><th></th><td><input type=\"submit\" value=\"Add Printer\"></td></tr>\n"
                      "          </tbody></table>\n"
                      "          </form>\n");
  endSystemPage(client);
}

void devicePage(pappl_client_t* client, pappl_printer_t* printer) {
  if (!papplClientHTMLAuthorize(client)) return;
  std::string status;
  if (isPost(client)) {
    Form form(client);
    DeviceChoice device;
    if (!form.valid()) {
      status = "Invalid form submission.";
    } else if (readDeviceChoice(form.get("device_uri"), form.get("hostname"), form.get("file_name"), &device,
                                &status)) {
      const std::string home = printerPath(printer, "/");
      printer = changeDevice(printer, device, &status);  // made again, under the same path
      if (printer == nullptr || status.empty()) {
        papplClientRespondRedirect(client, HTTP_STATUS_FOUND, printer != nullptr ? home.c_str() : "/");
        return;
      }
    }
  }
  startPrinterPage(client, printer, "Device");
  banner(client, status);
  papplClientHTMLPrintf(client, "          <p>Now: <code>%s</code>. The printer is set up again on the new device, with "
                                "its settings; its job history goes.</p>\n",
                        papplPrinterGetDeviceURI(printer));
  papplClientHTMLStartForm(client, printerPath(printer, "/device").c_str(), false);
  papplClientHTMLPuts(client, "          <table class=\"form\"><tbody>\n");
  writeDeviceChooser(client, papplPrinterGetDeviceURI(printer));
  papplClientHTMLPuts(client,
                      "              <tr><th></th><td><input type=\"submit\" value=\"Change Device\"></td></tr>\n"
                      "          </tbody></table>\n"
                      "          </form>\n");
  endPrinterPage(client);
}

}  // namespace app::web
