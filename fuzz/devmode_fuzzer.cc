// The DevMode method through the plug-in object's vtable, with any request
// code, any OEMDMPARAM contents (the members it must not use hold pointers
// that fault if followed) and any record contents and size fields. The
// records are separate blocks of exactly 572 bytes, so ASan sees any access
// beyond them. Properties: the answer and the last error; the input record
// unchanged; the output record as the request defines it, byte for byte.
//
// Input: mode selector, flags, two size fields, the OEMDMPARAM members that
// must be ignored, then the two records' bytes.
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <memory>

#include "fuzz/fuzz_input.h"
#include "platform/platform.h"
#include "plugin/module.h"
#include "printsys/printsys.h"
#include "settings/devmode_layout.h"

namespace {

constexpr std::size_t kRecord = devmode::kRecordSize;

IPrintOemUni* pluginObject() {
  static IPrintOemUni* object = [] {
    void* pointer = nullptr;
    if (DllGetClassObject(printsys::kCLSID_OEMRENDER, printsys::kIID_IClassFactory, &pointer) != printsys::kS_OK)
      fuzz::fail("no class factory");
    auto* factory = static_cast<IClassFactory*>(pointer);
    pointer = nullptr;
    if (factory->CreateInstance(nullptr, printsys::kIID_IPrintOemUni, &pointer) != printsys::kS_OK)
      fuzz::fail("no plug-in object");
    factory->Release();
    return static_cast<IPrintOemUni*>(pointer);
  }();
  return object;
}

// What a size field holds: the true size, nothing, a little, a lot, or any.
std::uint32_t sizeField(std::uint8_t selector, std::uint32_t any) {
  switch (selector % 5) {
    case 0: return kRecord;
    case 1: return 0;
    case 2: return any % 600;
    case 3: return 0xFFFFFFFFu;
    default: return any;
  }
}

// A non-canonical address: following it faults at once.
static_assert(sizeof(void*) == 8, "the fuzz targets run on 64-bit hosts");
void* poison(std::uint16_t value) { return reinterpret_cast<void*>(0xDEAD000000000000ull | value); }

// Header fields written the way a request leaves them.
void stamp(std::uint8_t* r) {
  devmode::writeU32(r, devmode::kClearOnMerge, 0);
  devmode::writeU32(r, devmode::kDwSize, kRecord);
  devmode::writeU32(r, devmode::kDwSignature, devmode::kSignature);
  devmode::writeU32(r, devmode::kDwVersion, devmode::kVersion);
}

// The output record a Convert should leave, from the records before the call.
void convertModel(const std::uint8_t* in, std::uint8_t* out) {
  if (devmode::readU32(in, devmode::kDwSignature) == devmode::readU32(out, devmode::kDwSignature)) {
    std::uint32_t length = kRecord;
    length = std::min(length, devmode::readU32(in, devmode::kDwSize));
    length = std::min(length, devmode::readU32(out, devmode::kDwSize));
    devmode::writeU32(out, devmode::kClearOnMerge, 0);
    std::memmove(out, in, length);
  } else {
    devmode::writeU32(out, devmode::kClearOnMerge, 0);
    devmode::writeU32(out, devmode::kDwSignature, devmode::kSignature);
  }
  devmode::writeU32(out, devmode::kDwSize, kRecord);
  devmode::writeU32(out, devmode::kDwVersion, devmode::kVersion);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  fuzz::Input input(data, size);
  std::uint8_t selector = input.byte();
  DWORD mode = selector % 8 < 6 ? selector % 8 : input.u32();  // 0 and 5 are unknown codes
  std::uint8_t flags = input.byte();
  bool noParam = (flags & 0x01) != 0;
  bool noIn = (flags & 0x02) != 0;
  bool noOut = (flags & 0x04) != 0;
  bool sameRecord = (flags & 0x08) != 0;
  std::uint8_t sizeSelectors = input.byte();
  std::uint32_t inSize = sizeField(sizeSelectors & 0x0F, input.u32());
  std::uint32_t outSize = sizeField(sizeSelectors >> 4, input.u32());

  OEMDMPARAM param{};
  param.cbSize = input.u32();
  param.pdriverobj = poison(input.u16());
  param.hPrinter = poison(input.u16());
  param.hModule = poison(input.u16());
  param.pPublicDMIn = static_cast<DEVMODEW*>(poison(input.u16()));
  param.pPublicDMOut = static_cast<DEVMODEW*>(poison(input.u16()));
  param.cbBufSize = input.u32();

  std::unique_ptr<std::uint8_t[]> in(new std::uint8_t[kRecord]);
  std::unique_ptr<std::uint8_t[]> out(new std::uint8_t[kRecord]);
  input.bytes(in.get(), kRecord);
  input.bytes(out.get(), kRecord);
  devmode::writeU32(in.get(), devmode::kDwSize, inSize);
  devmode::writeU32(out.get(), devmode::kDwSize, outSize);
  // Equal signatures are what lets the sizes matter.
  if ((flags & 0x10) != 0) devmode::writeU32(in.get(), devmode::kDwSignature, devmode::kSignature);
  if ((flags & 0x20) != 0) devmode::writeU32(out.get(), devmode::kDwSignature, devmode::kSignature);
  if ((flags & 0x40) != 0) std::memcpy(out.get() + 4, in.get() + 4, 4);

  std::uint8_t* inRecord = noIn ? nullptr : in.get();
  std::uint8_t* outRecord = noOut ? nullptr : (sameRecord ? inRecord : out.get());
  param.pOEMDMIn = inRecord;
  param.pOEMDMOut = outRecord;
  const OEMDMPARAM before = param;

  std::uint8_t inBefore[kRecord], outBefore[kRecord];
  std::memcpy(inBefore, in.get(), kRecord);
  std::memcpy(outBefore, out.get(), kRecord);

  platform::setLastError(0);
  HRESULT result = pluginObject()->DevMode(mode, noParam ? nullptr : &param);

  // The records the request should leave, built from the copies.
  std::uint8_t inWanted[kRecord], outWanted[kRecord];
  std::memcpy(inWanted, inBefore, kRecord);
  std::memcpy(outWanted, outBefore, kRecord);
  std::uint8_t* target = outRecord == nullptr ? nullptr : (outRecord == in.get() ? inWanted : outWanted);
  bool known = mode >= printsys::kOEMDM_SIZE && mode <= printsys::kOEMDM_MERGE;
  bool refused = noParam || !known || (mode == printsys::kOEMDM_DEFAULT && target == nullptr);
  if (refused) {
    fuzz::require(result == printsys::kE_FAIL, "a refused request does not answer E_FAIL");
    fuzz::require(platform::lastError() == printsys::kERROR_INVALID_PARAMETER, "a refused request leaves no error");
  } else {
    fuzz::require(result == printsys::kS_OK, "a request is not answered S_OK");
    if (mode == printsys::kOEMDM_DEFAULT) stamp(target);
    if ((mode == printsys::kOEMDM_CONVERT || mode == printsys::kOEMDM_MERGE) && inRecord != nullptr &&
        target != nullptr) {
      // One record as both input and output reads what the clearing wrote.
      std::uint8_t source[kRecord];
      std::memcpy(source, inBefore, kRecord);
      convertModel(inRecord == outRecord ? target : source, target);
    }
    if (mode == printsys::kOEMDM_MERGE && target != nullptr) stamp(target);
  }

  fuzz::require(std::memcmp(in.get(), inWanted, kRecord) == 0, "the input record is not as the request leaves it");
  fuzz::require(std::memcmp(out.get(), outWanted, kRecord) == 0, "the output record is not as the request leaves it");
  if (!noParam) {
    bool sized = !refused && mode == printsys::kOEMDM_SIZE;
    fuzz::require(param.cbBufSize == (sized ? kRecord : before.cbBufSize), "cbBufSize not as the request leaves it");
    fuzz::require(param.cbSize == before.cbSize && param.pOEMDMIn == before.pOEMDMIn &&
                      param.pOEMDMOut == before.pOEMDMOut && param.pPublicDMIn == before.pPublicDMIn,
                  "the request record changed");
  }
  return 0;
}
