// Run-length encoder on any bytes. Properties: the printer's decoder gives
// the input back; the output never exceeds twice the input (the size its
// callers provide, exactly, so ASan sees any write beyond it); and the pairs
// are the maximal runs of a one-pass encoder, so a faster encoder still
// sends the bytes the printer has always received.
#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

#include "emulator/emulator.h"
#include "fuzz/fuzz_input.h"
#include "output/run_length.h"

namespace {

// The plain one-pass form: runs of equal bytes, at most 128 to a pair.
std::vector<std::uint8_t> referenceEncoding(const std::uint8_t* input, std::size_t size) {
  std::vector<std::uint8_t> out;
  std::size_t i = 0;
  while (i < size) {
    std::size_t run = 1;
    while (i + run < size && run < 128 && input[i + run] == input[i]) ++run;
    out.push_back(static_cast<std::uint8_t>(1 - run));
    out.push_back(input[i]);
    i += run;
  }
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  // The input in a block of its own size, so reads past it are caught too.
  std::unique_ptr<std::uint8_t[]> input(new std::uint8_t[size]);
  if (size > 0) std::memcpy(input.get(), data, size);
  std::unique_ptr<std::uint8_t[]> output(new std::uint8_t[2 * size]);
  std::uint32_t length = 0xDEADBEEF;
  output::encodeRunLength(output.get(), &length, input.get(), static_cast<std::uint32_t>(size));

  fuzz::require(length <= 2 * size, "output longer than twice the input");
  fuzz::require(length % 2 == 0, "output is not whole pairs");
  fuzz::require(size == 0 || std::memcmp(input.get(), data, size) == 0, "input changed");

  emulator::DecodeResult decoded = emulator::decodeRunLength({output.get(), length});
  fuzz::require(decoded.status.ok, "the printer rejects the pairs");
  fuzz::require(decoded.bytes.size() == size && (size == 0 || std::memcmp(decoded.bytes.data(), data, size) == 0),
                "decoding does not restore the input");

  std::vector<std::uint8_t> expected = referenceEncoding(data, size);
  fuzz::require(expected.size() == length && (length == 0 || std::memcmp(expected.data(), output.get(), length) == 0),
                "pairs differ from the maximal runs");
  return 0;
}
