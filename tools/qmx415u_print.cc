// qmx415u-print: page images through the plug-in, as the print system
// drives it, into the printer's byte stream.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

#include "emulator/emulator.h"
#include "frontend/blank_space.h"
#include "frontend/log_text.h"
#include "frontend/paper_length.h"
#include "frontend/print_options.h"
#include "host/job_stream.h"
#include "host/linked_module.h"
#include "host/module_loader.h"
#include "host/print_session.h"
#include "host/process.h"
#include "host/record_fields.h"
#include "tools/image_io.h"

namespace {

constexpr const char* kUsage = R"(usage: qmx415u-print [options] PAGE...

Prints one job through the plug-in, one PAGE per page. A PAGE is a PBM (P1
or P4), PNG or JPEG image at most 576 dots wide; narrower images are padded
with white on the right, grey and colour images are dithered to black and
white.

options:
  -o FILE               write the printer stream to FILE or a device such as
                        /dev/usb/lp0 (default: standard output, not a terminal)
  --devmode FILE        the job's 572-byte private record, used as it is
  --set NAME=VALUE      set one field of the record (repeatable):
                        fsEValue gsESelect gsEValue keepTrailingBlank
                        blockLevel firstPageExtraLines topMarginLines
                        pageEndFeed jobEndFeed cutMode cutKind preCutFeed
                        markMode gsAValue bandMode
  -O NAME=VALUE         set a print option by the name the CUPS filter and
                        the printer application use (repeatable), e.g.
                        -O BlankEnds=AsSent -O LongestBlank=10mm
                        -O CutMedia=EndOfPage -O TopMargin=3mm
                        (each page's blank head and tail are dropped unless
                        BlankEnds=AsSent, or on black-mark paper)
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

struct Failure {
  std::string message;
  int status;
};

struct Options {
  std::string output = "-";
  std::optional<std::string> devmodeFile;
  std::vector<std::pair<std::string, std::string>> sets;
  std::vector<std::pair<std::string, std::string>> printOptions;
  std::optional<std::int16_t> paperLength;
  std::optional<std::int32_t> imageLine;
  std::string spoolDir;
  std::string preview;
  std::string plugin;
  bool quiet = false;
  std::vector<std::string> pages;
};

std::string pageText(std::size_t index) { return "page " + std::to_string(index + 1) + ": "; }

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
      } else if (a == "-O") {
        std::size_t eq = v->find('=');
        if (eq == std::string::npos) return Failure{"-O wants NAME=VALUE, got '" + *v + "'", 2};
        o->printOptions.emplace_back(v->substr(0, eq), v->substr(eq + 1));
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

std::optional<Failure> buildSettings(const Options& o, frontend::PrintOptions* settings) {
  settings->record = host::factoryRecord();
  if (o.devmodeFile) {
    std::ifstream in(*o.devmodeFile, std::ios::binary);
    if (!in) return Failure{*o.devmodeFile + ": cannot read", 1};
    std::vector<char> bytes((std::istreambuf_iterator<char>(in)), {});
    if (bytes.size() != settings->record.size())
      return Failure{*o.devmodeFile + ": a private record is 572 bytes, this file has " + std::to_string(bytes.size()), 1};
    std::memcpy(settings->record.data(), bytes.data(), bytes.size());
  }
  for (const auto& [name, text] : o.sets) {
    const host::FieldInfo* field = host::findField(name);
    if (field == nullptr) return Failure{"unknown field '" + name + "' (see --help)", 2};
    const long long max = host::widthLimit(*field);
    long long value = 0;
    if (!parseNumber(text, 0, max, &value))
      return Failure{name + "=" + text + ": must be a number from 0 to " + std::to_string(max), 2};
    host::writeField(settings->record, *field, static_cast<std::uint32_t>(value));
  }
  for (const auto& [name, text] : o.printOptions) {
    const frontend::OptionSpec* option = frontend::findOption(name);
    if (option == nullptr) return Failure{"unknown print option '" + name + "' (see --help)", 2};
    std::uint32_t value = 0;
    std::string why;
    if (!frontend::parseValue(*option, text, &value, &why)) return Failure{why, 2};
    option->set(*settings, value);
  }
  return std::nullopt;
}

// Every page is read and checked before anything is sent, so that bad
// input never leaves a partial stream; the rows are read again, a page at
// a time, while the job runs. Returns each page's height.
std::optional<Failure> checkPages(const Options& o, std::vector<std::size_t>* heights) {
  for (std::size_t k = 0; k < o.pages.size(); ++k) {
    image_io::ReadResult image = image_io::readImageFile(o.pages[k]);
    if (!image.ok()) return Failure{pageText(k) + image.error, 1};
    heights->push_back(image.rows.size());
  }
  return std::nullopt;
}

// Shortest paper whose line count holds the tallest page.
std::int16_t paperLengthFor(const std::vector<std::size_t>& heights) {
  std::size_t tallest = 0;
  for (std::size_t h : heights) tallest = std::max(tallest, h);
  return static_cast<std::int16_t>(
      std::min<std::int64_t>(frontend::paperLengthForRows(tallest), frontend::kLongestPaperLength));
}

// The plug-in keeps a page in memory up to the paper's line count (page 1;
// later pages also have room for page 1's extra lines) and drops the rest,
// so a page taller than the paper given would print cut short.
std::optional<Failure> checkPagesFitPaper(const std::vector<std::size_t>& heights, std::int16_t paperLength,
                                          const host::Record& record) {
  const host::FieldInfo& extraLines = *host::findField("firstPageExtraLines");
  std::uint32_t extra = host::readField(record, extraLines);
  if (extra > extraLines.largest) extra = 0;  // the plug-in's replacement
  for (std::size_t k = 0; k < heights.size(); ++k) {
    const std::uint64_t room = frontend::pageRoom(paperLength, extra, k == 0);
    if (room != 0 && heights[k] > room)
      return Failure{"page " + std::to_string(k + 1) + " has " + std::to_string(heights[k]) +
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

// Where the stream goes. A regular file is written under a temporary name
// beside it and renamed into place only when the whole job (and its
// preview) succeeded, so a failed run leaves neither half behind. Devices,
// pipes and standard output get the bytes as they come.
class Output {
 public:
  ~Output() {
    if (fd_ >= 0 && fd_ != STDOUT_FILENO) ::close(fd_);
    if (!temporary_.empty()) ::unlink(temporary_.c_str());
  }

  std::optional<Failure> open(const std::string& path) {
    path_ = path;
    if (path == "-") {
      fd_ = STDOUT_FILENO;
      name_ = "standard output";
      return std::nullopt;
    }
    name_ = path;
    struct stat st {};
    const bool exists = ::stat(path.c_str(), &st) == 0;
    if (exists && !S_ISREG(st.st_mode)) {
      fd_ = ::open(path.c_str(), O_WRONLY | O_CLOEXEC);
    } else {
      std::string pattern = path + ".XXXXXX";
      fd_ = ::mkstemp(pattern.data());
      if (fd_ >= 0) {
        temporary_ = pattern;
        ::fchmod(fd_, 0666 & ~currentUmask());
      }
    }
    if (fd_ < 0) return Failure{path + ": " + std::strerror(errno), 1};
    return std::nullopt;
  }

  int fd() const { return fd_; }
  const std::string& name() const { return name_; }

  // The stream is whole: a regular file takes its final name.
  std::optional<Failure> commit() {
    if (fd_ != STDOUT_FILENO && ::close(fd_) != 0) {
      fd_ = -1;
      return Failure{path_ + ": write failed", 1};
    }
    fd_ = -1;
    if (!temporary_.empty()) {
      if (::rename(temporary_.c_str(), path_.c_str()) != 0) return Failure{path_ + ": " + std::strerror(errno), 1};
      temporary_.clear();
    }
    return std::nullopt;
  }

 private:
  static mode_t currentUmask() {
    mode_t mask = ::umask(0);
    ::umask(mask);
    return mask;
  }

  int fd_ = -1;
  std::string path_, name_, temporary_;
};

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

// Room for the longest message with the file names and values it quotes.
constexpr std::size_t kMostMessageChars = 1024;

// One line, whatever a file name or value holds.
int fail(const Failure& f) {
  std::fprintf(stderr, "qmx415u-print: %s\n", frontend::loggable(f.message, kMostMessageChars).c_str());
  return f.status;
}

}  // namespace

// Streams the pages, a page read at a time, through the blank-space option
// into the job.
std::optional<Failure> streamPages(const Options& o, const frontend::PrintOptions& settings, host::JobStream& job,
                                   bool progress) {
  frontend::PageWriter writer(job, settings.blankSpace);
  for (std::size_t k = 0; k < o.pages.size() && job.ok(); ++k) {
    image_io::ReadResult image = image_io::readImageFile(o.pages[k]);
    if (!image.ok()) return Failure{pageText(k) + image.error, 1};
    writer.startPage();
    for (const image_io::Row& row : image.rows) writer.addLine(row);
    writer.endPage();
    if (progress) std::fprintf(stderr, "qmx415u-print: page %zu of %zu stored\n", k + 1, o.pages.size());
  }
  return std::nullopt;
}

int runPrint(int argc, char** argv) {
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
  std::signal(SIGPIPE, SIG_IGN);  // a closed pipe is a write error, reported

  frontend::PrintOptions settings;
  if (auto f = buildSettings(o, &settings)) return fail(*f);
  std::vector<std::size_t> heights;
  if (auto f = checkPages(o, &heights)) return fail(*f);
  host::JobOptions job;
  job.rawRecord = settings.record;
  job.paperLength = o.paperLength.value_or(paperLengthFor(heights));
  job.imageLine = o.imageLine;
  if (auto f = checkPagesFitPaper(heights, job.paperLength, settings.record)) return fail(*f);
  if (!o.spoolDir.empty() && !std::filesystem::is_directory(o.spoolDir))
    return fail({"--spool-dir " + o.spoolDir + ": no such folder", 1});
  std::size_t lines = 0;
  for (std::size_t h : heights) lines += h;
  const bool progress = !o.quiet && (heights.size() > 1 || lines > 20000);

  std::string error;
  if (!host::configureProcess({"", o.spoolDir}, &error)) return fail({error, 1});
  std::unique_ptr<host::PluginModule> module = loadPlugin(o, argv[0], &error);
  if (!module) return fail({"cannot load the plug-in: " + error, 1});
  auto session = host::PrintSession::open(*module, {}, &error);
  if (!session) return fail({"the plug-in did not set up: " + error, 1});

  Output output;
  if (auto f = output.open(o.output)) return fail(*f);
  host::FdSink file(output.fd(), output.name());
  host::MemorySink kept;  // for the preview only
  host::TeeSink both(file, kept);
  host::ByteSink& sink = o.preview.empty() ? static_cast<host::ByteSink&>(file) : both;
  auto stream = host::JobStream::start(*session, job, sink, &error);
  if (!stream) return fail({"the job did not start: " + error, 1});
  std::optional<Failure> pageFailure = streamPages(o, settings, *stream, progress);
  stream->end();
  if (pageFailure) return fail(*pageFailure);
  if (!stream->ok()) return fail({"the job failed: " + stream->error(), 1});
  const std::uint64_t bytes = stream->bytesWritten();
  stream.reset();
  if (HRESULT unload = session->close(); unload != printsys::kS_OK)
    return fail({"the plug-in would not unload after the job", 1});
  if (progress) std::fprintf(stderr, "qmx415u-print: %llu bytes for %zu pages\n",
                             static_cast<unsigned long long>(bytes), heights.size());
  if (!o.preview.empty()) {
    if (auto f = writePreview(o.preview, kept.stream())) return fail(*f);
  }
  if (auto f = output.commit()) return fail(*f);
  return 0;
}

// No exception leaves the tool: the job's stream ends the job on a whole
// command as it unwinds, and the failure is one line like any other.
int main(int argc, char** argv) {
  try {
    return runPrint(argc, argv);
  } catch (const std::exception& e) {
    return fail({std::string("failed: ") + e.what(), 1});
  } catch (...) {
    return fail({"failed", 1});
  }
}
