#include "app/printer_device.h"

#include <memory>
#include <mutex>
#include <set>
#include <vector>

namespace app {
namespace {

constexpr std::size_t kTextSize = 1024;

// What is set for a printer that PAPPL keeps, to give the printer made again.
struct PrinterSettings {
  int id = 0;
  std::string name;
  std::string driver;
  pappl_pr_driver_data_t data{};
  std::vector<std::pair<std::string, std::string>> vendorDefaults;
  std::string location, geoLocation, organization, orgUnit, dnsSdName, printGroup;
  pappl_contact_t contact{};
  int maxActive = 0, maxCompleted = 0, maxPreserved = 0, nextJobId = 0;
  bool isDefault = false;
};

std::mutex madeAgainLock;
std::set<int>& madeAgain() {
  static std::set<int> ids;
  return ids;
}

// Marks a printer id as being made again for as long as it lives.
class MadeAgain {
 public:
  explicit MadeAgain(int id) : id_(id) {
    const std::lock_guard<std::mutex> hold(madeAgainLock);
    madeAgain().insert(id_);
  }
  ~MadeAgain() {
    const std::lock_guard<std::mutex> hold(madeAgainLock);
    madeAgain().erase(id_);
  }
  MadeAgain(const MadeAgain&) = delete;
  MadeAgain& operator=(const MadeAgain&) = delete;

 private:
  int id_;
};

template <typename Getter>
std::string textOf(pappl_printer_t* printer, Getter get) {
  char text[kTextSize] = "";
  return get(printer, text, sizeof text) != nullptr ? text : "";
}

PrinterSettings settingsOf(pappl_printer_t* printer) {
  PrinterSettings s;
  s.id = papplPrinterGetID(printer);
  s.name = papplPrinterGetName(printer);
  s.driver = papplPrinterGetDriverName(printer);
  papplPrinterGetDriverData(printer, &s.data);
  const std::unique_ptr<ipp_t, decltype(&ippDelete)> attrs(papplPrinterGetDriverAttributes(printer), ippDelete);
  for (int i = 0; i < s.data.num_vendor; ++i) {
    const std::string name = s.data.vendor[i];
    ipp_attribute_t* attr = ippFindAttribute(attrs.get(), (name + "-default").c_str(), IPP_TAG_ZERO);
    if (attr == nullptr) continue;
    char value[kTextSize];
    ippAttributeString(attr, value, sizeof value);
    s.vendorDefaults.emplace_back(name, value);
  }
  s.location = textOf(printer, papplPrinterGetLocation);
  s.geoLocation = textOf(printer, papplPrinterGetGeoLocation);
  s.organization = textOf(printer, papplPrinterGetOrganization);
  s.orgUnit = textOf(printer, papplPrinterGetOrganizationalUnit);
  s.dnsSdName = textOf(printer, papplPrinterGetDNSSDName);
  s.printGroup = textOf(printer, papplPrinterGetPrintGroup);
  papplPrinterGetContact(printer, &s.contact);
  s.maxActive = papplPrinterGetMaxActiveJobs(printer);
  s.maxCompleted = papplPrinterGetMaxCompletedJobs(printer);
  s.maxPreserved = papplPrinterGetMaxPreservedJobs(printer);
  s.nextJobId = papplPrinterGetNextJobID(printer);
  s.isDefault = papplSystemGetDefaultPrinterID(papplPrinterGetSystem(printer)) == s.id;
  return s;
}

const char* orNull(const std::string& text) { return text.empty() ? nullptr : text.c_str(); }

void restore(pappl_printer_t* printer, PrinterSettings& s) {
  int count = 0;
  cups_option_t* vendor = nullptr;
  for (const auto& [name, value] : s.vendorDefaults) count = cupsAddOption(name.c_str(), value.c_str(), count, &vendor);
  papplPrinterSetDriverDefaults(printer, &s.data, count, vendor);
  cupsFreeOptions(count, vendor);
  papplPrinterSetReadyMedia(printer, s.data.num_source, s.data.media_ready);
  papplPrinterSetLocation(printer, orNull(s.location));
  papplPrinterSetGeoLocation(printer, orNull(s.geoLocation));
  papplPrinterSetOrganization(printer, orNull(s.organization));
  papplPrinterSetOrganizationalUnit(printer, orNull(s.orgUnit));
  if (!s.dnsSdName.empty()) papplPrinterSetDNSSDName(printer, s.dnsSdName.c_str());
  papplPrinterSetPrintGroup(printer, orNull(s.printGroup));
  papplPrinterSetContact(printer, &s.contact);
  papplPrinterSetMaxActiveJobs(printer, s.maxActive);
  papplPrinterSetMaxCompletedJobs(printer, s.maxCompleted);
  papplPrinterSetMaxPreservedJobs(printer, s.maxPreserved);
  papplPrinterSetNextJobID(printer, s.nextJobId);
  if (s.isDefault) papplSystemSetDefaultPrinterID(papplPrinterGetSystem(printer), s.id);
}

pappl_printer_t* makeAgain(pappl_system_t* system, PrinterSettings& s, const std::string& uri,
                           const std::string& deviceId) {
  pappl_printer_t* printer = papplPrinterCreate(system, s.id, s.name.c_str(), s.driver.c_str(), orNull(deviceId),
                                                uri.c_str());
  if (printer != nullptr) restore(printer, s);
  return printer;
}

}  // namespace

pappl_printer_t* changeDevice(pappl_printer_t* printer, const DeviceChoice& device, std::string* why) {
  why->clear();
  if (papplPrinterGetNumberOfActiveJobs(printer) > 0) {
    *why = "The printer has jobs waiting or printing; change its device when it is idle.";
    return printer;
  }
  const std::string oldUri = papplPrinterGetDeviceURI(printer);
  const char* deviceId = papplPrinterGetDeviceID(printer);
  const std::string oldId = deviceId != nullptr ? deviceId : "";
  PrinterSettings settings = settingsOf(printer);
  pappl_system_t* system = papplPrinterGetSystem(printer);
  const MadeAgain marked(settings.id);
  papplPrinterDelete(printer);  // `printer` is gone
  if (pappl_printer_t* changed = makeAgain(system, settings, device.uri, device.deviceId)) return changed;
  *why = "The printer could not be set up on " + device.uri + "; it stays on " + oldUri + ".";
  return makeAgain(system, settings, oldUri, oldId);
}

bool beingMadeAgain(int id) {
  const std::lock_guard<std::mutex> hold(madeAgainLock);
  return madeAgain().count(id) != 0;
}

}  // namespace app
