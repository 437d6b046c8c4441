// The system account the packaged service runs as (created by the package,
// in group lp for the USB printers). A process the app starts for a job
// takes this account when the app itself runs as root.
//
// packaging/ reads the name from here.
#ifndef QMX_APP_SERVICE_USER_H_
#define QMX_APP_SERVICE_USER_H_

namespace app {

inline constexpr const char* kServiceUser = "qmx415u";

}  // namespace app

#endif  // QMX_APP_SERVICE_USER_H_
