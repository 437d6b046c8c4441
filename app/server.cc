#include "app/server.h"

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <string>
#include <utility>

#include "app/admin_auth.h"
#include "app/announce.h"
#include "app/driver.h"
#include "app/events.h"
#include "app/file_device.h"
#include "app/ipp_options.h"
#include "app/local_socket.h"

namespace app {
namespace {

constexpr const char* kServerCommand = "server";
#ifndef QMX_INSTALLED_FILTER
#define QMX_INSTALLED_FILTER "/usr/lib/cups/filter/rastertoqmx415u"
#endif
constexpr const char* kFilterName = "rastertoqmx415u";
// A worker of a server run as root owns nothing: not the service's files, nor
// its socket.
constexpr const char* kDefaultWorkerUser = "nobody";
constexpr int kDefaultWorkerTimeout = 60;  // seconds
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

constexpr long kQuietMs = 250;  // no job for this long: a quiet moment
constexpr int kSaveCheckSeconds = 1;
std::atomic<bool> savePending{false};

// PAPPL 1.3 takes its system and printer locks in opposite orders when it
// saves its state and when a raster job streams in, and the two can
// deadlock under load; the state is therefore saved when no job has run
// for a moment, a timer catching up within a second on a save put off.
// (A change made while jobs run and followed by a shutdown within that
// second is not kept: PAPPL calls the callback once per change.)
bool saveState(pappl_system_t* system, void* /*context*/) {
  const bool stopping = papplSystemIsShutdown(system) || !papplSystemIsRunning(system);
  if (app::jobsRecently(kQuietMs) && !stopping) {
    savePending = true;
    return true;
  }
  savePending = false;
  return papplSystemSaveState(system, stateFile().c_str());
}

bool savePutOffState(pappl_system_t* system, void* context) {
  if (savePending && !app::jobsRecently(kQuietMs)) saveState(system, context);
  return true;  // keep the timer
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

// The raster filter beside this program (a build tree), else the installed one.
std::string workerProgram() {
  char self[4096];
  const ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
  if (n > 0) {
    std::string path(self, static_cast<std::size_t>(n));
    path = path.substr(0, path.rfind('/') + 1) + kFilterName;
    if (access(path.c_str(), X_OK) == 0) return path;
  }
  return QMX_INSTALLED_FILTER;
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
bool configureWorkers(int count, cups_option_t* options) {
  app::WorkerConfig config;
  config.program = workerProgram();
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
  app::configureWorkers(std::move(config));
  return true;
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
  return app::fillDriverData(system, driverName, deviceUri, deviceId, data, attrs, context);
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
  if (!configureWorkers(count, options)) return nullptr;
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
  keepToOwner(logFile, kOwnerOnlyFile);

  pappl_soptions_t soptions = PAPPL_SOPTIONS_MULTI_QUEUE | PAPPL_SOPTIONS_WEB_INTERFACE | PAPPL_SOPTIONS_WEB_LOG |
                              PAPPL_SOPTIONS_WEB_SECURITY | PAPPL_SOPTIONS_WEB_TLS;
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
  app::addFileDeviceScheme();
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
  papplSystemSetPrinterDrivers(system, app::driverCount(), app::drivers(), nullptr, nullptr, fillCheckedDriverData,
                               nullptr);
  papplSystemLoadState(system, stateFile().c_str());
  app::setAdminPolicy(system, &policy, option(count, options, "admin-group", ""));
  announceNewPrinters(system);  // before installEvents: it adds a handler
  installEvents(system);
  papplSystemSetSaveCallback(system, saveState, nullptr);
  papplSystemAddTimerCallback(system, 0, kSaveCheckSeconds, savePutOffState, nullptr);
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
