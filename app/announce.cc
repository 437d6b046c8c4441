#include "app/announce.h"

#include <avahi-client/client.h>
#include <avahi-common/error.h>

#include <cstring>
#include <mutex>
#include <vector>

#include "app/device_list.h"
#include "app/events.h"

namespace app {
namespace {

constexpr int kAnnounceCheckSeconds = 1;
// Above the 63 bytes of a DNS-SD instance name; a name that fills it may
// have been cut short, and is left as it is.
constexpr std::size_t kNameBufferSize = 256;

// Printers created since the timer last ran, by id (PAPPL never gives an
// id twice). The event handler adds, the timer takes them all; neither
// calls PAPPL while holding the mutex.
struct Created {
  std::mutex mutex;
  std::vector<int> ids;
};

Created& created() {
  static Created all;
  return all;
}

// On the event's thread, under PAPPL's locks: notes the id only.
void noteCreated(pappl_system_t* /*system*/, pappl_printer_t* printer, pappl_job_t* /*job*/, pappl_event_t event) {
  if ((event & PAPPL_EVENT_PRINTER_CREATED) == 0) return;
  const int id = papplPrinterGetID(printer);
  if (id <= 0) return;
  std::lock_guard<std::mutex> hold(created().mutex);
  created().ids.push_back(id);
}

std::vector<int> takeCreated() {
  std::vector<int> ids;
  std::lock_guard<std::mutex> hold(created().mutex);
  ids.swap(created().ids);
  return ids;
}

// Setting the printer's DNS-SD name to itself is the public way to have
// PAPPL register its services (it drops any earlier registration first).
void announce(pappl_system_t* system, int id) {
  pappl_printer_t* printer = papplSystemFindPrinter(system, nullptr, id, nullptr);
  if (printer == nullptr) return;  // deleted since
  char name[kNameBufferSize];
  if (papplPrinterGetDNSSDName(printer, name, sizeof name) == nullptr) return;  // announced under no name
  if (std::strlen(name) + 1 >= sizeof name) return;
  papplPrinterSetDNSSDName(printer, name);
}

// PAPPL's timer, on the main loop; keeps running.
bool announceCreated(pappl_system_t* system, void* /*context*/) {
  try {
    const std::vector<int> ids = takeCreated();
    if (ids.empty() || !dnsSdRuns()) return true;
    for (int id : ids) announce(system, id);
  } catch (...) {
  }
  return true;
}

}  // namespace

void announceNewPrinters(pappl_system_t* system) {
  addEventHandler(noteCreated);
  papplSystemAddTimerCallback(system, 0, kAnnounceCheckSeconds, announceCreated, nullptr);
}

}  // namespace app

// See app/announce.h: the server never renames the machine on mDNS.
extern "C" int avahi_client_set_host_name(AvahiClient* /*client*/, const char* /*name*/) {
  return AVAHI_ERR_NOT_PERMITTED;
}
