#include "app/pappl_seams.h"

#include <dlfcn.h>

#include <atomic>

// PAPPL 1.3.1's internal functions (pappl/*-private.h), exported by
// libpappl1. The four the app defines below are called by PAPPL through
// its PLT; the others are PAPPL's own, called by the app.
extern "C" {
void* _papplJobProcess(pappl_job_t* job);
pappl_job_t* _papplJobCreate(pappl_printer_t* printer, int job_id, const char* username, const char* format,
                             const char* job_name, ipp_t* attrs);
void _papplJobSetState(pappl_job_t* job, ipp_jstate_t state);
void _papplClientFlushDocumentData(pappl_client_t* client);
void _papplJobCopyAttributesNoLock(pappl_job_t* job, pappl_client_t* client, cups_array_t* ra);
void _papplDeviceAddFileScheme(void);
void _papplDeviceAddNetworkSchemes(void);
void _papplDeviceAddUSBScheme(void);

void _papplJobCopyDocumentData(pappl_client_t* client, pappl_job_t* job);
bool _papplJobValidateDocumentAttributes(pappl_client_t* client);
void _papplJobSubmitFile(pappl_job_t* job, const char* filename);
void _papplPrinterCheckJobs(pappl_printer_t* printer);
}

namespace app {
namespace {

std::atomic<JobSeams*> current{nullptr};

// PAPPL's own definition of a function the executable also defines.
template <typename Function>
Function papplsOwn(const char* name) {
  return reinterpret_cast<Function>(dlsym(RTLD_NEXT, name));
}

using CopyDocumentData = void (*)(pappl_client_t*, pappl_job_t*);
using ValidateDocument = bool (*)(pappl_client_t*);
using SubmitFile = void (*)(pappl_job_t*, const char*);
using CheckJobs = void (*)(pappl_printer_t*);

CopyDocumentData ownCopyDocumentData() {
  static const auto own = papplsOwn<CopyDocumentData>("_papplJobCopyDocumentData");
  return own;
}
ValidateDocument ownValidateDocument() {
  static const auto own = papplsOwn<ValidateDocument>("_papplJobValidateDocumentAttributes");
  return own;
}
SubmitFile ownSubmitFile() {
  static const auto own = papplsOwn<SubmitFile>("_papplJobSubmitFile");
  return own;
}
CheckJobs ownCheckJobs() {
  static const auto own = papplsOwn<CheckJobs>("_papplPrinterCheckJobs");
  return own;
}

}  // namespace

void setJobSeams(JobSeams* seams) { current = seams; }

namespace pappl {

void submitFile(pappl_job_t* job, const char* filename) {
  if (SubmitFile own = ownSubmitFile()) own(job, filename);
}
void processJob(pappl_job_t* job) { _papplJobProcess(job); }
pappl_job_t* createJob(pappl_printer_t* printer, const char* username, const char* format, const char* jobName,
                       ipp_t* attrs) {
  return _papplJobCreate(printer, 0, username, format, jobName, attrs);
}
void setJobState(pappl_job_t* job, ipp_jstate_t state) { _papplJobSetState(job, state); }
void flushDocumentData(pappl_client_t* client) { _papplClientFlushDocumentData(client); }
void copyJobAttributes(pappl_job_t* job, pappl_client_t* client, cups_array_t* requested) {
  _papplJobCopyAttributesNoLock(job, client, requested);
}
void addOwnDeviceSchemes() {
  _papplDeviceAddFileScheme();
  _papplDeviceAddNetworkSchemes();
  _papplDeviceAddUSBScheme();
}

}  // namespace pappl
}  // namespace app

// ---- What PAPPL calls ---------------------------------------------------------
// Nothing is thrown back into PAPPL: the seams' own functions catch what
// they can recover from; anything else ends here, as the mildest answer.

extern "C" bool _papplJobValidateDocumentAttributes(pappl_client_t* client) {
  const app::ValidateDocument own = app::ownValidateDocument();
  bool valid = own != nullptr && own(client);
  if (app::JobSeams* seams = app::current) {
    try {
      valid = seams->validateDocument(client, valid);
    } catch (...) {
      papplClientRespondIPP(client, IPP_STATUS_ERROR_INTERNAL, "The document could not be checked.");
      valid = false;
    }
  }
  return valid;
}

extern "C" void _papplJobCopyDocumentData(pappl_client_t* client, pappl_job_t* job) {
  app::JobSeams* seams = app::current;
  if (seams == nullptr) {
    if (const app::CopyDocumentData own = app::ownCopyDocumentData()) own(client, job);
    return;
  }
  try {
    seams->copyDocument(client, job);
  } catch (...) {
    papplClientRespondIPP(client, IPP_STATUS_ERROR_INTERNAL, "The document could not be kept.");
  }
}

extern "C" void _papplJobSubmitFile(pappl_job_t* job, const char* filename) {
  app::JobSeams* seams = app::current;
  if (seams == nullptr) {
    app::pappl::submitFile(job, filename);
    return;
  }
  try {
    seams->submitFile(job, filename);
  } catch (...) {
  }
}

extern "C" void _papplPrinterCheckJobs(pappl_printer_t* printer) {
  app::JobSeams* seams = app::current;
  if (seams == nullptr) {
    if (const app::CheckJobs own = app::ownCheckJobs()) own(printer);
    return;
  }
  try {
    seams->checkJobs(printer);
  } catch (...) {
  }
}
