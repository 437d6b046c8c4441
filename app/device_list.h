// Device discovery that cannot take the server down. PAPPL 1.3 lists every
// kind of device, DNS-SD among them, for its web page's add-printer form
// and for Get-Devices. Its DNS-SD browse hands avahi a null client when no
// D-Bus system bus runs, which aborts the process, and returns holding its
// DNS-SD lock when the bus runs without the avahi daemon, which later
// deadlocks. This program therefore defines papplDeviceList itself (the
// executable's symbol comes first in the dynamic linker's lookup, so PAPPL's
// own calls arrive here too) and passes the call on to PAPPL's without
// DNS-SD unless both daemons run.
#ifndef QMX_APP_DEVICE_LIST_H_
#define QMX_APP_DEVICE_LIST_H_

namespace app {

// Whether DNS-SD browsing can work here: the system bus and avahi run.
bool dnsSdRuns();

}  // namespace app

#endif  // QMX_APP_DEVICE_LIST_H_
