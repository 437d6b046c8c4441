// The web pages the app serves in place of PAPPL 1.3's, and why.
//
// PAPPL keeps the first resource added at a path, so a page added before
// PAPPL adds its own takes its place: the system's before the server runs
// (installSystemPages), a printer's from PAPPL's create callback, which runs
// before PAPPL adds the printer's pages (printerCreated).
//
//   /addprinter      a name and a device (app/device_choice.h): a USB
//                    printer found, a network printer by host or host:port,
//                    a file in the file-device folder. PAPPL's refuses
//                    host:port in the browser and offers no file device.
//   /security        the web password, and the admin group among those that
//                    hand out no more than printing (never root's, sudo,
//                    shadow, ...). PAPPL's form saved nothing (a malformed
//                    <select>) and offered every system group.
//   /NAME/           status, device, configuration, the jobs, the paper the
//                    last ones printed. A job's name, owner and paper show
//                    to administrators and to the job's owner only; the
//                    page's actions (test page, pause, hold, default) are for
//                    administrators. PAPPL's showed every job's name to
//                    anyone and let anyone act.
//   /NAME/device     the printer's device, changed (app/printer_device.h).
//   /NAME/media      the loaded paper: its length in millimetres, and its
//                    tracking: "mark" is black-mark paper, as the printing
//                    defaults' checkbox (app/printer_defaults.h).
//   /NAME/printing   printing defaults that change what prints: no print
//                    quality or content optimisation (nothing acts on them);
//                    lengths in dot lines or millimetres ("3mm").
//   /NAME/paper      the paper of the jobs the signed-in visitor may see.
//   /NAME/paper.png?job=N  one job's paper (app/paper_log.h).
//
// Administrators are who app/admin_auth.h says; every form carries PAPPL's
// session token. PAPPL's other pages stay: /, /config, /logs, the TLS
// pages, /NAME/config, /NAME/jobs, /NAME/delete, /NAME/cancelall.
#ifndef QMX_APP_WEB_PAGES_H_
#define QMX_APP_WEB_PAGES_H_

#include <pappl/pappl.h>

namespace app {

// Before the server runs.
void installSystemPages(pappl_system_t* system);

// PAPPL's pappl_pr_create_cb_t (papplSystemSetPrinterDrivers).
void printerCreated(pappl_printer_t* printer, void* data);

// The pages, each in a file of its own (web_*.cc).
namespace web {
void addPrinterPage(pappl_client_t* client, pappl_system_t* system);
void securityPage(pappl_client_t* client, pappl_system_t* system);
void printerHomePage(pappl_client_t* client, pappl_printer_t* printer);
void devicePage(pappl_client_t* client, pappl_printer_t* printer);
void mediaPage(pappl_client_t* client, pappl_printer_t* printer);
void defaultsPage(pappl_client_t* client, pappl_printer_t* printer);
void paperPage(pappl_client_t* client, pappl_printer_t* printer);
void paperPicture(pappl_client_t* client, pappl_printer_t* printer);
}  // namespace web

}  // namespace app

#endif  // QMX_APP_WEB_PAGES_H_
