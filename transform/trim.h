// Trailing blank-line trimming of the last page, so that the paper stops
// at the last printed line.
#ifndef QMX_TRANSFORM_TRIM_H_
#define QMX_TRANSFORM_TRIM_H_

#include <cstdint>

namespace transform {

// Lines of `page` up to and including its last non-blank line (0 when all
// are blank). The buffer holds `lineCount` whole 72-byte lines and is not
// changed.
std::uint32_t trimPageBuffer(const std::uint8_t* page, std::uint32_t lineCount);

// Rewrites the page file named by pageFilePath without its trailing blank
// lines, through the scratch file named by scratchFilePath. The last kept
// line is whole (zero-padded when the file ends inside it). The page file
// is replaced only once the scratch copy is written whole; on any failure
// the page stays as it was and the scratch file is removed.
void trimPageFile();

}  // namespace transform

#endif  // QMX_TRANSFORM_TRIM_H_
