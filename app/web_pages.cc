#include "app/web_pages.h"

#include <exception>
#include <string>

#include "app/web_html.h"

namespace app {
namespace {

using PrinterPage = void (*)(pappl_client_t*, pappl_printer_t*);

// PAPPL calls a resource with the data it was added with, and keeps the
// connection when it answers true. No exception goes back into PAPPL: a
// page that failed half-way closes the connection.
template <typename Object, void (*page)(pappl_client_t*, Object*)>
bool resource(pappl_client_t* client, void* data) {
  try {
    page(client, static_cast<Object*>(data));
    return true;
  } catch (const std::exception& e) {
    papplLogClient(client, PAPPL_LOGLEVEL_ERROR, "Page failed: %s", e.what());
  } catch (...) {
    papplLogClient(client, PAPPL_LOGLEVEL_ERROR, "Page failed.");
  }
  return false;
}

template <PrinterPage page>
void addPrinterResource(pappl_printer_t* printer, const std::string& sub, const char* type = "text/html") {
  pappl_system_t* system = papplPrinterGetSystem(printer);
  papplSystemAddResourceCallback(system, web::printerPath(printer, sub).c_str(), type,
                                 resource<pappl_printer_t, page>, printer);
}

}  // namespace

void installSystemPages(pappl_system_t* system) {
  papplSystemAddResourceCallback(system, "/addprinter", "text/html", resource<pappl_system_t, web::addPrinterPage>,
                                 system);
  papplSystemAddResourceCallback(system, "/security", "text/html", resource<pappl_system_t, web::securityPage>,
                                 system);
}

void printerCreated(pappl_printer_t* printer, void* /*data*/) {
  try {
    addPrinterResource<web::printerHomePage>(printer, "/");
    addPrinterResource<web::devicePage>(printer, "/device");
    addPrinterResource<web::mediaPage>(printer, "/media");
    addPrinterResource<web::defaultsPage>(printer, "/printing");
    addPrinterResource<web::paperPage>(printer, "/paper");
    addPrinterResource<web::paperPicture>(printer, "/paper.png", "image/png");
    papplPrinterAddLink(printer, "Paper", web::printerPath(printer, "/paper").c_str(), PAPPL_LOPTIONS_NAVIGATION);
  } catch (...) {
    papplLogPrinter(printer, PAPPL_LOGLEVEL_ERROR, "The app's pages for this printer could not be added.");
  }
}

}  // namespace app
