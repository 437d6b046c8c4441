#include "app/worker.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace {

// A worker that is a shell script, with what it gave the device and said.
struct WorkerRun {
  std::vector<std::string> groups;
  std::vector<std::string> messages;
  app::WorkerOutcome outcome;
  double seconds = 0;
  std::string folder;  // its TMPDIR, as it said
};

struct Script {
  std::string text;
  std::string input = {};               // its stdin, a file
  bool deviceFails = false;             // the device refuses every group
  int idleTimeoutMs = 10000;
  std::vector<std::string> environment = {};
};

std::string tempParent() {
  const char* dir = std::getenv("TMPDIR");
  return dir != nullptr && *dir != '\0' ? dir : "/tmp";
}

WorkerRun runScript(const Script& script) {
  WorkerRun run;
  app::WorkerSetup setup;
  setup.program = "/bin/sh";
  setup.arguments = {"-c", script.text};
  setup.environment = script.environment;
  setup.folderParent = tempParent();
  setup.idleTimeoutMs = script.idleTimeoutMs;
  // The document, as the server hands it: a file it opened.
  const std::string document = tempParent() + "/worker-test-input-" + std::to_string(getpid());
  std::ofstream(document, std::ios::binary) << script.input;
  setup.input = open(document.c_str(), O_RDONLY | O_CLOEXEC);
  unlink(document.c_str());
  std::string error;
  const auto started = std::chrono::steady_clock::now();
  auto worker = app::Worker::start(
      setup,
      [&](const std::uint8_t* bytes, std::size_t length) {
        if (script.deviceFails) return false;
        run.groups.emplace_back(reinterpret_cast<const char*>(bytes), length);
        return true;
      },
      [&](const std::string& line) {
        run.messages.push_back(line);
        if (line.rfind("TMPDIR=", 0) == 0) run.folder = line.substr(7);
      },
      &error);
  close(setup.input);  // the worker has its own
  EXPECT_NE(worker, nullptr) << error;
  if (!worker) return run;
  run.outcome = worker->finish();
  run.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
  return run;
}

// The frame of one group, as printf writes it: length (little-endian), bytes.
std::string frame(const std::string& bytes) {
  char length[32];
  std::snprintf(length, sizeof length, "\\%03o\\%03o\\000\\000", static_cast<unsigned>(bytes.size() & 0xFF),
                static_cast<unsigned>(bytes.size() >> 8));
  return length + bytes;
}

// How each way a worker can end is told apart, and what reaches the
// device: whole groups only, none after the device failed.
TEST(WorkerTest, EachEndIsToldApartAndOnlyWholeGroupsReachTheDevice) {
  const std::string oneMegabyte(1 << 20, 'r');
  struct Case {
    const char* name;
    Script script;
    app::WorkerEnd end;
    std::vector<std::string> groups;
    const char* why;  // a part of the reason
  };
  const Case cases[] = {
      {"printed, its input read whole",
       {"n=$(wc -c); [ \"$n\" = 1048576 ] || exit 9; printf '" + frame("abc") + frame("de") + "'", oneMegabyte},
       app::WorkerEnd::kPrinted,
       {"abc", "de"},
       ""},
      {"refused the job",
       {"printf '" + frame("ok") + "'; echo 'ERROR: page 2: too tall' >&2; exit 1"},
       app::WorkerEnd::kFailed,
       {"ok"},
       "page 2: too tall"},
      {"crashed", {"printf '" + frame("ok") + "'; kill -9 $$"}, app::WorkerEnd::kCrashed, {"ok"}, "signal 9"},
      {"hung", {"sleep 30", "", false, 300}, app::WorkerEnd::kHung, {}, "no sign of life"},
      {"ended inside a group",
       {"printf '" + frame("whole") + "\\007\\000\\000\\000half'"},
       app::WorkerEnd::kBroken,
       {"whole"},
       "inside a command group"},
      {"not framed", {"printf 'plain bytes, no frames at all'"}, app::WorkerEnd::kBroken, {}, "not command groups"},
      {"device failed", {"printf '" + frame("lost") + "'; sleep 30", "", true}, app::WorkerEnd::kOutputFailed, {},
       "printer stopped taking bytes"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const WorkerRun run = runScript(c.script);
    EXPECT_EQ(run.outcome.end, c.end) << run.outcome.why;
    EXPECT_EQ(run.groups, c.groups);
    EXPECT_NE(run.outcome.why.find(c.why), std::string::npos) << run.outcome.why;
    EXPECT_LT(run.seconds, 5.0) << "a worker that cannot go on is not waited for";
  }
}

// A worker sees only what it is given, in a folder of its own that goes
// with it, whatever it left there, without following its links out.
TEST(WorkerTest, CleanEnvironmentAndAFolderRemovedWithoutFollowingLinks) {
  const std::filesystem::path outside = std::filesystem::path(tempParent()) / ("worker-test-" + std::to_string(getpid()));
  std::filesystem::create_directories(outside);
  std::ofstream(outside / "keep") << "kept";
  setenv("QMX_WORKER_TEST_SECRET", "1", 1);
  Script script;
  script.environment = {"OUTSIDE=" + outside.string()};
  script.text =
      "env >&2; mkdir sub && echo x >sub/f && ln -s \"$OUTSIDE\" sub/out && ln -s \"$OUTSIDE/keep\" link &&"
      " [ \"$(pwd)\" = \"$TMPDIR\" ]";
  const WorkerRun run = runScript(script);
  unsetenv("QMX_WORKER_TEST_SECRET");
  EXPECT_EQ(run.outcome.end, app::WorkerEnd::kPrinted) << run.outcome.why;
  std::vector<std::string> names;
  for (const std::string& line : run.messages) names.push_back(line.substr(0, line.find('=')));
  for (const char* expected : {"TMPDIR", "PATH", "LANG", "QMX415U_OUTPUT", "OUTSIDE"})
    EXPECT_NE(std::find(names.begin(), names.end(), expected), names.end()) << expected;
  EXPECT_EQ(std::find(names.begin(), names.end(), "QMX_WORKER_TEST_SECRET"), names.end()) << "the server's environment leaked";
  EXPECT_EQ(std::find(names.begin(), names.end(), "HOME"), names.end()) << "the server's environment leaked";
  ASSERT_FALSE(run.folder.empty());
  EXPECT_FALSE(std::filesystem::exists(std::filesystem::symlink_status(run.folder))) << "the folder is gone";
  EXPECT_TRUE(std::filesystem::exists(outside / "keep")) << "a link was followed out of the folder";
  std::filesystem::remove_all(outside);
}

// A worker has no socket to reach the server's local socket or the
// network with, and cannot read another process's memory.
TEST(WorkerTest, NoSocketsForAWorker) {
  if (access("/usr/bin/python3", X_OK) != 0) GTEST_SKIP() << "no python3";
  Script script;
  script.text =
      "/usr/bin/python3 -c 'import socket\ntry:\n socket.socket(socket.AF_UNIX)\nexcept PermissionError:\n"
      " print(\"ERROR: no socket\")\n raise SystemExit(3)' >&2";
  const WorkerRun run = runScript(script);
  EXPECT_EQ(run.outcome.end, app::WorkerEnd::kFailed) << run.outcome.why;
  EXPECT_EQ(run.outcome.why, "no socket");
}

}  // namespace
