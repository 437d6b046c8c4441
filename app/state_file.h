// PAPPL's state file (printers, their settings, the job history), saved as
// the app needs it. PAPPL 1.3 writes the file in place, so a crash or power
// cut while it writes loses every printer; and it writes every job, also
// those the job queue keeps in its own journal (app/journal.h), which would
// come back twice after a restart. Here a save goes to a temporary file,
// loses the jobs that are not finished (and those the journal holds), is
// synced, and replaces the old file.
//
// PAPPL asks for a save after every change, jobs included; saves come at
// most once per kSaveIntervalMs, a timer catching up on the last change,
// and flush() writes what is pending when the server stops.
#ifndef QMX_APP_STATE_FILE_H_
#define QMX_APP_STATE_FILE_H_

#include <pappl/pappl.h>

#include <functional>
#include <string>

namespace app {

inline constexpr long kSaveIntervalMs = 1000;

// Whether a saved job line of printer `printerId`, job `jobId` is kept by
// the journal (and so left out of the state file).
using JournalHolds = std::function<bool(int printerId, int jobId)>;

// Saves into `path` from now on: PAPPL's save callback and a timer.
void saveStateInto(pappl_system_t* system, std::string path, JournalHolds holds);

// Writes a save put off, if any; when the server has stopped.
void flushState(pappl_system_t* system);

// The lines of a state file PAPPL wrote, without the jobs that are not
// finished or that `holds` names.
std::string finishedJobsOnly(const std::string& state, const JournalHolds& holds);

}  // namespace app

#endif  // QMX_APP_STATE_FILE_H_
