#include "emulator/emulator.h"

#include <algorithm>
#include <cstdio>
#include <exception>
#include <iterator>

namespace emulator {
namespace {

// The printer's command set, spelled here and nowhere else in the
// emulator. Multi-byte parameters are 16-bit, low byte first.
constexpr std::uint8_t kESC = 0x1B;
constexpr std::uint8_t kGS = 0x1D;
constexpr std::uint8_t kFS = 0x1C;
constexpr std::uint8_t kRasterImageMode = 'a';  // the byte after ESC *
constexpr std::uint8_t kCutFull = 'i';          // ESC i; ESC m is the other cut
// Raster block mode bytes: bits 7-6 the block level, bit 2 set when the
// data is run-length encoded, bits 1-0 always set.
constexpr std::uint8_t kBlockModes[] = {0x03, 0x07, 0x43, 0x47, 0x83, 0x87, 0xC3, 0xC7};
constexpr std::uint8_t kBlockEncoded = 0x04;
constexpr std::uint32_t kMaxRun = 128;  // bytes of one run-length pair

constexpr std::uint32_t kLineBytes = kRowBytes;
constexpr std::uint32_t kLineDots = kRowDots;
constexpr std::uint32_t kDotsPerByte = 8;

struct CommandSpec {
  std::uint8_t escape;
  std::uint8_t letter;
  EventKind kind;
  const char* name;
  std::size_t length;  // fixed part, escape byte included
};

// The whole command set; a byte pair not listed here is an unknown command.
constexpr CommandSpec kCommandSet[] = {
    {kFS, '*', EventKind::kRasterBlock, "FS *", 5},      // FS * m nL nH, then the data
    {kESC, '*', EventKind::kRasterImage, "ESC * a", 5},  // ESC * a nL nH, then the lines
    {kESC, 'J', EventKind::kFeed, "ESC J", 3},           // ESC J n
    {kGS, 'L', EventKind::kLeftMargin, "GS L", 4},       // GS L nL nH
    {kGS, 'W', EventKind::kPrintWidth, "GS W", 4},       // GS W nL nH
    {kGS, 'E', EventKind::kGsE, "GS E", 3},              // GS E n
    {kFS, 'E', EventKind::kFsE, "FS E", 3},              // FS E n
    {kGS, 'A', EventKind::kMarkSetup, "GS A", 4},        // GS A 0 n
    {kGS, '<', EventKind::kMarkFeed, "GS <", 2},         // GS <
    {kESC, kCutFull, EventKind::kCut, "ESC i", 2},       // ESC i
    {kESC, 'm', EventKind::kCut, "ESC m", 2},            // ESC m
};

const CommandSpec* findCommand(std::uint8_t escape, std::uint8_t letter) {
  for (const CommandSpec& spec : kCommandSet) {
    if (spec.escape == escape && spec.letter == letter) return &spec;
  }
  return nullptr;
}

bool isEscape(std::uint8_t b) { return b == kESC || b == kGS || b == kFS; }

std::string hex(std::uint8_t b) {
  char text[3];
  std::snprintf(text, sizeof text, "%02X", b);
  return text;
}

std::string count(std::size_t done, std::size_t total, const char* unit) {
  return std::to_string(done) + " of " + std::to_string(total) + " " + unit;
}

bool isBlockMode(std::uint8_t mode) {
  return std::find(std::begin(kBlockModes), std::end(kBlockModes), mode) != std::end(kBlockModes);
}

// Bytes a run-length header stands for: header 0 is one byte, header 1 - k
// (two's complement) k bytes; 0 for a header that is neither (0x01 to 0x80).
std::uint32_t runLength(std::uint8_t header) {
  const std::uint32_t k = static_cast<std::uint8_t>(1u - header);
  return k <= kMaxRun ? k : 0;
}

// Expands pairs from `data` until `want` bytes are out or the data ends;
// *consumed receives the bytes of the pairs used. A pair that would go past
// `want` is an error: the block's end must fall on a pair boundary.
Status expandRuns(std::span<const std::uint8_t> data, std::size_t want, std::vector<std::uint8_t>* out,
                  std::size_t* consumed) {
  std::size_t pos = 0;
  while (out->size() < want && data.size() - pos >= 2) {
    const std::uint32_t k = runLength(data[pos]);
    if (k == 0) return Status::failure(pos, "run-length header " + hex(data[pos]) + " is neither 00 nor 81 to FF");
    const std::size_t room = want - out->size();
    if (k > room) {
      return Status::failure(pos, "run of " + std::to_string(k) + " bytes overshoots the end of the data by " +
                                      std::to_string(k - room) + " bytes");
    }
    out->insert(out->end(), k, data[pos + 1]);
    pos += 2;
  }
  *consumed = pos;
  return Status::success();
}

// Why a print area cannot place raster image lines, or "" when it can.
std::string printAreaProblem(const PrintArea& area) {
  if (area.left % kDotsPerByte != 0) return "left margin " + std::to_string(area.left) + " is not a multiple of 8 dots";
  if (area.width % kDotsPerByte != 0) return "width " + std::to_string(area.width) + " is not a multiple of 8 dots";
  if (area.width == 0) return "width is 0";
  if (area.left + area.width > kLineDots) {
    return "left margin " + std::to_string(area.left) + " + width " + std::to_string(area.width) + " exceeds " +
           std::to_string(kLineDots) + " dots";
  }
  return "";
}

class Parser {
 public:
  Parser(std::span<const std::uint8_t> stream, const ParseOptions& options, Paper* paper)
      : stream_(stream), options_(options), paper_(*paper) {}

  Status run() {
    try {
      if (stream_.size() > kMaxStreamBytes) {
        at_ = kMaxStreamBytes;
        return fail("the stream is longer than " + std::to_string(kMaxStreamBytes) + " bytes, the most read");
      }
      for (at_ = 0; at_ < stream_.size(); at_ = next_) {
        Status status = parseCommand();
        if (!status.ok) return status;
      }
      return Status::success();
    } catch (const std::exception&) {
      return fail("out of memory");
    }
  }

 private:
  Status parseCommand() {
    const std::uint8_t escape = stream_[at_];
    if (!isEscape(escape)) return fail("unexpected byte " + hex(escape) + " where a command should start");
    if (at_ + 1 == stream_.size()) return fail("truncated command: the stream ends after " + hex(escape));
    const CommandSpec* spec = findCommand(escape, stream_[at_ + 1]);
    if (spec == nullptr) return fail("unknown command " + hex(escape) + " " + hex(stream_[at_ + 1]));
    const std::size_t available = stream_.size() - at_;
    if (available < spec->length) {
      return fail(std::string("truncated ") + spec->name + ": " + count(available, spec->length, "bytes"));
    }

    Event event{};
    event.kind = spec->kind;
    event.offset = at_;
    event.row = paper_.rows.size();
    next_ = at_ + spec->length;
    Status status = parseBody(&event);
    if (!status.ok) return status;
    event.length = next_ - at_;
    paper_.events.push_back(event);
    return status;
  }

  Status parseBody(Event* event) {
    switch (event->kind) {
      case EventKind::kRasterBlock:
        return rasterBlock(event);
      case EventKind::kRasterImage:
        return rasterImage(event);
      case EventKind::kFeed:
        event->value = byteAt(2);
        if (options_.strict && event->value == 0) return fail("ESC J 0 feeds nothing");
        return appendBlankRows(event->value);
      case EventKind::kLeftMargin:
        event->value = wordAt(2);
        paper_.area.left = event->value;
        return Status::success();
      case EventKind::kPrintWidth:
        event->value = wordAt(2);
        paper_.area.width = event->value;
        return Status::success();
      case EventKind::kGsE:
      case EventKind::kFsE:
        event->value = byteAt(2);
        return Status::success();
      case EventKind::kMarkSetup:
        if (byteAt(2) != 0) return fail("GS A must be followed by 00, got " + hex(byteAt(2)));
        event->value = byteAt(3);
        return Status::success();
      case EventKind::kMarkFeed:
        return Status::success();
      case EventKind::kCut:
        event->value = byteAt(1) == kCutFull ? 1 : 0;
        return Status::success();
    }
    return fail("internal error: unhandled command");
  }

  Status rasterBlock(Event* event) {
    const std::uint8_t mode = byteAt(2);
    if (!isBlockMode(mode)) return fail("FS * mode byte " + hex(mode) + " is not one of 03 07 43 47 83 87 C3 C7");
    event->blockMode = mode;
    event->encoded = (mode & kBlockEncoded) != 0;
    event->value = wordAt(3);

    const std::size_t want = std::size_t{event->value} * kLineBytes;
    const std::span<const std::uint8_t> rest = stream_.subspan(next_);
    std::vector<std::uint8_t> data;
    if (event->encoded) {
      std::size_t consumed = 0;
      Status status = expandRuns(rest, want, &data, &consumed);
      if (!status.ok) return Status::failure(next_ + status.offset, "FS * data: " + status.message);
      next_ += consumed;
    } else {
      data.assign(rest.begin(), rest.begin() + static_cast<std::ptrdiff_t>(std::min(want, rest.size())));
      next_ += data.size();
    }
    if (data.size() < want) {
      return fail("FS * data truncated: " + count(data.size() / kLineBytes, event->value, "lines") + " (" +
                  count(data.size(), want, "bytes") + ")");
    }
    return placeLines(data, kLineBytes, 0);
  }

  Status rasterImage(Event* event) {
    if (byteAt(2) != kRasterImageMode) {
      return fail("ESC * must be followed by " + hex(kRasterImageMode) + ", got " + hex(byteAt(2)));
    }
    event->value = wordAt(3);
    if (options_.strict && event->value == 0) return fail("ESC * a with no lines");
    event->area = paper_.area;
    if (std::string problem = printAreaProblem(paper_.area); !problem.empty()) {
      return fail("ESC * a cannot use the print area: " + problem);
    }
    const std::size_t lineBytes = paper_.area.width / kDotsPerByte;
    const std::size_t want = event->value * lineBytes;
    const std::span<const std::uint8_t> rest = stream_.subspan(next_);
    if (rest.size() < want) {
      return fail("ESC * a data truncated: " + count(rest.size() / lineBytes, event->value, "lines") + " (" +
                  count(rest.size(), want, "bytes") + ")");
    }
    next_ += want;
    return placeLines(rest.first(want), lineBytes, paper_.area.left / kDotsPerByte);
  }

  // Appends data.size() / lineBytes rows, each line's bytes starting at
  // byte `leftByte` of an otherwise blank row.
  Status placeLines(std::span<const std::uint8_t> data, std::size_t lineBytes, std::size_t leftByte) {
    const std::size_t first = paper_.rows.size();
    if (Status status = appendBlankRows(data.size() / lineBytes); !status.ok) return status;
    for (std::size_t i = first; i < paper_.rows.size(); ++i, data = data.subspan(lineBytes)) {
      std::copy_n(data.begin(), lineBytes, paper_.rows[i].begin() + static_cast<std::ptrdiff_t>(leftByte));
    }
    return Status::success();
  }

  Status appendBlankRows(std::size_t rows) {
    if (rows > options_.maxRows - std::min(options_.maxRows, paper_.rows.size())) {
      return fail("the paper would exceed " + std::to_string(options_.maxRows) + " rows, the most rendered");
    }
    paper_.rows.resize(paper_.rows.size() + rows, Row{});
    return Status::success();
  }

  std::uint8_t byteAt(std::size_t i) const { return stream_[at_ + i]; }
  std::uint32_t wordAt(std::size_t i) const { return byteAt(i) | (std::uint32_t{byteAt(i + 1)} << 8); }
  Status fail(std::string message) const { return Status::failure(at_, std::move(message)); }

  const std::span<const std::uint8_t> stream_;
  const ParseOptions& options_;
  Paper& paper_;
  std::size_t at_ = 0;    // first byte of the command being parsed
  std::size_t next_ = 0;  // first byte after it, once its length is known
};

}  // namespace

std::string Status::toString() const {
  return ok ? "ok" : "offset " + std::to_string(offset) + ": " + message;
}

const char* commandName(const Event& event) {
  for (const CommandSpec& spec : kCommandSet) {
    const bool cutMatches = event.kind != EventKind::kCut || (spec.letter == kCutFull) == (event.value == 1);
    if (spec.kind == event.kind && cutMatches) return spec.name;
  }
  return "?";
}

std::size_t Paper::groupAt(std::size_t offset) const {
  const auto after = std::upper_bound(groupStarts.begin(), groupStarts.end(), offset);
  return after == groupStarts.begin() ? 0 : static_cast<std::size_t>(after - groupStarts.begin() - 1);
}

ParseResult parseStream(std::span<const std::uint8_t> stream, const ParseOptions& options) {
  ParseResult result;
  result.status = Parser(stream, options, &result.paper).run();
  return result;
}

ParseResult parseGroups(const std::vector<std::vector<std::uint8_t>>& groups, const ParseOptions& options) {
  std::vector<std::uint8_t> stream;
  std::vector<std::size_t> starts;
  try {
    for (const auto& group : groups) {
      starts.push_back(stream.size());
      stream.insert(stream.end(), group.begin(), group.end());
    }
  } catch (const std::exception&) {
    return {Status::failure(0, "out of memory"), {}};
  }
  ParseResult result = parseStream(stream, options);
  result.paper.groupStarts = std::move(starts);
  for (Event& event : result.paper.events) event.group = result.paper.groupAt(event.offset);
  return result;
}

DecodeResult decodeRunLength(std::span<const std::uint8_t> pairs) {
  DecodeResult result;
  try {
    std::size_t consumed = 0;
    result.status = expandRuns(pairs, SIZE_MAX, &result.bytes, &consumed);
    if (result.status.ok && consumed != pairs.size()) {
      result.status = Status::failure(consumed, "run-length header " + hex(pairs[consumed]) + " has no value byte");
    }
  } catch (const std::exception&) {
    result.status = Status::failure(0, "out of memory");
  }
  return result;
}

}  // namespace emulator
