#include "app/worker.h"

#include <dirent.h>
#include <fcntl.h>
#include <grp.h>
#include <linux/audit.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <iterator>
#include <cstdlib>
#include <cstring>
#include <utility>

#include "app/steady_clock.h"

namespace app {
namespace {

constexpr std::size_t kReadChunk = 64 * 1024;
constexpr int kReapAfterEndMs = 5000;            // an exit that takes longer is a hang
constexpr const char* kSafePath = "PATH=/usr/bin:/bin";
constexpr const char* kPlainLanguage = "LANG=C";
constexpr const char* kGroupedOutput = "QMX415U_OUTPUT=groups";
constexpr int kCannotRun = 127;

// What a worker never needs and a worker taken over by a hostile document
// would want: a socket (the server's own local socket, the network) and
// another process's memory. Those calls fail with EPERM; all else runs.
// A sanitizer build's worker keeps ptrace: LeakSanitizer stops the
// process's threads with it at exit.
#if defined(__SANITIZE_ADDRESS__)
#define QMX_WORKER_NEEDS_PTRACE
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define QMX_WORKER_NEEDS_PTRACE
#endif
#endif
#if defined(__x86_64__)
constexpr std::uint32_t kAuditArch = AUDIT_ARCH_X86_64;
#elif defined(__aarch64__)
constexpr std::uint32_t kAuditArch = AUDIT_ARCH_AARCH64;
#elif defined(__i386__)
constexpr std::uint32_t kAuditArch = AUDIT_ARCH_I386;
#else
#define QMX_NO_WORKER_SECCOMP
#endif

#ifndef QMX_NO_WORKER_SECCOMP
constexpr sock_filter kDenyRule(std::uint32_t call, std::uint8_t next) {
  return BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, call, next, 0);
}
const sock_filter kWorkerFilter[] = {
    BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, arch)),
    BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, kAuditArch, 1, 0),
    BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_KILL_PROCESS),  // a call of another architecture
    BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
    kDenyRule(SYS_socket, 4),
#ifdef QMX_WORKER_NEEDS_PTRACE
    kDenyRule(SYS_socket, 3),  // the same rule again: the jumps keep their length
#else
    kDenyRule(SYS_ptrace, 3),
#endif
    kDenyRule(SYS_process_vm_readv, 2),
    kDenyRule(SYS_process_vm_writev, 1),
    BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
    BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | EPERM),
};
#endif

bool confineWorker() {
#ifndef QMX_NO_WORKER_SECCOMP
  sock_fprog program{static_cast<unsigned short>(std::size(kWorkerFilter)), const_cast<sock_filter*>(kWorkerFilter)};
  return prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &program, 0, 0) == 0;
#else
  return true;
#endif
}

// Removes a folder and everything in it without following a link anywhere:
// what a worker leaves is the worker's, and may point elsewhere.
void removeEntries(int dirFd) {
  DIR* dir = fdopendir(dirFd);
  if (dir == nullptr) {
    close(dirFd);
    return;
  }
  while (dirent* entry = readdir(dir)) {
    const char* name = entry->d_name;
    if (std::strcmp(name, ".") == 0 || std::strcmp(name, "..") == 0) continue;
    if (unlinkat(dirfd(dir), name, 0) == 0) continue;
    const int child = openat(dirfd(dir), name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (child < 0) continue;
    removeEntries(child);
    unlinkat(dirfd(dir), name, AT_REMOVEDIR);
  }
  closedir(dir);
}

void removeFolder(const std::string& path) {
  if (path.empty()) return;
  const int fd = open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (fd >= 0) removeEntries(fd);
  rmdir(path.c_str());
}

constexpr const char* kFolderPrefix = "qmx415u-worker-";

std::string makeFolder(const std::string& parent, const std::optional<RunAs>& runAs, std::string* error) {
  // Named after the server, so that what a server leaves can be told apart.
  std::string path = parent + "/" + kFolderPrefix + std::to_string(getpid()) + ".XXXXXX";
  if (mkdtemp(path.data()) == nullptr) {
    *error = "cannot make a folder for the worker in " + parent + ": " + std::strerror(errno);
    return "";
  }
  if (runAs && chown(path.c_str(), runAs->uid, runAs->gid) != 0) {
    *error = "cannot hand the worker's folder to " + runAs->name + ": " + std::strerror(errno);
    rmdir(path.c_str());
    return "";
  }
  return path;
}

struct Pipe {
  int read = -1;
  int write = -1;
};

bool makePipe(Pipe* p) {
  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0) return false;
  p->read = fds[0];
  p->write = fds[1];
  return true;
}

void closePipe(Pipe& p) {
  if (p.read >= 0) close(p.read);
  if (p.write >= 0) close(p.write);
  p = Pipe{};
}

// Everything the child needs, made before fork: after it, in a process with
// other threads, only async-signal-safe calls are allowed.
struct ChildPlan {
  std::vector<std::string> argStore, envStore;
  std::vector<char*> argv, envp;
  const char* program = nullptr;
  const char* folder = nullptr;
  std::optional<RunAs> runAs;
  int input = -1;  // the descriptor for stdin
  WorkerLimits limits;
  pid_t parent = 0;
  int maxFd = 1024;
};

[[noreturn]] void sayAndExit(const char* text) {
  const ssize_t ignored = write(STDERR_FILENO, text, std::strlen(text));
  (void)ignored;
  _exit(kCannotRun);
}

void closeFrom(int first, int maxFd) {
#ifdef SYS_close_range
  if (syscall(SYS_close_range, first, ~0u, 0) == 0) return;
#endif
  for (int fd = first; fd < maxFd; ++fd) close(fd);
}

bool limitWorker(const WorkerLimits& limits) {
  if (limits.addressSpaceBytes != 0) {
    const rlimit space{limits.addressSpaceBytes, limits.addressSpaceBytes};
    if (setrlimit(RLIMIT_AS, &space) != 0) return false;
  }
  if (limits.processorSeconds != 0) {
    // The soft limit sends SIGXCPU (a crash to the server); the hard one a
    // second later, SIGKILL, for a worker that catches the first.
    const rlimit time{limits.processorSeconds, limits.processorSeconds + 1};
    if (setrlimit(RLIMIT_CPU, &time) != 0) return false;
  }
  return true;
}

[[noreturn]] void runChild(const ChildPlan& plan, const Pipe& out, const Pipe& err) {
  if (dup2(plan.input, STDIN_FILENO) < 0 || dup2(out.write, STDOUT_FILENO) < 0 || dup2(err.write, STDERR_FILENO) < 0)
    _exit(kCannotRun);
  closeFrom(STDERR_FILENO + 1, plan.maxFd);
  sigset_t none;
  sigemptyset(&none);
  sigprocmask(SIG_SETMASK, &none, nullptr);
  struct sigaction standard {};
  standard.sa_handler = SIG_DFL;
  for (int s : {SIGPIPE, SIGTERM, SIGINT, SIGHUP, SIGCHLD}) sigaction(s, &standard, nullptr);
  if (chdir(plan.folder) != 0) sayAndExit("ERROR: the worker cannot enter its folder\n");
  if (plan.runAs) {
    const gid_t gid = plan.runAs->gid;
    if (setgroups(1, &gid) != 0 || setgid(gid) != 0 || setuid(plan.runAs->uid) != 0 || setuid(0) == 0)
      sayAndExit("ERROR: the worker cannot drop its privileges\n");
  }
  if (!limitWorker(plan.limits)) sayAndExit("ERROR: the worker's limits cannot be set\n");
  if (prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0 || !confineWorker())
    sayAndExit("ERROR: the worker cannot be confined\n");
  prctl(PR_SET_PDEATHSIG, SIGKILL, 0, 0, 0);
  if (getppid() != plan.parent) _exit(kCannotRun);  // the server went before the line above
  execve(plan.program, plan.argv.data(), plan.envp.data());
  sayAndExit("ERROR: the worker program cannot be run\n");
}

ChildPlan planChild(const WorkerSetup& setup, const std::string& folder) {
  ChildPlan plan;
  plan.argStore.push_back(setup.program);
  plan.argStore.insert(plan.argStore.end(), setup.arguments.begin(), setup.arguments.end());
  plan.envStore = {"TMPDIR=" + folder, kSafePath, kPlainLanguage, kGroupedOutput};
  plan.envStore.insert(plan.envStore.end(), setup.environment.begin(), setup.environment.end());
  for (std::string& s : plan.argStore) plan.argv.push_back(s.data());
  plan.argv.push_back(nullptr);
  for (std::string& s : plan.envStore) plan.envp.push_back(s.data());
  plan.envp.push_back(nullptr);
  plan.program = setup.program.c_str();
  plan.runAs = setup.runAs;
  plan.input = setup.input;  // /dev/null when -1: Worker::start fills it in
  plan.limits = setup.limits;
  plan.parent = getpid();
  const long most = sysconf(_SC_OPEN_MAX);
  plan.maxFd = most > 0 && most < (1 << 20) ? static_cast<int>(most) : 1024;
  return plan;
}

}  // namespace

std::unique_ptr<Worker> Worker::start(const WorkerSetup& setup, Output output, Message message,
                                      std::string* error) {
  std::unique_ptr<Worker> worker(new Worker());
  worker->deliver_ = std::move(output);
  worker->message_ = std::move(message);
  worker->idleTimeoutMs_ = setup.idleTimeoutMs;
  worker->folder_ = makeFolder(setup.folderParent, setup.runAs, error);
  if (worker->folder_.empty()) return nullptr;

  ChildPlan plan = planChild(setup, worker->folder_);
  plan.folder = worker->folder_.c_str();
  const int nothing = setup.input < 0 ? open("/dev/null", O_RDONLY | O_CLOEXEC) : -1;
  if (setup.input < 0) plan.input = nothing;
  Pipe out, err;
  if (plan.input < 0 || !makePipe(&out) || !makePipe(&err)) {
    *error = std::string("cannot make the worker's pipes: ") + std::strerror(errno);
    if (nothing >= 0) close(nothing);
    closePipe(out);
    closePipe(err);
    return nullptr;  // the destructor removes the folder
  }
  const pid_t pid = fork();
  if (pid == 0) runChild(plan, out, err);
  const int forkErrno = errno;
  if (nothing >= 0) close(nothing);
  close(out.write);
  close(err.write);
  if (pid < 0) {
    *error = std::string("cannot start the worker: ") + std::strerror(forkErrno);
    close(out.read);
    close(err.read);
    return nullptr;
  }
  worker->pid_ = pid;
  worker->output_ = out.read;
  worker->messages_ = err.read;
  return worker;
}

Worker::~Worker() {
  if (pid_ > 0 && !reaped_) {
    kill(pid_, SIGKILL);
    reap(-1);
  }
  closeFd(output_);
  closeFd(messages_);
  removeFolder(folder_);
}

void Worker::closeFd(int& fd) {
  if (fd >= 0) close(fd);
  fd = -1;
}

void Worker::stop(int signal) {
  if (pid_ > 0 && !reaped_) kill(pid_, signal);
}

void Worker::cancel() {
  if (canceled_) return;
  canceled_ = true;
  stop(SIGTERM);
}

// One wait for the worker: its output or messages read. False when
// nothing can go on: it hung, or the device failed.
bool Worker::waitOnce() {
  pollfd fds[2];
  nfds_t count = 0;
  const int outputAt = output_ >= 0 ? static_cast<int>(count) : -1;
  if (outputAt >= 0) fds[count++] = {output_, POLLIN, 0};
  const int messagesAt = messages_ >= 0 ? static_cast<int>(count) : -1;
  if (messagesAt >= 0) fds[count++] = {messages_, POLLIN, 0};
  if (count == 0) return false;
  if (lastLifeMs_ == 0) lastLifeMs_ = steadyNowMs();
  const int waitMs = tick_ ? std::min(kTickMs, idleTimeoutMs_) : idleTimeoutMs_;
  const int ready = poll(fds, count, waitMs);
  if (ready < 0) return errno == EINTR;
  if (ready == 0) {
    if (tick_) tick_();
    if (steadyNowMs() - lastLifeMs_ < idleTimeoutMs_) return true;
    hung_ = true;
    stop(SIGKILL);
    return false;
  }
  lastLifeMs_ = steadyNowMs();
  if (outputAt >= 0 && fds[outputAt].revents != 0) readOutput();
  if (messagesAt >= 0 && fds[messagesAt].revents != 0) readMessages();
  if (tick_) tick_();
  return !outputFailed_;
}

void Worker::readOutput() {
  readBuffer_.resize(kReadChunk);
  std::uint8_t* buffer = readBuffer_.data();
  const ssize_t n = read(output_, buffer, readBuffer_.size());
  if (n < 0 && (errno == EINTR || errno == EAGAIN)) return;
  if (n <= 0) {
    closeFd(output_);
    return;
  }
  if (!frames_.add(buffer, static_cast<std::size_t>(n))) {
    stop(SIGKILL);
    closeFd(output_);
    return;
  }
  std::vector<std::uint8_t> group;
  while (frames_.next(&group)) {
    if (!deliver_(group.data(), group.size())) {
      outputFailed_ = true;
      stop(SIGKILL);  // nothing more can reach the device
      closeFd(output_);
      return;
    }
    bytesOut_ += group.size();
  }
  lastLifeMs_ = steadyNowMs();  // time the device took is not the worker's silence
}

void Worker::readMessages() {
  char buffer[4096];
  const ssize_t n = read(messages_, buffer, sizeof buffer);
  if (n < 0 && (errno == EINTR || errno == EAGAIN)) return;
  if (n <= 0) {
    closeFd(messages_);
    if (!partialMessage_.empty()) deliverMessage(std::move(partialMessage_));
    partialMessage_.clear();
    return;
  }
  for (ssize_t i = 0; i < n; ++i) {
    if (buffer[i] == '\n') {
      deliverMessage(std::move(partialMessage_));
      partialMessage_.clear();
    } else if (partialMessage_.size() < kLongestMessage) {
      partialMessage_ += buffer[i];
    }
  }
}

void Worker::deliverMessage(std::string line) {
  for (char& c : line) {
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) c = ' ';
  }
  if (line.rfind("ERROR: ", 0) == 0) lastError_ = line.substr(7);
  if (message_) message_(line);
}

// Waits for the worker to exit, up to `timeoutMs` (-1: as long as it takes).
bool Worker::reap(int timeoutMs) {
  const long long deadline = steadyNowMs() + timeoutMs;
  for (;;) {
    struct rusage usage {};
    const pid_t done = wait4(pid_, &status_, timeoutMs < 0 ? 0 : WNOHANG, &usage);
    if (done == pid_) {
      reaped_ = true;
      peakKb_ = usage.ru_maxrss;
      return true;
    }
    if (done < 0 && errno != EINTR) {
      reaped_ = true;  // reaped elsewhere: how it ended is not known
      statusKnown_ = false;
      return true;
    }
    if (timeoutMs >= 0 && steadyNowMs() >= deadline) return false;
    if (done == 0) usleep(1000);
  }
}

WorkerOutcome Worker::finish() {
  while ((output_ >= 0 || messages_ >= 0) && waitOnce()) {
  }
  if (!reap(kReapAfterEndMs)) {
    hung_ = true;
    stop(SIGKILL);
    reap(-1);
  }
  closeFd(output_);
  closeFd(messages_);
  removeFolder(folder_);
  folder_.clear();
  return outcome();
}

WorkerOutcome Worker::outcome() const {
  const std::string pid = std::to_string(pid_);
  if (outputFailed_) return {WorkerEnd::kOutputFailed, "the printer stopped taking bytes"};
  if (hung_)
    return {WorkerEnd::kHung, "the worker (process " + pid + ") gave no sign of life for " +
                                  std::to_string(idleTimeoutMs_ / 1000) + " s and was stopped"};
  if (frames_.broken()) return {WorkerEnd::kBroken, "the worker's output was not command groups"};
  if (!statusKnown_) return {WorkerEnd::kBroken, "how the worker (process " + pid + ") ended is not known"};
  if (WIFSIGNALED(status_)) {
    const int signal = WTERMSIG(status_);
    return {WorkerEnd::kCrashed, "the worker (process " + pid + ") was ended by signal " + std::to_string(signal) +
                                     " (" + strsignal(signal) + ")"};
  }
  const int code = WIFEXITED(status_) ? WEXITSTATUS(status_) : -1;
  if (code != 0) {
    std::string why = lastError_.empty() ? "the worker failed (exit status " + std::to_string(code) + ")"
                                         : lastError_;
    if (code == kCannotRun && lastError_.empty()) why = "the worker program could not be run";
    return {WorkerEnd::kFailed, why, code};
  }
  if (frames_.pending() != 0) return {WorkerEnd::kBroken, "the worker's output ended inside a command group"};
  return {};
}

void sweepWorkerFolders(const std::string& parent) {
  DIR* dir = opendir(parent.c_str());
  if (dir == nullptr) return;
  std::vector<std::string> gone;
  while (dirent* entry = readdir(dir)) {
    const std::string name = entry->d_name;
    if (name.rfind(kFolderPrefix, 0) != 0) continue;
    const long server = std::strtol(name.c_str() + std::strlen(kFolderPrefix), nullptr, 10);
    if (server <= 0 || server == getpid()) continue;
    if (kill(static_cast<pid_t>(server), 0) != 0 && errno == ESRCH) gone.push_back(parent + "/" + name);
  }
  closedir(dir);
  for (const std::string& folder : gone) removeFolder(folder);
}

}  // namespace app
