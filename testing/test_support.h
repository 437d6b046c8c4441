// Helpers shared by the unit tests.
#ifndef QMX_TESTING_TEST_SUPPORT_H_
#define QMX_TESTING_TEST_SUPPORT_H_

#include <array>
#include <cstdint>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "printsys/printsys.h"
#include "settings/devmode_layout.h"

namespace testsupport {

using Bytes = std::vector<std::uint8_t>;
using Line = std::array<std::uint8_t, 72>;
using Page = std::vector<Line>;

// A fresh private folder, removed with everything in it at the end.
class TempFolder {
 public:
  TempFolder();
  ~TempFolder();
  TempFolder(const TempFolder&) = delete;
  TempFolder& operator=(const TempFolder&) = delete;
  const std::filesystem::path& path() const { return path_; }
  std::vector<std::string> fileNames() const;  // sorted

 private:
  std::filesystem::path path_;
};

// A device object whose DrvWriteSpoolBuf records every call as one group.
class CapturingDevice {
 public:
  CapturingDevice();
  DEVOBJ* devobj() { return &devobj_; }
  const std::vector<Bytes>& groups() const { return groups_; }
  Bytes stream() const;
  void clear() { groups_.clear(); }

  std::uint8_t record[devmode::kRecordSize] = {};
  DEVMODEW publicDm{};

 private:
  static DWORD QMX_APIENTRY capture(DEVOBJ* pdevobj, PVOID buffer, DWORD size);
  DEVOBJ devobj_{};
  DRVPROCS procs_{};
  std::vector<Bytes> groups_;
};

// A record in which every field holds a plain, in-range value: no margins,
// no feeds, no cut, block level 0, ImageLine from the INI file.
void setPlainRecord(std::uint8_t* record);

// A line with the given bytes set to the given values.
Line lineWith(std::initializer_list<std::pair<int, std::uint8_t>> bytes);
Line blankLine();
// A line whose bytes come from a small generator: distinct per seed.
Line patternLine(std::uint32_t seed);

// A random job: every setting drawn, pages of 0 to 400 lines with blank
// runs, partial-width ink and sometimes a long blank tail.
struct GeneratedJob {
  std::uint8_t record[devmode::kRecordSize];
  std::vector<Page> pages;
};
GeneratedJob generateJob(std::mt19937& gen);

// Runs a whole job through the spine: ID 1, per page ID 2, the lines, ID 3;
// then ID 4.
void runJob(CapturingDevice& device, const std::vector<Page>& pages);

// Resets the platform's test controls and the job state.
void resetAll();

}  // namespace testsupport

#endif  // QMX_TESTING_TEST_SUPPORT_H_
