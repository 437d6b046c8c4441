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
#include <vector>

#include "app/cli.h"
#include "app/driver.h"
#include "app/ipp_options.h"
#include "app/server.h"
#include "frontend/print_options.h"

namespace {

using app::kProgram;

constexpr const char* kServerCommand = "server";
// `server` is PAPPL's own sub-command, which would add a local socket
// anyone may administer through; main() hands it to runServer under
// this name.
constexpr const char* kOwnServerCommand = "run-server";
constexpr const char* kOptionsWithValue = "dhjmnotuv";  // papplMainloop's: -d PRINTER, ...
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
  passwd           Set the web password (sign in as admin on the web page);
                   read twice from the terminal, or once from standard input.
  server           Run the server.
  shutdown         Shut the server down.
  status           Show the server or printer status.
  submit           Submit a file for printing.
  testpage         Print a printer's test page (-d PRINTER, else the default).

The sub-commands but devices, drivers and submit -u reach the server through
its local socket: root and the members of its admin group may (the service's
is /run/qmx415u-app.sock).

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
  queue-directory=DIR    the job queue's journal: every accepted job, kept on
                         disk until it ends (default: beside the state file,
                         NAME.queue)
  upload-timeout=SECONDS a document that stops arriving for this long is
                         refused and nothing of it printed (default 30)
  paper-log=DIR          where the paper of each printer's last 10 jobs is kept
                         for its web page (default: beside the state file,
                         NAME.paper; none for nowhere)
  admin-group=GROUP      who may set printers up besides root and the server's
                         user: through the local socket, and on the web page
                         with their password where PAM can check it (default:
                         lpadmin, else none); anyone may as admin with the web
                         password (passwd)
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

Job options (-o with `submit`, or IPP job attributes): copies (-n), media
(80 mm wide, e.g. custom_receipt_80x120mm: a picture's page is as long as
the media; without one, as long as the picture), print-scaling,
orientation-requested, and the printer's own (also its printing defaults, on the web page or with
`modify -o NAME=VALUE`), lengths in dot lines (8 per mm) or millimetres
(3mm):
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

// PAPPL 1.3's `submit -n COPIES` files the count under a name its own
// request building never reads, so the job printed one copy: -n N is
// handed on as -o copies=N. `arguments` keeps the new strings.
std::vector<char*> copiesAsOption(int argc, char* argv[], std::vector<std::string>* arguments) {
  arguments->reserve(static_cast<std::size_t>(argc));
  for (int i = 0; i < argc; ++i) {
    if (std::strcmp(argv[i], "-n") == 0 && i + 1 < argc) {
      arguments->push_back("-o");
      arguments->push_back(std::string("copies=") + argv[++i]);
    } else {
      arguments->push_back(argv[i]);
    }
  }
  std::vector<char*> pointers;
  for (std::string& argument : *arguments) pointers.push_back(argument.data());
  pointers.push_back(nullptr);
  return pointers;
}

std::string baseNameOf(const char* path) {
  const char* slash = std::strrchr(path, '/');
  return slash != nullptr ? slash + 1 : path;
}

// The command line, as the user gave it.
int run(int argc, char* argv[]) {
  std::signal(SIGPIPE, SIG_IGN);  // a closed connection or device is an error, reported
  if (argc > 0 && argv[0] != nullptr && *argv[0] != '\0') app::programName() = baseNameOf(argv[0]);
  const std::string& program = app::programName();
  if (argc > 1 && std::strcmp(argv[1], "devices") == 0) return listDevices(argc, argv);
  std::vector<std::string> arguments;
  std::vector<char*> args = copiesAsOption(argc, argv, &arguments);
  const int count = static_cast<int>(args.size()) - 1;
  const app::CommandLine line = app::readCommandLine(count, args.data());
  if (!line.helpOrVersion) {
    if (line.subcommand == "drivers") return app::listDrivers();
    if (line.subcommand == "passwd") return app::setPasswordCommand(program, count, args.data());
    if (line.subcommand == "testpage") return app::testPageCommand(program, line);
    if (app::needsLocalServer(line) && !app::localServerReachable(program, line)) return 1;
  }
  takeServerCommand(count, args.data());
  return papplMainloop(count, args.data(), app::kVersion, app::kFooter, app::driverCount(), app::drivers(), nullptr,
                       app::fillCheckedDriverData, kOwnServerCommand, app::runServer, app::createSystem, usage,
                       nullptr);
}

}  // namespace

int main(int argc, char* argv[]) {
  try {
    return run(argc, argv);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "%s: %s\n", kProgram, e.what());
    return 1;
  }
}
