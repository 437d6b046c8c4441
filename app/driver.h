// The printer's PAPPL driver: what the printer offers (pappl_pr_driver_data_t
// and the vendor attributes) and the raster callbacks. Each job runs its
// plug-in work in a worker process of its own (app/worker.h):
//
//   rstartjob   start the worker (the job's options on its command line)
//   rstartpage  the page's header, as CUPS raster, to the worker
//   rwriteline  the line, to the worker
//   rendpage    -
//   rendjob     end the worker's input, copy the rest of its bytes to the
//               device, reap it; the job is whole only when the worker
//               printed and the device took every byte.
#ifndef QMX_APP_DRIVER_H_
#define QMX_APP_DRIVER_H_

#include <pappl/pappl.h>

#include <optional>
#include <string>
#include <vector>

#include "app/worker.h"

namespace app {

inline constexpr const char* kDriverName = "qmx415u";
inline constexpr int kDotsPerInch = 203;

// The driver list for papplMainloop.
pappl_pr_driver_t* drivers();
int driverCount();

// The pappl_pr_driver_cb_t for every printer of this application.
bool fillDriverData(pappl_system_t* system, const char* driverName, const char* deviceUri, const char* deviceId,
                    pappl_pr_driver_data_t* data, ipp_t** attrs, void* context);

// Whether a job ran in the plug-in within the last `quietMs` milliseconds
// (or runs now): PAPPL 1.3 can deadlock when it saves its state while
// raster jobs stream in, so the state is saved in quiet moments.
bool jobsRecently(long quietMs);

// How jobs run their workers; set once, before the server starts.
struct WorkerConfig {
  std::string program;                   // the raster filter, an absolute path
  std::optional<RunAs> runAs;            // when the server runs as root
  std::string folderParent = "/tmp";     // where each worker's folder is made
  std::vector<std::string> environment;  // NAME=VALUE passed on to every worker
  int idleTimeoutMs = 60000;
};
void configureWorkers(WorkerConfig config);

}  // namespace app

#endif  // QMX_APP_DRIVER_H_
