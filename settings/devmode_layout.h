// Layout of the plug-in's private device-mode record: 572 bytes,
// little-endian, headed by the print system's OEM_DMEXTRAHEADER.
#ifndef QMX_SETTINGS_DEVMODE_LAYOUT_H_
#define QMX_SETTINGS_DEVMODE_LAYOUT_H_

#include <cstddef>
#include <cstdint>

namespace devmode {

inline constexpr std::uint32_t kRecordSize = 572;
inline constexpr std::uint32_t kSignature = 0x4D534654;  // bytes 54 46 53 4D
inline constexpr std::uint32_t kVersion = 1;

// Byte offsets of the fields.
inline constexpr std::size_t kDwSize = 0;                // u32
inline constexpr std::size_t kDwSignature = 4;           // u32
inline constexpr std::size_t kDwVersion = 8;             // u32
inline constexpr std::size_t kClearOnMerge = 12;         // u32
inline constexpr std::size_t kFsEValue = 16;             // u32
inline constexpr std::size_t kGsESelect = 20;            // u32
inline constexpr std::size_t kGsEValue = 544;            // u8
inline constexpr std::size_t kKeepTrailingBlank = 545;   // u8
inline constexpr std::size_t kBlockLevel = 546;          // u8
inline constexpr std::size_t kFirstPageExtraLines = 548; // u16
inline constexpr std::size_t kTopMarginLines = 550;      // u16
inline constexpr std::size_t kPageEndFeed = 552;         // u16
inline constexpr std::size_t kJobEndFeed = 554;          // u16
inline constexpr std::size_t kCutMode = 556;             // u8
inline constexpr std::size_t kCutKind = 557;             // u8
inline constexpr std::size_t kPreCutFeed = 558;          // u16
inline constexpr std::size_t kMarkMode = 560;            // u8
inline constexpr std::size_t kGsAValue = 562;            // u16
inline constexpr std::size_t kBandMode = 568;            // u8

inline std::uint32_t readU8(const std::uint8_t* record, std::size_t offset) { return record[offset]; }
inline std::uint32_t readU16(const std::uint8_t* record, std::size_t offset) {
  return static_cast<std::uint32_t>(record[offset]) | (static_cast<std::uint32_t>(record[offset + 1]) << 8);
}
inline std::uint32_t readU32(const std::uint8_t* record, std::size_t offset) {
  return readU16(record, offset) | (readU16(record, offset + 2) << 16);
}
inline void writeU16(std::uint8_t* record, std::size_t offset, std::uint32_t value) {
  record[offset] = static_cast<std::uint8_t>(value & 0xFF);
  record[offset + 1] = static_cast<std::uint8_t>((value >> 8) & 0xFF);
}
inline void writeU32(std::uint8_t* record, std::size_t offset, std::uint32_t value) {
  writeU16(record, offset, value & 0xFFFF);
  writeU16(record, offset + 2, value >> 16);
}

}  // namespace devmode

#endif  // QMX_SETTINGS_DEVMODE_LAYOUT_H_
