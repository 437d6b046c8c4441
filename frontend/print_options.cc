#include "frontend/print_options.h"

#include <cctype>
#include <charconv>
#include <cmath>

#include "frontend/log_text.h"

namespace frontend {
namespace {

constexpr std::uint32_t kLongestBlankRunLines = 8000;  // 1 m of paper

constexpr Choice kCutChoices[] = {
    {"Never", "No cut", 0},
    {"EndOfPage", "After every page", 1},
    {"EndOfJob", "After the last page", 2},
};
constexpr Choice kCutCommandChoices[] = {
    {"EscI", "ESC i", 1},
    {"EscM", "ESC m", 0},
};
constexpr Choice kRasterModeChoices[] = {
    {"Blocks", "Raster blocks", 0},
    {"Bands", "Bands: blank runs fed, print area narrowed", 1},
};
constexpr Choice kBlankEndsChoices[] = {
    {"Auto", "Dropped, except on black-mark paper", static_cast<std::uint32_t>(BlankEnds::kAuto)},
    {"Trim", "Dropped", static_cast<std::uint32_t>(BlankEnds::kTrim)},
    {"AsSent", "Kept as sent", static_cast<std::uint32_t>(BlankEnds::kAsSent)},
};
constexpr Choice kOnOff[] = {
    {"False", "Off", 0},
    {"True", "On", 1},
};

std::uint32_t field(const PrintOptions& o, const char* name) { return host::readField(o.record, *host::findField(name)); }
void setField(PrintOptions& o, const char* name, std::uint32_t v) { host::writeField(o.record, *host::findField(name), v); }

// One accessor pair per record field, by the field's name.
#define QMX_FIELD_ACCESS(fieldName)                                                 \
  [](const PrintOptions& o) { return field(o, fieldName); },                        \
      [](PrintOptions& o, std::uint32_t v) { setField(o, fieldName, v); }

const OptionSpec kOptions[] = {
    {"CutMedia", "cut", "Cut", ValueKind::kChoice, kCutChoices, 0, QMX_FIELD_ACCESS("cutMode")},
    {"CutCommand", "cut-command", "Cut command", ValueKind::kChoice, kCutCommandChoices, 0,
     QMX_FIELD_ACCESS("cutKind")},
    {"RasterMode", "raster-mode", "Raster mode", ValueKind::kChoice, kRasterModeChoices, 0,
     QMX_FIELD_ACCESS("bandMode")},
    {"TopMargin", "top-margin", "Top margin of every page", ValueKind::kLines, {}, 255,
     QMX_FIELD_ACCESS("topMarginLines")},
    {"FirstPageMargin", "first-page-margin", "Extra top margin of the first page", ValueKind::kLines, {}, 255,
     QMX_FIELD_ACCESS("firstPageExtraLines")},
    {"PageEndFeed", "page-end-feed", "Feed after every page", ValueKind::kLines, {}, 255,
     QMX_FIELD_ACCESS("pageEndFeed")},
    {"JobEndFeed", "job-end-feed", "Feed after the last page", ValueKind::kLines, {}, 255,
     QMX_FIELD_ACCESS("jobEndFeed")},
    {"PreCutFeed", "pre-cut-feed", "Feed before a cut", ValueKind::kLines, {}, 255, QMX_FIELD_ACCESS("preCutFeed")},
    {"KeepTrailingBlank", "keep-trailing-blank", "Keep the blank end of the last page", ValueKind::kChoice, kOnOff, 0,
     QMX_FIELD_ACCESS("keepTrailingBlank")},
    {"BlackMark", "black-mark", "Black-mark paper: feed to the mark before a cut", ValueKind::kChoice, kOnOff, 0,
     QMX_FIELD_ACCESS("markMode")},
    {"MarkValue", "black-mark-value", "Black-mark value (GS A)", ValueKind::kNumber, {}, 63,
     QMX_FIELD_ACCESS("gsAValue")},
    // The record's select field gates this value; choosing a value opens the gate.
    {"PreambleGsE", "preamble-gs-e", "Job preamble value GS E", ValueKind::kNumber, {}, 11,
     [](const PrintOptions& o) { return field(o, "gsESelect") > 1 ? 3u : field(o, "gsEValue"); },
     [](PrintOptions& o, std::uint32_t v) {
       setField(o, "gsESelect", 0);
       setField(o, "gsEValue", v);
     }},
    {"PreambleFsE", "preamble-fs-e", "Job preamble value FS E", ValueKind::kNumber, {}, 127,
     QMX_FIELD_ACCESS("fsEValue")},
    {"BlockLevel", "block-level", "Raster block level", ValueKind::kNumber, {}, 3, QMX_FIELD_ACCESS("blockLevel")},
    {"BlankEnds", "blank-ends", "Blank rows above and below the print", ValueKind::kChoice, kBlankEndsChoices, 0,
     [](const PrintOptions& o) { return static_cast<std::uint32_t>(o.blankSpace.ends); },
     [](PrintOptions& o, std::uint32_t v) { o.blankSpace.ends = static_cast<BlankEnds>(v); }},
    // Older settings' way to drop the blank end; True still drops it whatever BlankEnds says.
    {"TrimBlankTail", "trim-blank-tail", "Always drop the blank end of every page", ValueKind::kChoice, kOnOff, 0,
     [](const PrintOptions& o) -> std::uint32_t { return o.blankSpace.trimTrailing ? 1 : 0; },
     [](PrintOptions& o, std::uint32_t v) { o.blankSpace.trimTrailing = v != 0; }},
    {"LongestBlank", "longest-blank", "Shorten blank runs to at most (0: never)", ValueKind::kLines, {},
     kLongestBlankRunLines, [](const PrintOptions& o) { return o.blankSpace.longestRun; },
     [](PrintOptions& o, std::uint32_t v) { o.blankSpace.longestRun = v; }},
};

#undef QMX_FIELD_ACCESS

bool equalsIgnoringCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i)
    if (std::tolower(static_cast<unsigned char>(a[i])) != std::tolower(static_cast<unsigned char>(b[i]))) return false;
  return true;
}

bool parseWhole(std::string_view text, std::uint32_t* value) {
  if (text.empty()) return false;
  auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), *value);
  return ec == std::errc() && end == text.data() + text.size();
}

// "2.5" and the like, digits and at most one point, nothing else.
bool parseDecimal(std::string_view text, double* value) {
  if (text.empty() || text.size() > 16) return false;
  double whole = 0, scale = 1;
  bool point = false, digits = false;
  for (char c : text) {
    if (c == '.' && !point) {
      point = true;
    } else if (c >= '0' && c <= '9') {
      digits = true;
      whole = whole * 10 + (c - '0');
      if (point) scale *= 10;
    } else {
      return false;
    }
  }
  *value = whole / scale;
  return digits;
}

bool parseTwoWay(std::string_view text, std::uint32_t* value) {
  for (const char* yes : {"true", "yes", "on", "1"})
    if (equalsIgnoringCase(text, yes)) return *value = 1, true;
  for (const char* no : {"false", "no", "off", "0"})
    if (equalsIgnoringCase(text, no)) return *value = 0, true;
  return false;
}

std::string choiceList(const OptionSpec& option) {
  std::string list;
  for (const Choice& c : option.choices) list += (list.empty() ? "" : ", ") + std::string(c.keyword);
  return list;
}

}  // namespace

std::span<const OptionSpec> printOptions() { return kOptions; }

const OptionSpec* findOption(std::string_view name) {
  for (const OptionSpec& o : kOptions)
    if (equalsIgnoringCase(name, o.name) || equalsIgnoringCase(name, o.ippName)) return &o;
  return nullptr;
}

std::uint32_t factoryValue(const OptionSpec& option) { return option.get(PrintOptions{}); }

std::uint32_t linesFromMm(double mm) { return static_cast<std::uint32_t>(std::lround(mm * kLinesPerMm)); }

bool parseValue(const OptionSpec& option, std::string_view text, std::uint32_t* value, std::string* why) {
  auto refuse = [&](std::string reason) {
    if (why != nullptr) *why = std::string(option.name) + "=" + loggable(text) + ": " + reason;
    return false;
  };
  if (option.kind == ValueKind::kChoice) {
    for (const Choice& c : option.choices)
      if (equalsIgnoringCase(text, c.keyword)) return *value = c.value, true;
    if (option.choices.size() == 2 && option.choices.data() == kOnOff && parseTwoWay(text, value)) return true;
    return refuse("not one of " + choiceList(option));
  }
  std::uint32_t v = 0;
  bool read = parseWhole(text, &v);
  if (!read && option.kind == ValueKind::kLines && text.size() > 2 &&
      equalsIgnoringCase(text.substr(text.size() - 2), "mm")) {
    double mm = 0;
    if (!parseDecimal(text.substr(0, text.size() - 2), &mm)) return refuse("not a length in millimetres");
    if (mm > option.largest) return refuse("longer than " + std::to_string(option.largest) + " dot lines");
    v = linesFromMm(mm);
    read = true;
  }
  if (!read) return refuse(option.kind == ValueKind::kLines ? "not a number of dot lines or millimetres (\"3mm\")"
                                                           : "not a number");
  if (v > option.largest) {
    return refuse("above " + std::to_string(option.largest) +
                  (option.kind == ValueKind::kLines ? " dot lines (8 per mm)" : ""));
  }
  *value = v;
  return true;
}

std::string valueKeyword(const OptionSpec& option, std::uint32_t value) {
  for (const Choice& c : option.choices)
    if (c.value == value) return c.keyword;
  return std::to_string(value);
}

}  // namespace frontend
