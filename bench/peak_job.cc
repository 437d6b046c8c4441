// Runs one memory-spooled job of receipt pages, generating each line as it
// is stored, so that the peak memory of the whole process (measured from
// outside, e.g. with /usr/bin/time -v) is the job's own plus the runtime's.
//
//   qmx_peak_job [--pages N] [--paper TENTHS_MM] [--band] [--idle]
//
// --idle does everything but the job: the runtime's share alone.
#include <cstdio>
#include <cstdlib>
#include <stdlib.h>
#include <cstring>
#include <string>

#if defined(__GLIBC__)
#include <malloc.h>
#endif

#include "bench/job_driver.h"
#include "bench/rasters.h"
#include "spool/job_control.h"
#include "jobstate/job_state.h"
#include "spool/line_store.h"

int main(int argc, char** argv) {
#if defined(__GLIBC__)
  // A fixed threshold keeps every block over 128 KiB in a mapping of its own
  // that goes back to the system when freed, as large heap blocks do on the
  // target system; glibc's default would otherwise raise the threshold after
  // the first free and keep freed blocks resident.
  mallopt(M_MMAP_THRESHOLD, 128 * 1024);
#endif
  int pages = 3;
  short paper = bench::kMemoryPaperLength;
  bool band = false;
  bool idle = false;
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    if (arg == "--pages" && i + 1 < argc) {
      pages = std::atoi(argv[++i]);
    } else if (arg == "--paper" && i + 1 < argc) {
      paper = static_cast<short>(std::atoi(argv[++i]));
    } else if (arg == "--band") {
      band = true;
    } else if (arg == "--idle") {
      idle = true;
    } else {
      std::fprintf(stderr, "usage: %s [--pages N] [--paper TENTHS_MM] [--band] [--idle]\n", argv[0]);
      return 2;
    }
  }

  setenv(bench::kProfileFolderEnv, bench::kNoProfileFolder, 1);  // no INI file: default settings
  bench::BenchDevice device(0);  // counts the stream without keeping it
  device.configure(bench::Spooling::kMemory, band ? bench::Encoding::kBand : bench::Encoding::kBlock);
  DEVMODEW* publicDm = device.devobj()->pPublicDM;
  publicDm->dmPaperLength = paper;
  if (idle) {
    std::printf("idle\n");
    return 0;
  }

  spool::commandCallback(device.devobj(), spool::kStartJob);
  std::size_t bufferBytes = static_cast<std::size_t>(jobstate::jobState.pageBufferLines) * bench::kLineBytes;
  bool memory = jobstate::jobState.memorySpool;
  std::uint32_t lines = jobstate::jobState.settings.pageLines;
  std::uint8_t line[bench::kLineBytes];
  for (int p = 0; p < pages; ++p) {
    spool::commandCallback(device.devobj(), spool::kStartPage);
    for (std::uint32_t i = 0; i < lines; ++i) {
      bench::fillLine(bench::Raster::kReceipt, i, line);
      spool::storeRasterLine(line, bench::kLineBytes);
    }
    spool::commandCallback(device.devobj(), spool::kEndPage);
  }
  spool::commandCallback(device.devobj(), spool::kEndJob);

  std::printf("pages %d, lines per page %u, %s spooling, %s mode\n", pages, lines, memory ? "memory" : "file",
              band ? "band" : "block");
  std::printf("page buffer bytes %zu\n", bufferBytes);
  std::printf("stream bytes %llu\n", static_cast<unsigned long long>(device.bytesWritten()));
  return memory ? 0 : 1;
}
