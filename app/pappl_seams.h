// Where the app takes PAPPL 1.3's job handling over, and the few PAPPL 1.3
// internals it calls. All of the app's use of PAPPL's private interface is
// here, with PAPPL 1.3.1's signatures; the build requires PAPPL 1.3.x.
//
// PAPPL 1.3 prints the newest pending job first, can start one job twice or
// two jobs at once on a printer, streams PWG and Apple raster from the
// client straight to the printer (a stalled upload holds the printer and a
// torn one prints half a page), keeps no accepted job across a crash, and
// crashes on a document whose format it cannot name. Its decisions are made
// in four functions its own code reaches through the dynamic linker; the
// app defines them in the executable, which the linker searches first (as
// app/device_list.h does for papplDeviceList):
//
//   _papplJobValidateDocumentAttributes  PAPPL's own check, then the job
//       queue's: a document it cannot print is refused at once
//   _papplJobCopyDocumentData   replaced: the queue reads the document
//   _papplJobSubmitFile         a job PAPPL makes from a file (the test page)
//                               goes through the queue too
//   _papplPrinterCheckJobs      replaced: the queue starts jobs
//
// Each forwards to the JobSeams set here, or to PAPPL's own while none is
// set (a sub-command that never runs a server).
#ifndef QMX_APP_PAPPL_SEAMS_H_
#define QMX_APP_PAPPL_SEAMS_H_

#include <pappl/pappl.h>

namespace app {

class JobSeams {
 public:
  virtual ~JobSeams() = default;
  // After PAPPL's check (`valid` its answer) of a Print-Job, Validate-Job
  // or Send-Document: the final answer; a refusal has set the response.
  virtual bool validateDocument(pappl_client_t* client, bool valid) = 0;
  // Reads the request's document and answers the request.
  virtual void copyDocument(pappl_client_t* client, pappl_job_t* job) = 0;
  // A job made from a file PAPPL names (not through copyDocument).
  virtual void submitFile(pappl_job_t* job, const char* filename) = 0;
  // Something changed that may let `printer` start a job.
  virtual void checkJobs(pappl_printer_t* printer) = 0;
};

// Makes `seams` (which outlives every PAPPL thread) decide; null: PAPPL.
void setJobSeams(JobSeams* seams);

// PAPPL 1.3.1's own functions.
namespace pappl {

// Sets the job's document file and makes it pending (or held), then asks
// which job to start (the queue's checkJobs).
void submitFile(pappl_job_t* job, const char* filename);
// Prints one job on the calling thread: opens the printer's device, runs
// the MIME filter for the job's format, ends the job (its state, the
// device closed when no job waits), asks which job to start next.
void processJob(pappl_job_t* job);
// A new job of `printer` as Create-Job and Print-Job make one from `attrs`
// (job template attributes, printer-uri), with the printer's next job id.
// `format` and `jobName` must outlive the job: a string literal, or a
// string of an attribute `attrs` holds in its job group.
pappl_job_t* createJob(pappl_printer_t* printer, const char* username, const char* format, const char* jobName,
                       ipp_t* attrs);
// Sets the job's state without moving it between the printer's lists.
void setJobState(pappl_job_t* job, ipp_jstate_t state);
// Reads and drops what is left of the request's document.
void flushDocumentData(pappl_client_t* client);
// Copies job attributes into the client's response, as PAPPL answers
// Print-Job: `requested` names them (a cups_array_t of strings).
void copyJobAttributes(pappl_job_t* job, pappl_client_t* client, cups_array_t* requested);
// Registers the device schemes PAPPL registers itself only into an empty
// list: file, dnssd, snmp, socket, usb (one already registered is kept).
void addOwnDeviceSchemes();

}  // namespace pappl
}  // namespace app

#endif  // QMX_APP_PAPPL_SEAMS_H_
