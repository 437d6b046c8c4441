// A strict model of the printer: reads a whole byte stream and renders the
// paper it would print, with an ordered record of every command.
//
// The reader accepts exactly the printer's command set, which it spells
// itself (the plug-in's own builders are what it checks), and nothing else;
// any other byte, a malformed parameter or a command cut short stops it
// with the byte offset and a message. It is both the preview behind the
// decode tool and the oracle of the round-trip tests.
#ifndef QMX_EMULATOR_EMULATOR_H_
#define QMX_EMULATOR_EMULATOR_H_

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <utility>
#include <vector>

namespace emulator {

// The head: 576 dots in a row of 72 bytes.
inline constexpr std::uint32_t kRowDots = 576;
inline constexpr std::uint32_t kRowBytes = kRowDots / 8;

// One printed dot row, the most significant bit of byte 0 the leftmost dot,
// a set bit black.
using Row = std::array<std::uint8_t, kRowBytes>;

// Outcome of a parse. On failure `offset` is the stream offset of the
// offending command's first byte (of the offending pair for run-length
// errors) and `message` says what was wrong, without the offset.
struct Status {
  bool ok = true;
  std::size_t offset = 0;
  std::string message;

  static Status success() { return {}; }
  static Status failure(std::size_t offset, std::string message) { return {false, offset, std::move(message)}; }
  // "offset N: message", or "ok".
  std::string toString() const;
};

// The print area used by raster images, in dots.
struct PrintArea {
  std::uint32_t left = 0;
  std::uint32_t width = kRowDots;
};

enum class EventKind {
  kGsE,          // value: n
  kFsE,          // value: n
  kMarkSetup,    // value: n of GS A 0 n
  kMarkFeed,     // GS <, no value
  kRasterBlock,  // value: lines; blockMode, encoded
  kRasterImage,  // value: lines; area: the print area its lines were placed in
  kFeed,         // value: dot rows fed
  kLeftMargin,   // value: dots
  kPrintWidth,   // value: dots
  kCut,          // value: cut kind, 1 for ESC i, 0 for ESC m
};

struct Event {
  EventKind kind{};
  std::size_t offset = 0;  // stream offset of the command's first byte
  std::size_t length = 0;  // bytes of the command, its data included
  std::size_t row = 0;     // paper rows printed or fed before the command
  std::uint32_t value = 0;
  std::uint8_t blockMode = 0;  // kRasterBlock only
  bool encoded = false;        // kRasterBlock only
  PrintArea area;              // kRasterImage only
  std::size_t group = 0;       // write group holding the first byte (parseGroups only)
};

// The command's bytes as a name, e.g. "ESC J" or, for a cut, "ESC i".
const char* commandName(const Event& event);

struct Paper {
  std::vector<Row> rows;       // printed and fed rows, top first
  std::vector<Event> events;   // every command accepted, in stream order
  PrintArea area;              // print area in force at the end of the stream
  // Offset at which each write group starts; empty unless parseGroups built
  // this paper.
  std::vector<std::size_t> groupStarts;

  // Index of the write group holding stream offset `offset`; 0 when
  // groupStarts is empty.
  std::size_t groupAt(std::size_t offset) const;
};

// Bounds on what the emulator reads and renders, for it and the tools that
// feed it untrusted streams. A feed turns 3 bytes into 255 rows, so a
// stream could otherwise ask for unbounded memory.
// Longest paper rendered: 1048576 rows, 131 m of paper, 72 MiB of rows.
inline constexpr std::size_t kMaxPaperRows = std::size_t{1} << 20;
// Longest stream read: 128 MiB, room for every row of that paper sent raw.
inline constexpr std::size_t kMaxStreamBytes = std::size_t{1} << 27;

struct ParseOptions {
  // Longest paper accepted, in rows.
  std::size_t maxRows = kMaxPaperRows;
  // Also refuse what the plug-in never sends although a printer would take
  // it: ESC J 0 and ESC * a with no lines. The tests' oracle runs strict.
  bool strict = false;
};

struct ParseResult {
  Status status;
  Paper paper;  // on failure: everything accepted before the error
};

// Parses a whole stream, starting with the full print area (left 0, width
// 576). A print area is checked only when a raster image uses it, since the
// margin and the width are set one after the other. A stream longer than
// kMaxStreamBytes is refused at that offset, before anything is parsed.
// Never throws.
ParseResult parseStream(std::span<const std::uint8_t> stream, const ParseOptions& options = {});

// As parseStream over the concatenation of `groups`, each the bytes of one
// spool write; records where each group starts and which group each command
// starts in. Commands may span groups (a raster block's data follows its
// header in the next write).
ParseResult parseGroups(const std::vector<std::vector<std::uint8_t>>& groups,
                        const ParseOptions& options = {});

struct DecodeResult {
  Status status;  // offsets are relative to the start of the pairs
  std::vector<std::uint8_t> bytes;
};

// Expands run-length pairs (header, value): header 0 is the value once,
// header 1 - k the value k times for k = 2 to 128. Headers 0x01 to 0x80 and
// a trailing header without its value are errors. Never throws.
DecodeResult decodeRunLength(std::span<const std::uint8_t> pairs);

}  // namespace emulator

#endif  // QMX_EMULATOR_EMULATOR_H_
