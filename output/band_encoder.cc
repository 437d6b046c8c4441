#include "output/band_encoder.h"

#include <algorithm>
#include <cstring>

#include "output/commands.h"
#include "platform/platform.h"

namespace output {
namespace {

constexpr std::uint16_t kLine = commands::kLineBytes;
constexpr std::uint8_t kZeroLine[commands::kLineBytes] = {};
constexpr const platform::WChar* kCutImageText = QMX_WIDE("元のデータより大きいので圧縮しない\n");

const std::uint8_t* lineAt(const std::uint8_t* input, std::uint16_t line) {
  return input + static_cast<std::size_t>(line) * kLine;
}

bool isBlank(const std::uint8_t* line) { return std::memcmp(line, kZeroLine, kLine) == 0; }

// Zero bytes before the first nonzero byte; kLine for a blank line.
std::uint16_t leftBlank(const std::uint8_t* line) {
  std::uint16_t i = 0;
  while (i < kLine && line[i] == 0) ++i;
  return i;
}

std::uint16_t rightBlank(const std::uint8_t* line) {
  std::uint16_t i = 0;
  while (i < kLine && line[kLine - 1 - i] == 0) ++i;
  return i;
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
    std::uint16_t blank = countBlankLines(input, cursor, end);
    if (blank >= kFeedMinBlankLines) {
      flushPending();
      w.emitFeed(blank);
      cursor = static_cast<std::uint16_t>(cursor + blank);
      continue;
    }
    SideRun left = measureLeftRun(input, cursor, end);
    SideRun right = measureRightRun(input, cursor, end);
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
