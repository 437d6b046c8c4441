#include "output/printer_port.h"

namespace output {

void writeToPrinter(DEVOBJ* pdevobj, const void* bytes, std::uint32_t count) {
  if (count == 0 || pdevobj == nullptr || pdevobj->pDrvProcs == nullptr ||
      pdevobj->pDrvProcs->DrvWriteSpoolBuf == nullptr)
    return;
  pdevobj->pDrvProcs->DrvWriteSpoolBuf(pdevobj, const_cast<void*>(bytes), count);
}

}  // namespace output
