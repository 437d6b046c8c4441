// The groups that may be made the admin group from the web page: none,
// the default one (lpadmin), and the groups the machine's administrator
// made for people (ids 1000 to 59999, Debian's range for them). Never a
// system group: membership of root, sudo, adm, shadow, disk, staff or the
// like already hands out root or the machine's secrets, and the Security
// page must not turn a printer password into a way to learn who holds it.
#ifndef QMX_APP_ADMIN_GROUPS_H_
#define QMX_APP_ADMIN_GROUPS_H_

#include <sys/types.h>

#include <string>
#include <vector>

namespace app {

// Whether a group of that name and id may be offered.
bool offeredAdminGroup(const std::string& name, gid_t id);

// The groups offered, "none" first, sorted by name.
std::vector<std::string> adminGroupChoices();

}  // namespace app

#endif  // QMX_APP_ADMIN_GROUPS_H_
