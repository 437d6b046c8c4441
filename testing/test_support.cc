#include "testing/test_support.h"

#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <random>

#include "platform/fault_injection.h"
#include "spool/job_control.h"
#include "jobstate/job_state.h"
#include "spool/line_store.h"

namespace testsupport {

TempFolder::TempFolder() {
  std::string tmpl = (std::filesystem::temp_directory_path() / "qmx-test-XXXXXX").string();
  char* made = mkdtemp(tmpl.data());
  path_ = made != nullptr ? std::filesystem::path(made) : std::filesystem::temp_directory_path();
}

TempFolder::~TempFolder() {
  std::error_code ec;
  std::filesystem::remove_all(path_, ec);
}

std::vector<std::string> TempFolder::fileNames() const {
  std::vector<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(path_)) names.push_back(entry.path().filename().string());
  std::sort(names.begin(), names.end());
  return names;
}

CapturingDevice::CapturingDevice() {
  procs_.DrvWriteSpoolBuf = &CapturingDevice::capture;
  devobj_.dwSize = sizeof(DEVOBJ);
  devobj_.pdevOEM = this;
  devobj_.pPublicDM = &publicDm;
  devobj_.pOEMDM = record;
  devobj_.pDrvProcs = &procs_;
  publicDm.dmPaperLength = 2970;
  setPlainRecord(record);
}

DWORD QMX_APIENTRY CapturingDevice::capture(DEVOBJ* pdevobj, PVOID buffer, DWORD size) {
  auto* self = static_cast<CapturingDevice*>(pdevobj->pdevOEM);
  const auto* bytes = static_cast<const std::uint8_t*>(buffer);
  self->groups_.emplace_back(bytes, bytes + size);
  return size;
}

Bytes CapturingDevice::stream() const {
  Bytes all;
  for (const Bytes& g : groups_) all.insert(all.end(), g.begin(), g.end());
  return all;
}

void setPlainRecord(std::uint8_t* record) {
  std::fill(record, record + devmode::kRecordSize, 0);
  devmode::writeU32(record, devmode::kDwSize, devmode::kRecordSize);
  devmode::writeU32(record, devmode::kDwSignature, devmode::kSignature);
  devmode::writeU32(record, devmode::kDwVersion, devmode::kVersion);
  devmode::writeU32(record, devmode::kFsEValue, 10);
  record[devmode::kGsEValue] = 3;
  record[devmode::kCutKind] = 1;
}

Line lineWith(std::initializer_list<std::pair<int, std::uint8_t>> bytes) {
  Line line{};
  for (auto [index, value] : bytes) line[static_cast<std::size_t>(index)] = value;
  return line;
}

Line blankLine() { return Line{}; }

Line patternLine(std::uint32_t seed) {
  std::mt19937 gen(seed * 2654435761u + 1);
  Line line{};
  for (auto& b : line) b = static_cast<std::uint8_t>(gen() % 4 == 0 ? gen() : 0);
  line[seed % 72] |= 0x01;  // never blank
  return line;
}

GeneratedJob generateJob(std::mt19937& gen) {
  GeneratedJob job;
  setPlainRecord(job.record);
  auto pick = [&](std::uint32_t n) { return static_cast<std::uint32_t>(gen() % n); };
  devmode::writeU16(job.record, devmode::kTopMarginLines, pick(3) == 0 ? 0 : pick(20));
  devmode::writeU16(job.record, devmode::kFirstPageExtraLines, pick(10));
  devmode::writeU16(job.record, devmode::kPageEndFeed, pick(3) == 0 ? 0 : pick(256));
  devmode::writeU16(job.record, devmode::kJobEndFeed, pick(256));
  devmode::writeU16(job.record, devmode::kPreCutFeed, pick(256));
  job.record[devmode::kKeepTrailingBlank] = static_cast<std::uint8_t>(pick(2));
  job.record[devmode::kBandMode] = static_cast<std::uint8_t>(pick(2));
  job.record[devmode::kCutMode] = static_cast<std::uint8_t>(pick(3));
  job.record[devmode::kCutKind] = static_cast<std::uint8_t>(pick(2));
  job.record[devmode::kMarkMode] = static_cast<std::uint8_t>(pick(2));
  job.record[devmode::kBlockLevel] = static_cast<std::uint8_t>(pick(4));
  int pageCount = static_cast<int>(pick(4));
  for (int p = 0; p < pageCount; ++p) {
    Page page;
    int lines = static_cast<int>(pick(400));
    for (int i = 0; i < lines; ++i) {
      if (pick(3) == 0) {
        page.push_back(blankLine());
      } else {
        Line line{};
        std::uint32_t from = pick(72), to = from + pick(72 - from);
        for (std::uint32_t b = from; b <= to; ++b) line[b] = static_cast<std::uint8_t>(pick(3) == 0 ? gen() : 0xFF);
        page.push_back(line);
      }
    }
    page.insert(page.end(), pick(3) == 0 ? pick(200) : 0, blankLine());
    job.pages.push_back(page);
  }
  return job;
}


void runJob(CapturingDevice& device, const std::vector<Page>& pages) {
  spool::commandCallback(device.devobj(), spool::kStartJob);
  for (const Page& page : pages) {
    spool::commandCallback(device.devobj(), spool::kStartPage);
    for (const Line& line : page) spool::storeRasterLine(line.data(), static_cast<std::uint32_t>(line.size()));
    spool::commandCallback(device.devobj(), spool::kEndPage);
  }
  spool::commandCallback(device.devobj(), spool::kEndJob);
}

void resetAll() {
  jobstate::resetJobState();
  platform::testing::reset();
  // No INI file unless a test writes one.
  platform::testing::setProfileFolder("/nonexistent/qmx415u-test-ini");
}

}  // namespace testsupport
