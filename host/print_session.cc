#include "host/print_session.h"

#include <cstring>
#include <filesystem>
#include <fstream>
#include <system_error>

#include "host/ddi_table.h"
#include "host/job_stream.h"
#include "host/process.h"
#include "host/session_device.h"
#include "settings/devmode_layout.h"

namespace host {
namespace {

constexpr const char* kIniFileName = "QMXI415U.INI";
constexpr const char* kIniSection = "QMX415U";
// Every method name of the plug-in interface, asked of GetImplementedMethod.
constexpr const char* kMethodNames[] = {
    "QueryInterface",    "AddRef",          "Release",        "GetInfo",          "DevMode",
    "EnableDriver",      "DisableDriver",   "EnablePDEV",     "DisablePDEV",      "ResetPDEV",
    "PublishDriverInterface", "GetImplementedMethod", "DriverDMS", "CommandCallback", "ImageProcessing",
    "FilterGraphics",    "Compression",     "HalftonePattern", "MemoryUsage",     "TTYGetInfo",
    "DownloadFontHeader", "DownloadCharGlyph", "TTDownloadMethod", "OutputCharStr", "SendFontCmd",
    "TextOutAsBitmap",
};
// Without these the host has no way to run a job.
constexpr const char* kRequiredMethods[] = {"DevMode", "EnableDriver", "EnablePDEV", "DisablePDEV",
                                            "CommandCallback", "FilterGraphics"};

std::string failed(const char* call, HRESULT result) { return answered(call, result); }

bool fail(std::string* error, std::string reason) {
  if (error != nullptr) *error = std::move(reason);
  return false;
}

}  // namespace

void applyFields(const RecordFields& f, Record& record) {
  std::uint8_t* r = record.data();
  auto u8 = [r](std::size_t offset, const std::optional<std::uint32_t>& v) {
    if (v) r[offset] = static_cast<std::uint8_t>(*v);
  };
  auto u16 = [r](std::size_t offset, const std::optional<std::uint32_t>& v) {
    if (v) devmode::writeU16(r, offset, *v & 0xFFFF);
  };
  auto u32 = [r](std::size_t offset, const std::optional<std::uint32_t>& v) {
    if (v) devmode::writeU32(r, offset, *v);
  };
  u32(devmode::kFsEValue, f.fsEValue);
  u32(devmode::kGsESelect, f.gsESelect);
  u8(devmode::kGsEValue, f.gsEValue);
  u8(devmode::kKeepTrailingBlank, f.keepTrailingBlank);
  u8(devmode::kBlockLevel, f.blockLevel);
  u16(devmode::kFirstPageExtraLines, f.firstPageExtraLines);
  u16(devmode::kTopMarginLines, f.topMarginLines);
  u16(devmode::kPageEndFeed, f.pageEndFeed);
  u16(devmode::kJobEndFeed, f.jobEndFeed);
  u8(devmode::kCutMode, f.cutMode);
  u8(devmode::kCutKind, f.cutKind);
  u16(devmode::kPreCutFeed, f.preCutFeed);
  u8(devmode::kMarkMode, f.markMode);
  u16(devmode::kGsAValue, f.gsAValue);
  u8(devmode::kBandMode, f.bandMode);
}

PrintSession::PrintSession(PluginModule& module, const SessionOptions& options)
    : module_(module), options_(options), driver_(options.offerDriverInterface), device_(new Device) {}

std::unique_ptr<PrintSession> PrintSession::open(PluginModule& module, const SessionOptions& options,
                                                 std::string* error) {
  std::unique_ptr<PrintSession> session(new PrintSession(module, options));
  std::string reason;
  if (!session->setUp(&reason)) {
    session->close();
    if (error != nullptr) *error = reason;
    return nullptr;
  }
  return session;
}

bool PrintSession::setUp(std::string* error) {
  const ProcessFolders* folders = processFolders(error);
  if (folders == nullptr) return false;
  workDir_ = folders->workDir;

  void* pointer = nullptr;
  HRESULT hr = module_.getClassObject(printsys::kCLSID_OEMRENDER, printsys::kIID_IClassFactory, &pointer);
  if (hr != printsys::kS_OK || pointer == nullptr) return fail(error, failed("DllGetClassObject", hr));
  auto* factory = static_cast<IClassFactory*>(pointer);
  pointer = nullptr;
  hr = factory->CreateInstance(nullptr, printsys::kIID_IPrintOemUni, &pointer);
  factory->Release();
  if (hr != printsys::kS_OK || pointer == nullptr) return fail(error, failed("CreateInstance", hr));
  plugin_ = static_cast<IPrintOemUni*>(pointer);

  hr = plugin_->PublishDriverInterface(&driver_);
  if (options_.offerDriverInterface && hr != printsys::kS_OK)
    return fail(error, failed("PublishDriverInterface", hr));

  DWORD needed = 0;
  hr = plugin_->GetInfo(printsys::kOEMGI_GETSIGNATURE, &signature_, sizeof signature_, &needed);
  if (hr != printsys::kS_OK) return fail(error, failed("GetInfo(signature)", hr));
  hr = plugin_->GetInfo(printsys::kOEMGI_GETVERSION, &version_, sizeof version_, &needed);
  if (hr != printsys::kS_OK) return fail(error, failed("GetInfo(version)", hr));

  for (const char* name : kMethodNames) {
    std::string copy = name;
    implemented_[name] = plugin_->GetImplementedMethod(copy.data());
  }
  for (const char* name : kRequiredMethods) {
    if (implemented_[name] != printsys::kS_OK) return fail(error, std::string(name) + " is not implemented");
  }

  OEMDMPARAM param{};
  param.cbSize = sizeof param;
  hr = plugin_->DevMode(printsys::kOEMDM_SIZE, &param);
  if (hr != printsys::kS_OK) return fail(error, failed("DevMode(SIZE)", hr));
  if (param.cbBufSize != kRecordBytes)
    return fail(error, "DevMode(SIZE) asked for " + std::to_string(param.cbBufSize) + " bytes");
  defaultRecord_.fill(0);
  param.pOEMDMOut = defaultRecord_.data();
  hr = plugin_->DevMode(printsys::kOEMDM_DEFAULT, &param);
  if (hr != printsys::kS_OK) return fail(error, failed("DevMode(DEFAULT)", hr));

  hr = plugin_->EnableDriver(printsys::kPRINTER_OEMINTF_VERSION, sizeof hooks_, &hooks_);
  if (hr != printsys::kS_OK) return fail(error, failed("EnableDriver", hr));

  ownTable_ = options_.ddiTable ? *options_.ddiTable : ddiTable();
  DRVENABLEDATA own{printsys::kPRINTER_OEMINTF_VERSION, static_cast<ULONG>(ownTable_.size()), ownTable_.data()};
  WCHAR printerName[] = {'Q', 'M', 'X', '4', '1', '5', 'U', 0};
  PVOID devOem = nullptr;
  hr = plugin_->EnablePDEV(&device_->devobj, printerName, 0, nullptr, 0, nullptr, 0, nullptr, &own, &devOem);
  if (hr != printsys::kS_OK) return fail(error, failed("EnablePDEV", hr));
  device_->devobj.pdevOEM = devOem;
  pdevEnabled_ = true;
  return true;
}

PrintSession::~PrintSession() { close(); }

HRESULT PrintSession::close() {
  if (plugin_ != nullptr && jobRunning_) {
    // A job left open: end it, so the plug-in frees its buffers and files.
    INT iResult = 0;
    plugin_->CommandCallback(&device_->devobj, 4, 0, nullptr, &iResult);
    device_->sink = nullptr;
    jobRunning_ = false;
  }
  if (plugin_ != nullptr) {
    if (pdevEnabled_) plugin_->DisablePDEV(&device_->devobj);
    pdevEnabled_ = false;
    plugin_->DisableDriver();
    plugin_->Release();
    plugin_ = nullptr;
  }
  return module_.canUnloadNow();
}

DEVOBJ* PrintSession::device() { return &device_->devobj; }

bool PrintSession::writeIniFile(const std::optional<std::int32_t>& imageLine, std::string* error) {
  const std::filesystem::path ini = std::filesystem::path(workDir_) / kIniFileName;
  std::error_code ec;
  if (imageLine) {
    std::ofstream out(ini, std::ios::binary | std::ios::trunc);
    out << '[' << kIniSection << "]\r\nImageLine=" << *imageLine << "\r\n";
    if (!out) return fail(error, "cannot write " + ini.string());
  } else {
    std::filesystem::remove(ini, ec);
    if (ec) return fail(error, "cannot remove " + ini.string() + ": " + ec.message());
  }
  return true;
}

Record PrintSession::jobRecord(const JobOptions& job) {
  if (job.rawRecord) return *job.rawRecord;
  Record wanted = defaultRecord_;
  applyFields(job.fields, wanted);
  Record merged = defaultRecord_;
  OEMDMPARAM param{};
  param.cbSize = sizeof param;
  param.pOEMDMIn = wanted.data();
  param.pOEMDMOut = merged.data();
  param.cbBufSize = kRecordBytes;
  plugin_->DevMode(printsys::kOEMDM_MERGE, &param);
  return merged;
}

JobResult PrintSession::runJob(const JobSpec& job) {
  JobResult result;
  MemorySink sink;
  std::string error;
  std::unique_ptr<JobStream> stream = JobStream::start(*this, job, sink, &error);
  if (stream == nullptr) {
    result.error = error;
    return result;
  }
  auto noteCallback = [&](DWORD id) { result.callbacks.emplace_back(id, stream->groupsWritten()); };
  noteCallback(1);
  std::size_t done = 0;
  for (const Page& page : job.pages) {
    stream->startPage();
    noteCallback(2);
    for (const RasterLine& line : page) stream->addLine(line);
    stream->endPage();
    noteCallback(3);
    if (job.onPageDone) job.onPageDone(++done, job.pages.size());
  }
  stream->end();
  noteCallback(4);
  result.ok = stream->ok();
  result.error = stream->error();
  result.record = stream->record();
  result.writes = sink.takeGroups();
  for (const auto& group : result.writes) result.stream.insert(result.stream.end(), group.begin(), group.end());
  return result;
}

JobResult printJob(PluginModule& module, const JobSpec& job, const SessionOptions& options) {
  std::string error;
  auto session = PrintSession::open(module, options, &error);
  if (session == nullptr) {
    JobResult result;
    result.error = error;
    return result;
  }
  JobResult result = session->runJob(job);
  HRESULT unload = session->close();
  if (result.ok && unload != printsys::kS_OK) {
    result.ok = false;
    result.error = failed("DllCanUnloadNow", unload);
  }
  return result;
}

}  // namespace host
