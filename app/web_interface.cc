#include "app/web_interface.h"


#include "app/app_paths.h"
#include "app/events.h"
#include "app/paper_log.h"
#include "app/printer_device.h"
#include "app/test_page.h"
#include "app/web_pages.h"

#ifndef QMX_INSTALLED_DECODER
#define QMX_INSTALLED_DECODER "/usr/bin/qmx415u-decode"
#endif

namespace app {
namespace {

constexpr const char* kDecoderName = "qmx415u-decode";
constexpr const char* kPaperSuffix = ".paper";

// A deleted printer's paper goes, unless it is being made again on another device.
void forgetDeletedPrinters(pappl_system_t* /*system*/, pappl_printer_t* printer, pappl_job_t* /*job*/,
                           pappl_event_t event) {
  if (printer == nullptr || !(event & PAPPL_EVENT_PRINTER_DELETED)) return;
  const int id = papplPrinterGetID(printer);
  if (!beingMadeAgain(id)) PaperLog::forgetPrinter(id);
}

}  // namespace

std::string defaultPaperFolder(const std::string& stateFile) { return besideStateFile(stateFile, kPaperSuffix); }

bool installWebInterface(pappl_system_t* system, const WebInterfaceSetup& setup, std::string* why) {
  if (!PaperLog::configure(setup.paperFolder, programBesideThis(kDecoderName, QMX_INSTALLED_DECODER), why)) return false;
  addEventHandler(forgetDeletedPrinters);
  setTestPageFolder(setup.spoolFolder);
  installSystemPages(system);
  return true;
}

}  // namespace app
