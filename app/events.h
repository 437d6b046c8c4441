// PAPPL's one event callback, shared: each part of the app that follows
// printers or jobs adds a handler before the server starts.
//
// Handlers run on whatever thread raised the event, often with PAPPL's
// system, printer and job locks held (a job's end holds its printer's and
// its own for writing): a handler must not call a PAPPL function that
// takes one of those locks, nor wait for another thread that might. Read
// ids (papplJobGetID, papplPrinterGetID), note what happened, act later.
#ifndef QMX_APP_EVENTS_H_
#define QMX_APP_EVENTS_H_

#include <pappl/pappl.h>

#include <functional>

namespace app {

using EventHandler = std::function<void(pappl_system_t*, pappl_printer_t*, pappl_job_t*, pappl_event_t)>;

// Adds a handler; only before installEvents.
void addEventHandler(EventHandler handler);

// Makes the handlers PAPPL's event callback for `system`.
void installEvents(pappl_system_t* system);

}  // namespace app

#endif  // QMX_APP_EVENTS_H_
