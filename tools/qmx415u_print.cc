// qmx415u-print: page images through the plug-in, as the print system
// drives it, into the printer's byte stream.
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "emulator/emulator.h"
#include "host/linked_module.h"
#include "host/module_loader.h"
#include "host/print_session.h"
#include "host/process.h"
#include "settings/devmode_layout.h"
#include "tools/image_io.h"

namespace {

constexpr const char* kUsage = R"(usage: qmx415u-print [options] PAGE...

Prints one job through the plug-in, one PAGE per page. A PAGE is a PBM (P1
or P4) or PNG image at most 576 dots wide; narrower images are padded with
white on the right, grey and colour images are dithered to black and white.

options:
  -o FILE               write the printer stream to FILE or a device such as
                        /dev/usb/lp0 (default: standard output, not a terminal)
  --devmode FILE        the job's 572-byte private record, used as it is
  --set NAME=VALUE      set one field of the record (repeatable):
                        fsEValue gsESelect gsEValue keepTrailingBlank
                        blockLevel firstPageExtraLines topMarginLines
                        pageEndFeed jobEndFeed cutMode cutKind preCutFeed
                        markMode gsAValue bandMode
  --paper-length N      paper length in tenths of a millimetre (default: just
                        enough for the tallest page)
  --image-line N        the ImageLine value of the INI file (default: none)
  --spool-dir DIR       the folder for temporary page files
  --preview FILE.png    also render what the printer would print, cuts marked
  --plugin FILE         the plug-in library to load (default: the one built
                        beside this program, else the one linked in)
  --quiet               no progress messages
  --help                this text

Without --devmode the job starts from the factory record: gsEValue 3,
fsEValue 0, blockLevel 0, topMarginLines 12, firstPageExtraLines 0, no page
or job feeds, cutMode 2 (cut after the last page), cutKind 1, preCutFeed 96,
markMode 0, gsAValue 32, bandMode 0, keepTrailingBlank 0.
)";

struct Field {
  std::size_t offset;
  int bytes;
};

const std::map<std::string, Field>& fields() {
  using namespace devmode;
  static const std::map<std::string, Field> table = {
      {"fsEValue", {kFsEValue, 4}},           {"gsESelect", {kGsESelect, 4}},
      {"gsEValue", {kGsEValue, 1}},           {"keepTrailingBlank", {kKeepTrailingBlank, 1}},
      {"blockLevel", {kBlockLevel, 1}},       {"firstPageExtraLines", {kFirstPageExtraLines, 2}},
      {"topMarginLines", {kTopMarginLines, 2}}, {"pageEndFeed", {kPageEndFeed, 2}},
      {"jobEndFeed", {kJobEndFeed, 2}},       {"cutMode", {kCutMode, 1}},
      {"cutKind", {kCutKind, 1}},             {"preCutFeed", {kPreCutFeed, 2}},
      {"markMode", {kMarkMode, 1}},           {"gsAValue", {kGsAValue, 2}},
      {"bandMode", {kBandMode, 1}},
  };
  return table;
}

host::Record factoryRecord() {
  using namespace devmode;
  host::Record r{};
  writeU32(r.data(), kDwSize, kRecordSize);
  writeU32(r.data(), kDwSignature, kSignature);
  writeU32(r.data(), kDwVersion, kVersion);
  r[kGsEValue] = 3;
  writeU16(r.data(), kTopMarginLines, 12);
  r[kCutMode] = 2;
  r[kCutKind] = 1;
  writeU16(r.data(), kPreCutFeed, 96);
  writeU16(r.data(), kGsAValue, 32);
  return r;
}

struct Failure {
  std::string message;
  int status;
};

struct Options {
  std::string output = "-";
  std::optional<std::string> devmodeFile;
  std::vector<std::pair<std::string, std::string>> sets;
  std::optional<std::int16_t> paperLength;
  std::optional<std::int32_t> imageLine;
  std::string spoolDir;
  std::string preview;
  std::string plugin;
  bool quiet = false;
  std::vector<std::string> pages;
};

bool parseNumber(const std::string& text, long long min, long long max, long long* out) {
  if (text.empty()) return false;
  errno = 0;
  char* end = nullptr;
  long long v = std::strtoll(text.c_str(), &end, 0);
  if (errno != 0 || *end != '\0' || v < min || v > max) return false;
  *out = v;
  return true;
}

std::optional<Failure> parseArgs(int argc, char** argv, Options* o) {
  auto need = [&](int& i) -> std::optional<std::string> {
    if (i + 1 >= argc) return std::nullopt;
    return std::string(argv[++i]);
  };
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    if (a == "--help" || a == "-h") return Failure{"", 0};
    if (a == "--quiet") {
      o->quiet = true;
      continue;
    }
    if (a.size() > 1 && a[0] == '-' && a != "-") {
      std::optional<std::string> v = need(i);
      if (!v) return Failure{"option " + a + " needs a value", 2};
      long long n = 0;
      if (a == "-o") {
        o->output = *v;
      } else if (a == "--devmode") {
        o->devmodeFile = *v;
      } else if (a == "--set") {
        std::size_t eq = v->find('=');
        if (eq == std::string::npos) return Failure{"--set wants NAME=VALUE, got '" + *v + "'", 2};
        o->sets.emplace_back(v->substr(0, eq), v->substr(eq + 1));
      } else if (a == "--paper-length") {
        if (!parseNumber(*v, -32768, 32767, &n)) return Failure{"--paper-length must be -32768 to 32767", 2};
        o->paperLength = static_cast<std::int16_t>(n);
      } else if (a == "--image-line") {
        if (!parseNumber(*v, INT32_MIN, INT32_MAX, &n)) return Failure{"--image-line must be a 32-bit number", 2};
        o->imageLine = static_cast<std::int32_t>(n);
      } else if (a == "--spool-dir") {
        o->spoolDir = *v;
      } else if (a == "--preview") {
        o->preview = *v;
      } else if (a == "--plugin") {
        o->plugin = *v;
      } else {
        return Failure{"unknown option " + a, 2};
      }
      continue;
    }
    o->pages.push_back(a);
  }
  if (o->pages.empty()) return Failure{"no PAGE given (see --help)", 2};
  return std::nullopt;
}

std::optional<Failure> buildRecord(const Options& o, host::Record* record) {
  *record = factoryRecord();
  if (o.devmodeFile) {
    std::ifstream in(*o.devmodeFile, std::ios::binary);
    if (!in) return Failure{*o.devmodeFile + ": cannot read", 1};
    std::vector<char> bytes((std::istreambuf_iterator<char>(in)), {});
    if (bytes.size() != record->size())
      return Failure{*o.devmodeFile + ": a private record is 572 bytes, this file has " + std::to_string(bytes.size()), 1};
    std::memcpy(record->data(), bytes.data(), bytes.size());
  }
  for (const auto& [name, text] : o.sets) {
    auto it = fields().find(name);
    if (it == fields().end()) return Failure{"unknown field '" + name + "' (see --help)", 2};
    const Field& f = it->second;
    long long max = f.bytes == 4 ? 0xFFFFFFFFLL : (1LL << (8 * f.bytes)) - 1;
    long long value = 0;
    if (!parseNumber(text, 0, max, &value))
      return Failure{name + "=" + text + ": must be a number from 0 to " + std::to_string(max), 2};
    for (int b = 0; b < f.bytes; ++b) (*record)[f.offset + static_cast<std::size_t>(b)] = static_cast<std::uint8_t>(value >> (8 * b));
  }
  return std::nullopt;
}

std::optional<Failure> readPages(const Options& o, std::vector<host::Page>* pages) {
  for (const std::string& path : o.pages) {
    image_io::ReadResult image = image_io::readImageFile(path);
    if (!image.ok()) return Failure{image.error, 1};
    pages->emplace_back(image.rows.begin(), image.rows.end());
  }
  return std::nullopt;
}

// Shortest paper whose line count holds the tallest page.
std::int16_t paperLengthFor(const std::vector<host::Page>& pages) {
  std::size_t tallest = 0;
  for (const host::Page& p : pages) tallest = std::max(tallest, p.size());
  if (tallest <= 1) return 0;
  std::size_t tenths = ((tallest - 1) * 10 + 7) / 8;
  return static_cast<std::int16_t>(std::min<std::size_t>(tenths, 32767));
}

// The plug-in keeps a page in memory up to the paper's line count (page 1;
// later pages also have room for page 1's extra lines) and drops the rest,
// so a page taller than the paper given would print cut short.
std::optional<Failure> checkPagesFitPaper(const std::vector<host::Page>& pages, std::int16_t paperLength,
                                          const host::Record& record) {
  std::int32_t pageLines = paperLength * 8 / 10 + 1;
  if (pageLines <= 0 || pageLines > 10080) return std::nullopt;  // a long page: kept in files, whole
  std::uint32_t extra = devmode::readU16(record.data(), devmode::kFirstPageExtraLines);
  if (extra > 255) extra = 0;
  for (std::size_t k = 0; k < pages.size(); ++k) {
    std::size_t room = static_cast<std::size_t>(pageLines) + (k == 0 ? 0 : extra);
    if (pages[k].size() > room)
      return Failure{"page " + std::to_string(k + 1) + " has " + std::to_string(pages[k].size()) +
                         " lines, but paper of length " + std::to_string(paperLength) + " holds " +
                         std::to_string(room) + " (raise --paper-length or leave it out)",
                     2};
  }
  return std::nullopt;
}

std::unique_ptr<host::PluginModule> loadPlugin(const Options& o, const char* argv0, std::string* error) {
  if (!o.plugin.empty()) return host::PluginModule::load(o.plugin, error);
  std::error_code ec;
  std::filesystem::path self = std::filesystem::read_symlink("/proc/self/exe", ec);
  if (ec) self = argv0;
  std::filesystem::path beside = self.parent_path().parent_path() / "lib" / "libqmx415u.so";
  if (std::filesystem::exists(beside, ec)) return host::PluginModule::load(beside.string(), error);
  return host::linkedModule();
}

std::optional<Failure> writeStream(const std::string& path, const std::vector<std::uint8_t>& stream) {
  if (path == "-") {
    if (isatty(STDOUT_FILENO)) return Failure{"refusing to write a printer stream to a terminal (use -o FILE)", 2};
    if (std::fwrite(stream.data(), 1, stream.size(), stdout) != stream.size() || std::fflush(stdout) != 0)
      return Failure{"cannot write to standard output", 1};
    return std::nullopt;
  }
  std::error_code ec;
  bool regular = !std::filesystem::exists(path, ec) || std::filesystem::is_regular_file(path, ec);
  FILE* f = std::fopen(path.c_str(), "wb");
  if (f == nullptr) return Failure{path + ": " + std::strerror(errno), 1};
  bool ok = std::fwrite(stream.data(), 1, stream.size(), f) == stream.size();
  ok = (std::fclose(f) == 0) && ok;
  if (!ok) {
    // A stream cut short must not look like a finished job.
    if (regular) std::filesystem::remove(path, ec);
    return Failure{path + ": write failed", 1};
  }
  return std::nullopt;
}

std::optional<Failure> writePreview(const std::string& path, const std::vector<std::uint8_t>& stream) {
  emulator::ParseResult parsed = emulator::parseStream(stream);
  if (!parsed.status.ok) return Failure{"the plug-in's stream did not decode: " + parsed.status.toString(), 1};
  image_io::PreviewMarks marks;
  marks.border = true;
  for (const emulator::Event& e : parsed.paper.events) {
    if (e.kind == emulator::EventKind::kCut) marks.cutRows.push_back(e.row);
    if (e.kind == emulator::EventKind::kMarkFeed) marks.markRows.push_back(e.row);
  }
  image_io::Rows rows(parsed.paper.rows.begin(), parsed.paper.rows.end());
  if (rows.empty()) rows.push_back(image_io::Row{});  // a PNG needs a row
  std::string error = image_io::writePreviewPng(path, rows, marks);
  if (!error.empty()) return Failure{error, 1};
  return std::nullopt;
}

int fail(const Failure& f) {
  std::fprintf(stderr, "qmx415u-print: %s\n", f.message.c_str());
  return f.status;
}

}  // namespace

int main(int argc, char** argv) {
  Options o;
  if (auto f = parseArgs(argc, argv, &o)) {
    if (f->status == 0) {
      std::fputs(kUsage, stdout);
      return 0;
    }
    return fail(*f);
  }
  if (o.output == "-" && isatty(STDOUT_FILENO))
    return fail({"refusing to write a printer stream to a terminal (use -o FILE)", 2});
  host::JobSpec job;
  host::Record record;
  if (auto f = buildRecord(o, &record)) return fail(*f);
  job.rawRecord = record;
  if (auto f = readPages(o, &job.pages)) return fail(*f);
  job.paperLength = o.paperLength.value_or(paperLengthFor(job.pages));
  if (auto f = checkPagesFitPaper(job.pages, job.paperLength, record)) return fail(*f);
  if (!o.spoolDir.empty() && !std::filesystem::is_directory(o.spoolDir))
    return fail({"--spool-dir " + o.spoolDir + ": no such folder", 1});
  job.imageLine = o.imageLine;
  std::size_t lines = 0;
  for (const auto& p : job.pages) lines += p.size();
  bool progress = !o.quiet && (job.pages.size() > 1 || lines > 20000);
  if (progress) {
    job.onPageDone = [](std::size_t done, std::size_t total) {
      std::fprintf(stderr, "qmx415u-print: page %zu of %zu stored\n", done, total);
    };
  }

  std::string error;
  std::unique_ptr<host::PluginModule> module = loadPlugin(o, argv[0], &error);
  if (!module) return fail({"cannot load the plug-in: " + error, 1});
  if (!host::configureProcess({"", o.spoolDir}, &error)) return fail({error, 1});
  host::JobResult result = host::printJob(*module, job);
  if (!result.ok) return fail({"the job failed: " + result.error, 1});
  if (progress) std::fprintf(stderr, "qmx415u-print: %zu bytes for %zu pages\n", result.stream.size(), job.pages.size());
  if (!o.preview.empty()) {
    if (auto f = writePreview(o.preview, result.stream)) return fail(*f);
  }
  if (auto f = writeStream(o.output, result.stream)) return fail(*f);
  return 0;
}
