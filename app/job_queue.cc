#include "app/job_queue.h"

#include <fcntl.h>
#include <pthread.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstring>
#include <vector>

#include "app/ipp_options.h"
#include "app/media_request.h"

namespace app {
namespace {

// What the app prints; string literals, which a job may keep pointing to.
constexpr const char* kPwgRaster = "image/pwg-raster";
constexpr const char* kAppleRaster = "image/urf";
constexpr const char* kPng = "image/png";
constexpr const char* kJpeg = "image/jpeg";
constexpr const char* kPortableBitmap = "image/x-portable-bitmap";  // the tools' own pages
constexpr const char* kPrintedFormats[] = {kPwgRaster, kAppleRaster, kPng, kJpeg, kPortableBitmap};
constexpr const char* kPrintedFormatNames = "PWG raster, Apple raster, PNG, JPEG and PBM";

constexpr std::size_t kReadChunk = 64 * 1024;
constexpr mode_t kDocumentMode = 0600;
constexpr auto kLongestThreadWait = std::chrono::seconds(10);

// The attributes of a job kept in its record, besides the print options
// (each by its IPP name): what makes the job again as it was.
constexpr const char* kKeptAttributes[] = {
    "job-name",           "job-printer-uri",        "copies",           "media",
    "media-col",          "print-scaling",          "orientation-requested", "print-color-mode",
    "print-content-optimize", "print-quality",      "print-darkness",   "printer-resolution",
    "sides",              "output-bin",             "job-hold-until",   "job-hold-until-time",
    "job-priority",       "multiple-document-handling", "page-ranges",  "job-impressions",
    "document-format-supplied", "document-format-detected", "document-name-supplied",
    "compression-supplied", "client-info",
};

// The queue PAPPL's job threads report to; the server has one.
JobQueue* theQueue = nullptr;

const char* printedFormat(const char* format) {
  if (format == nullptr) return nullptr;
  for (const char* known : kPrintedFormats) {
    if (std::strcmp(known, format) == 0) return known;
  }
  return nullptr;
}

// Copies `from` to `to` (a new file of the server's own), synced.
bool copyFileSynced(const char* from, const std::string& to) {
  const int in = ::open(from, O_RDONLY | O_CLOEXEC);
  if (in < 0) return false;
  const int out = ::open(to.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, kDocumentMode);
  bool ok = out >= 0;
  char buffer[16384];
  while (ok) {
    const ssize_t n = ::read(in, buffer, sizeof buffer);
    if (n == 0) break;
    ok = n > 0 && ::write(out, buffer, static_cast<std::size_t>(n)) == n;
  }
  ok = ok && fsync(out) == 0;
  if (out >= 0 && ::close(out) != 0) ok = false;
  ::close(in);
  return ok && syncFolderOf(to);
}

std::string jobLabel(int printerId, int jobId) {
  return "job " + std::to_string(jobId) + " of printer " + std::to_string(printerId);
}

enum class Upload { kWhole, kTimedOut, kTooLarge, kReadFailed, kWriteFailed };

// Reads the request's document into `path`, synced. An upload that sends
// nothing for `timeoutSeconds` ends: libcups' read then answers 0 while the
// request's body is not yet whole, which is how a torn upload is told from
// a whole one.
// *writeError is errno of a failed write.
Upload receiveDocument(http_t* http, const std::string& path, int timeoutSeconds, std::uint64_t largest,
                       std::uint64_t* total, int* writeError) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, kDocumentMode);
  if (fd < 0) {
    *writeError = errno;
    return Upload::kWriteFailed;
  }
  httpSetTimeout(http, timeoutSeconds, nullptr, nullptr);
  std::vector<char> buffer(kReadChunk);
  Upload result = Upload::kWhole;
  *total = 0;
  for (;;) {
    const ssize_t n = httpRead2(http, buffer.data(), buffer.size());
    if (n < 0) {
      result = Upload::kReadFailed;
      break;
    }
    if (n == 0) {
      if (httpGetState(http) == HTTP_STATE_POST_RECV) result = Upload::kTimedOut;
      break;
    }
    *total += static_cast<std::uint64_t>(n);
    if (*total > largest) {
      result = Upload::kTooLarge;
      break;
    }
    for (ssize_t at = 0; at < n;) {
      const ssize_t written = ::write(fd, buffer.data() + at, static_cast<std::size_t>(n - at));
      if (written < 0 && errno == EINTR) continue;
      if (written <= 0) {
        *writeError = errno;
        result = Upload::kWriteFailed;
        break;
      }
      at += written;
    }
    if (result != Upload::kWhole) break;
  }
  const auto failWrite = [&] {
    *writeError = errno;
    result = Upload::kWriteFailed;
  };
  if (result == Upload::kWhole && fsync(fd) != 0) failWrite();
  if (::close(fd) != 0 && result == Upload::kWhole) failWrite();
  if (result == Upload::kWhole && !syncFolderOf(path)) failWrite();
  if (result != Upload::kWhole) unlink(path.c_str());
  return result;
}

void addKeptAttribute(ipp_t* to, pappl_job_t* job, const char* name) {
  if (ipp_attribute_t* attr = papplJobGetAttribute(job, name)) {
    ipp_attribute_t* copy = ippCopyAttribute(to, attr, 0);
    if (copy != nullptr) ippSetGroupTag(to, &copy, IPP_TAG_JOB);
  }
}

IppPointer keptAttributes(pappl_job_t* job) {
  IppPointer attrs(ippNew());
  for (const char* name : kKeptAttributes) addKeptAttribute(attrs.get(), job, name);
  for (const frontend::OptionSpec* option : vendorOptions()) addKeptAttribute(attrs.get(), job, option->ippName);
  return attrs;
}

bool isDocumentFormatRefusal(pappl_client_t* client) {
  ipp_t* response = papplClientGetResponse(client);
  for (ipp_attribute_t* attr = ippFirstAttribute(response); attr != nullptr; attr = ippNextAttribute(response)) {
    const char* name = ippGetName(attr);
    if (ippGetGroupTag(attr) == IPP_TAG_UNSUPPORTED_GROUP && name != nullptr &&
        std::strcmp(name, "document-format") == 0)
      return true;
  }
  return false;
}

// Answers with `status` even when an earlier, milder refusal set another.
void respondWith(pappl_client_t* client, ipp_status_t status, const std::string& message) {
  ipp_t* response = papplClientRespondIPP(client, status, "%s", message.c_str());
  ippSetStatusCode(response, status);
}

int compareNames(void* a, void* b, void* /*data*/) {
  return std::strcmp(static_cast<const char*>(a), static_cast<const char*>(b));
}

struct PendingJob {
  int id;
  pappl_job_t* job;
};

void collectPending(pappl_job_t* job, void* data) {
  if (papplJobGetState(job) == IPP_JSTATE_PENDING)
    static_cast<std::vector<PendingJob>*>(data)->push_back({papplJobGetID(job), job});
}

void collectActive(pappl_job_t* job, void* data) { static_cast<std::vector<pappl_job_t*>*>(data)->push_back(job); }

void collectPrinter(pappl_printer_t* printer, void* data) {
  static_cast<std::vector<pappl_printer_t*>*>(data)->push_back(printer);
}

std::vector<pappl_printer_t*> printersOf(pappl_system_t* system) {
  std::vector<pappl_printer_t*> printers;
  papplSystemIteratePrinters(system, collectPrinter, &printers);
  return printers;
}

}  // namespace

bool printsFormat(const char* format) { return printedFormat(format) != nullptr; }

std::span<const char* const> printedFormats() { return kPrintedFormats; }

const char* formatOfContent(const unsigned char* header, std::size_t length) {
  // PAPPL's own typing knows a JPEG only by an APPn marker after its start
  // (JFIF, Exif, Adobe); one that goes straight to its tables or frame (a
  // plain CMYK JPEG) starts FF D8 FF all the same.
  if (length >= 4 && header[0] == 0xFF && header[1] == 0xD8 && header[2] == 0xFF && header[3] >= 0xC0 &&
      header[3] != 0xFF)
    return kJpeg;
  // A PBM starts P1 or P4, then white space.
  if (length >= 3 && header[0] == 'P' && (header[1] == '1' || header[1] == '4') && std::isspace(header[2]))
    return kPortableBitmap;
  return nullptr;
}

bool JobQueue::open(pappl_system_t* system, QueueConfig config, std::string* why) {
  system_ = system;
  config_ = std::move(config);
  if (!journal_.open(config_.folder, why)) return false;
  theQueue = this;
  setJobSeams(this);
  return true;
}

// ---- Acceptance -------------------------------------------------------------

bool JobQueue::validateDocument(pappl_client_t* client, bool valid) {
  ipp_t* request = papplClientGetRequest(client);
  // PAPPL checks the job's media after this: the roll's, as clients name it.
  takeRollMedia(request);
  if (ippGetOperation(request) == IPP_OP_CREATE_JOB) return valid;  // the document comes later
  if (!valid) {
    // A format PAPPL does not list is refused as IPP names that refusal.
    if (isDocumentFormatRefusal(client))
      respondWith(client, IPP_STATUS_ERROR_DOCUMENT_FORMAT_NOT_SUPPORTED,
                  std::string("This printer prints ") + kPrintedFormatNames + " documents.");
    return false;
  }
  ipp_attribute_t* detected = ippFindAttribute(request, "document-format-detected", IPP_TAG_MIMETYPE);
  ipp_attribute_t* given = ippFindAttribute(request, "document-format", IPP_TAG_MIMETYPE);
  const char* format = ippGetString(detected != nullptr ? detected : given, 0, nullptr);
  if (printsFormat(format)) return true;
  respondWith(client, IPP_STATUS_ERROR_DOCUMENT_FORMAT_NOT_SUPPORTED,
              std::string(format == nullptr || std::strcmp(format, "application/octet-stream") == 0
                              ? "The document's format is not one this printer knows"
                              : std::string("This printer does not print ") + format) +
                  "; it prints " + kPrintedFormatNames + " documents.");
  return false;
}

void JobQueue::endUnprinted(pappl_job_t* job, pappl_jreason_t reason, const std::string& why) {
  papplLogJob(job, PAPPL_LOGLEVEL_ERROR, "%s", why.c_str());
  papplJobSetMessage(job, "%s", why.c_str());
  papplJobCancel(job);  // a job without its document: out of the active list
  pappl::setJobState(job, IPP_JSTATE_ABORTED);
  papplJobSetReasons(job, reason, PAPPL_JREASON_JOB_CANCELED_BY_USER);
}

void JobQueue::refuseDocument(pappl_client_t* client, pappl_job_t* job, ipp_status_t status, const std::string& why) {
  respondWith(client, status, why);
  endUnprinted(job, PAPPL_JREASON_ABORTED_BY_SYSTEM, "Not accepted: " + why);
}

bool JobQueue::keep(pappl_job_t* job, const std::string& document, std::string* why) {
  JobRecord record;
  record.printerId = papplPrinterGetID(papplJobGetPrinter(job));
  record.jobId = papplJobGetID(job);
  const char* user = papplJobGetUsername(job);
  record.username = user != nullptr ? user : "guest";
  const char* format = papplJobGetFormat(job);
  record.format = format != nullptr ? format : "application/octet-stream";
  record.attrs = keptAttributes(job);
  (void)document;
  return journal_.add(record, why);
}

void JobQueue::copyDocument(pappl_client_t* client, pappl_job_t* job) {
  pappl_printer_t* printer = papplJobGetPrinter(job);
  const int printerId = papplPrinterGetID(printer);
  const int jobId = papplJobGetID(job);
  http_t* http = papplClientGetHTTP(client);
  if (stopping_) {
    pappl::flushDocumentData(client);
    refuseDocument(client, job, IPP_STATUS_ERROR_SERVICE_UNAVAILABLE, "The server is stopping; send the job again.");
    return;
  }
  const std::string path = journal_.documentPath(printerId, jobId);
  std::uint64_t bytes = 0;
  int writeError = 0;
  switch (receiveDocument(http, path, config_.uploadTimeoutSeconds, config_.largestDocument, &bytes, &writeError)) {
    case Upload::kWhole:
      break;
    case Upload::kTimedOut:
      refuseDocument(client, job, IPP_STATUS_ERROR_TIMEOUT,
                     "The document stopped arriving: nothing came for " +
                         std::to_string(config_.uploadTimeoutSeconds) + " s after " + std::to_string(bytes) +
                         " bytes; nothing of it was printed.");
      httpShutdown(http);  // what is left of the request will not come
      return;
    case Upload::kTooLarge:
      refuseDocument(client, job, IPP_STATUS_ERROR_REQUEST_ENTITY,
                     "The document is larger than " + std::to_string(config_.largestDocument >> 20) + " MiB.");
      httpShutdown(http);
      return;
    case Upload::kReadFailed:
      refuseDocument(client, job, IPP_STATUS_ERROR_BAD_REQUEST, "The document could not be read from the request.");
      httpShutdown(http);
      return;
    case Upload::kWriteFailed:
      pappl::flushDocumentData(client);
      refuseDocument(client, job, IPP_STATUS_ERROR_INTERNAL,
                     "The document could not be kept on the server's disk: " +
                         std::string(std::strerror(writeError)));
      return;
  }
  std::string why;
  if (papplJobGetState(job) >= IPP_JSTATE_CANCELED) {  // canceled while it arrived
    unlink(path.c_str());
    respondWith(client, IPP_STATUS_ERROR_NOT_POSSIBLE, "The job was canceled while its document arrived.");
    return;
  }
  if (!keep(job, path, &why)) {
    unlink(path.c_str());
    refuseDocument(client, job, IPP_STATUS_ERROR_INTERNAL, "The job could not be kept: " + why);
    return;
  }
  papplLogJob(job, PAPPL_LOGLEVEL_INFO, "Accepted: %llu bytes of %s, kept on disk.",
              static_cast<unsigned long long>(bytes), papplJobGetFormat(job));
  // The answer is written while the job cannot start: nothing else changes it.
  submitKept(job, path, [&] {
    papplClientRespondIPP(client, IPP_STATUS_OK, nullptr);
    cups_array_t* requested = cupsArrayNew(compareNames, nullptr);
    for (const char* name : {"job-id", "job-state", "job-state-message", "job-state-reasons", "job-uri"})
      cupsArrayAdd(requested, const_cast<char*>(name));
    pappl::copyJobAttributes(job, client, requested);
    cupsArrayDelete(requested);
  });
}

void JobQueue::submitFile(pappl_job_t* job, const char* filename) {
  // PAPPL's own jobs from files (the test page) are kept like any other,
  // from a copy in the journal's folder. PAPPL names the format when it
  // makes the job pending, so the job waits to start until it is kept.
  pappl_printer_t* printer = papplJobGetPrinter(job);
  const int printerId = papplPrinterGetID(printer);
  const int jobId = papplJobGetID(job);
  const std::string path = journal_.documentPath(printerId, jobId);
  if (!copyFileSynced(filename, path)) {
    unlink(path.c_str());
    pappl::submitFile(job, filename);  // printed as PAPPL would, without the journal
    return;
  }
  submitKept(job, path, [&] {
    std::string why;
    if (!printsFormat(papplJobGetFormat(job)) || !keep(job, path, &why))
      papplLogJob(job, PAPPL_LOGLEVEL_WARN, "Not kept on disk: %s",
                  why.empty() ? "not a format the printer prints" : why.c_str());
    // PAPPL removes its own file once the job is done; the copy is the queue's.
    unlink(filename);
  });
}

void JobQueue::submitKept(pappl_job_t* job, const std::string& document, const std::function<void()>& beforeStart) {
  pappl_printer_t* printer = papplJobGetPrinter(job);
  const int printerId = papplPrinterGetID(printer);
  const int jobId = papplJobGetID(job);
  {
    std::lock_guard<std::mutex> lock(mutex_);
    printers_[printerId].answering.insert(jobId);
  }
  pappl::submitFile(job, document.c_str());
  if (beforeStart) beforeStart();
  {
    std::lock_guard<std::mutex> lock(mutex_);
    printers_[printerId].answering.erase(jobId);
    if (stopping_) stopped_.insert({printerId, jobId});
  }
  if (stopping_) {
    papplJobCancel(job);  // kept for the next start, out of PAPPL's way now
    return;
  }
  checkJobs(printer);
}

// ---- Moving -------------------------------------------------------------------

bool JobQueue::handleOperation(pappl_client_t* client) {
  if (papplClientGetOperation(client) != IPP_OP_CUPS_MOVE_JOB) return false;
  const http_status_t authorized = papplClientIsAuthorized(client);
  if (authorized != HTTP_STATUS_CONTINUE) {
    papplClientRespond(client, authorized, nullptr, nullptr, 0, 0);
    return true;
  }
  pappl_job_t* job = papplClientGetJob(client);
  ipp_attribute_t* to = ippFindAttribute(papplClientGetRequest(client), "job-printer-uri", IPP_TAG_URI);
  pappl_printer_t* target = nullptr;
  if (to != nullptr) {
    char scheme[32], userpass[256], host[256], resource[1024];
    int port = 0;
    if (httpSeparateURI(HTTP_URI_CODING_ALL, ippGetString(to, 0, nullptr), scheme, sizeof scheme, userpass,
                        sizeof userpass, host, sizeof host, &port, resource, sizeof resource) >= HTTP_URI_STATUS_OK)
      target = papplSystemFindPrinter(system_, resource, 0, nullptr);
  }
  if (job == nullptr) {
    respondWith(client, IPP_STATUS_ERROR_BAD_REQUEST, "Name the job to move (job-uri, or printer-uri and job-id).");
  } else if (target == nullptr) {
    respondWith(client, IPP_STATUS_ERROR_NOT_FOUND, "job-printer-uri names no printer of this server.");
  } else if (target == papplJobGetPrinter(job)) {
    respondWith(client, IPP_STATUS_ERROR_NOT_POSSIBLE, "The job is on that printer already.");
  } else if (papplJobGetState(job) >= IPP_JSTATE_CANCELED) {
    respondWith(client, IPP_STATUS_ERROR_NOT_POSSIBLE, "The job has ended; it cannot move.");
  } else {
    moveJob(client, job, target);
  }
  return true;
}

void JobQueue::moveJob(pappl_client_t* client, pappl_job_t* job, pappl_printer_t* target) {
  const int fromPrinter = papplPrinterGetID(papplJobGetPrinter(job));
  const int fromJob = papplJobGetID(job);
  JobRecord record;
  if (!journal_.read(fromPrinter, fromJob, &record)) {
    respondWith(client, IPP_STATUS_ERROR_NOT_POSSIBLE, "The job is not in the queue's journal; it cannot move.");
    return;
  }
  const char* format = printedFormat(record.format.c_str());
  ipp_attribute_t* name = ippFindAttribute(record.attrs.get(), "job-name", IPP_TAG_NAME);
  const char* jobName = name != nullptr ? ippGetString(name, 0, nullptr) : "Untitled";
  if (ipp_attribute_t* old = ippFindAttribute(record.attrs.get(), "job-printer-uri", IPP_TAG_URI))
    ippDeleteAttribute(record.attrs.get(), old);
  ippAddString(record.attrs.get(), IPP_TAG_OPERATION, IPP_TAG_URI, "printer-uri", nullptr,
               ippGetString(ippFindAttribute(papplClientGetRequest(client), "job-printer-uri", IPP_TAG_URI), 0,
                            nullptr));
  pappl_job_t* moved = pappl::createJob(target, record.username.c_str(), format != nullptr ? format : kPwgRaster,
                                        jobName, record.attrs.get());
  if (moved == nullptr) {
    respondWith(client, IPP_STATUS_ERROR_BUSY, "The printer takes no more jobs now.");
    return;
  }
  record.printerId = papplPrinterGetID(target);
  record.jobId = papplJobGetID(moved);
  record.starts = 0;
  std::string why;
  if (!journal_.shareDocument(fromPrinter, fromJob, record.printerId, record.jobId) || !journal_.add(record, &why)) {
    endUnprinted(moved, PAPPL_JREASON_ABORTED_BY_SYSTEM, "Not moved: its document could not be kept.");
    respondWith(client, IPP_STATUS_ERROR_INTERNAL, "The job could not be moved: its document could not be kept.");
    return;
  }
  papplLogJob(job, PAPPL_LOGLEVEL_INFO, "Moved to printer %s as its job %d.", papplPrinterGetName(target),
              record.jobId);
  papplJobSetMessage(job, "Moved to printer %s as its job %d.", papplPrinterGetName(target), record.jobId);
  papplJobCancel(job);  // its record and its name for the document go with it
  papplLogJob(moved, PAPPL_LOGLEVEL_INFO, "Moved here from printer %d's job %d.", fromPrinter, fromJob);
  submitKept(moved, journal_.documentPath(record.printerId, record.jobId));
  papplClientRespondIPP(client, IPP_STATUS_OK, nullptr);
  ipp_t* response = papplClientGetResponse(client);
  ippAddInteger(response, IPP_TAG_JOB, IPP_TAG_INTEGER, "job-id", record.jobId);
  if (ipp_attribute_t* uri = papplJobGetAttribute(moved, "job-uri"))
    ippAddString(response, IPP_TAG_JOB, IPP_TAG_URI, "job-uri", nullptr, ippGetString(uri, 0, nullptr));
}

// ---- Order ------------------------------------------------------------------

void JobQueue::checkJobs(pappl_printer_t* printer) {
  if (stopping_ || system_ == nullptr || !papplSystemIsRunning(system_)) return;
  const int printerId = papplPrinterGetID(printer);
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (printers_[printerId].running != 0) return;
  }
  std::vector<PendingJob> pending;
  papplPrinterIterateActiveJobs(printer, collectPending, &pending, 1, 0);
  std::sort(pending.begin(), pending.end(), [](const PendingJob& a, const PendingJob& b) { return a.id < b.id; });
  pappl_job_t* next = nullptr;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    PrinterState& state = printers_[printerId];
    if (state.running != 0 || stopping_) return;
    for (const PendingJob& candidate : pending) {
      if (state.answering.count(candidate.id) == 0) {
        next = candidate.job;
        state.running = candidate.id;
        ++jobThreads_;
        break;
      }
    }
  }
  if (next == nullptr) return;
  pthread_attr_t attr;
  pthread_attr_init(&attr);
  pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
  pthread_t thread;
  const int failed = pthread_create(&thread, &attr, runJob, next);
  pthread_attr_destroy(&attr);
  if (failed != 0) {
    papplLogPrinter(printer, PAPPL_LOGLEVEL_ERROR, "Cannot start a thread for job %d: %s", papplJobGetID(next),
                    std::strerror(failed));
    finishJobThread(next);
  }
}

void* JobQueue::runJob(void* data) {
  auto* job = static_cast<pappl_job_t*>(data);
  JobQueue* queue = theQueue;
  try {
    // Canceled since it was chosen: PAPPL would start it all the same.
    if (!queue->stopping_ && papplJobGetState(job) == IPP_JSTATE_PENDING) pappl::processJob(job);
  } catch (...) {
  }
  queue->finishJobThread(job);
  return nullptr;
}

void JobQueue::finishJobThread(pappl_job_t* job) {
  pappl_printer_t* printer = papplJobGetPrinter(job);
  {
    std::lock_guard<std::mutex> lock(mutex_);
    printers_[papplPrinterGetID(printer)].running = 0;
    --jobThreads_;
  }
  threadsDone_.notify_all();
  checkJobs(printer);
}

void JobQueue::startWaiting() {
  for (pappl_printer_t* printer : printersOf(system_)) checkJobs(printer);
}

// ---- The ends of jobs -------------------------------------------------------

int JobQueue::noteStart(pappl_job_t* job) {
  const int starts = journal_.countStart(papplPrinterGetID(papplJobGetPrinter(job)), papplJobGetID(job));
  return starts > 0 ? starts : 1;
}

void JobQueue::notePrinted(pappl_job_t* job) {
  journal_.remove(papplPrinterGetID(papplJobGetPrinter(job)), papplJobGetID(job));
}

void JobQueue::onJobEvent(pappl_job_t* job, pappl_event_t event) {
  if (job == nullptr || (event & PAPPL_EVENT_JOB_COMPLETED) == 0) return;
  const int printerId = papplPrinterGetID(papplJobGetPrinter(job));
  const int jobId = papplJobGetID(job);
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (stopped_.count({printerId, jobId}) != 0) return;  // ended by the stop: printed at the next start
  }
  journal_.remove(printerId, jobId);
}

void JobQueue::stop() {
  if (stopping_.exchange(true)) return;
  std::vector<pappl_job_t*> active;
  for (pappl_printer_t* printer : printersOf(system_)) papplPrinterIterateActiveJobs(printer, collectActive, &active, 1, 0);
  {
    std::lock_guard<std::mutex> lock(mutex_);
    for (pappl_job_t* job : active)
      stopped_.insert({papplPrinterGetID(papplJobGetPrinter(job)), papplJobGetID(job)});
  }
  // The printing jobs see the stop themselves (the runner asks stopping()).
  for (pappl_job_t* job : active) {
    if (papplJobGetState(job) != IPP_JSTATE_PROCESSING) papplJobCancel(job);
  }
  papplLog(system_, PAPPL_LOGLEVEL_INFO, "Stopping: %d unfinished jobs stay queued for the next start.",
           static_cast<int>(active.size()));
}

void JobQueue::waitForJobThreads() {
  std::unique_lock<std::mutex> lock(mutex_);
  threadsDone_.wait_for(lock, kLongestThreadWait, [this] { return jobThreads_ == 0; });
}

// ---- Restart ----------------------------------------------------------------

void JobQueue::restoreJob(JobRecord& record) {
  pappl_printer_t* printer = papplSystemFindPrinter(system_, nullptr, record.printerId, nullptr);
  const std::string label = jobLabel(record.printerId, record.jobId);
  if (printer == nullptr) {
    papplLog(system_, PAPPL_LOGLEVEL_ERROR, "The printer of %s is gone; the job is dropped.", label.c_str());
    journal_.remove(record.printerId, record.jobId);
    return;
  }
  const char* format = printedFormat(record.format.c_str());
  ipp_attribute_t* name = ippFindAttribute(record.attrs.get(), "job-name", IPP_TAG_NAME);
  const char* jobName = name != nullptr ? ippGetString(name, 0, nullptr) : "Untitled";
  if (ipp_attribute_t* uri = ippFindAttribute(record.attrs.get(), "job-printer-uri", IPP_TAG_URI))
    ippAddString(record.attrs.get(), IPP_TAG_OPERATION, IPP_TAG_URI, "printer-uri", nullptr,
                 ippGetString(uri, 0, nullptr));
  if (papplPrinterFindJob(printer, record.jobId) != nullptr) {
    // PAPPL's saved history names the id too (a state file older than the
    // journal): the job keeps its place in the queue under the next id.
    papplLog(system_, PAPPL_LOGLEVEL_WARN, "The id of %s is taken by a job in the history; it gets a new one.",
             label.c_str());
  } else {
    papplPrinterSetNextJobID(printer, record.jobId);
  }
  pappl_job_t* job = pappl::createJob(printer, record.username.c_str(), format != nullptr ? format : kPwgRaster,
                                      jobName, record.attrs.get());
  if (job == nullptr) {
    papplLog(system_, PAPPL_LOGLEVEL_ERROR, "The printer did not take %s back.", label.c_str());
    return;
  }
  if (papplJobGetID(job) != record.jobId && !journal_.moveJob(record, papplJobGetID(job))) {
    papplLog(system_, PAPPL_LOGLEVEL_ERROR, "The record of %s could not move to its new id.", label.c_str());
  }
  const std::string document = journal_.documentPath(record.printerId, papplJobGetID(job));
  struct stat st {};
  if (format == nullptr || stat(document.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) {
    endUnprinted(job, PAPPL_JREASON_ABORTED_BY_SYSTEM,
                 format == nullptr ? "Not printed after the restart: its format is not one the printer prints."
                                   : "Not printed after the restart: its document is gone.");
    journal_.remove(record.printerId, papplJobGetID(job));
    return;
  }
  if (record.starts > 0)
    papplJobSetMessage(job, "The server stopped while this job printed; it prints again from its start.");
  pappl::submitFile(job, document.c_str());
  papplLogJob(job, PAPPL_LOGLEVEL_INFO, "Queued again after a restart%s.",
              record.starts > 0 ? ", to print again from its start" : "");
}

void JobQueue::restore() {
  std::vector<std::string> problems;
  std::vector<JobRecord> records = journal_.load(&problems);
  for (const std::string& problem : problems) papplLog(system_, PAPPL_LOGLEVEL_ERROR, "%s", problem.c_str());
  journal_.sweep();
  for (JobRecord& record : records) restoreJob(record);
  for (pappl_printer_t* printer : printersOf(system_)) {
    const int next = journal_.nextJobId(papplPrinterGetID(printer));
    if (next > papplPrinterGetNextJobID(printer)) papplPrinterSetNextJobID(printer, next);
  }
  if (!records.empty())
    papplLog(system_, PAPPL_LOGLEVEL_INFO, "%d unfinished jobs queued again from %s.", static_cast<int>(records.size()),
             journal_.folder().c_str());
}

}  // namespace app
