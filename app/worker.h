// A job's plug-in work in a process of its own. The plug-in keeps its job
// state module-wide, so a process runs one job at a time; the server runs
// every job in a worker of its own, so that printers print in parallel, a
// stuck device holds only its own job, and a crash or hang in the plug-in
// ends only its job.
//
// The worker (app/document_worker.h states what it is handed) runs as CUPS
// runs a filter:
//
//   argv    PROGRAM job-id user title copies options   (options: Name=Value ...)
//   stdin   the job's document, a file the server opened
//   stdout  the printer's bytes framed by command group (host/group_frames.h;
//           QMX415U_OUTPUT=groups for a program that frames only when
//           asked); only whole groups reach the device, and page-end marks
//           (groups of no bytes) are handed on as such
//   stderr  messages, a line each: PAGE:, INFO:, WARNING:, ERROR:
//   SIGTERM a cancel: the worker ends the job on a whole command, exits 0
//   exit    0 when every page printed; otherwise its ERROR: lines say why
//
// Each worker gets a clean environment (TMPDIR, PATH, LANG and what the
// setup passes on) and a folder of its own as TMPDIR and working folder,
// removed once the worker has been reaped, whatever it left there. When
// the server runs as root the worker runs as an unprivileged user, without
// supplementary groups, with no_new_privs set, and dies with the thread
// that started it. Its address space and processor time are bounded
// (WorkerLimits), so a document that makes it grow or spin ends its job,
// not the machine.
//
// One thread drives a worker; the device callback runs on that thread.
#ifndef QMX_APP_WORKER_H_
#define QMX_APP_WORKER_H_

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "host/group_frames.h"

namespace app {

struct RunAs {
  uid_t uid = 0;
  gid_t gid = 0;
  std::string name;  // for messages
};

struct WorkerLimits {
  std::uint64_t addressSpaceBytes = 0;  // RLIMIT_AS; 0: none (sanitizer builds need room)
  std::uint32_t processorSeconds = 0;   // RLIMIT_CPU; 0: none
};

struct WorkerSetup {
  std::string program;                   // absolute path
  std::vector<std::string> arguments;    // argv[1] on
  std::vector<std::string> environment;  // NAME=VALUE, besides TMPDIR, PATH and LANG
  std::string folderParent;              // where the worker's own folder is made
  std::optional<RunAs> runAs;            // none: the server's own user
  // The worker's stdin: a descriptor the server opened (it stays the
  // server's); -1 for none (/dev/null).
  int input = -1;
  WorkerLimits limits;
  // No sign of life (a byte taken or given, a message) for this long while
  // the server waits on the worker: it is hung, and is killed.
  int idleTimeoutMs = 60000;
};

enum class WorkerEnd {
  kPrinted,       // exit 0, every group copied
  kFailed,        // a non-zero exit: the worker refused the job or failed
  kCrashed,       // ended by a signal the server did not send
  kHung,          // killed after idleTimeoutMs without a sign of life
  kOutputFailed,  // the device refused bytes; the worker was stopped
  kBroken,        // the output was not framed groups, or ended inside one
};

struct WorkerOutcome {
  WorkerEnd end = WorkerEnd::kPrinted;
  std::string why;   // a sentence for the job's log; empty when printed
  int exitCode = 0;  // the worker's own, for kFailed
};

class Worker {
 public:
  // Takes one whole group for the device; false when the device failed.
  using Output = std::function<bool(const std::uint8_t* bytes, std::size_t length)>;
  // One message line of the worker, at most kLongestMessage bytes.
  using Message = std::function<void(const std::string& line)>;
  static constexpr std::size_t kLongestMessage = 1024;

  // Starts the worker; null with *error set when it could not be started
  // (nothing is left behind then).
  static std::unique_ptr<Worker> start(const WorkerSetup& setup, Output output, Message message,
                                       std::string* error);
  // Kills and reaps a worker not yet finished, and removes its folder.
  ~Worker();
  Worker(const Worker&) = delete;
  Worker& operator=(const Worker&) = delete;

  // Asks the worker to stop at the next whole command (SIGTERM), once.
  void cancel();
  // Calls `tick` at least every kTickMs while the server waits on the
  // worker (for its output, messages or exit): where a job's cancel is
  // noticed while the worker computes and says nothing.
  void setTick(std::function<void()> tick) { tick_ = std::move(tick); }
  static constexpr int kTickMs = 200;
  // Copies the rest of the output, reaps the worker and removes its
  // folder. Call once.
  WorkerOutcome finish();

  pid_t pid() const { return pid_; }
  std::uint64_t bytesOut() const { return bytesOut_; }  // reached the device
  long peakKb() const { return peakKb_; }                // the worker's peak memory, once reaped

 private:
  Worker() = default;
  bool waitOnce();
  void readOutput();
  void readMessages();
  void deliverMessage(std::string line);
  void stop(int signal);
  void closeFd(int& fd);
  bool reap(int timeoutMs);
  WorkerOutcome outcome() const;

  pid_t pid_ = -1;
  int output_ = -1;    // its stdout
  int messages_ = -1;  // its stderr
  std::string folder_;
  int idleTimeoutMs_ = 0;
  Output deliver_;
  Message message_;
  host::FrameReader frames_;
  std::string partialMessage_;
  std::string lastError_;  // the worker's last ERROR: line
  std::uint64_t bytesOut_ = 0;
  bool hung_ = false;
  bool outputFailed_ = false;
  bool canceled_ = false;
  bool reaped_ = false;
  int status_ = 0;  // from wait4
  bool statusKnown_ = true;
  std::vector<std::uint8_t> readBuffer_;
  long peakKb_ = 0;
  std::function<void()> tick_;
  long long lastLifeMs_ = 0;  // steady clock: the worker's last sign of life
};

// Removes the folders workers of servers no longer running left in
// `parent` (a server killed mid-job cannot remove its worker's); a running
// server's are left alone. Never follows a link.
void sweepWorkerFolders(const std::string& parent);

}  // namespace app

#endif  // QMX_APP_WORKER_H_
