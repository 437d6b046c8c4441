// Band encoder on chunks of 0 to 128 whole lines. Properties: the printer
// model, reading strictly, prints exactly the input lines; the output fits
// 72 x lines + 5 bytes (the area page emission provides, given here exactly
// so ASan sees any write beyond it); the print area ends at the full width;
// the input is left as it was.
//
// Input: a mode byte (even: lines described compactly, see readLine; odd:
// raw 72-byte lines), a line count (mod 129), then the lines.
#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

#include "emulator/emulator.h"
#include "fuzz/fuzz_input.h"
#include "output/band_encoder.h"
#include "platform/fault_injection.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  fuzz::Input in(data, size);
  bool raw = (in.byte() & 1) != 0;
  std::size_t lines = in.byte() % (output::kBandChunkLines + 1);

  std::vector<fuzz::Line> page;
  fuzz::Line previous{};
  for (std::size_t i = 0; i < lines; ++i) {
    fuzz::Line line{};
    if (raw) {
      in.bytes(line.data(), line.size());
    } else {
      line = fuzz::readLine(in, previous);
    }
    page.push_back(line);
    previous = line;
  }

  const std::size_t inputBytes = lines * 72;
  std::unique_ptr<std::uint8_t[]> input(new std::uint8_t[inputBytes]);
  for (std::size_t i = 0; i < lines; ++i) std::memcpy(input.get() + 72 * i, page[i].data(), 72);
  const std::size_t room = 72 * lines + 5;
  std::unique_ptr<std::uint8_t[]> out(new std::uint8_t[room]);

  std::uint32_t written = output::encodeBand(out.get(), input.get(), static_cast<std::uint32_t>(inputBytes));

  fuzz::require(written <= room, "output longer than 72 x lines + 5");
  for (std::size_t i = 0; i < lines; ++i)
    fuzz::require(std::memcmp(input.get() + 72 * i, page[i].data(), 72) == 0, "input changed");

  emulator::ParseOptions strict;
  strict.strict = true;
  emulator::ParseResult parsed = emulator::parseStream({out.get(), written}, strict);
  if (!parsed.status.ok) {
    std::fprintf(stderr, "%s\n", parsed.status.toString().c_str());
    fuzz::fail("the printer rejects the chunk");
  }
  fuzz::require(parsed.paper.rows.size() == lines, "printed rows differ in number from the lines");
  for (std::size_t i = 0; i < lines; ++i)
    fuzz::require(parsed.paper.rows[i] == page[i], "a printed row differs from its line");
  fuzz::require(parsed.paper.area.left == 0 && parsed.paper.area.width == 576, "print area not restored");
  // The debug texts of the cut images go with the input, or the leak check
  // would see them pile up.
  platform::testing::reset();
  return 0;
}
