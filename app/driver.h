// The printer's PAPPL driver: what the printer offers (pappl_pr_driver_data_t
// and the vendor attributes), and the MIME filters through which every
// document the app prints reaches the job runner (app/job_runner.h), which
// prints it in a worker process of its own. PAPPL's raster callbacks are
// never the way a document prints: they refuse.
#ifndef QMX_APP_DRIVER_H_
#define QMX_APP_DRIVER_H_

#include <pappl/pappl.h>


namespace app {

inline constexpr const char* kDriverName = "qmx415u";
inline constexpr int kDotsPerInch = 203;
// The printer's own format as PAPPL names it: application/octet-stream,
// which PAPPL lists anyway, so that the formats the app filters to it are
// all that document-format-supported adds.
inline constexpr const char* kNativeFormat = "application/octet-stream";

// Registers the job runner as the filter of every format it prints.
void addFormatFilters(pappl_system_t* system);

// The driver list for papplMainloop.
pappl_pr_driver_t* drivers();
int driverCount();

// The pappl_pr_driver_cb_t for every printer of this application.
bool fillDriverData(pappl_system_t* system, const char* driverName, const char* deviceUri, const char* deviceId,
                    pappl_pr_driver_data_t* data, ipp_t** attrs, void* context);

}  // namespace app

#endif  // QMX_APP_DRIVER_H_
