#include "app/admin_groups.h"

#include <grp.h>

#include <algorithm>
#include <mutex>

#include "app/admin_auth.h"
#include "app/service_user.h"

namespace app {
namespace {

constexpr gid_t kFirstPeopleGroup = 1000;  // Debian's FIRST_GID
constexpr gid_t kLastPeopleGroup = 59999;  // Debian's LAST_GID
constexpr std::size_t kGroupBufferSize = 1 << 16;

}  // namespace

bool offeredAdminGroup(const std::string& name, gid_t id) {
  if (name == kNoAdminGroup || name == kDefaultAdminGroup) return true;
  return id >= kFirstPeopleGroup && id <= kLastPeopleGroup;
}

std::vector<std::string> adminGroupChoices() {
  std::vector<std::string> groups;
  static std::mutex enumeration;  // the group database's cursor is the process's
  {
    const std::lock_guard<std::mutex> hold(enumeration);
    std::vector<char> buffer(kGroupBufferSize);
    group entry{};
    group* found = nullptr;
    setgrent();
    while (getgrent_r(&entry, buffer.data(), buffer.size(), &found) == 0 && found != nullptr) {
      if (offeredAdminGroup(found->gr_name, found->gr_gid)) groups.push_back(found->gr_name);
    }
    endgrent();
  }
  std::sort(groups.begin(), groups.end());
  groups.erase(std::unique(groups.begin(), groups.end()), groups.end());
  groups.insert(groups.begin(), kNoAdminGroup);
  return groups;
}

}  // namespace app
