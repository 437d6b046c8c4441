#include "app/job_runner.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <utility>
#include <vector>

#include "app/document_worker.h"
#include "app/file_device.h"
#include "app/job_options.h"
#include "app/paper_log.h"
#include "app/socket_device.h"
#include "app/steady_clock.h"
#include "frontend/log_text.h"

namespace app {
namespace {

JobQueue* runnerQueue = nullptr;

WorkerConfig& config() {
  static WorkerConfig value;
  return value;
}

// A job's own text on the worker's command line, escaped as every filter
// message is; a name instead of nothing.
std::string argumentText(const char* text, const char* fallback) {
  return frontend::loggable(text != nullptr && *text != '\0' ? text : fallback);
}

pappl_loglevel_t levelOf(const std::string& line, std::string* text) {
  static const std::pair<const char*, pappl_loglevel_t> kLevels[] = {
      {"ERROR: ", PAPPL_LOGLEVEL_ERROR}, {"WARNING: ", PAPPL_LOGLEVEL_WARN}, {"INFO: ", PAPPL_LOGLEVEL_INFO},
      {"PAGE: ", PAPPL_LOGLEVEL_DEBUG},  {"DEBUG: ", PAPPL_LOGLEVEL_DEBUG},
  };
  for (const auto& [prefix, level] : kLevels) {
    if (line.rfind(prefix, 0) == 0) {
      *text = line.substr(std::strlen(prefix));
      return level;
    }
  }
  *text = line;
  return PAPPL_LOGLEVEL_DEBUG;
}

// The worker's refusals of the document are about the document; every
// other failure about the system that ran it.
bool refusedDocument(const WorkerOutcome& outcome) {
  return outcome.end == WorkerEnd::kFailed && outcome.exitCode == kExitDocumentRefused;
}

std::size_t deviceBytesWritten(pappl_device_t* device) {
  pappl_devmetrics_t metrics{};
  papplDeviceGetMetrics(device, &metrics);
  return metrics.write_bytes;
}

// One job, printed. Watches the link for the job: a cancel and the
// server's stop end its waits.
class JobRun final : public LinkWatch {
 public:
  JobRun(pappl_job_t* job, pappl_device_t* device, JobQueue& queue)
      : job_(job),
        printer_(papplJobGetPrinter(job)),
        device_(device),
        queue_(queue),
        link_(socketLinkOf(device, papplPrinterGetDeviceURI(printer_))) {}
  ~JobRun() override { clearPrinterReasons(); }

  bool run();

  // LinkWatch
  bool shouldStop() override {
    if (queue_.stopping()) return true;
    if (!papplJobIsCanceled(job_)) return false;
    if (canceledAtMs_ == 0) canceledAtMs_ = steadyNowMs();
    // A canceled job's last groups may still go, for a while; no wait
    // for a printer beyond that.
    return !writing_ || steadyNowMs() - canceledAtMs_ >= kCancelGraceMs;
  }
  void unreachable(const std::string& why, int retryInMs) override {
    setPrinterReasons(PAPPL_PREASON_OFFLINE, PAPPL_PREASON_OTHER);
    papplJobSetMessage(job_, "Waiting for the printer at %s (%s); trying again in %d s.", link_->address().c_str(),
                       why.c_str(), (retryInMs + 999) / 1000);
    if (!offlineLogged_) {
      papplLogJob(job_, PAPPL_LOGLEVEL_WARN, "The printer at %s cannot be reached (%s); the job waits for it.",
                  link_->address().c_str(), why.c_str());
      offlineLogged_ = true;
    }
  }
  void stalled(long long stalledMs, std::size_t queued) override {
    countPrinted();
    setPrinterReasons(PAPPL_PREASON_OTHER, PAPPL_PREASON_OFFLINE);
    papplJobSetMessage(job_, "The printer has taken no bytes for %lld s (%zu waiting); the job waits for it.",
                       stalledMs / 1000, queued);
    if (!stallLogged_ && stalledMs >= kStallLogMs) {
      papplLogJob(job_, PAPPL_LOGLEVEL_WARN, "The printer has taken no bytes for %lld s; the job waits for it.",
                  stalledMs / 1000);
      stallLogged_ = true;
    }
  }
  void flowing() override {
    countPrinted();
    if (reasons_ != PAPPL_PREASON_NONE) {
      papplJobSetMessage(job_, "Printing.");
      clearPrinterReasons();
    }
    offlineLogged_ = false;
  }

 private:
  static constexpr long long kStallLogMs = 5000;
  static constexpr int kFirstRetryPauseMs = 1000;
  static constexpr int kPauseStepMs = 100;

  enum class Attempt { kPrinted, kAgain, kStopped, kFailed };

  bool runAttempts();

  Attempt printOnce(const WorkerJobOptions& options);
  Attempt finishOnLink();
  Attempt finishOnDevice(std::uint64_t given, std::size_t before);
  bool deliver(const std::uint8_t* bytes, std::size_t length);
  void onMessage(const std::string& line);
  // Counts the pages whose every byte the printer has: in its
  // job-impressions-completed, never twice over the attempts.
  void countPrinted(bool everything = false);
  void tick();
  bool stoppedOrCanceled() const { return queue_.stopping() || papplJobIsCanceled(job_); }
  // Waits `ms`; false when the job was canceled or the server stops meanwhile.
  bool pause(int ms);
  bool endStopped();
  bool fail(pappl_jreason_t reason, const std::string& why);
  void setPrinterReasons(pappl_preason_t add, pappl_preason_t remove);
  void clearPrinterReasons() { setPrinterReasons(PAPPL_PREASON_NONE, PAPPL_PREASON_OFFLINE | PAPPL_PREASON_OTHER); }

  pappl_job_t* job_;
  pappl_printer_t* printer_;
  pappl_device_t* device_;
  JobQueue& queue_;
  SocketLink* link_;  // null: not socket://
  std::unique_ptr<Worker> worker_;
  std::unique_ptr<PaperRecord> paper_;  // what reached the printer, for its web page (app/paper_log.h)
  bool writing_ = false;
  bool lost_ = false;           // the printer went away during this attempt
  bool deviceFailed_ = false;   // PAPPL's device refused bytes
  long long canceledAtMs_ = 0;
  unsigned pages_ = 0;          // pages the worker started, this attempt
  unsigned pagesCounted_ = 0;   // pages counted in the job's impressions, over every attempt
  std::uint64_t sent_ = 0;      // bytes handed to the printer, this attempt
  std::vector<std::uint64_t> pageEnds_;  // where each page's bytes end in them
  std::size_t pagesTaken_ = 0;           // of pageEnds_, those the printer has
  pappl_preason_t reasons_ = PAPPL_PREASON_NONE;  // what this job set on its printer
  bool offlineLogged_ = false;
  bool stallLogged_ = false;
};

void JobRun::setPrinterReasons(pappl_preason_t add, pappl_preason_t remove) {
  const pappl_preason_t next = (reasons_ & ~remove) | add;
  if (next == reasons_ && add == PAPPL_PREASON_NONE) return;
  papplPrinterSetReasons(printer_, add, remove & reasons_);
  reasons_ = next;
}

bool JobRun::fail(pappl_jreason_t reason, const std::string& why) {
  papplLogJob(job_, PAPPL_LOGLEVEL_ERROR, "The job failed: %s", why.c_str());
  papplJobSetMessage(job_, "%s", why.c_str());
  papplJobSetReasons(job_, reason, PAPPL_JREASON_NONE);
  return false;
}

bool JobRun::endStopped() {
  if (papplJobIsCanceled(job_) && !queue_.stopping()) return false;  // PAPPL ends it canceled
  papplLogJob(job_, PAPPL_LOGLEVEL_INFO, "Stopped with the server on a whole command; it prints again from its "
                                         "start at the next start.");
  papplJobSetMessage(job_, "Stopped with the server; it prints again from its start at the next start.");
  return false;
}

bool JobRun::pause(int ms) {
  for (const long long until = steadyNowMs() + ms; steadyNowMs() < until;) {
    if (shouldStop()) return false;
    usleep(kPauseStepMs * 1000);
  }
  return !shouldStop();
}

void JobRun::tick() {
  if (worker_ && stoppedOrCanceled()) worker_->cancel();
}

void JobRun::onMessage(const std::string& line) {
  std::string text;
  const pappl_loglevel_t level = levelOf(line, &text);
  papplLogJob(job_, level, "Worker: %s", text.c_str());
  if (line.rfind("PAGE: ", 0) == 0) ++pages_;
}

void JobRun::countPrinted(bool everything) {
  if (pagesTaken_ == pageEnds_.size()) return;  // no page waits: nothing to ask the printer
  const std::uint64_t taken = everything || link_ == nullptr ? sent_ : link_->acknowledged();
  while (pagesTaken_ < pageEnds_.size() && pageEnds_[pagesTaken_] <= taken) ++pagesTaken_;
  if (pagesTaken_ > pagesCounted_) {
    papplJobSetImpressionsCompleted(job_, static_cast<int>(pagesTaken_ - pagesCounted_));
    pagesCounted_ = pagesTaken_;
  }
}

bool JobRun::deliver(const std::uint8_t* bytes, std::size_t length) {
  if (length == 0) {  // a page's end (host/group_frames.h)
    pageEnds_.push_back(sent_);
    countPrinted();
    return true;
  }
  if (link_ == nullptr) {
    if (papplDeviceWrite(device_, bytes, length) != static_cast<ssize_t>(length)) {
      deviceFailed_ = true;
      return false;
    }
  } else {
    writing_ = true;
    const SocketLink::Result result = link_->write(bytes, length, *this);
    writing_ = false;
    if (result == SocketLink::Result::kLost) lost_ = true;
    if (result != SocketLink::Result::kDone) return false;
  }
  if (paper_) paper_->add(bytes, length);
  sent_ += length;
  countPrinted();
  return true;
}

JobRun::Attempt JobRun::finishOnLink() {
  switch (link_->finish(*this)) {
    case SocketLink::Result::kDone:
      countPrinted(true);  // the printer acknowledged every byte
      return Attempt::kPrinted;
    case SocketLink::Result::kLost:
      lost_ = true;
      return Attempt::kAgain;
    case SocketLink::Result::kStopped:
      break;
  }
  link_->abandon();
  return Attempt::kStopped;
}

JobRun::Attempt JobRun::finishOnDevice(std::uint64_t given, std::size_t before) {
  // papplDeviceFlush hides a failed write; the device's count of bytes
  // written does not.
  papplDeviceFlush(device_);
  const std::size_t taken = deviceBytesWritten(device_) - before;
  endFileDeviceJob(device_);
  if (taken != given) {
    fail(PAPPL_JREASON_ABORTED_BY_SYSTEM,
         "the printer took " + std::to_string(taken) + " of " + std::to_string(given) + " bytes.");
    return Attempt::kFailed;
  }
  countPrinted(true);
  return Attempt::kPrinted;
}

JobRun::Attempt JobRun::printOnce(const WorkerJobOptions& options) {
  if (link_ != nullptr && !link_->connected() && link_->connect(*this) != SocketLink::Result::kDone)
    return Attempt::kStopped;
  const char* document = papplJobGetFilename(job_);
  const int input = document != nullptr ? ::open(document, O_RDONLY | O_CLOEXEC) : -1;
  if (input < 0) {
    fail(PAPPL_JREASON_ABORTED_BY_SYSTEM, "its document cannot be read.");
    return Attempt::kFailed;
  }
  const WorkerConfig& setup = config();
  WorkerSetup worker;
  worker.program = setup.program;
  worker.arguments = {std::to_string(papplJobGetID(job_)), argumentText(papplJobGetUsername(job_), "guest"),
                      argumentText(papplJobGetName(job_), "untitled"), std::to_string(options.copies), options.text};
  worker.environment = setup.environment;
  worker.folderParent = setup.folderParent;
  worker.runAs = setup.runAs;
  worker.idleTimeoutMs = setup.idleTimeoutMs;
  worker.limits = setup.limits;
  worker.input = input;
  pages_ = 0;
  sent_ = 0;
  pageEnds_.clear();
  pagesTaken_ = 0;
  lost_ = deviceFailed_ = false;
  const std::size_t before = link_ == nullptr ? deviceBytesWritten(device_) : 0;
  std::string error;
  worker_ = Worker::start(
      worker, [this](const std::uint8_t* bytes, std::size_t length) { return deliver(bytes, length); },
      [this](const std::string& line) { onMessage(line); }, &error);
  ::close(input);  // the worker has its own
  if (!worker_) {
    fail(PAPPL_JREASON_ABORTED_BY_SYSTEM, "the worker did not start: " + error);
    return Attempt::kFailed;
  }
  papplLogJob(job_, PAPPL_LOGLEVEL_INFO, "Worker process %d started.", static_cast<int>(worker_->pid()));
  worker_->setTick([this] { tick(); });
  tick();
  const WorkerOutcome outcome = worker_->finish();
  const std::uint64_t given = worker_->bytesOut();
  const long peakKb = worker_->peakKb();
  worker_.reset();
  if (queue_.stopping()) return Attempt::kStopped;
  if (lost_) return Attempt::kAgain;
  if (papplJobIsCanceled(job_)) {
    if (link_ != nullptr) finishOnLink();
    return Attempt::kStopped;
  }
  if (outcome.end == WorkerEnd::kPrinted) {
    const Attempt end = link_ != nullptr ? finishOnLink() : finishOnDevice(given, before);
    if (end == Attempt::kPrinted)
      papplLogJob(job_, PAPPL_LOGLEVEL_INFO, "Printed: %u pages, %llu bytes, all taken by the printer; worker "
                                             "peak memory %ld KB.",
                  pages_, static_cast<unsigned long long>(given), peakKb);
    return end;
  }
  if (link_ != nullptr) link_->abandon();
  if (refusedDocument(outcome)) {
    fail(PAPPL_JREASON_DOCUMENT_FORMAT_ERROR, outcome.why);
  } else if (deviceFailed_) {
    finishOnDevice(given, before);
  } else {
    fail(PAPPL_JREASON_ABORTED_BY_SYSTEM, outcome.why + ".");
  }
  return Attempt::kFailed;
}

bool JobRun::run() {
  const char* owner = papplJobGetUsername(job_);
  paper_ = PaperLog::open(papplPrinterGetID(printer_), papplJobGetID(job_), owner != nullptr ? owner : "");
  const bool printed = runAttempts();
  if (paper_) paper_->finish(printed);
  return printed;
}

bool JobRun::runAttempts() {
  WorkerJobOptions options;
  std::string why;
  if (!workerJobOptions(job_, &options, &why)) return fail(PAPPL_JREASON_DOCUMENT_FORMAT_ERROR, "bad value: " + why);
  const int starts = queue_.noteStart(job_);
  if (starts > 1)
    papplLogJob(job_, PAPPL_LOGLEVEL_INFO, "Printing again from its start (start %d): it was interrupted before.",
                starts);
  int pauseMs = kFirstRetryPauseMs;
  for (int attempt = 1;; ++attempt) {
    switch (printOnce(options)) {
      case Attempt::kPrinted:
        queue_.notePrinted(job_);
        papplJobSetImpressions(job_, static_cast<int>(pages_));
        papplJobSetMessage(job_, starts > 1 || attempt > 1
                                     ? "Printed again from its start: it was interrupted before."
                                     : "Printed.");
        return true;
      case Attempt::kStopped:
        return endStopped();
      case Attempt::kFailed:
        return false;
      case Attempt::kAgain:
        papplLogJob(job_, PAPPL_LOGLEVEL_WARN,
                    "The printer went away during the job (attempt %d); it prints again from its start once the "
                    "printer is back.",
                    attempt);
        papplJobSetMessage(job_, "The printer went away; the job prints again from its start once it is back.");
        link_->abandon();
        // A printer that takes each connection and drops it is not asked
        // again at once: the pause grows as for one that cannot be reached.
        setPrinterReasons(PAPPL_PREASON_OFFLINE, PAPPL_PREASON_OTHER);
        if (!pause(pauseMs)) return endStopped();
        pauseMs = std::min(pauseMs * 2, SocketLink::kLongestRetryMs);
        break;
    }
  }
}

}  // namespace

void configureJobRunner(WorkerConfig value, JobQueue* queue) {
  config() = std::move(value);
  runnerQueue = queue;
}

const WorkerConfig& workerConfig() { return config(); }

bool printJob(pappl_job_t* job, pappl_device_t* device, void* /*data*/) {
  try {
    if (runnerQueue == nullptr) return false;
    JobRun run(job, device, *runnerQueue);
    return run.run();
  } catch (const std::exception& e) {
    papplLogJob(job, PAPPL_LOGLEVEL_ERROR, "The job failed: %s", e.what());
  } catch (...) {
    papplLogJob(job, PAPPL_LOGLEVEL_ERROR, "The job failed.");
  }
  papplJobSetReasons(job, PAPPL_JREASON_ABORTED_BY_SYSTEM, PAPPL_JREASON_NONE);
  return false;
}

}  // namespace app
