#include "app/cli.h"

#include <grp.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <memory>

#include "app/driver.h"
#include "app/local_socket.h"
#include "app/vendor_ops.h"

namespace app {
namespace {

constexpr const char* kOptionsWithValue = "dhjmnotuv";  // papplMainloop's: -d PRINTER, ...
constexpr int kConnectTimeoutMs = 30000;
constexpr std::size_t kGroupBufferSize = 16384;
constexpr int kDefaultWebPort = 8000;

// Every sub-command papplMainloop knows, and the app's own.
const char* const kSubcommands[] = {"add",      "autoadd", "cancel",   "default", "delete", "devices",
                                    "drivers",  "jobs",    "modify",   "options", "pause",  "printers",
                                    "resume",   "server",  "run-server", "shutdown", "status", "submit",
                                    "passwd",   "testpage"};
// Those that talk to a server through its local socket (unless -u names one).
const char* const kLocalSubcommands[] = {"",       "add",      "autoadd", "cancel", "default", "delete",
                                         "jobs",   "modify",   "options", "pause",  "printers", "resume",
                                         "shutdown", "status", "submit",  "passwd", "testpage"};

bool isOneOf(const std::string& word, const char* const* list, std::size_t count) {
  for (std::size_t i = 0; i < count; ++i) {
    if (word == list[i]) return true;
  }
  return false;
}

// 0 when a server answers on `path`, else connect()'s errno.
int connectError(const std::string& path) {
  const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return errno;
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  if (path.size() >= sizeof address.sun_path) {
    close(fd);
    return ENAMETOOLONG;
  }
  std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
  const int error = connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0 ? 0 : errno;
  close(fd);
  return error;
}

// The socket a sub-command reaches: the user's own server's, else root's
// (as PAPPL 1.3 tries them); "" when neither answers.
std::string reachableSocket(const std::string& program) {
  const std::string own = defaultLocalSocket(program, getuid());
  if (connectError(own) == 0) return own;
  const std::string root = defaultLocalSocket(program, 0);
  if (getuid() != 0 && connectError(root) == 0) return root;
  return {};
}

// The group of the folder holding the socket `path` (through its link).
std::string socketGroup(const std::string& path) {
  char target[4096];
  const ssize_t n = readlink(path.c_str(), target, sizeof target - 1);
  std::string real = n > 0 ? std::string(target, static_cast<std::size_t>(n)) : path;
  const std::size_t slash = real.rfind('/');
  struct stat st {};
  if (slash == std::string::npos || stat(real.substr(0, slash).c_str(), &st) != 0) return {};
  group entry{};
  group* found = nullptr;
  std::vector<char> buffer(kGroupBufferSize);
  if (getgrgid_r(st.st_gid, &entry, buffer.data(), buffer.size(), &found) != 0 || found == nullptr) return {};
  return found->gr_name;
}

std::string userName() {
  const char* name = cupsUser();
  return name != nullptr ? name : "YOU";
}

void sayNotAllowed(const std::string& program, const std::string& socket) {
  std::string group = socketGroup(socket);
  if (group.empty() || group == "root") group = "the admin group";
  std::fprintf(stderr,
               "%s: the server's socket %s is for root and the members of group %s only.\n"
               "  To set printers up, ask an administrator to add you (adduser %s %s) and log in again,\n"
               "  or sign in on the web page, http://localhost:%d/, as admin with the web password.\n"
               "  To print, anyone may: %s submit -u ipp://localhost:%d/ipp/print/PRINTER FILE\n",
               program.c_str(), socket.c_str(), group.c_str(), userName().c_str(), group.c_str(), kDefaultWebPort,
               program.c_str(), kDefaultWebPort);
}

void sayNoServer(const std::string& program) {
  std::fprintf(stderr,
               "%s: no server is running.\n"
               "  Start the service (as root: systemctl start %s),\n"
               "  or run a server of your own: %s server &\n",
               program.c_str(), program.c_str(), program.c_str());
}

struct HttpClose {
  void operator()(http_t* http) const { httpClose(http); }
};
struct IppDelete {
  void operator()(ipp_t* ipp) const { ippDelete(ipp); }
};
using Http = std::unique_ptr<http_t, HttpClose>;
using Ipp = std::unique_ptr<ipp_t, IppDelete>;

Http connectLocal(const std::string& program, const CommandLine& line) {
  if (!localServerReachable(program, line)) return nullptr;
  const std::string socket = reachableSocket(program);
  Http http(httpConnect2(socket.c_str(), 0, nullptr, AF_UNSPEC, HTTP_ENCRYPTION_IF_REQUESTED, 1, kConnectTimeoutMs,
                         nullptr));
  if (!http) std::fprintf(stderr, "%s: cannot connect to %s: %s\n", program.c_str(), socket.c_str(), cupsLastErrorString());
  return http;
}

// Sends `request` to `resource`; the response, or null with the server's
// reason on standard error.
Ipp send(const std::string& program, http_t* http, ipp_t* request, const std::string& resource) {
  Ipp response(cupsDoRequest(http, request, resource.c_str()));
  if (cupsLastError() > IPP_STATUS_OK_CONFLICTING) {
    std::fprintf(stderr, "%s: %s\n", program.c_str(), cupsLastErrorString());
    return nullptr;
  }
  return response;
}

// Reads a line without showing it when standard input is a terminal.
bool readSecret(const char* prompt, std::string* secret) {
  const bool terminal = isatty(STDIN_FILENO) != 0;
  termios saved{};
  if (terminal) {
    std::fputs(prompt, stderr);
    tcgetattr(STDIN_FILENO, &saved);
    termios quiet = saved;
    quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
    tcsetattr(STDIN_FILENO, TCSAFLUSH, &quiet);
  }
  const bool read = static_cast<bool>(std::getline(std::cin, *secret));
  if (terminal) {
    tcsetattr(STDIN_FILENO, TCSAFLUSH, &saved);
    std::fputs("\n", stderr);
  }
  return read;
}

void wipe(std::string& secret) {
  explicit_bzero(secret.data(), secret.size());
  secret.clear();
}

}  // namespace

CommandLine readCommandLine(int argc, char* argv[]) {
  CommandLine line;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--help" || arg == "--version") {
      line.helpOrVersion = true;
    } else if (arg == "--") {
      if (++i < argc) line.files.push_back(argv[i]);
    } else if (arg.rfind("--", 0) == 0) {
      continue;
    } else if (arg.size() > 1 && arg[0] == '-') {
      const char letter = arg[1];  // papplMainloop reads every letter as the first
      if (std::strchr(kOptionsWithValue, letter) == nullptr) continue;
      for (std::size_t n = 1; n < arg.size() && i + 1 < argc; ++n) {
        ++i;
        if (letter == 'd') line.printer = argv[i];
        if (letter == 'u') line.printerUri = true;
      }
    } else {
      if (arg == "-" && ++i >= argc) break;
      const std::string word = argv[i];
      if (line.subcommand.empty() && isOneOf(word, kSubcommands, std::size(kSubcommands))) {
        line.subcommand = word;
      } else {
        line.files.push_back(word);
      }
    }
  }
  return line;
}

bool needsLocalServer(const CommandLine& line) {
  if (line.helpOrVersion || line.printerUri) return false;
  const bool submit = line.subcommand.empty() || line.subcommand == "submit";
  if (submit && line.files.empty() && isatty(STDIN_FILENO)) return false;  // PAPPL says there is nothing to print
  return isOneOf(line.subcommand, kLocalSubcommands, std::size(kLocalSubcommands));
}

bool localServerReachable(const std::string& program, const CommandLine& line) {
  const std::string own = defaultLocalSocket(program, getuid());
  if (connectError(own) == 0) return true;
  const std::string root = defaultLocalSocket(program, 0);
  const int rootError = getuid() != 0 ? connectError(root) : ENOENT;
  if (rootError == 0) return true;
  if (rootError == EACCES || rootError == EPERM) {
    sayNotAllowed(program, root);
    return false;
  }
  if (line.subcommand == "status") return true;  // it says "Server is not running." itself
  sayNoServer(program);
  return false;
}

int listDrivers() {
  for (int i = 0; i < driverCount(); ++i) {
    const pappl_pr_driver_t& driver = drivers()[i];
    std::printf("%s \"%s\" \"%s\"\n", driver.name, driver.description, driver.device_id ? driver.device_id : "");
  }
  return 0;
}

int setPasswordCommand(const std::string& program, int argc, char* /*argv*/[]) {
  if (argc > 2) {
    std::fprintf(stderr, "%s: passwd takes no arguments; it reads the password from standard input\n",
                 program.c_str());
    return 2;
  }
  CommandLine line;
  line.subcommand = "passwd";
  const Http http = connectLocal(program, line);
  if (!http) return 1;
  std::string password;
  std::string again;
  if (!readSecret("New web password for admin: ", &password)) {
    std::fprintf(stderr, "%s: no password given\n", program.c_str());
    return 1;
  }
  if (isatty(STDIN_FILENO) && (!readSecret("The same again: ", &again) || again != password)) {
    wipe(password);
    wipe(again);
    std::fprintf(stderr, "%s: the two passwords differ; nothing changed\n", program.c_str());
    return 1;
  }
  wipe(again);
  ipp_t* request = ippNewRequest(kOpSetWebPassword);
  ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_URI, "system-uri", nullptr, "ipp://localhost/ipp/system");
  ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_NAME, "requesting-user-name", nullptr, cupsUser());
  ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_TEXT, kWebPasswordAttribute, nullptr, password.c_str());
  wipe(password);
  const Ipp response = send(program, http.get(), request, "/ipp/system");
  if (!response) return 1;
  std::printf("The web password is set: sign in on the web page as %s with it.\n", "admin");
  return 0;
}

int testPageCommand(const std::string& program, const CommandLine& line) {
  const Http http = connectLocal(program, line);
  if (!http) return 1;
  const std::string resource = line.printer.empty() ? "/ipp/print" : "/ipp/print/" + line.printer;
  char uri[1024];
  httpAssembleURI(HTTP_URI_CODING_ALL, uri, sizeof uri, "ipp", nullptr, "localhost", 0, resource.c_str());
  ipp_t* request = ippNewRequest(kOpPrintTestPage);
  ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_URI, "printer-uri", nullptr, uri);
  ippAddString(request, IPP_TAG_OPERATION, IPP_TAG_NAME, "requesting-user-name", nullptr, cupsUser());
  const Ipp response = send(program, http.get(), request, resource);
  if (!response) return 1;
  const int job = ippGetInteger(ippFindAttribute(response.get(), "job-id", IPP_TAG_INTEGER), 0);
  const char* printer = ippGetString(ippFindAttribute(response.get(), "printer-name", IPP_TAG_NAME), 0, nullptr);
  std::printf("Test page: job %d on %s\n", job, printer != nullptr ? printer : line.printer.c_str());
  return 0;
}

}  // namespace app
