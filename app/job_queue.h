// The printers' job queues: what the app promises about the jobs it
// accepts, whatever PAPPL 1.3 would do (app/pappl_seams.h says where the
// queue takes over):
//
//   acceptance  A document is read whole into the journal's folder before
//               anything of it prints; an upload that sends nothing for
//               upload-timeout seconds, or more than the largest document,
//               ends, and its job with it. The document, the job's record
//               and the printer's next job id are synced to disk before
//               Print-Job or Send-Document answers successful-ok
//               (app/journal.h): an accepted job survives a stop, a crash
//               and a power cut.
//   formats     A document is typed by its content when the client says
//               application/octet-stream; one the app does not print is
//               refused at once (client-error-document-format-not-supported).
//   order       Per printer, first in first out by job id; one job at a
//               time; a held job waits without holding the others.
//   end         A job that ends (completed, canceled, aborted) leaves the
//               journal, its document with it.
//   restart     Every job still in the journal is queued again under its own
//               id, in order, before the server answers anyone; the one
//               that was printing prints again from its start and says so
//               in its job-state-message; one whose document is gone ends
//               aborted with the reason. New ids continue after the highest
//               ever given.
//   moving      An administrator moves a job that has not printed to another
//               printer (CUPS-Move-Job, with job-printer-uri naming it): it
//               becomes that printer's next job id there, in its queue.
//   stop        On shutdown or SIGTERM no job starts, the printing one stops
//               on a whole command, and every unfinished job stays in the
//               journal for the next start.
//
// Printing a job is app/job_runner.h's: the queue starts it on a thread of
// its own, through PAPPL's job processing, which calls the runner as the
// MIME filter of every format the app prints.
#ifndef QMX_APP_JOB_QUEUE_H_
#define QMX_APP_JOB_QUEUE_H_

#include <pappl/pappl.h>

#include <atomic>
#include <condition_variable>
#include <functional>
#include <cstdint>
#include <map>
#include <mutex>
#include <set>
#include <span>
#include <string>
#include <utility>

#include "app/journal.h"
#include "app/pappl_seams.h"

namespace app {

struct QueueConfig {
  std::string folder;                         // the journal's
  int uploadTimeoutSeconds = 30;
  std::uint64_t largestDocument = 256u << 20;  // bytes
};

// Whether the app prints documents of `format` (a MIME media type).
bool printsFormat(const char* format);
// Every format the app prints.
std::span<const char* const> printedFormats();

// The format of a document from its first bytes, or null when it is none
// the app knows (PAPPL's own typing knows PWG, Apple raster, PNG, JPEG,
// PDF and PostScript; this adds what else the app prints).
const char* formatOfContent(const unsigned char* header, std::size_t length);

class JobQueue final : public JobSeams {
 public:
  // Opens the journal and makes the queue decide for `system`'s jobs.
  // False with *why set.
  bool open(pappl_system_t* system, QueueConfig config, std::string* why);

  // Queues again every job the journal holds, and sets each printer's next
  // job id past every id given; after papplSystemLoadState, before
  // papplSystemRun. Writes what it did to the server's log.
  void restore();

  // Starts what can start: when the server has begun running (PAPPL's
  // first timer tick), and later whenever nothing else would.
  void startWaiting();

  // The stop: no job starts from now on; the printing ones end at their
  // next whole command and stay in the journal, as do the waiting ones,
  // which leave PAPPL's active lists so that its main loop can end.
  void stop();
  bool stopping() const { return stopping_; }
  // Waits until no job thread of the queue runs.
  void waitForJobThreads();

  // Called by the job runner when printing a job begins; the number of
  // times it began, counting this one (1: the first).
  int noteStart(pappl_job_t* job);
  // Called by the job runner when a job printed whole: it leaves the
  // journal at once, before PAPPL ends it.
  void notePrinted(pappl_job_t* job);

  // A job event from PAPPL (app/events.h; PAPPL's locks may be held).
  void onJobEvent(pappl_job_t* job, pappl_event_t event);

  // Whether the journal holds printer `printerId`'s job `jobId`: such a job
  // is not finished, whatever PAPPL's state file says.
  bool holds(int printerId, int jobId) const { return journal_.contains(printerId, jobId); }

  // PAPPL's callback for the operations it does not know
  // (papplSystemSetOperationCallback): CUPS-Move-Job. False: not one of
  // the queue's.
  bool handleOperation(pappl_client_t* client);

  // JobSeams.
  bool validateDocument(pappl_client_t* client, bool valid) override;
  void copyDocument(pappl_client_t* client, pappl_job_t* job) override;
  void submitFile(pappl_job_t* job, const char* filename) override;
  void checkJobs(pappl_printer_t* printer) override;

 private:
  struct PrinterState {
    int running = 0;           // the id of the job its thread prints, 0 for none
    std::set<int> answering;   // accepted, their answer not yet written
  };

  bool keep(pappl_job_t* job, const std::string& document, std::string* why);
  void refuseDocument(pappl_client_t* client, pappl_job_t* job, ipp_status_t status, const std::string& why);
  void endUnprinted(pappl_job_t* job, pappl_jreason_t reason, const std::string& why);
  void restoreJob(JobRecord& record);
  void moveJob(pappl_client_t* client, pappl_job_t* job, pappl_printer_t* target);
  // Makes the job pending with `document`, runs `beforeStart` while the
  // queue cannot start it yet (the answer to the client is written then),
  // and then lets the queue start it.
  void submitKept(pappl_job_t* job, const std::string& document, const std::function<void()>& beforeStart = {});
  static void* runJob(void* job);
  void finishJobThread(pappl_job_t* job);

  pappl_system_t* system_ = nullptr;
  QueueConfig config_;
  Journal journal_;
  std::atomic<bool> stopping_{false};
  mutable std::mutex mutex_;  // guards the members below; never held across a PAPPL call
  std::condition_variable threadsDone_;
  std::map<int, PrinterState> printers_;     // by printer id
  std::set<std::pair<int, int>> stopped_;    // (printer, job) ended by the stop: kept
  int jobThreads_ = 0;
};

}  // namespace app

#endif  // QMX_APP_JOB_QUEUE_H_
