// Runs the fixed job set through the plug-in as a shared library loaded at
// run time, for valgrind's memcheck: one session for every job (as a print
// system process runs job after job), then one job in a session of its own.
// Each stream is read by the printer model, which branches on every byte,
// so an uninitialised byte sent to the printer is reported too.
//
//   qmx415u-memcheck MODULE
//
// Exit status 0 when every job answered as it should, its stream was
// accepted strictly, no page file stayed behind and the module could unload.
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <string>

#include "crosscheck/job_set.h"
#include "emulator/emulator.h"
#include "host/module_loader.h"
#include "host/print_session.h"
#include "host/process.h"

namespace {

namespace fs = std::filesystem;

int failures = 0;

void complain(const std::string& what) {
  std::fprintf(stderr, "qmx415u-memcheck: %s\n", what.c_str());
  ++failures;
}

void checkJob(const std::string& name, const host::JobResult& result, const fs::path& spool) {
  if (!result.ok) complain(name + ": " + result.error);
  emulator::ParseOptions strict;
  strict.strict = true;
  emulator::ParseResult parsed = emulator::parseGroups(result.writes, strict);
  if (!parsed.status.ok) complain(name + ": stream rejected: " + parsed.status.toString());
  std::error_code ec;
  for (const auto& entry : fs::directory_iterator(spool, ec)) {
    std::string file = entry.path().filename().string();
    if (file.rfind("QMX$$", 0) == 0) complain(name + ": left behind: " + file);
  }
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: qmx415u-memcheck MODULE\n");
    return 2;
  }
  std::string error;
  auto module = host::PluginModule::load(argv[1], &error);
  if (module == nullptr) {
    std::fprintf(stderr, "qmx415u-memcheck: %s\n", error.c_str());
    return 1;
  }

  std::vector<crosscheck::NamedJob> jobs = crosscheck::jobSet();
  {
    auto session = host::PrintSession::open(*module, {}, &error);
    if (session == nullptr) {
      std::fprintf(stderr, "qmx415u-memcheck: set-up failed: %s\n", error.c_str());
      return 1;
    }
    for (const crosscheck::NamedJob& job : jobs) checkJob(job.name, session->runJob(job.spec), session->workDir());
    if (session->close() != printsys::kS_OK) complain("DllCanUnloadNow refuses after the session");
  }

  host::JobResult single = host::printJob(*module, crosscheck::fileSpooledProbeJob());
  checkJob("single file-spooled job", single, host::processFolders(&error)->workDir);

  std::printf("%zu jobs and one single job: %s\n", jobs.size(), failures == 0 ? "passed" : "FAILED");
  return failures == 0 ? 0 : 1;
}
