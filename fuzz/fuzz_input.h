// Helpers shared by the fuzz targets: a reader that turns any byte string
// into a valid program, and a compact description of raster lines, so the
// fuzzer reaches blank runs and narrow margins without guessing 72 bytes.
#ifndef QMX_FUZZ_FUZZ_INPUT_H_
#define QMX_FUZZ_FUZZ_INPUT_H_

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

namespace fuzz {

using Line = std::array<std::uint8_t, 72>;

// Reads front to back; past the end every read gives zeros.
class Input {
 public:
  Input(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}

  bool done() const { return at_ >= size_; }
  std::size_t left() const { return done() ? 0 : size_ - at_; }

  std::uint8_t byte() { return done() ? 0 : data_[at_++]; }
  std::uint16_t u16() {
    std::uint16_t low = byte();
    return static_cast<std::uint16_t>(low | (byte() << 8));
  }
  std::uint32_t u32() {
    std::uint32_t low = u16();
    return low | (static_cast<std::uint32_t>(u16()) << 16);
  }
  // Fills `count` bytes from the input, zeros once it runs out.
  void bytes(std::uint8_t* out, std::size_t count) {
    for (std::size_t i = 0; i < count; ++i) out[i] = byte();
  }

 private:
  const std::uint8_t* data_;
  std::size_t size_;
  std::size_t at_ = 0;
};

// One raster line from a kind byte and its operands:
//   0 blank; 1 the previous line again; 2 bytes [a, b] set to v;
//   3 byte a set to v; 4 72 bytes taken as they are; 5 every dot set;
//   6 byte a set to v and byte b set to w (ink on both sides);
//   7 sparse pseudo-random ink from a seed.
inline Line readLine(Input& in, const Line& previous) {
  Line line{};
  switch (in.byte() % 8) {
    case 0:
      break;
    case 1:
      line = previous;
      break;
    case 2: {
      unsigned from = in.byte() % 72;
      unsigned to = from + in.byte() % (72 - from);
      std::uint8_t value = in.byte();
      for (unsigned i = from; i <= to; ++i) line[i] = value;
      break;
    }
    case 3: {
      unsigned at = in.byte() % 72;
      line[at] = in.byte();
      break;
    }
    case 4:
      in.bytes(line.data(), line.size());
      break;
    case 5:
      line.fill(0xFF);
      break;
    case 6: {
      unsigned a = in.byte() % 72;
      line[a] = in.byte();
      unsigned b = in.byte() % 72;
      line[b] = in.byte();
      break;
    }
    default: {
      std::uint32_t state = in.byte() * 2654435761u + 1;
      for (auto& b : line) {
        state = state * 1664525u + 1013904223u;
        b = (state >> 30) == 0 ? static_cast<std::uint8_t>(state >> 16) : 0;
      }
      break;
    }
  }
  return line;
}

// A property failed: say which, and abort so the fuzzer keeps the input.
[[noreturn]] inline void fail(const char* what) {
  std::fprintf(stderr, "property violated: %s\n", what);
  std::abort();
}

inline void require(bool holds, const char* what) {
  if (!holds) fail(what);
}

}  // namespace fuzz

#endif  // QMX_FUZZ_FUZZ_INPUT_H_
