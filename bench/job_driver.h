// Runs whole jobs through the spine (command callbacks and the line store)
// the way the print system does, with a device that keeps what it is sent.
#ifndef QMX_BENCH_JOB_DRIVER_H_
#define QMX_BENCH_JOB_DRIVER_H_

#include <cstdint>
#include <string>
#include <vector>

#include "printsys/printsys.h"
#include "settings/devmode_layout.h"

namespace bench {

enum class Spooling { kMemory, kFile };
enum class Encoding { kBlock, kBand };

// Paper lengths (tenths of a millimetre): a receipt page kept in memory, and
// one long enough to go to page files.
inline constexpr short kMemoryPaperLength = 2970;
inline constexpr short kFilePaperLength = 12600;

// A device object whose DrvWriteSpoolBuf copies each group into a sink
// reserved up front (wrapping when full), as a spooler would.
class BenchDevice {
 public:
  explicit BenchDevice(std::size_t sinkBytes = 8u << 20);
  BenchDevice(const BenchDevice&) = delete;
  BenchDevice& operator=(const BenchDevice&) = delete;

  // Settings of a typical receipt job: 12 top lines, cut after the job,
  // trailing blank lines trimmed (block mode).
  void configure(Spooling spooling, Encoding encoding);

  DEVOBJ* devobj() { return &devobj_; }
  std::uint64_t bytesWritten() const { return total_; }
  std::uint64_t checksum() const { return checksum_; }
  void clear() { total_ = 0; used_ = 0; checksum_ = 0; }

 private:
  static DWORD QMX_APIENTRY capture(DEVOBJ* pdevobj, PVOID buffer, DWORD size);

  std::uint8_t record_[devmode::kRecordSize] = {};
  DEVMODEW publicDm_{};
  DEVOBJ devobj_{};
  DRVPROCS procs_{};
  std::vector<std::uint8_t> sink_;
  std::size_t used_ = 0;
  std::uint64_t total_ = 0;
  std::uint64_t checksum_ = 0;
};

// The environment variables through which the platform layer finds its
// folders, and a folder that holds no INI file (default settings).
inline constexpr const char* kSpoolFolderEnv = "QMX415U_SPOOL_DIR";
inline constexpr const char* kProfileFolderEnv = "QMX415U_INI_DIR";
inline constexpr const char* kNoProfileFolder = "/nonexistent/qmx415u-bench-ini";

// A private spool folder for page files, and no INI file, for the life of
// the object.
class BenchPlatform {
 public:
  BenchPlatform();
  ~BenchPlatform();
  BenchPlatform(const BenchPlatform&) = delete;
  BenchPlatform& operator=(const BenchPlatform&) = delete;
  const std::string& spoolFolder() const { return folder_; }

 private:
  std::string folder_;
};

// Drives one job: start of job, then per page a start, every line of `page`
// through storeRasterLine and an end, then the end of the job.
void runSpineJob(DEVOBJ* pdevobj, const std::uint8_t* page, std::uint32_t lines, int pages);

}  // namespace bench

#endif  // QMX_BENCH_JOB_DRIVER_H_
