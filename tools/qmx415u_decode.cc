// qmx415u-decode: reads a printer byte stream through the emulator, reports
// what the printer would do and renders the paper it would print.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <exception>
#include <map>
#include <string>
#include <vector>

#include "emulator/emulator.h"
#include "tools/image_io.h"

namespace {

constexpr const char* kProgram = "qmx415u-decode";
constexpr double kDotsPerMillimetre = 8.0;
constexpr std::size_t kListLimit = 20;  // feeds or cuts listed one by one

constexpr const char* kUsage =
    "usage: qmx415u-decode [--png FILE] [--pbm FILE] [--border] [--events] [--strict] STREAM\n"
    "\n"
    "Reads the printer byte stream STREAM (- for standard input), reports the\n"
    "commands, paper length, feeds, cuts, preamble values and mark commands,\n"
    "and renders the paper.\n"
    "\n"
    "  --png FILE   write a colour preview, cuts marked by red dashed lines,\n"
    "               mark feeds by blue ones, fed paper tinted pale yellow\n"
    "  --pbm FILE   write the paper as a 576-dot wide PBM (P4) image\n"
    "  --border     frame the preview's 576-dot width in grey\n"
    "  --events     list every command with its offset and paper row\n"
    "  --strict     also refuse what the plug-in never sends (ESC J 0, an\n"
    "               image of no lines), as the tests' oracle does\n"
    "  --help       show this text\n"
    "\n"
    "Exit status: 0 done, 1 malformed stream or file error, 2 bad usage.\n";

struct Options {
  std::string stream;
  std::string png;
  std::string pbm;
  bool border = false;
  bool events = false;
  bool strict = false;
};

std::string millimetres(std::size_t rows) {
  char text[32];
  std::snprintf(text, sizeof text, "%.3f", rows / kDotsPerMillimetre);
  std::string s = text;
  s.erase(s.find_last_not_of('0') + 1);
  if (s.back() == '.') s.pop_back();
  return s + " mm";
}

std::string hexByte(std::uint8_t b) {
  char text[3];
  std::snprintf(text, sizeof text, "%02X", b);
  return text;
}

// Parses the command line; returns false with a message for bad usage.
bool parseArguments(int argc, char** argv, Options* options, std::string* error, bool* help) {
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    auto value = [&](std::string* out) {
      if (i + 1 >= argc) {
        *error = arg + " needs a file name";
        return false;
      }
      *out = argv[++i];
      return true;
    };
    if (arg == "--help" || arg == "-h") {
      *help = true;
      return true;
    } else if (arg == "--png") {
      if (!value(&options->png)) return false;
    } else if (arg == "--pbm") {
      if (!value(&options->pbm)) return false;
    } else if (arg == "--border") {
      options->border = true;
    } else if (arg == "--events") {
      options->events = true;
    } else if (arg == "--strict") {
      options->strict = true;
    } else if (arg.size() > 1 && arg[0] == '-') {
      *error = "unknown option " + arg;
      return false;
    } else if (!options->stream.empty()) {
      *error = "only one STREAM may be given";
      return false;
    } else {
      options->stream = arg;
    }
  }
  if (options->stream.empty()) *error = "no STREAM given";
  return error->empty();
}

// Reads the whole stream, up to the emulator's bound: a longer one is
// refused as soon as its first byte past the bound arrives.
bool readStream(const std::string& name, std::vector<std::uint8_t>* bytes, std::string* error) {
  std::FILE* file = name == "-" ? stdin : std::fopen(name.c_str(), "rb");
  if (file == nullptr) {
    *error = std::strerror(errno);
    return false;
  }
  std::uint8_t buffer[65536];
  std::size_t n;
  bool tooLong = false;
  while (!tooLong && (n = std::fread(buffer, 1, sizeof buffer, file)) > 0) {
    tooLong = n > emulator::kMaxStreamBytes - bytes->size();
    if (!tooLong) bytes->insert(bytes->end(), buffer, buffer + n);
  }
  const bool failed = std::ferror(file) != 0;
  if (file != stdin) std::fclose(file);
  if (failed) *error = "read failed";
  if (tooLong) *error = "longer than " + std::to_string(emulator::kMaxStreamBytes) + " bytes, the most that is read";
  return !failed && !tooLong;
}

std::vector<const emulator::Event*> eventsOf(const emulator::Paper& paper, emulator::EventKind kind) {
  std::vector<const emulator::Event*> found;
  for (const emulator::Event& e : paper.events) {
    if (e.kind == kind) found.push_back(&e);
  }
  return found;
}

void reportCommands(const emulator::Paper& paper) {
  std::vector<std::string> order;
  std::map<std::string, std::size_t> counts;
  for (const emulator::Event& e : paper.events) {
    const std::string name = emulator::commandName(e);
    if (counts[name]++ == 0) order.push_back(name);
  }
  std::printf("commands: %zu\n", paper.events.size());
  for (const std::string& name : order) std::printf("  %-8s %6zu\n", name.c_str(), counts[name]);

  std::size_t encoded = 0, blockLines = 0, imageLines = 0;
  for (const auto* e : eventsOf(paper, emulator::EventKind::kRasterBlock)) {
    encoded += e->encoded;
    blockLines += e->value;
  }
  for (const auto* e : eventsOf(paper, emulator::EventKind::kRasterImage)) imageLines += e->value;
  const std::size_t blocks = eventsOf(paper, emulator::EventKind::kRasterBlock).size();
  if (blocks > 0) {
    std::printf("raster blocks: %zu lines, %zu encoded, %zu raw\n", blockLines, encoded, blocks - encoded);
  }
  if (imageLines > 0) std::printf("raster images: %zu lines\n", imageLines);
}

void reportPreamble(const emulator::Paper& paper) {
  std::string values;
  for (const emulator::Event& e : paper.events) {
    if (e.kind == emulator::EventKind::kGsE || e.kind == emulator::EventKind::kFsE) {
      values += std::string(values.empty() ? "" : ", ") + emulator::commandName(e) + " " + std::to_string(e.value);
    } else if (e.kind == emulator::EventKind::kMarkSetup) {
      values += std::string(values.empty() ? "" : ", ") + "GS A 0 " + std::to_string(e.value);
    }
  }
  std::printf("settings: %s\n", values.empty() ? "none" : values.c_str());
}

// One line per event of `kind`, at most kListLimit of them.
template <typename Describe>
void reportList(const emulator::Paper& paper, emulator::EventKind kind, const char* title, Describe describe) {
  const auto events = eventsOf(paper, kind);
  std::printf("%s: %zu\n", title, events.size());
  for (std::size_t i = 0; i < events.size() && i < kListLimit; ++i) {
    std::printf("  at row %zu (%s): %s\n", events[i]->row, millimetres(events[i]->row).c_str(),
                describe(*events[i]).c_str());
  }
  if (events.size() > kListLimit) std::printf("  ... and %zu more\n", events.size() - kListLimit);
}

void reportEvents(const emulator::Paper& paper) {
  std::printf("events:\n  %10s %8s  command\n", "offset", "row");
  for (const emulator::Event& e : paper.events) {
    std::string detail;
    switch (e.kind) {
      case emulator::EventKind::kRasterBlock:
        detail = std::to_string(e.value) + " lines, mode " + hexByte(e.blockMode) + (e.encoded ? ", encoded" : ", raw");
        break;
      case emulator::EventKind::kRasterImage:
        detail = std::to_string(e.value) + " lines at " + std::to_string(e.area.left) + "+" +
                 std::to_string(e.area.width) + " dots";
        break;
      case emulator::EventKind::kMarkFeed:
      case emulator::EventKind::kCut:
        break;
      default:
        detail = std::to_string(e.value);
    }
    std::printf("  %10zu %8zu  %s%s%s\n", e.offset, e.row, emulator::commandName(e), detail.empty() ? "" : " ",
                detail.c_str());
  }
}

void report(const Options& options, std::size_t streamBytes, const emulator::Paper& paper) {
  std::printf("stream: %s, %zu bytes\n", options.stream.c_str(), streamBytes);
  reportPreamble(paper);
  reportCommands(paper);
  std::printf("paper: %zu dot lines, %s\n", paper.rows.size(), millimetres(paper.rows.size()).c_str());
  std::size_t fed = 0;
  for (const auto* e : eventsOf(paper, emulator::EventKind::kFeed)) fed += e->value;
  std::printf("fed: %zu dot lines, %s\n", fed, millimetres(fed).c_str());
  reportList(paper, emulator::EventKind::kFeed, "feeds",
             [](const emulator::Event& e) { return "ESC J " + std::to_string(e.value); });
  reportList(paper, emulator::EventKind::kCut, "cuts", [](const emulator::Event& e) {
    return std::string(emulator::commandName(e)) + " (cut kind " + std::to_string(e.value) + ")";
  });
  reportList(paper, emulator::EventKind::kMarkFeed, "mark feeds",
             [](const emulator::Event&) { return std::string("GS <"); });
  if (options.events) reportEvents(paper);
}

bool writeImages(const Options& options, const emulator::Paper& paper) {
  bool ok = true;
  auto check = [&](const std::string& error) {
    if (error.empty()) return;
    std::fprintf(stderr, "%s: %s\n", kProgram, error.c_str());
    ok = false;
  };
  if (!options.png.empty()) {
    image_io::PreviewMarks marks;
    marks.border = options.border;
    for (const auto* e : eventsOf(paper, emulator::EventKind::kCut)) marks.cutRows.push_back(e->row);
    for (const auto* e : eventsOf(paper, emulator::EventKind::kMarkFeed)) marks.markRows.push_back(e->row);
    for (const auto* e : eventsOf(paper, emulator::EventKind::kFeed)) marks.fedRows.emplace_back(e->row, e->value);
    image_io::Rows rows(paper.rows.begin(), paper.rows.end());
    if (rows.empty()) rows.push_back(image_io::Row{});  // a PNG needs a row; a blank one says "nothing printed"
    check(image_io::writePreviewPng(options.png, rows, marks));
  }
  if (!options.pbm.empty()) check(image_io::writePbm(options.pbm, paper.rows));
  return ok;
}

int run(int argc, char** argv) {
  Options options;
  std::string error;
  bool help = false;
  if (!parseArguments(argc, argv, &options, &error, &help)) {
    std::fprintf(stderr, "%s: %s\n%s", kProgram, error.c_str(), kUsage);
    return 2;
  }
  if (help) {
    std::fputs(kUsage, stdout);
    return 0;
  }

  std::vector<std::uint8_t> stream;
  if (!readStream(options.stream, &stream, &error)) {
    std::fprintf(stderr, "%s: %s: %s\n", kProgram, options.stream.c_str(), error.c_str());
    return 1;
  }
  emulator::ParseOptions parse;
  parse.strict = options.strict;
  const emulator::ParseResult result = emulator::parseStream(stream, parse);
  if (!result.status.ok) {
    std::fprintf(stderr, "%s: %s: %s\n", kProgram, options.stream.c_str(), result.status.toString().c_str());
    return 1;
  }
  report(options, stream.size(), result.paper);
  return writeImages(options, result.paper) ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  // Memory runs short only on a stream near the bounds; say so, never abort.
  try {
    return run(argc, argv);
  } catch (const std::exception&) {
    std::fprintf(stderr, "%s: out of memory\n", kProgram);
    return 1;
  }
}
