// Run-length encoder for raster block data.
#ifndef QMX_OUTPUT_RUN_LENGTH_H_
#define QMX_OUTPUT_RUN_LENGTH_H_

#include <cstdint>

namespace output {

// Encodes `inputLength` bytes as (header, value) pairs: header 0 is the
// value once, header 1 - k the value k times (k = 2 to 128). Runs continue
// across line boundaries. *outputLength receives the bytes written.
// `output` must hold 2 * inputLength bytes (the case of no equal neighbours).
void encodeRunLength(std::uint8_t* output, std::uint32_t* outputLength, const std::uint8_t* input,
                     std::uint32_t inputLength);

}  // namespace output

#endif  // QMX_OUTPUT_RUN_LENGTH_H_
