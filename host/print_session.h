// The stand-in print system: drives a plug-in module through the calls the
// universal printer driver makes, in its order, and captures the printer
// byte stream.
//
//   auto module = host::PluginModule::load("libqmx415u.so", &error);
//   auto session = host::PrintSession::open(*module, {}, &error);
//   host::JobResult result = session->runJob(job);   // as many as needed
//   HRESULT unload = session->close();               // DllCanUnloadNow's answer
//
// open():  DllGetClassObject(CLSID_OEMRENDER, IID_IClassFactory),
//          CreateInstance(IID_IPrintOemUni), the factory released,
//          PublishDriverInterface, GetInfo (signature, version),
//          GetImplementedMethod for every method name, DevMode SIZE then
//          DEFAULT (on a zeroed record), EnableDriver, EnablePDEV with the
//          host's own DDI table.
// runJob(): a whole job through host::JobStream (host/job_stream.h): the
//          INI file written, then CommandCallback 1; per page 2, one
//          FilterGraphics per line, 3; finally 4.
// close(): DisablePDEV, DisableDriver, Release, DllCanUnloadNow.
//
// The INI and spool folders are the process's, fixed once (host/process.h);
// open() fixes the defaults when the program has not. Sessions are not
// thread-safe; run one job at a time.
#ifndef QMX_HOST_PRINT_SESSION_H_
#define QMX_HOST_PRINT_SESSION_H_

#include <array>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "host/driver_interface.h"
#include "host/module_loader.h"
#include "jobstate/raster_line.h"
#include "printsys/printsys.h"

namespace host {

inline constexpr std::size_t kLineBytes = jobstate::kLineBytes;
inline constexpr std::size_t kRecordBytes = 572;

using RasterLine = jobstate::RasterLine;
using Page = std::vector<RasterLine>;
using Record = std::array<std::uint8_t, kRecordBytes>;

// Settings fields of the private record. Each one given is written at its
// field's width (higher bits dropped) over the defaulted record; the others
// keep what the defaulted record holds.
struct RecordFields {
  std::optional<std::uint32_t> fsEValue, gsESelect, gsEValue, keepTrailingBlank, blockLevel, firstPageExtraLines,
      topMarginLines, pageEndFeed, jobEndFeed, cutMode, cutKind, preCutFeed, markMode, gsAValue, bandMode;
};

// Writes the given fields into a record.
void applyFields(const RecordFields& fields, Record& record);

// What a job runs with, besides its pages.
struct JobOptions {
  // Used verbatim as the job's private record when set.
  std::optional<Record> rawRecord;
  // Otherwise the defaulted record with these fields, merged by the plug-in
  // (DevMode MERGE into a copy of the defaulted record).
  RecordFields fields;
  // dmPaperLength of the public device mode, tenths of a millimetre.
  std::int16_t paperLength = 2970;
  // ImageLine in QMXI415U.INI, section [QMX415U]; none: no INI file at all.
  std::optional<std::int32_t> imageLine;
};

// A whole job held in memory, for runJob.
struct JobSpec : JobOptions {
  std::vector<Page> pages;
  // Called after each page's end-of-page call, with the pages done so far
  // and the job's page count (progress for long jobs).
  std::function<void(std::size_t done, std::size_t total)> onPageDone;
};

struct JobResult {
  // Every call answered S_OK and CommandCallback left *piResult at 0.
  bool ok = false;
  std::string error;  // the first departure from that
  // One byte group per DrvWriteSpoolBuf call, in call order.
  std::vector<std::vector<std::uint8_t>> writes;
  // The groups concatenated: what the printer receives.
  std::vector<std::uint8_t> stream;
  // For each CommandCallback, in call order: its ID and how many groups had
  // been written when it returned (which page went out when).
  std::vector<std::pair<DWORD, std::size_t>> callbacks;
  // The private record the job ran with.
  Record record{};
};

// The folders a job uses are the process's (host/process.h).
struct SessionOptions {
  // The print system's own DDI table given to EnablePDEV; none: ddiTable().
  std::optional<std::vector<DRVFN>> ddiTable;
  // False: the object given to PublishDriverInterface does not answer
  // IID_IPrintOemDriverUni, and open() goes on without it.
  bool offerDriverInterface = true;
};

class PrintSession {
 public:
  // Runs the set-up sequence; null with *error set when a step fails (what
  // was set up is torn down again). `module` must outlive the session.
  static std::unique_ptr<PrintSession> open(PluginModule& module, const SessionOptions& options,
                                            std::string* error);
  ~PrintSession();  // close() if not yet closed
  PrintSession(const PrintSession&) = delete;
  PrintSession& operator=(const PrintSession&) = delete;

  // The whole job through a JobStream into memory.
  JobResult runJob(const JobSpec& job);

  // Tears the device and the object down and answers DllCanUnloadNow. Later
  // calls only repeat DllCanUnloadNow.
  HRESULT close();

  // What set-up learned and built, for tests and tools.
  IPrintOemUni* plugin() const { return plugin_; }  // null after close()
  DEVOBJ* device();
  DWORD signature() const { return signature_; }
  DWORD version() const { return version_; }
  const std::map<std::string, HRESULT>& implementedMethods() const { return implemented_; }
  const Record& defaultRecord() const { return defaultRecord_; }
  const DRVENABLEDATA& hooks() const { return hooks_; }  // from EnableDriver
  const DriverInterface& driverInterface() const { return driver_; }
  // The process's work folder (host/process.h), where the INI file goes.
  const std::string& workDir() const { return workDir_; }

 private:
  friend class JobStream;
  struct Device;
  PrintSession(PluginModule& module, const SessionOptions& options);
  bool setUp(std::string* error);
  bool writeIniFile(const std::optional<std::int32_t>& imageLine, std::string* error);
  Record jobRecord(const JobOptions& job);

  PluginModule& module_;
  SessionOptions options_;
  DriverInterface driver_;
  std::unique_ptr<Device> device_;
  IPrintOemUni* plugin_ = nullptr;
  bool pdevEnabled_ = false;
  bool jobRunning_ = false;  // a JobStream is between its start and its end
  std::string workDir_;
  DWORD signature_ = 0;
  DWORD version_ = 0;
  std::map<std::string, HRESULT> implemented_;
  Record defaultRecord_{};
  DRVENABLEDATA hooks_{};
  std::vector<DRVFN> ownTable_;
};

// open, one job, close: for one-shot tools. The result's `ok` also requires
// that set-up succeeded and that DllCanUnloadNow answered S_OK at the end.
JobResult printJob(PluginModule& module, const JobSpec& job, const SessionOptions& options = {});

}  // namespace host

#endif  // QMX_HOST_PRINT_SESSION_H_
