// The printer's command set, shared by the writer (output/) and the reader
// (emulator/) so that no command byte is spelled twice.
//
// Multi-byte parameters are unsigned 16-bit values sent low byte first.
#ifndef QMX_OUTPUT_COMMANDS_H_
#define QMX_OUTPUT_COMMANDS_H_

#include <array>
#include <cstddef>
#include <cstdint>

#include "jobstate/raster_line.h"

namespace commands {

inline constexpr std::uint8_t kESC = 0x1B;
inline constexpr std::uint8_t kGS = 0x1D;
inline constexpr std::uint8_t kFS = 0x1C;

// Command letters, each following its escape byte.
inline constexpr std::uint8_t kRasterBlock = '*';  // FS * m nL nH data
inline constexpr std::uint8_t kRasterImage = '*';  // ESC * a nL nH data
inline constexpr std::uint8_t kRasterImageMode = 'a';
inline constexpr std::uint8_t kFeed = 'J';         // ESC J n
inline constexpr std::uint8_t kLeftMargin = 'L';   // GS L nL nH
inline constexpr std::uint8_t kPrintWidth = 'W';   // GS W nL nH
inline constexpr std::uint8_t kGsE = 'E';          // GS E n
inline constexpr std::uint8_t kFsE = 'E';          // FS E n
inline constexpr std::uint8_t kMarkSetup = 'A';    // GS A 0 n
inline constexpr std::uint8_t kMarkFeed = '<';     // GS <
inline constexpr std::uint8_t kCutI = 'i';         // ESC i (cutKind 1)
inline constexpr std::uint8_t kCutM = 'm';         // ESC m (cutKind 0)

// Geometry of the head.
inline constexpr std::uint32_t kLineBytes = jobstate::kLineBytes;
inline constexpr std::uint32_t kLineDots = jobstate::kLineDots;

// Raster block mode byte: bits 7-6 the block level, bit 2 run-length
// encoded, bits 1-0 always set.
inline constexpr std::uint8_t kBlockModeFixedBits = 0x03;
inline constexpr std::uint8_t kBlockModeEncoded = 0x04;
inline constexpr std::uint8_t kBlockModeLevelShift = 6;
inline constexpr std::size_t kRasterBlockHeaderBytes = 5;
inline constexpr std::size_t kRasterImageHeaderBytes = 5;

inline constexpr std::uint8_t lowByte(std::uint32_t v) { return static_cast<std::uint8_t>(v & 0xFF); }
inline constexpr std::uint8_t highByte(std::uint32_t v) { return static_cast<std::uint8_t>((v >> 8) & 0xFF); }

inline constexpr std::uint8_t blockMode(std::uint32_t blockLevel, bool encoded) {
  return static_cast<std::uint8_t>((blockLevel << kBlockModeLevelShift) | kBlockModeFixedBits |
                                   (encoded ? kBlockModeEncoded : 0));
}

inline constexpr std::array<std::uint8_t, 5> rasterBlockHeader(std::uint32_t blockLevel, bool encoded,
                                                               std::uint32_t lines) {
  return {kFS, kRasterBlock, blockMode(blockLevel, encoded), lowByte(lines), highByte(lines)};
}

inline constexpr std::array<std::uint8_t, 5> rasterImageHeader(std::uint32_t lines) {
  return {kESC, kRasterImage, kRasterImageMode, lowByte(lines), highByte(lines)};
}

inline constexpr std::array<std::uint8_t, 3> feed(std::uint32_t dotLines) {
  return {kESC, kFeed, lowByte(dotLines)};
}

inline constexpr std::array<std::uint8_t, 4> leftMargin(std::uint32_t dots) {
  return {kGS, kLeftMargin, lowByte(dots), highByte(dots)};
}

inline constexpr std::array<std::uint8_t, 4> printWidth(std::uint32_t dots) {
  return {kGS, kPrintWidth, lowByte(dots), highByte(dots)};
}

inline constexpr std::array<std::uint8_t, 3> gsE(std::uint32_t n) { return {kGS, kGsE, lowByte(n)}; }
inline constexpr std::array<std::uint8_t, 3> fsE(std::uint32_t n) { return {kFS, kFsE, lowByte(n)}; }
inline constexpr std::array<std::uint8_t, 4> markSetup(std::uint32_t n) { return {kGS, kMarkSetup, 0x00, lowByte(n)}; }
inline constexpr std::array<std::uint8_t, 2> markFeed() { return {kGS, kMarkFeed}; }
inline constexpr std::array<std::uint8_t, 2> cut(std::uint32_t cutKind) {
  return {kESC, cutKind == 1 ? kCutI : kCutM};
}

// Run-length pairs: header 0 is one byte, header 1 - k (two's complement)
// is k equal bytes, k = 2 to 128.
inline constexpr std::uint32_t kMaxRun = 128;
inline constexpr std::uint8_t runHeader(std::uint32_t k) { return static_cast<std::uint8_t>(1u - k); }

}  // namespace commands

#endif  // QMX_OUTPUT_COMMANDS_H_
