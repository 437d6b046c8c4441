// What the app adds to a PAPPL server for its web page and command line,
// in one call from the server's set-up (app/server.cc): its own pages
// (app/web_pages.h), the test page (app/test_page.h) and the paper log
// (app/paper_log.h), which forgets a deleted printer's jobs. Its IPP
// operations (app/vendor_ops.h) are the server's operation callback's to
// call, beside the job queue's.
#ifndef QMX_APP_WEB_INTERFACE_H_
#define QMX_APP_WEB_INTERFACE_H_

#include <pappl/pappl.h>

#include <string>

namespace app {

struct WebInterfaceSetup {
  std::string spoolFolder;  // where test pages are written
  std::string paperFolder;  // the paper log's; "" for none
};

// Before the printers are loaded and the events installed; false with
// *why set.
bool installWebInterface(pappl_system_t* system, const WebInterfaceSetup& setup, std::string* why);

// The paper log's folder for a state file: beside it, its name's
// ".state" replaced by ".paper".
std::string defaultPaperFolder(const std::string& stateFile);

}  // namespace app

#endif  // QMX_APP_WEB_INTERFACE_H_
