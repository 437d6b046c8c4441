// The straightforward run-length encoder, one byte compared at a time: the
// baseline that the benchmarks measure the word-at-a-time encoder against,
// and the reference that the unit tests compare it with. Header-only so
// that both can use this one copy.
#ifndef QMX_OUTPUT_BYTE_LOOP_ENCODER_H_
#define QMX_OUTPUT_BYTE_LOOP_ENCODER_H_

#include <cstdint>

namespace output {

// Same contract and same bytes as output::encodeRunLength.
inline void encodeRunLengthByteLoop(std::uint8_t* output, std::uint32_t* outputLength, const std::uint8_t* input,
                                    std::uint32_t inputLength) {
  constexpr std::uint32_t kMaxRun = 128;
  std::uint32_t written = 0;
  std::uint32_t i = 0;
  while (i < inputLength) {
    std::uint8_t value = input[i];
    std::uint32_t run = 1;
    while (run < kMaxRun && i + run < inputLength && input[i + run] == value) ++run;
    output[written] = static_cast<std::uint8_t>(1u - run);
    output[written + 1] = value;
    written += 2;
    i += run;
  }
  *outputLength = written;
}

}  // namespace output

#endif  // QMX_OUTPUT_BYTE_LOOP_ENCODER_H_
