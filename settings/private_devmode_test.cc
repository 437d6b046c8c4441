#include "settings/private_devmode.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <iterator>
#include <vector>

#include "platform/platform.h"
#include "settings/devmode_layout.h"

namespace {

using devmode::kRecordSize;
using namespace printsys;

// A record in a heap block of exactly 572 bytes, so that the sanitizer build
// catches any access past its end.
struct Record {
  explicit Record(std::uint8_t fill) : bytes(kRecordSize, fill) {}
  std::uint8_t* data() { return bytes.data(); }
  std::uint32_t u32(std::size_t offset) const { return devmode::readU32(bytes.data(), offset); }
  void setU32(std::size_t offset, std::uint32_t v) { devmode::writeU32(bytes.data(), offset, v); }
  std::vector<std::uint8_t> bytes;
};

// The plug-in's header followed by distinct bytes.
Record patterned(std::uint8_t seed, std::uint32_t size = kRecordSize) {
  Record r(0);
  for (std::uint32_t i = 0; i < kRecordSize; ++i) r.bytes[i] = static_cast<std::uint8_t>(seed + i * 7);
  r.setU32(devmode::kDwSize, size);
  r.setU32(devmode::kDwSignature, devmode::kSignature);
  r.setU32(devmode::kDwVersion, devmode::kVersion);
  return r;
}

void expectHeader(const Record& r, std::uint32_t clearOnMerge) {
  EXPECT_EQ(r.u32(devmode::kDwSize), kRecordSize);
  EXPECT_EQ(r.u32(devmode::kDwSignature), devmode::kSignature);
  EXPECT_EQ(r.u32(devmode::kDwVersion), devmode::kVersion);
  EXPECT_EQ(r.u32(devmode::kClearOnMerge), clearOnMerge);
}

HRESULT request(DWORD mode, void* in, void* out, DWORD* bufSize = nullptr) {
  OEMDMPARAM param{};
  param.pOEMDMIn = in;
  param.pOEMDMOut = out;
  HRESULT result = settings::privateDevMode(mode, &param);
  if (bufSize != nullptr) *bufSize = param.cbBufSize;
  return result;
}

TEST(PrivateDevModeTest, SizeReportsTheRecordSizeAndTouchesNoRecord) {
  Record in(0xAB), out(0xCD);
  DWORD size = 0;
  EXPECT_EQ(request(kOEMDM_SIZE, in.data(), out.data(), &size), kS_OK);
  EXPECT_EQ(size, kRecordSize);
  EXPECT_EQ(in.bytes, Record(0xAB).bytes);
  EXPECT_EQ(out.bytes, Record(0xCD).bytes);
}

// The stored header, byte for byte: size 572, the signature, version 1 and
// clearOnMerge 0, each little-endian; every settings byte as it was.
TEST(PrivateDevModeTest, DefaultStampsTheHeaderAndKeepsEverySettingsByte) {
  Record out(0xFF);
  EXPECT_EQ(request(kOEMDM_DEFAULT, nullptr, out.data()), kS_OK);
  const std::uint8_t header[] = {0x3C, 0x02, 0x00, 0x00, 0x54, 0x46, 0x53, 0x4D,
                                 0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00};
  std::vector<std::uint8_t> expected(572, 0xFF);
  std::copy(std::begin(header), std::end(header), expected.begin());
  EXPECT_EQ(out.bytes, expected);
}

TEST(PrivateDevModeTest, RefusedRequestsAnswerInvalidParameter) {
  Record out(0x11);
  const struct {
    DWORD mode;
    void* out;
  } cases[] = {{0, out.data()}, {5, out.data()}, {0xFFFFFFFF, out.data()}, {kOEMDM_DEFAULT, nullptr}};
  for (const auto& c : cases) {
    platform::setLastError(0);
    EXPECT_EQ(request(c.mode, out.data(), c.out), kE_FAIL) << "mode " << c.mode;
    EXPECT_EQ(platform::lastError(), kERROR_INVALID_PARAMETER) << "mode " << c.mode;
  }
  EXPECT_EQ(out.bytes, Record(0x11).bytes);
  platform::setLastError(0);
  EXPECT_EQ(settings::privateDevMode(kOEMDM_SIZE, nullptr), kE_FAIL);
  EXPECT_EQ(platform::lastError(), kERROR_INVALID_PARAMETER);
}

TEST(PrivateDevModeTest, EqualSignaturesCopyTheShorterSizeAndNeverBeyondTheRecord) {
  // The size fields decide the length, but no claim reaches past the 572
  // bytes either buffer holds.
  const struct {
    std::uint32_t inSize, outSize, copied;
  } cases[] = {{100, 572, 100},          {572, 100, 100},  {0, 572, 0},     {572, 572, 572},
               {0xFFFFFFFF, 0xFFFFFFFF, 572}, {573, 1000, 572}, {100000, 572, 572}};
  for (DWORD mode : {kOEMDM_CONVERT, kOEMDM_MERGE}) {
    for (const auto& c : cases) {
      SCOPED_TRACE(::testing::Message() << "mode " << mode << ", sizes " << c.inSize << "/" << c.outSize);
      Record in = patterned(3, c.inSize);
      in.setU32(devmode::kDwVersion, 9);
      in.setU32(devmode::kClearOnMerge, 7);
      Record out = patterned(200, c.outSize);
      const Record before = out;
      EXPECT_EQ(request(mode, in.data(), out.data()), kS_OK);
      // Convert carries clearOnMerge along as far as the copy reaches; Merge
      // clears it afterwards.
      expectHeader(out, mode == kOEMDM_MERGE || c.copied < 16 ? 0 : 7);
      for (std::uint32_t i = 16; i < kRecordSize; ++i)
        ASSERT_EQ(out.bytes[i], (i < c.copied ? in : before).bytes[i]) << "offset " << i;
    }
  }
}

TEST(PrivateDevModeTest, DifferentSignaturesCopyNothing) {
  for (DWORD mode : {kOEMDM_CONVERT, kOEMDM_MERGE}) {
    Record in = patterned(1);
    in.setU32(devmode::kDwSignature, 0x12345678);
    Record out(0x42);
    out.setU32(devmode::kClearOnMerge, 9);
    EXPECT_EQ(request(mode, in.data(), out.data()), kS_OK);
    expectHeader(out, 0);
    EXPECT_EQ(std::vector<std::uint8_t>(out.bytes.begin() + 16, out.bytes.end()),
              std::vector<std::uint8_t>(kRecordSize - 16, 0x42));
  }
}

// Convert compares the two records' signatures with each other: two
// records that share another component's signature are copied as they are.
TEST(PrivateDevModeTest, EqualForeignSignaturesAreCopied) {
  const std::uint32_t foreign = 0x11223344;
  Record in = patterned(5);
  in.setU32(devmode::kDwSignature, foreign);
  Record out = patterned(90);
  out.setU32(devmode::kDwSignature, foreign);
  EXPECT_EQ(request(kOEMDM_CONVERT, in.data(), out.data()), kS_OK);
  EXPECT_EQ(out.u32(devmode::kDwSignature), foreign) << "the plug-in's signature is not stamped";
  EXPECT_EQ(out.u32(devmode::kDwSize), kRecordSize);
  EXPECT_EQ(out.u32(devmode::kDwVersion), devmode::kVersion);
  EXPECT_EQ(std::vector<std::uint8_t>(out.bytes.begin() + 12, out.bytes.end()),
            std::vector<std::uint8_t>(in.bytes.begin() + 12, in.bytes.end()));
}

TEST(PrivateDevModeTest, MissingRecordsStillAnswerOk) {
  Record out(0x33);
  EXPECT_EQ(request(kOEMDM_CONVERT, nullptr, out.data()), kS_OK);
  EXPECT_EQ(out.bytes, Record(0x33).bytes) << "Convert writes nothing";
  EXPECT_EQ(request(kOEMDM_MERGE, nullptr, out.data()), kS_OK);
  expectHeader(out, 0);  // Merge still stamps the output
  EXPECT_EQ(out.bytes[16], 0x33);
  Record in = patterned(4);
  for (DWORD mode : {kOEMDM_CONVERT, kOEMDM_MERGE}) {
    EXPECT_EQ(request(mode, in.data(), nullptr), kS_OK);
    EXPECT_EQ(request(mode, nullptr, nullptr), kS_OK);
  }
  EXPECT_EQ(in.bytes, patterned(4).bytes);
  EXPECT_FALSE(settings::stampPrivateDevMode(nullptr));
  EXPECT_FALSE(settings::convertPrivateDevMode(in.data(), nullptr));
}

}  // namespace
