// The device chooser of the add-printer and device pages (app/web_pages.h),
// and the device URI a choice makes. PAPPL 1.3's own form offers the
// devices it finds and a network printer on port 9100 only (its host field
// refuses "host:port" in the browser), and no file device.
//
// The chooser's form variables:
//   device_uri   a device found (its URI, "|" and its IEEE 1284 device ID),
//                "socket" (a network printer: hostname), "file" (a file in
//                the file-device folder: file_name), or any device URI the
//                app allows (app/file_device.h)
//   hostname     HOST, HOST:PORT, IPV6 or [IPV6]:PORT; the raw port is 9100
//                unless given
//   file_name    NAME (each job appended to FOLDER/NAME) or SUB/ (a file
//                per job in FOLDER/SUB/), inside the file-device folder
#ifndef QMX_APP_DEVICE_CHOICE_H_
#define QMX_APP_DEVICE_CHOICE_H_

#include <pappl/pappl.h>

#include <string>

namespace app {

inline constexpr int kRawPrinterPort = 9100;

// socket://HOST:PORT from what a person typed; "" with *why set when it is
// not a host name or address with an optional port.
std::string socketUri(const std::string& hostPort, std::string* why);

// Whether `host` resolves to an address; PAPPL's socket device connects to
// the first.
bool hostResolves(const std::string& host);

// prnfile:///FOLDER/NAME from a name inside `folder`; "" with *why set.
std::string fileUri(const std::string& folder, const std::string& name, std::string* why);

struct DeviceChoice {
  std::string uri;
  std::string deviceId;  // "" when the choice carried none
};

// What the chooser's variables chose; false with *why set. The URI is
// also checked against the devices the app allows.
bool readDeviceChoice(const char* deviceUri, const char* hostname, const char* fileName, DeviceChoice* choice,
                      std::string* why);

// Writes the chooser's rows (a table's <tr>s): the devices found now (USB,
// and DNS-SD when it runs), a network printer, a file when the server has a
// file-device folder. `current` is preselected when it is one of them.
void writeDeviceChooser(pappl_client_t* client, const std::string& current);

}  // namespace app

#endif  // QMX_APP_DEVICE_CHOICE_H_
