#include "output/band_encoder.h"

#include <algorithm>
#include <bit>
#include <cstring>

#include "output/commands.h"
#include "platform/platform.h"

namespace output {
namespace {

constexpr std::uint16_t kLine = commands::kLineBytes;
constexpr std::uint16_t kLineWords = kLine / 8;
constexpr std::uint16_t kMaxLines = 0xFFFF / kLine;  // the byte count is 16-bit
constexpr const platform::WChar* kCutImageText = QMX_WIDE("元のデータより大きいので圧縮しない\n");
static_assert(kLine % 8 == 0, "lines are scanned a word at a time");

const std::uint8_t* lineAt(const std::uint8_t* input, std::uint16_t line) {
  return input + static_cast<std::size_t>(line) * kLine;
}

// Eight bytes of a line, the byte at the lowest address in the low bits, so
// that trailing zero bits count blank bytes on the left and leading zero
// bits blank bytes on the right.
std::uint64_t lineWord(const std::uint8_t* line, std::uint16_t k) {
  std::uint64_t v;
  std::memcpy(&v, line + 8 * k, sizeof v);
  if constexpr (std::endian::native == std::endian::big) v = __builtin_bswap64(v);
  return v;
}

bool isBlank(const std::uint8_t* line) {
  std::uint64_t any = 0;
  for (std::uint16_t k = 0; k < kLineWords; ++k) any |= lineWord(line, k);
  return any == 0;
}

// Zero bytes before the first nonzero byte; kLine for a blank line.
std::uint16_t leftBlank(const std::uint8_t* line) {
  for (std::uint16_t k = 0; k < kLineWords; ++k) {
    if (std::uint64_t w = lineWord(line, k)) return static_cast<std::uint16_t>(8 * k + std::countr_zero(w) / 8);
  }
  return kLine;
}

// Zero bytes after the last nonzero byte; kLine for a blank line.
std::uint16_t rightBlank(const std::uint8_t* line) {
  for (std::uint16_t k = kLineWords; k > 0; --k) {
    if (std::uint64_t w = lineWord(line, static_cast<std::uint16_t>(k - 1)))
      return static_cast<std::uint16_t>(8 * (kLineWords - k) + std::countl_zero(w) / 8);
  }
  return kLine;
}

template <typename BlankOf>
SideRun measureRun(const std::uint8_t* input, std::uint16_t line, std::uint16_t end, BlankOf blankOf) {
  SideRun run;
  std::uint16_t smallest = kLine;
  for (; line < end; ++line) {
    std::uint16_t blank = blankOf(lineAt(input, line));
    if (blank == kLine || blank < kNarrowMinBlankBytes) break;
    smallest = std::min(smallest, blank);
    ++run.lines;
  }
  run.margin = run.lines > 0 ? smallest : 0;
  return run;
}

// What the encoder asks of each line, worked out once per call from the
// last line back: the blank lines from each line on, and the left and
// right runs that start at it. The encoder asks again at every line that
// joins a pending image, so scanning the lines each time would cost the
// square of the chunk.
class LineTable {
 public:
  LineTable(const std::uint8_t* input, std::uint16_t end) {
    blankFrom_[end] = 0;
    leftLines_[end] = rightLines_[end] = 0;
    for (std::uint16_t i = end; i > 0; --i) {
      std::uint16_t line = static_cast<std::uint16_t>(i - 1);
      const std::uint8_t* bytes = lineAt(input, line);
      std::uint16_t left = leftBlank(bytes);
      bool blank = left == kLine;
      std::uint16_t right = blank ? kLine : rightBlank(bytes);
      blankFrom_[line] = blank ? static_cast<std::uint16_t>(blankFrom_[i] + 1) : 0;
      extend(leftLines_, leftMargin_, line, blank ? 0 : left);
      extend(rightLines_, rightMargin_, line, blank ? 0 : right);
    }
  }

  std::uint16_t blankLinesFrom(std::uint16_t line) const { return blankFrom_[line]; }
  SideRun leftRunFrom(std::uint16_t line) const { return runAt(leftLines_, leftMargin_, line); }
  SideRun rightRunFrom(std::uint16_t line) const { return runAt(rightLines_, rightMargin_, line); }

 private:
  // The run from `line`, whose blank on that side is `blank`, given the run
  // from the line after it. A blank line has no run (blank 0 here).
  static void extend(std::uint16_t* lines, std::uint16_t* margins, std::uint16_t line, std::uint16_t blank) {
    std::uint16_t next = static_cast<std::uint16_t>(line + 1);
    if (blank < kNarrowMinBlankBytes) {
      lines[line] = 0;
      return;
    }
    lines[line] = static_cast<std::uint16_t>(lines[next] + 1);
    margins[line] = lines[next] > 0 ? std::min(margins[next], blank) : blank;
  }

  static SideRun runAt(const std::uint16_t* lines, const std::uint16_t* margins, std::uint16_t line) {
    SideRun run;
    run.lines = lines[line];
    run.margin = run.lines > 0 ? margins[line] : 0;
    return run;
  }

  // Left uninitialised: only the entries up to the chunk's end are written
  // and read.
  std::uint16_t blankFrom_[kMaxLines + 1];
  std::uint16_t leftLines_[kMaxLines + 1];
  std::uint16_t leftMargin_[kMaxLines + 1];
  std::uint16_t rightLines_[kMaxLines + 1];
  std::uint16_t rightMargin_[kMaxLines + 1];
};

// Writes commands one after another into the caller's output area.
class BandWriter {
 public:
  BandWriter(std::uint8_t* out, const std::uint8_t* input) : out_(out), input_(input) {}

  template <std::size_t N>
  void put(const std::array<std::uint8_t, N>& bytes) {
    std::memcpy(out_ + size_, bytes.data(), N);
    size_ += N;
  }

  // The `count` lines that end just before `cursor`, whole.
  void emitFullImage(std::uint16_t cursor, std::uint16_t count) {
    put(commands::rasterImageHeader(count));
    auto bytes = static_cast<std::uint16_t>(count * kLine);
    std::memcpy(out_ + size_, lineAt(input_, static_cast<std::uint16_t>(cursor - count)), bytes);
    size_ += bytes;
  }

  // Bytes [left, 72 - right) of `count` lines from `cursor`.
  void emitCutImage(std::uint16_t& cursor, std::uint16_t count, std::uint16_t left, std::uint16_t right) {
    platform::debugText(kCutImageText);
    put(commands::rasterImageHeader(count));
    std::uint16_t width = static_cast<std::uint16_t>(kLine - left - right);
    for (std::uint16_t i = 0; i < count; ++i) {
      std::memcpy(out_ + size_, lineAt(input_, cursor) + left, width);
      size_ += width;
      ++cursor;
    }
  }

  void emitLeftMargin(std::uint16_t left) { put(commands::leftMargin(8u * left)); }
  void emitPrintWidth(std::uint16_t right, std::uint16_t left) {
    put(commands::printWidth(commands::kLineDots - 8u * (left + right)));
  }

  // Feeds never exceed one command's byte, so longer runs take several.
  void emitFeed(std::uint16_t lines) {
    while (lines > 0) {
      std::uint16_t step = std::min<std::uint16_t>(lines, 255);
      put(commands::feed(step));
      lines = static_cast<std::uint16_t>(lines - step);
    }
  }

  std::uint32_t size() const { return size_; }

 private:
  std::uint8_t* out_;
  const std::uint8_t* input_;
  std::uint32_t size_ = 0;
};

}  // namespace

std::uint16_t countBlankLines(const std::uint8_t* input, std::uint16_t line, std::uint16_t end) {
  std::uint16_t count = 0;
  while (line < end && isBlank(lineAt(input, line))) ++line, ++count;
  return count;
}

SideRun measureLeftRun(const std::uint8_t* input, std::uint16_t line, std::uint16_t end) {
  return measureRun(input, line, end, leftBlank);
}

SideRun measureRightRun(const std::uint8_t* input, std::uint16_t line, std::uint16_t end) {
  return measureRun(input, line, end, rightBlank);
}

std::uint32_t encodeBand(std::uint8_t* output, const std::uint8_t* input, std::uint32_t inputBytes) {
  const auto end = static_cast<std::uint16_t>((inputBytes & 0xFFFF) / kLine);
  if (end == 0) return 0;
  const LineTable table(input, end);
  BandWriter w(output, input);
  std::uint16_t cursor = 0;
  std::uint16_t pending = 0;
  bool restoreLeft = false;
  bool restoreRight = false;
  auto flushPending = [&] {
    if (pending > 0) w.emitFullImage(cursor, pending);
    pending = 0;
  };

  while (cursor < end) {
    std::uint16_t blank = table.blankLinesFrom(cursor);
    if (blank >= kFeedMinBlankLines) {
      flushPending();
      w.emitFeed(blank);
      cursor = static_cast<std::uint16_t>(cursor + blank);
      continue;
    }
    SideRun left = table.leftRunFrom(cursor);
    SideRun right = table.rightRunFrom(cursor);
    if (left.lines < kNarrowMinLines || left.margin < kNarrowMinBlankBytes) left = SideRun{};
    if (right.lines < kNarrowMinLines || right.margin < kNarrowMinBlankBytes) right = SideRun{};
    if (left.lines == 0 && right.lines == 0) {
      ++pending;
      ++cursor;
      continue;
    }

    flushPending();
    std::uint16_t total = std::max(left.lines, right.lines);
    std::uint16_t n = std::min(left.lines, right.lines);
    if (n == 0) n = total;
    // Keep the area at least ten bytes wide, taking the room from the
    // wider side's margin.
    if (kLine - left.margin - right.margin < kNarrowestAreaBytes) {
      if (left.margin <= kNarrowMinBlankBytes)
        right.margin = static_cast<std::uint16_t>(kLine - kNarrowestAreaBytes - left.margin);
      else
        left.margin = static_cast<std::uint16_t>(kLine - kNarrowestAreaBytes - right.margin);
    }
    if (left.lines > 0 || restoreLeft) {
      w.emitLeftMargin(left.margin);
      restoreLeft = restoreRight = true;
    }
    if (right.lines > 0 || restoreRight) {
      w.emitPrintWidth(right.margin, left.margin);
      restoreLeft = restoreRight = true;
    }
    while (true) {
      w.emitCutImage(cursor, n, left.margin, right.margin);
      if (left.lines > 0) left.lines = static_cast<std::uint16_t>(left.lines - n);
      if (right.lines > 0) right.lines = static_cast<std::uint16_t>(right.lines - n);
      total = static_cast<std::uint16_t>(total - n);
      if (left.lines == 0 && restoreLeft) {
        left.margin = 0;
        w.emitLeftMargin(0);
        w.emitPrintWidth(right.margin, 0);
        restoreLeft = false;
      }
      if (right.lines == 0 && restoreRight) {
        right.margin = 0;
        w.emitPrintWidth(0, left.margin);
        restoreRight = false;
      }
      n = total;
      if (n == 0) break;
    }
  }
  flushPending();
  return w.size();
}

}  // namespace output
