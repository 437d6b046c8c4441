#include "settings/private_devmode.h"

#include <cstdint>
#include <cstring>
#include <initializer_list>

#include "platform/platform.h"
#include "settings/devmode_layout.h"

namespace settings {
namespace {

std::uint8_t* bytes(void* record) { return static_cast<std::uint8_t*>(record); }
const std::uint8_t* bytes(const void* record) { return static_cast<const std::uint8_t*>(record); }

HRESULT refuse() {
  platform::setLastError(printsys::kERROR_INVALID_PARAMETER);
  return printsys::kE_FAIL;
}

}  // namespace

bool stampPrivateDevMode(void* record) {
  if (record == nullptr) return false;
  std::uint8_t* r = bytes(record);
  devmode::writeU32(r, devmode::kClearOnMerge, 0);
  devmode::writeU32(r, devmode::kDwSize, devmode::kRecordSize);
  devmode::writeU32(r, devmode::kDwSignature, devmode::kSignature);
  devmode::writeU32(r, devmode::kDwVersion, devmode::kVersion);
  return true;
}

bool convertPrivateDevMode(const void* in, void* out) {
  if (in == nullptr || out == nullptr) return false;
  const std::uint8_t* src = bytes(in);
  std::uint8_t* dst = bytes(out);
  if (devmode::readU32(src, devmode::kDwSignature) == devmode::readU32(dst, devmode::kDwSignature)) {
    // Both sizes are read before anything is written, in case in == out. The
    // print system's buffers hold 572 bytes (what OEMDM_SIZE reports), so
    // larger size fields are not believed.
    std::uint32_t length = devmode::kRecordSize;
    for (std::uint32_t claimed : {devmode::readU32(src, devmode::kDwSize), devmode::readU32(dst, devmode::kDwSize)})
      if (claimed < length) length = claimed;
    devmode::writeU32(dst, devmode::kClearOnMerge, 0);
    if (length > 0 && src != dst) std::memmove(dst, src, length);
  } else {
    devmode::writeU32(dst, devmode::kClearOnMerge, 0);
    devmode::writeU32(dst, devmode::kDwSignature, devmode::kSignature);
  }
  devmode::writeU32(dst, devmode::kDwSize, devmode::kRecordSize);
  devmode::writeU32(dst, devmode::kDwVersion, devmode::kVersion);
  return true;
}

HRESULT privateDevMode(DWORD mode, OEMDMPARAM* param) {
  if (param == nullptr) return refuse();
  switch (mode) {
    case printsys::kOEMDM_SIZE:
      param->cbBufSize = devmode::kRecordSize;
      return printsys::kS_OK;
    case printsys::kOEMDM_DEFAULT:
      // There is nothing to default without a record; saying so beats a
      // success that wrote nothing.
      if (param->pOEMDMOut == nullptr) return refuse();
      stampPrivateDevMode(param->pOEMDMOut);
      return printsys::kS_OK;
    case printsys::kOEMDM_CONVERT:
      convertPrivateDevMode(param->pOEMDMIn, param->pOEMDMOut);
      return printsys::kS_OK;
    case printsys::kOEMDM_MERGE:
      convertPrivateDevMode(param->pOEMDMIn, param->pOEMDMOut);
      stampPrivateDevMode(param->pOEMDMOut);
      return printsys::kS_OK;
    default:
      return refuse();
  }
}

}  // namespace settings
