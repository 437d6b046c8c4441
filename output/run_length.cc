#include "output/run_length.h"

#include <algorithm>
#include <bit>
#include <cstring>

#include "output/commands.h"

namespace output {
namespace {

// Runs are found from a mask of run ends computed a block at a time, so
// that long runs cost a few word compares per block and short runs one
// bit each, instead of a compare and a branch per byte.
constexpr std::uint32_t kBlockBytes = 64;

// Eight bytes, the byte at the lowest address in the low bits.
inline std::uint64_t loadWord(const std::uint8_t* p) {
  std::uint64_t v;
  std::memcpy(&v, p, sizeof v);
  if constexpr (std::endian::native == std::endian::big) v = __builtin_bswap64(v);
  return v;
}

inline void storeWord(std::uint8_t* p, std::uint64_t v) {
  if constexpr (std::endian::native == std::endian::big) v = __builtin_bswap64(v);
  std::memcpy(p, &v, sizeof v);
}

// Bit j set where byte j of `d` is nonzero.
inline std::uint64_t nonzeroByteBits(std::uint64_t d) {
  constexpr std::uint64_t kLow7 = 0x7F7F7F7F7F7F7F7FULL;
  std::uint64_t high = (((d & kLow7) + kLow7) | d) & ~kLow7;  // bit 7 of each nonzero byte
  // The multiply moves bit 8j + 7 to bit 56 + j; no two partial products meet.
  return ((high >> 7) * 0x0102040810204080ULL) >> 56;
}

// The first block from `at` on (at most `last`, else past it) in which a
// run ends: blocks whose 65 bytes all equal the first are skipped with
// one compare per word. Kept out of line so that this loop, the common
// case on blank paper, has the registers to itself.
#if defined(__GNUC__)
__attribute__((noinline))
#endif
std::uint32_t skipLongRun(const std::uint8_t* input, std::uint32_t at, std::uint32_t last) {
  const std::uint8_t value = input[at];
  const std::uint64_t pattern = value * 0x0101010101010101ULL;
  for (; at <= last; at += kBlockBytes) {
    const std::uint8_t* block = input + at;
    std::uint64_t diff = 0;
    for (std::uint32_t k = 0; k < kBlockBytes / 8; ++k) diff |= loadWord(block + 8 * k) ^ pattern;
    if (diff != 0 || block[kBlockBytes] != value) break;
  }
  return at;
}

// Bit j set where byte j of the block differs from byte j + 1, that is
// where a run ends. Reads 65 bytes.
inline std::uint64_t runEnds(const std::uint8_t* block) {
  std::uint64_t ends = 0;
  for (std::uint32_t k = 0; k < kBlockBytes / 8; ++k) {
    std::uint64_t d = loadWord(block + 8 * k) ^ loadWord(block + 8 * k + 1);
    ends |= nonzeroByteBits(d) << (8 * k);
  }
  return ends;
}

// Eight single bytes as eight pairs with header 0: each byte moved to the
// odd position of a 16-bit lane.
inline void putSingles(std::uint8_t* out, std::uint64_t bytes) {
  auto spread = [](std::uint64_t x) {
    x = (x | (x << 16)) & 0x0000FFFF0000FFFFULL;
    x = (x | (x << 8)) & 0x00FF00FF00FF00FFULL;
    return x << 8;
  };
  storeWord(out, spread(bytes & 0xFFFFFFFFULL));
  storeWord(out + 8, spread(bytes >> 32));
}

struct Writer {
  std::uint8_t* out;
  const std::uint8_t* input;
  std::uint32_t runStart = 0;

  // Closes the open run at `end` (exclusive), in pairs of at most 128.
  void closeRun(std::uint32_t end) {
    std::uint8_t value = input[runStart];
    std::uint32_t length = end - runStart;
    while (length > commands::kMaxRun) {
      out[0] = commands::runHeader(commands::kMaxRun);
      out[1] = value;
      out += 2;
      length -= commands::kMaxRun;
    }
    out[0] = commands::runHeader(length);
    out[1] = value;
    out += 2;
    runStart = end;
  }
};

}  // namespace

void encodeRunLength(std::uint8_t* output, std::uint32_t* outputLength, const std::uint8_t* input,
                     std::uint32_t inputLength) {
  Writer w{output, input};
  std::uint32_t at = 0;
  // Whole blocks while 72 bytes remain: a group of singles below is written
  // as eight pairs before the output moves on by the real ones, and the
  // margin keeps those 16 bytes inside the 2 * inputLength of the output.
  while (inputLength - at >= kBlockBytes + 8) {
    const std::uint8_t* block = input + at;
    std::uint64_t ends = runEnds(block);
    if (ends == 0) {
      at = skipLongRun(input, at + kBlockBytes, inputLength - kBlockBytes - 8);
      continue;
    }
    if (ends == ~std::uint64_t{0} && w.runStart == at) {
      // No two equal neighbours and no run open: 64 single pairs.
      for (std::uint32_t k = 0; k < kBlockBytes / 8; ++k) putSingles(w.out + 16 * k, loadWord(block + 8 * k));
      w.out += 2 * kBlockBytes;
      w.runStart = at + kBlockBytes;
      at += kBlockBytes;
      continue;
    }
    // Run ends come in stretches: the first end of a stretch closes the
    // open run, each further one a single byte, up to eight at once.
    while (ends != 0) {
      auto first = static_cast<std::uint32_t>(std::countr_zero(ends));
      auto count = std::min(static_cast<std::uint32_t>(std::countr_one(ends >> first)), 8u);
      std::uint32_t firstEnd = at + first + 1;
      if (firstEnd - w.runStart > commands::kMaxRun) {
        w.closeRun(firstEnd);  // split in pairs of 128; the singles follow
        ends &= ends - 1;
        continue;
      }
      putSingles(w.out, loadWord(block + first));
      w.out[0] = commands::runHeader(firstEnd - w.runStart);
      w.out += 2 * count;
      w.runStart = at + first + count;
      ends &= ~(((std::uint64_t{1} << count) - 1) << first);
    }
    at += kBlockBytes;
  }
  for (; at + 1 < inputLength; ++at)
    if (input[at] != input[at + 1]) w.closeRun(at + 1);
  if (inputLength > 0) w.closeRun(inputLength);
  *outputLength = static_cast<std::uint32_t>(w.out - output);
}

}  // namespace output
