// The job options a person sets in a print dialog, an `lp -o` or an IPP
// request, shared by every front end so that each offers the same names,
// values and factory defaults. Each option sets one field of the plug-in's
// private record, or the blank-space option that front ends apply
// themselves.
#ifndef QMX_FRONTEND_PRINT_OPTIONS_H_
#define QMX_FRONTEND_PRINT_OPTIONS_H_

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "frontend/blank_space.h"
#include "host/print_session.h"
#include "host/record_fields.h"

namespace frontend {

// Everything a front end decides about a job besides its pages.
struct PrintOptions {
  host::Record record = host::factoryRecord();
  BlankSpace blankSpace;
};

enum class ValueKind {
  kChoice,  // one of `choices`
  kLines,   // 0 to `largest` dot lines; given as lines ("24") or millimetres ("3mm")
  kNumber,  // 0 to `largest`, a value the printer takes as it is
};

struct Choice {
  const char* keyword;  // what is written: -o Name=keyword, a PPD choice, an IPP keyword
  const char* text;     // what a person reads
  std::uint32_t value;
};

struct OptionSpec {
  const char* name;     // PPD option and `-o` name, e.g. "CutMedia"
  const char* ippName;  // IPP attribute name stem, e.g. "cut-command"
  const char* text;     // what a print dialog shows
  ValueKind kind;
  std::span<const Choice> choices;  // kChoice only
  std::uint32_t largest;            // kLines and kNumber
  std::uint32_t (*get)(const PrintOptions& options);
  void (*set)(PrintOptions& options, std::uint32_t value);  // value already checked
};

std::span<const OptionSpec> printOptions();
// By `name` or `ippName`, ignoring case; null when none matches.
const OptionSpec* findOption(std::string_view name);
// The option's value in the factory settings.
std::uint32_t factoryValue(const OptionSpec& option);

// Reads `text` as a value of the option: a choice keyword (any case; for a
// two-way choice also true/false, yes/no, on/off, 1/0), a number of dot
// lines or millimetres ("3mm", "2.5mm": 8 lines each, rounded), or a plain
// number. False with *why set when it is none of these or out of range;
// *why quotes `text` as loggable() writes it, so it is safe to print.
bool parseValue(const OptionSpec& option, std::string_view text, std::uint32_t* value, std::string* why);
// The value as `parseValue` reads it back: the choice keyword, or the number.
std::string valueKeyword(const OptionSpec& option, std::uint32_t value);

// Lines from millimetres, rounded to the nearest line.
std::uint32_t linesFromMm(double mm);

}  // namespace frontend

#endif  // QMX_FRONTEND_PRINT_OPTIONS_H_
