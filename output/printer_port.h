// The one way out to the printer: the print system's spool-write callback.
#ifndef QMX_OUTPUT_PRINTER_PORT_H_
#define QMX_OUTPUT_PRINTER_PORT_H_

#include <array>
#include <cstdint>

#include "printsys/printsys.h"

namespace output {

// Hands one command group to DrvWriteSpoolBuf. Empty groups and device
// objects without a callback table are skipped; the result is not examined.
void writeToPrinter(DEVOBJ* pdevobj, const void* bytes, std::uint32_t count);

template <std::size_t N>
void writeToPrinter(DEVOBJ* pdevobj, const std::array<std::uint8_t, N>& group) {
  writeToPrinter(pdevobj, group.data(), static_cast<std::uint32_t>(N));
}

}  // namespace output

#endif  // QMX_OUTPUT_PRINTER_PORT_H_
