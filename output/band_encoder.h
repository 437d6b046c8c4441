// Band encoder: turns a chunk of raster lines into raster images, paper
// feeds for runs of blank lines, and a print area narrowed to the inked
// columns where enough lines allow it.
#ifndef QMX_OUTPUT_BAND_ENCODER_H_
#define QMX_OUTPUT_BAND_ENCODER_H_

#include <cstdint>

namespace output {

inline constexpr std::uint32_t kBandChunkLines = 128;
inline constexpr std::uint16_t kFeedMinBlankLines = 5;   // shorter blank runs print as data
inline constexpr std::uint16_t kNarrowMinLines = 4;      // shortest narrowed run
inline constexpr std::uint16_t kNarrowMinBlankBytes = 10;
inline constexpr std::uint16_t kNarrowestAreaBytes = 10;

// Encodes the whole lines of `input` (only the low 16 bits of `inputBytes`
// count; a partial last line is ignored). Returns the bytes written to
// `output`, which must hold 72 * lines + 5 bytes and must not overlap the
// input. Expects and leaves the print area at the full width.
std::uint32_t encodeBand(std::uint8_t* output, const std::uint8_t* input, std::uint32_t inputBytes);

// The encoder's measures, exposed for tests. Lines are indexes into `input`.
struct SideRun {
  std::uint16_t lines = 0;
  std::uint16_t margin = 0;  // smallest blank over the run, in bytes
};
std::uint16_t countBlankLines(const std::uint8_t* input, std::uint16_t line, std::uint16_t end);
SideRun measureLeftRun(const std::uint8_t* input, std::uint16_t line, std::uint16_t end);
SideRun measureRightRun(const std::uint8_t* input, std::uint16_t line, std::uint16_t end);

}  // namespace output

#endif  // QMX_OUTPUT_BAND_ENCODER_H_
