// qmx415u-app: the printer application. An IPP Everywhere printer for each
// receipt printer it is given (USB, socket://host:port, prnfile:///path), a
// web page to set it up, and PAPPL's standard sub-commands to run and
// drive it.
#include <pappl/pappl.h>
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

#include "app/admin_auth.h"
#include "app/driver.h"
#include "app/file_device.h"
#include "app/ipp_options.h"
#include "app/local_socket.h"
#include "app/service_user.h"
#include "frontend/print_options.h"

namespace {

constexpr const char* kProgram = "qmx415u-app";
constexpr const char* kVersion = "1.0.0";
constexpr const char* kFooter = "qmx415u receipt printer application";
constexpr int kDefaultPort = 8000;
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
constexpr const char* kServerCommand = "server";
// `server` is PAPPL's own sub-command, which would add a local socket
// anyone may administer through; main() hands it to runServer under
// this name.
constexpr const char* kOwnServerCommand = "run-server";
constexpr const char* kOptionsWithValue = "dhjmnotuv";  // papplMainloop's: -d PRINTER, ...
constexpr mode_t kServerUmask = 077;
constexpr mode_t kOwnerOnlyFile = 0600;
constexpr mode_t kOwnerOnlyFolder = 0700;
constexpr uid_t kNobody = 65534;  // the kernel's overflow uid and gid: nobody, nogroup

constexpr const char* kUsage = R"(Usage: qmx415u-app SUB-COMMAND [OPTIONS] [FILENAME]
       qmx415u-app [OPTIONS] FILENAME          (submit FILENAME)

An IPP Everywhere printer application for 576-dot thermal receipt printers:
print from CUPS, phones and any IPP client; set up from a web page.

Sub-commands:
  add PRINTER      Add a printer (-m qmx415u -v DEVICE-URI).
  cancel           Cancel one or more jobs.
  default          Set the default printer.
  delete           Delete a printer.
  devices          List the USB printers found, and those announced by DNS-SD
                   when its daemon runs (-o snmp=true: also ask the local
                   network by SNMP).
  drivers          List the drivers.
  jobs             List the jobs.
  modify           Modify a printer.
  options          List the options of a printer.
  server           Run the server.
  shutdown         Shut the server down.
  status           Show the server or printer status.
  submit           Submit a file for printing.

Options:
  -a               Cancel all jobs (cancel).
  -d PRINTER       Printer to use.
  -j JOB-ID        Job to use (cancel).
  -m DRIVER-NAME   Driver: qmx415u (add/modify).
  -n COPIES        Number of copies (submit).
  -o NAME=VALUE    Option (add, modify, server, submit).
  -u URI           ipp: or ipps: URI of the printer or server.
  -v DEVICE-URI    usb:, socket://HOST:PORT or prnfile:///PATH (add/modify);
                   prnfile:///FOLDER/ writes one file per job; both inside
                   the server's file-device-folder.
  --help           This text.
  --version        The version.

Server options (-o with `server`):
  listen-hostname=HOST   where IPP and the web page listen (default: localhost
                         only; * for every address)
  server-port=N          port (default 8000)
  server-name=NAME       host name in printer URIs (default: listen-hostname)
  state-file=FILE        printers and settings kept across restarts (default:
                         /var/lib/qmx415u-app.state for root, else
                         ~/.config/qmx415u-app.state)
  spool-directory=DIR    job files (default: /var/spool/qmx415u-app for root,
                         else $TMPDIR/qmx415u-app<uid>.d)
  log-file=FILE          - for standard error (default), syslog, or a file
  log-level=LEVEL        debug, info (default), warn, error, fatal
  file-device-folder=DIR prnfile: devices write only inside DIR (default:
                         none, and prnfile: is refused)
  admin-group=GROUP      who may set printers up, with their password, besides
                         root and the server's user (default: lpadmin, else none)
  auth-service=SERVICE   PAM service checking those passwords (default:
                         qmx415u-app)
  remote-admin=true      allow setting printers up from other hosts (over TLS)
  worker-user=USER       who runs each job's worker when the server runs as
                         root (default: nobody)
  worker-timeout=SECONDS a worker that shows no sign of life for this long
                         is stopped and its job aborted (default 60)
  local-socket=PATH      the socket the sub-commands use (default:
                         /run/qmx415u-app.sock for root, else
                         $TMPDIR/qmx415u-app<uid>.sock); only the server's user
                         (root: and the admin group) may connect
  tls=false              no TLS (default: TLS as PAPPL offers it)

Job options (-o with `submit`, or IPP job attributes): media (80 mm wide,
e.g. custom_receipt_80x120mm; every page is as long as the media), and the
printer's own (also its printing defaults, on the web page or with
`modify -o NAME=VALUE`), lengths in dot lines, 8 per mm:
)";

void usage(void* /*context*/) {
  std::fputs(kUsage, stdout);
  for (const frontend::OptionSpec* option : app::vendorOptions()) {
    std::string values;
    switch (app::ippSyntax(*option)) {
      case app::IppSyntax::kBoolean:
        values = "true|false";
        break;
      case app::IppSyntax::kKeyword:
        for (const frontend::Choice& choice : option->choices) {
          if (!values.empty()) values += '|';
          values += app::ippKeyword(choice.keyword);
        }
        break;
      case app::IppSyntax::kInteger:
        values = "0-" + std::to_string(option->largest);
        break;
    }
    const std::string factory = app::ippSyntax(*option) == app::IppSyntax::kBoolean
                                    ? (frontend::factoryValue(*option) != 0 ? "true" : "false")
                                    : app::ippKeyword(frontend::valueKeyword(*option, frontend::factoryValue(*option)));
    std::printf("  -o %s=%s (factory %s)\n      %s\n", option->ippName, values.c_str(), factory.c_str(), option->text);
  }
}

std::string option(int count, cups_option_t* options, const char* name, const std::string& fallback) {
  const char* value = cupsGetOption(name, count, options);
  return value != nullptr && *value != '\0' ? std::string(value) : fallback;
}

bool isTrue(const std::string& text) { return text == "true" || text == "yes" || text == "on" || text == "1"; }

std::string tempDir() {
  const char* dir = std::getenv("TMPDIR");
  return dir != nullptr && *dir != '\0' ? dir : "/tmp";
}

// The name the program was started by: papplMainloop names its local
// socket after it, and the default files follow it so that a second
// installation under another name keeps its own.
std::string& baseName() {
  static std::string name = kProgram;
  return name;
}

std::string defaultStateFile() {
  const std::string& base = baseName();
  if (getuid() == 0) return "/var/lib/" + base + ".state";
  if (const char* config = std::getenv("XDG_CONFIG_HOME"); config != nullptr && *config != '\0')
    return std::string(config) + "/" + base + ".state";
  if (const char* home = std::getenv("HOME"); home != nullptr && *home != '\0')
    return std::string(home) + "/.config/" + base + ".state";
  return tempDir() + "/" + base + std::to_string(getuid()) + ".state";
}

std::string defaultSpoolDir() {
  if (getuid() == 0) return "/var/spool/" + baseName();
  return tempDir() + "/" + baseName() + std::to_string(getuid()) + ".d";
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

// PAPPL 1.3's papplSystemSetHostName also writes /etc/hostname and
// renames the machine when it can: a server run by root names itself
// with root's rights put aside for the call, so only its URIs change.
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

bool printDevice(const char* info, const char* uri, const char* id, void* /*context*/) {
  std::printf("%s\n    %s\n    %s\n", uri, info, id != nullptr ? id : "");
  return false;  // go on listing
}

void deviceError(const char* message, void* /*context*/) { std::fprintf(stderr, "%s: %s\n", kProgram, message); }

// `devices` lists here rather than through papplMainloop, which lists every
// kind: SNMP discovery sends broadcasts into the local network, so it waits
// to be asked. DNS-SD is left out where it cannot run (app/device_list.h).
int listDevices(int argc, char* argv[]) {
  bool snmp = false;
  for (int i = 2; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "-o" && i + 1 < argc && std::string(argv[i + 1]) == "snmp=true") {
      snmp = true;
      ++i;
    } else {
      std::fprintf(stderr, "%s: devices takes only -o snmp=true\n", kProgram);
      return 2;
    }
  }
  pappl_devtype_t types = PAPPL_DEVTYPE_USB | PAPPL_DEVTYPE_DNS_SD;
  if (snmp) types |= PAPPL_DEVTYPE_SNMP;
  papplDeviceList(types, printDevice, nullptr, deviceError, nullptr);
  return 0;
}

// Hands every `server` papplMainloop would take for its sub-command to
// runServer, reading the arguments as it does: an option with a value
// takes the next argument once per letter, a file name follows "--", the
// argument after "-" is not an option.
void takeServerCommand(int argc, char* argv[]) {
  for (int i = 1; i < argc; ++i) {
    const char* arg = argv[i];
    if (std::strcmp(arg, "--") == 0) {
      ++i;
      continue;
    }
    if (std::strncmp(arg, "--", 2) == 0) continue;
    if (arg[0] == '-' && arg[1] != '\0') {
      if (std::strchr(kOptionsWithValue, arg[1]) != nullptr) i += static_cast<int>(std::strlen(arg)) - 1;
      continue;
    }
    if (std::strcmp(arg, "-") == 0 && ++i >= argc) break;
    if (std::strcmp(argv[i], kServerCommand) == 0) argv[i] = const_cast<char*>(kOwnServerCommand);
  }
}

std::string baseNameOf(const char* path) {
  const char* slash = std::strrchr(path, '/');
  return slash != nullptr ? slash + 1 : path;
}

}  // namespace

int main(int argc, char* argv[]) {
  std::signal(SIGPIPE, SIG_IGN);  // a closed connection or device is an error, reported
  if (argc > 0 && argv[0] != nullptr && *argv[0] != '\0') baseName() = baseNameOf(argv[0]);
  if (argc > 1 && std::strcmp(argv[1], "devices") == 0) return listDevices(argc, argv);
  takeServerCommand(argc, argv);
  return papplMainloop(argc, argv, kVersion, kFooter, app::driverCount(), app::drivers(), nullptr,
                       fillCheckedDriverData, kOwnServerCommand, runServer, createSystem, usage, nullptr);
}
