#include "output/run_length.h"

#include "output/commands.h"

namespace output {

void encodeRunLength(std::uint8_t* output, std::uint32_t* outputLength, const std::uint8_t* input,
                     std::uint32_t inputLength) {
  std::uint32_t written = 0;
  std::uint32_t i = 0;
  while (i < inputLength) {
    std::uint8_t value = input[i];
    std::uint32_t run = 1;
    while (run < commands::kMaxRun && i + run < inputLength && input[i + run] == value) ++run;
    output[written] = commands::runHeader(run);
    output[written + 1] = value;
    written += 2;
    i += run;
  }
  *outputLength = written;
}

}  // namespace output
