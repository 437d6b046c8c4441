// The server: the PAPPL system with its listeners, drivers, saved state,
// administration policy, job workers and local socket, as `qmx415u-app
// server` runs it. main.cc is the command line around it.
#ifndef QMX_APP_SERVER_H_
#define QMX_APP_SERVER_H_

#include <pappl/pappl.h>

#include <string>

#include "app/version.h"

namespace app {

inline constexpr const char* kProgram = "qmx415u-app";
inline constexpr const char* kFooter = "qmx415u receipt printer application";
inline constexpr int kDefaultPort = 8000;

// The name the program was started by: papplMainloop names its local
// socket after it, and the default files follow it so that a second
// installation under another name keeps its own.
std::string& programName();

// papplMainloop's system callback: the server from `server -o NAME=VALUE`
// options, not yet running; null with a message on standard error.
pappl_system_t* createSystem(int count, cups_option_t* options, void* context);

// papplMainloop's callback for the app's own server sub-command: runs
// the server until it is shut down. No exception leaves it.
int runServer(const char* baseName, int count, cups_option_t* options, int fileCount, char** files, void* context);

// The driver callback: the printer's driver data, on a device the app
// allows (app/file_device.h).
bool fillCheckedDriverData(pappl_system_t* system, const char* driverName, const char* deviceUri,
                           const char* deviceId, pappl_pr_driver_data_t* data, ipp_t** attrs, void* context);

}  // namespace app

#endif  // QMX_APP_SERVER_H_
