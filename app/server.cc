#include "app/server.h"

#include <dirent.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <string>
#include <utility>
#include <vector>

#include "app/admin_auth.h"
#include "app/app_paths.h"
#include "app/announce.h"
#include "app/driver.h"
#include "app/events.h"
#include "app/file_device.h"
#include "app/job_queue.h"
#include "app/job_runner.h"
#include "app/socket_device.h"
#include "app/state_file.h"
#include "app/vendor_ops.h"
#include "app/ipp_options.h"
#include "app/local_socket.h"
#include "app/test_page.h"
#include "app/web_interface.h"
#include "app/web_pages.h"

namespace app {
namespace {

constexpr const char* kServerCommand = "server";
#ifndef QMX_INSTALLED_WORKER
#define QMX_INSTALLED_WORKER "/usr/lib/qmx415u/qmx415u-app-worker"
#endif
constexpr const char* kWorkerName = "qmx415u-app-worker";
// A worker of a server run as root owns nothing: not the service's files, nor
// its socket.
constexpr const char* kDefaultWorkerUser = "nobody";
constexpr int kDefaultWorkerTimeout = 60;  // seconds
constexpr int kDefaultUploadTimeout = 30;  // seconds
// What a worker may use: far above what a receipt needs (about 10 MB), far
// below what would starve the machine.
constexpr std::uint64_t kWorkerAddressSpace = std::uint64_t{1} << 30;
constexpr std::uint32_t kWorkerProcessorSeconds = 120;
// What a worker may read from the server's environment: the plug-in's own
// settings and the sanitizers' of a test build.
constexpr const char* kWorkerEnvironment[] = {"QMX415U_PLUGIN", "QMX415U_DEBUG", "QMX415U_INI_DIR",
                                              "ASAN_OPTIONS",   "UBSAN_OPTIONS", "LSAN_OPTIONS"};
constexpr mode_t kServerUmask = 077;
constexpr mode_t kOwnerOnlyFile = 0600;
constexpr mode_t kOwnerOnlyFolder = 0700;
constexpr uid_t kNobody = 65534;  // the kernel's overflow uid and gid: nobody, nogroup

std::string option(int count, cups_option_t* options, const char* name, const std::string& fallback) {
  const char* value = cupsGetOption(name, count, options);
  return value != nullptr && *value != '\0' ? std::string(value) : fallback;
}

bool isTrue(const std::string& text) { return text == "true" || text == "yes" || text == "on" || text == "1"; }

std::string tempDir() {
  const char* dir = std::getenv("TMPDIR");
  return dir != nullptr && *dir != '\0' ? dir : "/tmp";
}

std::string defaultStateFile() {
  const std::string& base = programName();
  if (getuid() == 0) return "/var/lib/" + base + ".state";
  if (const char* config = std::getenv("XDG_CONFIG_HOME"); config != nullptr && *config != '\0')
    return std::string(config) + "/" + base + ".state";
  if (const char* home = std::getenv("HOME"); home != nullptr && *home != '\0')
    return std::string(home) + "/.config/" + base + ".state";
  return tempDir() + "/" + base + std::to_string(getuid()) + ".state";
}

std::string defaultSpoolDir() {
  if (getuid() == 0) return "/var/spool/" + programName();
  return tempDir() + "/" + programName() + std::to_string(getuid()) + ".d";
}

pappl_loglevel_t logLevel(const std::string& name) {
  if (name == "debug") return PAPPL_LOGLEVEL_DEBUG;
  if (name == "warn") return PAPPL_LOGLEVEL_WARN;
  if (name == "error") return PAPPL_LOGLEVEL_ERROR;
  if (name == "fatal") return PAPPL_LOGLEVEL_FATAL;
  return PAPPL_LOGLEVEL_INFO;
}

// The state file's name, for the save callback; lives as long as the process.
std::string& stateFile() {
  static std::string file;
  return file;
}

// PAPPL 1.3's papplSystemSetHostName also writes /etc/hostname and
// renames the machine when it can: a server run by root names itself
// with root's rights put aside for the call, so only its URIs change (its
// mDNS renaming is refused in app/announce.h).
bool setServerName(pappl_system_t* system, const std::string& name) {
  const bool root = geteuid() == 0;
  const gid_t group = getegid();
  if (root && (setegid(kNobody) != 0 || seteuid(kNobody) != 0)) return false;
  papplSystemSetHostName(system, name.c_str());
  return !root || (seteuid(0) == 0 && setegid(group) == 0);
}

// What an earlier version left readable by others (the state file holds
// the web password hash PAPPL may save) becomes the owner's alone.
void keepToOwner(const std::string& path, mode_t mode) {
  struct stat st {};
  if (lstat(path.c_str(), &st) != 0 || st.st_uid != geteuid()) return;
  if ((S_ISREG(st.st_mode) || S_ISDIR(st.st_mode)) && (st.st_mode & ~mode & 0777) != 0) chmod(path.c_str(), mode);
}


bool lookUpUser(const std::string& name, app::RunAs* user) {
  struct passwd entry {};
  struct passwd* found = nullptr;
  char buffer[4096];
  if (getpwnam_r(name.c_str(), &entry, buffer, sizeof buffer, &found) != 0 || found == nullptr) return false;
  user->uid = found->pw_uid;
  user->gid = found->pw_gid;
  user->name = name;
  return true;
}

// Whether every folder on the way to `path` lets any user through.
bool searchableByAll(const std::string& path) {
  std::string prefix;
  std::size_t at = 0;
  do {
    at = path.find('/', at + 1);
    prefix = path.substr(0, at);
    struct stat st {};
    if (!prefix.empty() && (stat(prefix.c_str(), &st) != 0 || (st.st_mode & S_IXOTH) == 0)) return false;
  } while (at != std::string::npos);
  return true;
}

// Workers run without the server's privileges: as root the server hands
// them to an unprivileged user.
bool configureWorkers(int count, cups_option_t* options, WorkerConfig* out) {
  WorkerConfig& config = *out;
  config.program = programBesideThis(kWorkerName, QMX_INSTALLED_WORKER);
  if (access(config.program.c_str(), X_OK) != 0) {
    std::fprintf(stderr, "%s: cannot run the job worker %s\n", kProgram, config.program.c_str());
    return false;
  }
  if (geteuid() == 0) {
    const std::string chosen = option(count, options, "worker-user", kDefaultWorkerUser);
    app::RunAs user;
    if (!lookUpUser(chosen, &user) || user.uid == 0) {
      std::fprintf(stderr, "%s: no unprivileged user '%s' to run job workers as\n", kProgram, chosen.c_str());
      return false;
    }
    config.runAs = user;
  }
  const std::string timeoutText = option(count, options, "worker-timeout", std::to_string(kDefaultWorkerTimeout));
  const int timeout = std::atoi(timeoutText.c_str());
  if (timeout <= 0 || timeout > 24 * 3600) {
    std::fprintf(stderr, "%s: bad worker-timeout '%s'\n", kProgram, timeoutText.c_str());
    return false;
  }
  config.idleTimeoutMs = timeout * 1000;
  // A worker that runs as another user must reach its folder.
  config.folderParent = tempDir();
  if (config.runAs && !searchableByAll(config.folderParent)) config.folderParent = "/tmp";
  for (const char* name : kWorkerEnvironment) {
    if (const char* value = std::getenv(name)) config.environment.push_back(std::string(name) + "=" + value);
  }
  // A document that makes the worker grow or spin ends its job; sanitizer
  // builds reserve terabytes of address space and run slowly.
#if !defined(__SANITIZE_ADDRESS__)
  config.limits.addressSpaceBytes = kWorkerAddressSpace;
#endif
  config.limits.processorSeconds = kWorkerProcessorSeconds;
  return true;
}

// The job queue and its journal; lives as long as the process.
JobQueue& jobQueue() {
  static JobQueue queue;
  return queue;
}


// Positive whole seconds up to a day, or -1.
int secondsOption(int count, cups_option_t* options, const char* name, int fallback) {
  const std::string text = option(count, options, name, std::to_string(fallback));
  char* end = nullptr;
  const long value = std::strtol(text.c_str(), &end, 10);
  if (end == text.c_str() || *end != '\0' || value <= 0 || value > 24 * 3600) {
    std::fprintf(stderr, "%s: bad %s '%s'\n", kProgram, name, text.c_str());
    return -1;
  }
  return static_cast<int>(value);
}

// ---- Stopping ---------------------------------------------------------------
// PAPPL 1.3 ends its main loop on shutdown or SIGTERM only once no job is
// active, or after 60 s: with jobs queued behind an offline printer, a
// minute. The queue ends its jobs at once instead (keeping them in the
// journal), noticed within a second by a timer; PAPPL's SIGTERM handler,
// installed when the server starts running, is chained behind one that
// only notes the signal.

volatile std::sig_atomic_t stopSignalled = 0;
struct sigaction papplsTermAction {}, papplsIntAction {};

extern "C" void onStopSignal(int signal) {
  stopSignalled = 1;
  const struct sigaction& chained = signal == SIGINT ? papplsIntAction : papplsTermAction;
  if (chained.sa_handler != SIG_DFL && chained.sa_handler != SIG_IGN && chained.sa_handler != nullptr)
    chained.sa_handler(signal);
}

void chainStopSignals() {
  struct sigaction action {};
  action.sa_handler = onStopSignal;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;
  sigaction(SIGTERM, &action, &papplsTermAction);
  sigaction(SIGINT, &action, &papplsIntAction);
}

constexpr int kCleanJobsEverySeconds = 10;

// Once a second while the server runs.
bool everySecond(pappl_system_t* system, void* /*data*/) {
  static bool started = false;
  static int ticks = 0;
  if (!started) {
    started = true;
    chainStopSignals();
  }
  JobQueue& queue = jobQueue();
  if (stopSignalled != 0 || papplSystemIsShutdown(system)) {
    papplSystemShutdown(system);
    queue.stop();
    return true;
  }
  queue.startWaiting();
  // PAPPL trims the job history only 60 s after a job ends, and not again
  // until another job ends: trimmed here, whatever comes next.
  if (++ticks % kCleanJobsEverySeconds == 0) papplSystemCleanJobs(system);
  return true;
}

// PAPPL's own job files in the spool folder: every document lives in the
// job queue's journal, so whatever PAPPL left there (a document or its
// attributes, from a server killed while it wrote) belongs to no job.
void sweepSpool(const std::string& folder) {
  DIR* dir = opendir(folder.c_str());
  if (dir == nullptr) return;
  std::vector<std::string> files;
  while (dirent* entry = readdir(dir)) {
    int printer = 0, job = 0, length = 0;
    if (std::sscanf(entry->d_name, "p%5dj%9d-%n", &printer, &job, &length) == 2 && length > 0)
      files.push_back(folder + "/" + entry->d_name);
  }
  closedir(dir);
  for (const std::string& file : files) unlink(file.c_str());
}

// Lives as long as the process: PAPPL's authentication callback reads it.
app::AdminPolicy& adminPolicy() {
  static app::AdminPolicy policy;
  return policy;
}

}  // namespace

std::string& programName() {
  static std::string name = kProgram;
  return name;
}

// Printers are set up only on devices the app allows (app/file_device.h):
// PAPPL creates a printer on whatever URI Create-Printer or the web page
// names, and reads the saved state through the same path.
bool fillCheckedDriverData(pappl_system_t* system, const char* driverName, const char* deviceUri,
                           const char* deviceId, pappl_pr_driver_data_t* data, ipp_t** attrs, void* context) {
  try {
    std::string why;
    if (!app::deviceUriAllowed(deviceUri, &why)) {
      papplLog(system, PAPPL_LOGLEVEL_ERROR, "Refused device: %s", why.c_str());
      return false;
    }
  } catch (...) {
    return false;
  }
  if (!app::fillDriverData(system, driverName, deviceUri, deviceId, data, attrs, context)) return false;
  data->testpage_cb = app::testPageFile;
  return true;
}

// The server: listeners, drivers, the saved printers, who administers it.
pappl_system_t* createSystem(int count, cups_option_t* options, void* /*context*/) {
  const std::string hostname = option(count, options, "listen-hostname", "localhost");
  const std::string portText = option(count, options, "server-port", std::to_string(kDefaultPort));
  const int port = std::atoi(portText.c_str());
  if (port <= 0 || port > 65535) {
    std::fprintf(stderr, "%s: bad server-port '%s'\n", kProgram, portText.c_str());
    return nullptr;
  }
  WorkerConfig workers;
  if (!configureWorkers(count, options, &workers)) return nullptr;
  const int uploadTimeout = secondsOption(count, options, "upload-timeout", kDefaultUploadTimeout);
  if (uploadTimeout < 0) return nullptr;
  std::string why;
  if (!app::setFileDeviceFolder(option(count, options, "file-device-folder", ""), &why)) {
    std::fprintf(stderr, "%s: %s\n", kProgram, why.c_str());
    return nullptr;
  }
  const std::string spoolDir = option(count, options, "spool-directory", defaultSpoolDir());
  const std::string logFile = option(count, options, "log-file", "-");
  stateFile() = option(count, options, "state-file", defaultStateFile());
  keepToOwner(stateFile(), kOwnerOnlyFile);
  keepToOwner(spoolDir, kOwnerOnlyFolder);
  // What a server that is gone left, swept before this one listens.
  sweepSpool(spoolDir);
  sweepWorkerFolders(workers.folderParent);
  keepToOwner(logFile, kOwnerOnlyFile);

  pappl_soptions_t soptions = PAPPL_SOPTIONS_MULTI_QUEUE | PAPPL_SOPTIONS_WEB_INTERFACE | PAPPL_SOPTIONS_WEB_LOG |
                              PAPPL_SOPTIONS_WEB_SECURITY;
  // PAPPL 1.3's TLS pages write the certificate and key they make or are
  // given into ~/.cups/ssl, and for root into CUPS' own /etc/cups/ssl: a
  // web administrator of a server run by root would replace CUPS' key.
  if (geteuid() != 0) soptions |= PAPPL_SOPTIONS_WEB_TLS;
  app::AdminPolicy& policy = adminPolicy();
  policy.remoteAdmin = isTrue(option(count, options, "remote-admin", "false"));
  if (policy.remoteAdmin) soptions |= PAPPL_SOPTIONS_WEB_REMOTE;
  if (option(count, options, "tls", "true") == "false") soptions |= PAPPL_SOPTIONS_NO_TLS;
  policy.pamService = option(count, options, "auth-service", kProgram);

  pappl_system_t* system = papplSystemCreate(soptions, kProgram, port, "_print,_universal", spoolDir.c_str(),
                                             logFile.c_str(), logLevel(option(count, options, "log-level", "info")),
                                             policy.pamService.c_str(), false);
  if (system == nullptr) {
    std::fprintf(stderr, "%s: cannot create the server\n", kProgram);
    return nullptr;
  }
  addSocketDeviceScheme();
  addFileDeviceScheme();
  // The sub-commands' local socket is added by runServer.
  if (!papplSystemAddListeners(system, hostname == "*" ? nullptr : hostname.c_str())) {
    std::fprintf(stderr, "%s: cannot listen on %s:%d\n", kProgram, hostname.c_str(), port);
    papplSystemDelete(system);
    return nullptr;
  }
  const std::string serverName = option(count, options, "server-name", hostname == "*" ? "" : hostname);
  if (!serverName.empty() && !setServerName(system, serverName)) {
    std::fprintf(stderr, "%s: cannot set the server name safely\n", kProgram);
    papplSystemDelete(system);
    return nullptr;
  }
  papplSystemSetFooterHTML(system, kFooter);
  static const std::string labels = app::englishStrings();
  papplSystemAddStringsData(system, "/en.strings", "en", labels.c_str());
  // The labels stay loaded for the web page. The resource goes: PAPPL 1.3
  // adds printer-strings-languages-supported to a printer's attributes
  // once more at every Get-Printer-Attributes while a strings resource
  // with a language exists, and clients then see the attribute repeated.
  papplSystemRemoveResource(system, "/en.strings");
  // The web page and the command line's own parts (app/web_interface.h).
  const std::string paperLog = option(count, options, "paper-log", app::defaultPaperFolder(stateFile()));
  if (!app::installWebInterface(system, {spoolDir, paperLog == "none" ? "" : paperLog}, &why)) {
    std::fprintf(stderr, "%s: %s\n", kProgram, why.c_str());
    papplSystemDelete(system);
    return nullptr;
  }
  papplSystemSetPrinterDrivers(system, app::driverCount(), app::drivers(), nullptr, app::printerCreated,
                               fillCheckedDriverData, nullptr);
  addFormatFilters(system);
  papplSystemSetMIMECallback(
      system, [](const unsigned char* header, size_t length, void*) { return formatOfContent(header, length); },
      nullptr);
  JobQueue& queue = jobQueue();
  QueueConfig queueConfig;
  queueConfig.folder = option(count, options, "queue-directory", besideStateFile(stateFile(), ".queue"));
  queueConfig.uploadTimeoutSeconds = uploadTimeout;
  if (!queue.open(system, queueConfig, &why)) {
    std::fprintf(stderr, "%s: %s\n", kProgram, why.c_str());
    papplSystemDelete(system);
    return nullptr;
  }
  configureJobRunner(std::move(workers), &queue);
  papplSystemLoadState(system, stateFile().c_str());
  queue.restore();
  app::setAdminPolicy(system, &policy, option(count, options, "admin-group", ""));
  addEventHandler([](pappl_system_t*, pappl_printer_t*, pappl_job_t* job, pappl_event_t event) {
    jobQueue().onJobEvent(job, event);
  });
  announceNewPrinters(system);  // before installEvents: it adds a handler
  installEvents(system);
  papplSystemSetOperationCallback(
      system,
      [](pappl_client_t* client, void*) {
        try {
          // The queue's operation (CUPS-Move-Job), else the app's own (app/vendor_ops.h).
          return jobQueue().handleOperation(client) || handleVendorOperation(client, nullptr);
        } catch (...) {
          papplClientRespondIPP(client, IPP_STATUS_ERROR_INTERNAL, "The operation failed.");
          return true;
        }
      },
      nullptr);
  saveStateInto(system, stateFile(), [](int printerId, int jobId) { return jobQueue().holds(printerId, jobId); });
  papplSystemAddTimerCallback(system, 0, 1, everySecond, nullptr);
  return system;
}

// `server`: the system, its local socket, run until shut down. Files the
// server makes are its user's alone, whatever umask it was started with.
int serve(const char* baseName, int count, cups_option_t* options) {
  umask(kServerUmask);
  pappl_system_t* system = createSystem(count, options, nullptr);
  if (system == nullptr) return 1;
  pappl_version_t version{};
  papplCopyString(version.name, baseName, sizeof version.name);
  papplCopyString(version.sversion, kVersion, sizeof version.sversion);
  papplSystemSetVersions(system, 1, &version);
  const std::string socket = option(count, options, "local-socket", app::defaultLocalSocket(baseName, getuid()));
  std::string why;
  if (!app::addLocalListener(system, socket, app::adminGroupId(system), &why)) {
    std::fprintf(stderr, "%s: %s\n", kProgram, why.c_str());
    papplSystemDelete(system);
    return 1;
  }
  papplSystemRun(system);
  jobQueue().stop();
  jobQueue().waitForJobThreads();
  flushState(system);
  papplSystemDelete(system);
  app::removeLocalSocket(socket);
  return 0;
}

int runServer(const char* baseName, int count, cups_option_t* options, int fileCount, char** /*files*/,
              void* /*context*/) {
  if (fileCount > 0) {
    std::fprintf(stderr, "%s: %s takes no files\n", kProgram, kServerCommand);
    return 1;
  }
  try {
    return serve(baseName, count, options);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "%s: %s\n", kProgram, e.what());
    return 1;
  }
}

}  // namespace app
