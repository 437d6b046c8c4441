// Whole jobs through the COM surface the print system sees: the class
// factory from DllGetClassObject, a plug-in object from it, and its
// CommandCallback and FilterGraphics methods.
#include <benchmark/benchmark.h>

#include "bench/bench_registry.h"
#include "bench/job_driver.h"
#include "plugin/module.h"
#include "printsys/printsys.h"
#include "spool/job_control.h"
#include "jobstate/job_state.h"

namespace bench {
namespace {

constexpr int kJobPages = 3;

// The plug-in object the print system would create; null on failure.
IPrintOemUni* createPluginObject() {
  void* factory = nullptr;
  if (DllGetClassObject(printsys::kCLSID_OEMRENDER, printsys::kIID_IClassFactory, &factory) != printsys::kS_OK)
    return nullptr;
  auto* classFactory = static_cast<IClassFactory*>(factory);
  void* object = nullptr;
  HRESULT hr = classFactory->CreateInstance(nullptr, printsys::kIID_IPrintOemUni, &object);
  classFactory->Release();
  return hr == printsys::kS_OK ? static_cast<IPrintOemUni*>(object) : nullptr;
}

void comJob(benchmark::State& state, Raster kind, Spooling spooling, Encoding encoding) {
  benchPlatform();  // the spool and INI folders, set up once
  BenchDevice device;
  device.configure(spooling, encoding);
  IPrintOemUni* plugin = createPluginObject();
  if (plugin == nullptr) {
    state.SkipWithError("DllGetClassObject or CreateInstance failed");
    return;
  }
  const auto& page = pageOf(kind);
  auto lines = static_cast<DWORD>(page.size() / kLineBytes);
  auto* bytes = const_cast<BYTE*>(page.data());
  DEVOBJ* pdevobj = device.devobj();
  INT result = 0;
  for (auto _ : state) {
    device.clear();
    plugin->CommandCallback(pdevobj, spool::kStartJob, 0, nullptr, &result);
    for (int p = 0; p < kJobPages; ++p) {
      plugin->CommandCallback(pdevobj, spool::kStartPage, 0, nullptr, &result);
      for (DWORD i = 0; i < lines; ++i) plugin->FilterGraphics(pdevobj, bytes + i * kLineBytes, kLineBytes);
      plugin->CommandCallback(pdevobj, spool::kEndPage, 0, nullptr, &result);
    }
    plugin->CommandCallback(pdevobj, spool::kEndJob, 0, nullptr, &result);
  }
  plugin->Release();
  if (device.bytesWritten() == 0) state.SkipWithError("the job sent nothing");
  state.counters["stream"] = static_cast<double>(device.bytesWritten());
  setRates(state, page.size() * kJobPages);
  jobstate::resetJobState();
}

}  // namespace

bool registerComBenchmarks(Raster kind) {
  std::string suffix = std::string("/") + rasterName(kind);
  addBenchmark("ComJob/memory-block" + suffix, comJob, kind, Spooling::kMemory, Encoding::kBlock);
  addBenchmark("ComJob/memory-band" + suffix, comJob, kind, Spooling::kMemory, Encoding::kBand);
  addBenchmark("ComJob/file-block" + suffix, comJob, kind, Spooling::kFile, Encoding::kBlock);
  return true;
}

}  // namespace bench
