// The command line's own parts, around papplMainloop's sub-commands:
//
//   drivers    lists the driver, starting no part of a server and writing
//              nothing (PAPPL 1.3 makes a whole server for it)
//   passwd     sets the web password (app/web_password.h) through the local
//              socket: a new password read twice from the terminal, or one
//              line from standard input
//   testpage   prints a printer's test page (-d PRINTER, else the default
//              printer) through the local socket
//
// and the check before every sub-command that talks to a server through
// its local socket (add, cancel, default, delete, jobs, modify, options,
// pause, printers, resume, shutdown, status, submit without -u, passwd,
// testpage): PAPPL 1.3 tries the user's own socket, then root's, and when
// neither answers starts a server of its own for the user (which fails
// for a program found through PATH, and serves no printer anyway). Instead
// the user is told what to do: that the service's socket is for root and
// the admin group (and how to join it, or to print with -u), or that no
// server runs (and how to start one).
#ifndef QMX_APP_CLI_H_
#define QMX_APP_CLI_H_

#include <string>
#include <vector>

namespace app {

// The parts of a command line the checks need, read as papplMainloop reads
// it: options with a value take the next argument, a file name follows
// "--", the argument after "-" is not an option.
struct CommandLine {
  std::string subcommand;  // "" when none (submit)
  std::string printer;     // -d
  bool printerUri = false;  // -u given
  bool helpOrVersion = false;
  std::vector<std::string> files;
};
CommandLine readCommandLine(int argc, char* argv[]);

// Whether `subcommand` (as readCommandLine names it) goes to a server
// through its local socket.
bool needsLocalServer(const CommandLine& line);

// True when the local server answers; otherwise says what to do on
// standard error and returns false. `status` alone may go on when no
// server runs at all: it says so itself.
bool localServerReachable(const std::string& program, const CommandLine& line);

int listDrivers();
int setPasswordCommand(const std::string& program, int argc, char* argv[]);
int testPageCommand(const std::string& program, const CommandLine& line);

}  // namespace app

#endif  // QMX_APP_CLI_H_
