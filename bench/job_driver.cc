#include "bench/job_driver.h"

#include <algorithm>
#include <cstring>

#include "spool/job_control.h"
#include "spool/line_store.h"

namespace bench {

BenchDevice::BenchDevice(std::size_t sinkBytes) : sink_(sinkBytes) {
  procs_.DrvWriteSpoolBuf = &BenchDevice::capture;
  devobj_.dwSize = sizeof(DEVOBJ);
  devobj_.pdevOEM = this;
  devobj_.pPublicDM = &publicDm_;
  devobj_.pOEMDM = record_;
  devobj_.pDrvProcs = &procs_;
  configure(Spooling::kMemory, Encoding::kBlock);
}

void BenchDevice::configure(Spooling spooling, Encoding encoding) {
  using namespace devmode;
  std::fill(std::begin(record_), std::end(record_), 0);
  writeU32(record_, kDwSize, kRecordSize);
  writeU32(record_, kDwSignature, kSignature);
  writeU32(record_, kDwVersion, kVersion);
  writeU32(record_, kFsEValue, 10);
  record_[kGsEValue] = 3;
  record_[kBlockLevel] = 2;
  writeU16(record_, kTopMarginLines, 12);
  writeU16(record_, kJobEndFeed, 24);
  record_[kCutMode] = 2;
  record_[kCutKind] = 1;
  writeU16(record_, kPreCutFeed, 96);
  record_[kBandMode] = encoding == Encoding::kBand ? 1 : 0;
  publicDm_.dmPaperLength = spooling == Spooling::kFile ? kFilePaperLength : kMemoryPaperLength;
}

DWORD QMX_APIENTRY BenchDevice::capture(DEVOBJ* pdevobj, PVOID buffer, DWORD size) {
  auto* self = static_cast<BenchDevice*>(pdevobj->pdevOEM);
  const auto* bytes = static_cast<const std::uint8_t*>(buffer);
  if (size <= self->sink_.size()) {
    if (self->used_ + size > self->sink_.size()) self->used_ = 0;
    std::memcpy(self->sink_.data() + self->used_, bytes, size);
    self->used_ += size;
  }
  self->total_ += size;
  // Order-sensitive, cheap: catches a stream that differs between runs.
  self->checksum_ = self->checksum_ * 1000003u + size + bytes[0] + bytes[size - 1];
  return size;
}

void runSpineJob(DEVOBJ* pdevobj, const std::uint8_t* page, std::uint32_t lines, int pages) {
  spool::commandCallback(pdevobj, spool::kStartJob);
  for (int p = 0; p < pages; ++p) {
    spool::commandCallback(pdevobj, spool::kStartPage);
    for (std::uint32_t i = 0; i < lines; ++i) spool::storeRasterLine(page + static_cast<std::size_t>(i) * 72, 72);
    spool::commandCallback(pdevobj, spool::kEndPage);
  }
  spool::commandCallback(pdevobj, spool::kEndJob);
}

}  // namespace bench
