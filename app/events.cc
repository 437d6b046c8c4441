#include "app/events.h"

#include <utility>
#include <vector>

namespace app {
namespace {

std::vector<EventHandler>& handlers() {
  static std::vector<EventHandler> all;
  return all;
}

// No exception goes back into PAPPL.
void dispatch(pappl_system_t* system, pappl_printer_t* printer, pappl_job_t* job, pappl_event_t event,
              void* /*data*/) {
  for (const EventHandler& handler : handlers()) {
    try {
      handler(system, printer, job, event);
    } catch (...) {
    }
  }
}

}  // namespace

void addEventHandler(EventHandler handler) { handlers().push_back(std::move(handler)); }

void installEvents(pappl_system_t* system) { papplSystemSetEventCallback(system, dispatch, nullptr); }

}  // namespace app
