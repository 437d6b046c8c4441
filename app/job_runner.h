// Printing one job: PAPPL's MIME filter for every format the app prints,
// run on the job's own thread (app/job_queue.h starts it). The job's
// document, kept on disk, goes to a worker process (app/worker.h,
// app/document_worker.h); the worker's command groups go to the printer.
//
//   socket://   connected for the job, retried with a back-off while the
//               printer cannot be reached (printer-state-reasons offline).
//               The job is done only when the printer's TCP stack has
//               acknowledged every byte (app/socket_device.h); a printer
//               that takes nothing keeps it processing, with
//               printer-state-reasons other and a job-state-message that
//               says so. A printer that goes away mid-job: the job prints
//               again from its start once it is back, and its log and
//               job-state-message say so.
//   others      PAPPL's device: USB (a write that returned is the
//               printer's), prnfile: (app/file_device.h).
//
// How a job ends:
//   completed   every page printed and the printer took every byte; the
//               job leaves the journal first
//   canceled    the worker stops at a whole command; what it sent still
//               goes to the printer for up to kCancelGraceMs
//   aborted     document-format-error: the document cannot be printed
//               (nothing of the refused page printed); aborted-by-system:
//               the worker failed, crashed or hung, or the device failed
//               (not socket://)
//   stopped     the server stops: aborted for now, kept in the journal,
//               printed again from its start at the next start
#ifndef QMX_APP_JOB_RUNNER_H_
#define QMX_APP_JOB_RUNNER_H_

#include <pappl/pappl.h>

#include <optional>
#include <string>
#include <vector>

#include "app/job_queue.h"
#include "app/worker.h"

namespace app {

// How jobs run their workers; set once, before the server starts.
struct WorkerConfig {
  std::string program;                   // the worker, an absolute path
  std::optional<RunAs> runAs;            // when the server runs as root
  std::string folderParent = "/tmp";     // where each worker's folder is made
  std::vector<std::string> environment;  // NAME=VALUE passed on to every worker
  int idleTimeoutMs = 60000;
  WorkerLimits limits;
};

inline constexpr int kCancelGraceMs = 5000;

void configureJobRunner(WorkerConfig config, JobQueue* queue);
const WorkerConfig& workerConfig();

// The MIME filter callback (pappl_mime_filter_cb_t) for every format the
// app prints. No exception leaves it.
bool printJob(pappl_job_t* job, pappl_device_t* device, void* data);

}  // namespace app

#endif  // QMX_APP_JOB_RUNNER_H_
