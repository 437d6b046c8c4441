#include "app/device_list.h"

#include <dlfcn.h>
#include <pappl/pappl.h>
#include <unistd.h>

namespace app {
namespace {

constexpr const char* kSystemBusSocket = "/run/dbus/system_bus_socket";
constexpr const char* kAvahiSocket = "/run/avahi-daemon/socket";

using DeviceList = bool (*)(pappl_devtype_t, pappl_device_cb_t, void*, pappl_deverror_cb_t, void*);

DeviceList papplsOwn() {
  static const DeviceList own = reinterpret_cast<DeviceList>(dlsym(RTLD_NEXT, "papplDeviceList"));
  return own;
}

}  // namespace

bool dnsSdRuns() { return access(kSystemBusSocket, F_OK) == 0 && access(kAvahiSocket, F_OK) == 0; }

}  // namespace app

extern "C" bool papplDeviceList(pappl_devtype_t types, pappl_device_cb_t cb, void* data, pappl_deverror_cb_t err_cb,
                                void* err_data) {
  const app::DeviceList own = app::papplsOwn();
  if (own == nullptr) return false;
  if (!app::dnsSdRuns()) types &= ~static_cast<pappl_devtype_t>(PAPPL_DEVTYPE_DNS_SD);
  return own(types, cb, data, err_cb, err_data);
}
