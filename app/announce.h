// Printers on DNS-SD as soon as they are added, and the machine's mDNS
// host name left alone.
//
// PAPPL 1.3 announces a printer (_ipp._tcp, _ipps._tcp, _http._tcp,
// _printer._tcp) when the server starts, when its web page's add form
// makes one, and when the printer's DNS-SD name (the web page's rename),
// location or geo-location is set; it withdraws a deleted printer's
// records. A printer that IPP Create-Printer makes while the server runs
// (the sub-command `add` sends one) stays unannounced until a restart.
//
// announceNewPrinters has every printer created while the server runs
// announced within a second (the web form's once more: PAPPL says nothing
// of what it announced) by a timer of the server's main loop. PAPPL runs
// timers holding its system lock for reading, so no printer is deleted
// under the call, the lock PAPPL itself holds on that thread when it
// announces its printers again after a host name change or a name
// collision (and as exposed as that: where PAPPL takes a printer's lock
// before the system's, as when it aborts a streamed job, the two can meet).
// It announces only while the system bus and avahi run (app/device_list.h).
//
// PAPPL 1.3's papplSystemSetHostName also makes avahi rename the machine
// on mDNS, over the avahi connection it opened as the server's user when
// the server was created, so root's rights set aside for the call
// (server.cc) did not stop it. This program defines
// avahi_client_set_host_name itself (as papplDeviceList, its symbol comes
// first for PAPPL's calls), and refuses: a server names only itself. With
// avahi running, PAPPL then gives the server avahi's name for the machine.
#ifndef QMX_APP_ANNOUNCE_H_
#define QMX_APP_ANNOUNCE_H_

#include <pappl/pappl.h>

namespace app {

// Before installEvents (app/events.h), on a system not yet running.
void announceNewPrinters(pappl_system_t* system);

}  // namespace app

#endif  // QMX_APP_ANNOUNCE_H_
