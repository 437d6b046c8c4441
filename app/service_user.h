// The system account the packaged service runs as (created by the package,
// in group lp for the USB printers). A process the app starts for a job
// takes this account when the app itself runs as root.
//
// The group whose members administer the server besides root and the
// server's own user, unless the server is told another (admin-group):
// Debian's printing administrators, as CUPS has them. The service's
// runtime folder is this group's, so its members reach the local socket.
//
// packaging/ and app/CMakeLists.txt read both names from here.
#ifndef QMX_APP_SERVICE_USER_H_
#define QMX_APP_SERVICE_USER_H_

namespace app {

inline constexpr const char* kServiceUser = "qmx415u";
inline constexpr const char* kDefaultAdminGroup = "lpadmin";

}  // namespace app

#endif  // QMX_APP_SERVICE_USER_H_
