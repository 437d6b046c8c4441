#include "app/device_choice.h"

#include <algorithm>
#include <cctype>
#include <vector>

#include "app/file_device.h"

namespace app {
namespace {

constexpr int kLargestPort = 65535;
constexpr std::size_t kLongestHostName = 253;
constexpr std::size_t kLongestFileName = 255;
constexpr const char* kSocketChoice = "socket";
constexpr const char* kFileChoice = "file";
constexpr const char* kPlainFilePrefix = "prnfile://";

struct FoundDevice {
  std::string info;
  std::string uri;
  std::string id;
};

std::string trimmed(const std::string& text) {
  const std::size_t first = text.find_first_not_of(" \t");
  if (first == std::string::npos) return "";
  return text.substr(first, text.find_last_not_of(" \t") - first + 1);
}

bool isHostName(const std::string& host) {
  if (host.empty() || host.size() > kLongestHostName || host[0] == '-' || host[0] == '.') return false;
  return std::all_of(host.begin(), host.end(), [](char c) {
    return std::isalnum(static_cast<unsigned char>(c)) || c == '-' || c == '.' || c == '_';
  });
}

bool isIpv6Address(const std::string& host) {
  return host.find(':') != std::string::npos && std::all_of(host.begin(), host.end(), [](char c) {
           return std::isxdigit(static_cast<unsigned char>(c)) || c == ':' || c == '.';
         });
}

// The port's number, or 0 when `text` is not one.
int portNumber(const std::string& text) {
  if (text.empty() || text.size() > 5 || !std::all_of(text.begin(), text.end(), ::isdigit)) return 0;
  const int port = std::stoi(text);
  return port <= kLargestPort ? port : 0;
}

// Splits HOST[:PORT], [IPV6][:PORT] or a bare IPv6 address.
bool splitHostPort(const std::string& text, std::string* host, std::string* port) {
  if (text[0] == '[') {
    const std::size_t close = text.find(']');
    if (close == std::string::npos) return false;
    *host = text.substr(1, close - 1);
    const std::string rest = text.substr(close + 1);
    if (!rest.empty() && rest[0] != ':') return false;
    *port = rest.empty() ? "" : rest.substr(1);
    return isIpv6Address(*host) && (rest.empty() || !port->empty());
  }
  const std::size_t colons = static_cast<std::size_t>(std::count(text.begin(), text.end(), ':'));
  if (colons > 1) {
    *host = text;
    return isIpv6Address(*host);
  }
  const std::size_t colon = text.find(':');
  *host = text.substr(0, colon);
  *port = colon == std::string::npos ? "" : text.substr(colon + 1);
  return isHostName(*host) && (colon == std::string::npos || !port->empty());
}

bool isFileName(const std::string& name) {
  if (name.empty() || name.size() > kLongestFileName || name[0] == '/') return false;
  if (!std::all_of(name.begin(), name.end(), [](char c) {
        return std::isalnum(static_cast<unsigned char>(c)) || c == '-' || c == '.' || c == '_' || c == '/';
      })) {
    return false;
  }
  std::size_t at = 0;
  while (at <= name.size()) {  // no part is empty (but a trailing '/'), "." or ".."
    const std::size_t slash = std::min(name.find('/', at), name.size());
    const std::string part = name.substr(at, slash - at);
    if ((part.empty() && slash != name.size()) || part == "." || part == "..") return false;
    at = slash + 1;
  }
  return true;
}

bool collectDevice(const char* info, const char* uri, const char* id, void* data) {
  try {
    static_cast<std::vector<FoundDevice>*>(data)->push_back({info ? info : "", uri ? uri : "", id ? id : ""});
  } catch (...) {
  }
  return false;  // go on listing
}

void ignoreListingError(const char* /*message*/, void* /*data*/) {}

std::vector<FoundDevice> devicesFound() {
  std::vector<FoundDevice> found;
  // Not SNMP: it sends broadcasts into the local network (`devices -o snmp=true` asks for it).
  papplDeviceList(PAPPL_DEVTYPE_USB | PAPPL_DEVTYPE_DNS_SD, collectDevice, &found, ignoreListingError, nullptr);
  return found;
}

// What the network row shows for a socket: URI: HOST:PORT.
std::string hostPortOf(const std::string& uri) {
  char scheme[32], user[256], host[256], resource[1024];
  int port = 0;
  if (httpSeparateURI(HTTP_URI_CODING_ALL, uri.c_str(), scheme, sizeof scheme, user, sizeof user, host, sizeof host,
                      &port, resource, sizeof resource) < HTTP_URI_STATUS_OK ||
      std::string(scheme) != kSocketChoice) {
    return "";
  }
  std::string name = host;
  if (name.find(':') != std::string::npos) name.insert(0, 1, '[').push_back(']');  // an IPv6 address
  if (port > 0) name.append(":").append(std::to_string(port));
  return name;
}

std::string fileNameOf(const std::string& uri) {
  const std::string prefix = std::string(kPlainFilePrefix) + fileDeviceFolder() + "/";
  if (fileDeviceFolder().empty() || uri.rfind(prefix, 0) != 0) return "";
  return uri.substr(prefix.size());
}

}  // namespace

std::string socketUri(const std::string& hostPort, std::string* why) {
  const std::string text = trimmed(hostPort);
  std::string host;
  std::string portText;
  if (text.empty()) {
    *why = "Enter the printer's host name or address, with :PORT if its raw port is not 9100.";
    return "";
  }
  if (!splitHostPort(text, &host, &portText)) {
    *why = "'" + text + "' is not a host name or address with an optional :PORT.";
    return "";
  }
  const int port = portText.empty() ? kRawPrinterPort : portNumber(portText);
  if (port == 0) {
    *why = "'" + portText + "' is not a port (1 to 65535).";
    return "";
  }
  char uri[1024];
  if (httpAssembleURI(HTTP_URI_CODING_ALL, uri, sizeof uri, kSocketChoice, nullptr, host.c_str(), port, "/") <
      HTTP_URI_STATUS_OK) {
    *why = "'" + text + "' makes no device URI.";
    return "";
  }
  return uri;
}

bool hostResolves(const std::string& host) {
  http_addrlist_t* list = httpAddrGetList(host.c_str(), AF_UNSPEC, nullptr);
  httpAddrFreeList(list);
  return list != nullptr;
}

std::string fileUri(const std::string& folder, const std::string& name, std::string* why) {
  if (folder.empty()) {
    *why = "This server has no file-device folder (server option file-device-folder).";
    return "";
  }
  const std::string text = trimmed(name);
  if (!isFileName(text)) {
    *why = "'" + text + "' is not a file name inside the folder: letters, digits, '-', '_', '.', '/'; "
           "NAME, or SUB/ for a file per job.";
    return "";
  }
  return std::string(kPlainFilePrefix) + folder + "/" + text;
}

bool readDeviceChoice(const char* deviceUri, const char* hostname, const char* fileName, DeviceChoice* choice,
                      std::string* why) {
  const std::string chosen = deviceUri != nullptr ? deviceUri : "";
  *choice = {};
  if (chosen.empty()) {
    *why = "Choose a device.";
    return false;
  }
  if (chosen == kSocketChoice) {
    choice->uri = socketUri(hostname != nullptr ? hostname : "", why);
    if (choice->uri.empty()) return false;
    char host[256];
    int port = 0;
    char scheme[32], user[32], resource[32];
    httpSeparateURI(HTTP_URI_CODING_ALL, choice->uri.c_str(), scheme, sizeof scheme, user, sizeof user, host,
                    sizeof host, &port, resource, sizeof resource);
    if (!hostResolves(host)) {
      *why = "No address is known for '" + std::string(host) + "'.";
      return false;
    }
  } else if (chosen == kFileChoice) {
    choice->uri = fileUri(fileDeviceFolder(), fileName != nullptr ? fileName : "", why);
    if (choice->uri.empty()) return false;
  } else {
    const std::size_t bar = chosen.find('|');
    choice->uri = chosen.substr(0, bar);
    if (bar != std::string::npos) choice->deviceId = chosen.substr(bar + 1);
  }
  return deviceUriAllowed(choice->uri.c_str(), why);
}

void writeDeviceChooser(pappl_client_t* client, const std::string& current) {
  const std::vector<FoundDevice> found = devicesFound();
  const std::string currentHost = hostPortOf(current);
  const std::string currentFile = fileNameOf(current);
  papplClientHTMLPuts(client,
                      "              <tr><th><label for=\"device_uri\">Device:</label></th><td>"
                      "<select name=\"device_uri\" id=\"device_uri\" onchange=\"showDeviceRows()\">");
  for (const FoundDevice& device : found) {
    const std::string value = device.uri + "|" + device.id;
    papplClientHTMLPrintf(client, "<option value=\"%s\"%s>%s (%s)</option>", value.c_str(),
                          device.uri == current ? " selected" : "", device.info.c_str(), device.uri.c_str());
  }
  if (found.empty()) papplClientHTMLPuts(client, "<option value=\"\" disabled>No USB printer found</option>");
  papplClientHTMLPrintf(client, "<option value=\"socket\"%s>Network printer (raw port, 9100 unless given)</option>",
                        currentHost.empty() ? "" : " selected");
  if (!fileDeviceFolder().empty()) {
    papplClientHTMLPrintf(client, "<option value=\"file\"%s>A file in %s</option>",
                          currentFile.empty() ? "" : " selected", fileDeviceFolder().c_str());
  }
  papplClientHTMLPrintf(client,
                        "</select></td></tr>\n"
                        "              <tr id=\"hostname-row\"><th><label for=\"hostname\">Host or host:port:</label>"
                        "</th><td><input type=\"text\" name=\"hostname\" id=\"hostname\" "
                        "placeholder=\"192.168.1.50 or printer.local:9100\" value=\"%s\"></td></tr>\n",
                        currentHost.c_str());
  if (!fileDeviceFolder().empty()) {
    papplClientHTMLPrintf(client,
                          "              <tr id=\"file-row\"><th><label for=\"file_name\">File:</label></th><td>"
                          "%s/<input type=\"text\" name=\"file_name\" id=\"file_name\" "
                          "placeholder=\"receipt.prn, or jobs/ for a file per job\" value=\"%s\"></td></tr>\n",
                          fileDeviceFolder().c_str(), currentFile.c_str());
  }
  papplClientHTMLPuts(client,
                      "              <script>function showDeviceRows() {\n"
                      "  let chosen = document.getElementById('device_uri').value;\n"
                      "  let rows = {'hostname-row': 'socket', 'file-row': 'file'};\n"
                      "  for (let id in rows) {\n"
                      "    let row = document.getElementById(id);\n"
                      "    if (row) row.style.display = chosen == rows[id] ? '' : 'none';\n"
                      "  }\n"
                      "}\n"
                      "document.addEventListener('DOMContentLoaded', showDeviceRows);</script>\n");
}

}  // namespace app
