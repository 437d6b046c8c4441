// The printer's PAPPL driver: what the printer offers (pappl_pr_driver_data_t
// and the vendor attributes) and the raster callbacks, each mapped onto one
// step of host's streaming job API:
//
//   rstartjob   JobStream::start     CommandCallback(1)
//   rstartpage  startPage            CommandCallback(2)
//   rwriteline  addLine              FilterGraphics, through PageWriter
//   rendpage    endPage              CommandCallback(3)
//   rendjob     end                  CommandCallback(4)
//
// The plug-in's job state is module-wide, so one job runs at a time in the
// whole process, whatever printer it is for: a job holds the process's job
// gate from rstartjob to rendjob.
#ifndef QMX_APP_DRIVER_H_
#define QMX_APP_DRIVER_H_

#include <pappl/pappl.h>

#include <cstdint>

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

// The record's paper length (tenths of a millimetre) for a job: the
// media's length, or for roll media without a length the page's; never
// shorter than the first page, at most the record's largest value.
// `mediaLength` is in hundredths of a millimetre, 0 when unknown.
std::int16_t paperLengthForJob(int mediaLength, bool rollWithoutLength, std::uint32_t firstPageLines);

}  // namespace app

#endif  // QMX_APP_DRIVER_H_
