#include "app/state_file.h"

#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <mutex>
#include <sstream>

#include "app/journal.h"
#include "app/steady_clock.h"

namespace app {
namespace {

constexpr int kTimerSeconds = 1;
constexpr const char* kJobLine = "Job ";
constexpr const char* kPrinterLine = "<Printer ";
constexpr int kFirstEndedState = IPP_JSTATE_CANCELED;

struct Saving {
  std::string path;
  JournalHolds holds;
  std::mutex mutex;  // one save at a time
  long long lastMs = 0;
  std::atomic<bool> pending{false};
};

Saving& saving() {
  static Saving state;
  return state;
}

int intOption(int count, cups_option_t* options, const char* name) {
  const char* value = cupsGetOption(name, count, options);
  return value != nullptr ? std::atoi(value) : 0;
}

bool saveNow(pappl_system_t* system) {
  Saving& s = saving();
  std::lock_guard<std::mutex> lock(s.mutex);
  s.pending = false;
  s.lastMs = steadyNowMs();
  const std::string written = s.path + ".pappl";
  if (!papplSystemSaveState(system, written.c_str())) return false;
  std::ifstream in(written, std::ios::binary);
  std::ostringstream whole;
  whole << in.rdbuf();
  unlink(written.c_str());
  std::string why;
  if (!replaceFileSynced(s.path, finishedJobsOnly(whole.str(), s.holds), &why)) {
    papplLog(system, PAPPL_LOGLEVEL_ERROR, "The state was not saved: %s", why.c_str());
    return false;
  }
  return true;
}

bool onChange(pappl_system_t* system, void* /*data*/) {
  Saving& s = saving();
  if (steadyNowMs() - s.lastMs < kSaveIntervalMs) {
    s.pending = true;
    return true;
  }
  return saveNow(system);
}

bool onTimer(pappl_system_t* system, void* /*data*/) {
  if (saving().pending && steadyNowMs() - saving().lastMs >= kSaveIntervalMs) saveNow(system);
  return true;  // keep the timer
}

}  // namespace

std::string finishedJobsOnly(const std::string& state, const JournalHolds& holds) {
  std::istringstream lines(state);
  std::string line, kept;
  int printerId = 0;
  while (std::getline(lines, line)) {
    if (line.rfind(kPrinterLine, 0) == 0) {
      cups_option_t* options = nullptr;
      const int count = cupsParseOptions(line.c_str() + std::strlen(kPrinterLine), 0, &options);
      printerId = intOption(count, options, "id");
      cupsFreeOptions(count, options);
    } else if (line.rfind(kJobLine, 0) == 0) {
      cups_option_t* options = nullptr;
      const int count = cupsParseOptions(line.c_str() + std::strlen(kJobLine), 0, &options);
      const int jobId = intOption(count, options, "id");
      const int state = intOption(count, options, "state");
      cupsFreeOptions(count, options);
      if (state < kFirstEndedState || (holds && holds(printerId, jobId))) continue;
    }
    kept += line;
    kept += '\n';
  }
  return kept;
}

void saveStateInto(pappl_system_t* system, std::string path, JournalHolds holds) {
  saving().path = std::move(path);
  saving().holds = std::move(holds);
  papplSystemSetSaveCallback(system, onChange, nullptr);
  papplSystemAddTimerCallback(system, 0, kTimerSeconds, onTimer, nullptr);
}

void flushState(pappl_system_t* system) {
  if (saving().pending) saveNow(system);
}

}  // namespace app
