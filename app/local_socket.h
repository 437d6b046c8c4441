// The server's local (domain) socket, through which its own sub-commands
// (add, modify, delete, submit, ...) reach it.
//
// PAPPL 1.3 lets whoever connects to that socket administer the server,
// without a password, and libcups makes the socket anyone's (mode 0777).
// So the app makes its own: bound in a fresh folder only this user can
// enter, narrowed to the server's user (and, for a server run by root, the
// admin group) and only then moved into place.
#ifndef QMX_APP_LOCAL_SOCKET_H_
#define QMX_APP_LOCAL_SOCKET_H_

#include <pappl/pappl.h>
#include <sys/types.h>

#include <string>

namespace app {

// Where PAPPL 1.3's sub-commands look for the server of `program` when
// `uid` runs them: /run/PROGRAM.sock for root, else
// TMPDIR/PROGRAM<uid>.sock.
std::string defaultLocalSocket(const std::string& program, uid_t uid);

// Listens on `path` (before the server runs). Mode 0600, or 0660 with
// `group` (not (gid_t)-1) when the server runs as root, or when the socket
// is that group's already: bound in a set-group-ID folder of the group, as
// the service's runtime folder is (/run/qmx415u-app, group lpadmin), so
// that the group's members reach the service without root.
// Refuses to replace a live server's socket, a link or anything else
// than a socket. False with *why set.
bool addLocalListener(pappl_system_t* system, const std::string& path, gid_t group, std::string* why);

// Removes the socket addLocalListener made, unless another server's
// socket has taken its place since.
void removeLocalSocket(const std::string& path);

}  // namespace app

#endif  // QMX_APP_LOCAL_SOCKET_H_
