#include "app/web_interface.h"

#include <unistd.h>

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
constexpr const char* kStateSuffix = ".state";
constexpr const char* kPaperSuffix = ".paper";

// The decoder beside this program (a build tree), else the installed one.
std::string decoderProgram() {
  char self[4096];
  const ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
  if (n > 0) {
    std::string path(self, static_cast<std::size_t>(n));
    path = path.substr(0, path.rfind('/') + 1) + kDecoderName;
    if (access(path.c_str(), X_OK) == 0) return path;
  }
  return QMX_INSTALLED_DECODER;
}

// A deleted printer's paper goes, unless it is being made again on another device.
void forgetDeletedPrinters(pappl_system_t* /*system*/, pappl_printer_t* printer, pappl_job_t* /*job*/,
                           pappl_event_t event) {
  if (printer == nullptr || !(event & PAPPL_EVENT_PRINTER_DELETED)) return;
  const int id = papplPrinterGetID(printer);
  if (!beingMadeAgain(id)) PaperLog::forgetPrinter(id);
}

}  // namespace

std::string defaultPaperFolder(const std::string& stateFile) {
  std::string base = stateFile;
  const std::string suffix = kStateSuffix;
  if (base.size() > suffix.size() && base.compare(base.size() - suffix.size(), suffix.size(), suffix) == 0) {
    base.resize(base.size() - suffix.size());
  }
  return base + kPaperSuffix;
}

bool installWebInterface(pappl_system_t* system, const WebInterfaceSetup& setup, std::string* why) {
  if (!PaperLog::configure(setup.paperFolder, decoderProgram(), why)) return false;
  addEventHandler(forgetDeletedPrinters);
  setTestPageFolder(setup.spoolFolder);
  installSystemPages(system);
  return true;
}

}  // namespace app
