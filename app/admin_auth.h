// Who may administer the server: add, modify and delete printers, the web
// pages that do it, Create-Printer and the other system operations.
//
// PAPPL 1.3 asks in one place (_papplClientIsAuthorizedForGroup) and
// leaves much to the application: whoever reaches the local socket may
// (app/local_socket.h narrows who can); without an authentication callback
// or service, any loopback client may, which let any local user set up a
// printer that writes wherever root may; and it never looks at
// PAPPL_SOPTIONS_WEB_REMOTE. It does ask network clients for TLS before it
// asks the callback installed here, which decides:
//
//   printing (PAPPL names no group)     allowed, as PAPPL allows it
//   administration from the network     refused unless remote-admin is on
//   otherwise                           HTTP Basic: the user `admin` with
//                                       the web password (app/web_password.h),
//                                       or a user whose password PAM checks:
//                                       root, the server's own user or a
//                                       member of the group PAPPL names (the
//                                       admin group, a print group)
//
// Every check of a password goes through one gate, and a wrong one holds
// the gate for kFailureDelay: guesses come one at a time, however many
// connections send them. The admin group is always named (see
// kNoAdminGroup).
#ifndef QMX_APP_ADMIN_AUTH_H_
#define QMX_APP_ADMIN_AUTH_H_

#include <pappl/pappl.h>

#include <chrono>
#include <string>

namespace app {

// PAPPL's name for "no admin group": root and the server's user only.
inline constexpr const char* kNoAdminGroup = "none";

struct AdminPolicy {
  std::string pamService;    // "" or "none": no password is ever right
  bool remoteAdmin = false;  // administration from other hosts (over TLS)
};

// Makes `policy`, which must outlive the system, decide; and names the
// admin group: `group`, else the one the saved state names, else lpadmin
// when it exists, else none.
void setAdminPolicy(pappl_system_t* system, const AdminPolicy* policy, const std::string& group);

// The admin group's id, or (gid_t)-1 for none.
gid_t adminGroupId(pappl_system_t* system);

// How long a wrong password holds the gate.
inline constexpr std::chrono::milliseconds kFailureDelay{2000};

// Who a web request's credentials show, for pages that anyone may see but
// that show more to some (an administrator, a job's owner). No credentials,
// wrong ones, or credentials over an unencrypted connection from another
// host: nobody (an empty name).
struct WebVisitor {
  std::string user;    // "" for nobody
  bool admin = false;  // may administer the server
};
WebVisitor identifyVisitor(pappl_client_t* client);

}  // namespace app

#endif  // QMX_APP_ADMIN_AUTH_H_
