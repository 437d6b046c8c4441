// qmx415u-app-worker end to end: the program run as the server runs it
// (a document file as standard input, the options on its command line),
// its framed output taken apart and decoded by the printer emulator, and
// compared with what qmx415u-print makes of the same picture in black and
// white. The plug-in is the one this build made.
//
// What is checked: every PNG type, PBM and JPEG (within kJpegDots dots) of
// one picture print as its 1-bit PNG does; the sample receipt prints dot
// for dot; a picture as wide as the media prints its printable area; PWG
// raster in sgray_8 and black_1 and Apple raster print exactly; copies
// are whole plug-in jobs; damaged and hostile documents are refused (exit
// 3) with nothing printed, in bounded time and memory; a cancel ends the
// output on a whole command.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>
#include <zlib.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "app/document_worker.h"
#include "emulator/emulator.h"
#include "host/group_frames.h"
#include "testing/picture_files.h"
#include "testing/test_support.h"

namespace {

using testsupport::GreyPicture;
using testsupport::JpegType;
using testsupport::PictureBytes;
using testsupport::PngType;
using Bytes = std::vector<std::uint8_t>;

// A JPEG at quality 100 of a black and white picture drawn on an 8-dot
// grid differs from it in at most this many dots.
constexpr std::size_t kJpegDots = 8;
// Generous bounds for a refusal: a hostile document is refused long before.
constexpr double kMostRefusalSeconds = 10;
constexpr long kMostRefusalKb = 256 * 1024;
constexpr int kRunTimeoutMs = 60000;

const std::string kBin = QMX_BIN_DIR;

struct Outcome {
  int status = -1;  // the exit status; -1 when ended by a signal
  Bytes framed;     // standard output
  std::string messages;
  double seconds = 0;
  long peakKb = 0;
};

Bytes readAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(in), {});
}

// A program with a file as standard input and another as standard
// output; its standard error is read as it comes.
class Child {
 public:
  Child(const std::vector<std::string>& argv, const std::string& input, const std::string& output,
        const std::string& tmpdir) {
    int pipeFds[2];
    if (::pipe2(pipeFds, O_CLOEXEC) != 0) return;
    start_ = std::chrono::steady_clock::now();
    pid_ = ::fork();
    if (pid_ == 0) {
      const int in = ::open(input.c_str(), O_RDONLY);
      const int out = ::open(output.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
      if (in < 0 || out < 0) ::_exit(127);
      ::dup2(in, STDIN_FILENO);
      ::dup2(out, STDOUT_FILENO);
      ::dup2(pipeFds[1], STDERR_FILENO);
      ::setenv("QMX415U_PLUGIN", QMX_PLUGIN_LIBRARY, 1);
      ::setenv("TMPDIR", tmpdir.c_str(), 1);
      std::vector<char*> args;
      for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
      args.push_back(nullptr);
      ::execv(args[0], args.data());
      ::_exit(127);
    }
    ::close(pipeFds[1]);
    messages_ = pipeFds[0];
    output_ = output;
  }
  ~Child() {
    if (pid_ > 0 && !reaped_) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, nullptr, 0);
    }
    if (messages_ >= 0) ::close(messages_);
  }

  // Reads messages until `text` appears in them; false at their end or
  // after the timeout.
  bool awaitMessage(const std::string& text) {
    while (run_.messages.find(text) == std::string::npos) {
      if (!readMessages()) return false;
    }
    return true;
  }
  void signal(int number) { ::kill(pid_, number); }

  Outcome finish() {
    while (readMessages()) {
    }
    struct rusage usage {};
    int status = 0;
    if (::wait4(pid_, &status, 0, &usage) == pid_) {
      reaped_ = true;
      run_.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
      run_.peakKb = usage.ru_maxrss;
    }
    run_.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count();
    run_.framed = readAll(output_);
    return run_;
  }

 private:
  // One read of standard error; false at its end, or when the child has
  // been running past the timeout (it is then killed).
  bool readMessages() {
    struct pollfd p {messages_, POLLIN, 0};
    const auto elapsed = std::chrono::steady_clock::now() - start_;
    const int left = kRunTimeoutMs - static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(elapsed).count());
    if (left <= 0 || ::poll(&p, 1, left) <= 0) {
      ADD_FAILURE() << "the program ran past " << kRunTimeoutMs << " ms";
      ::kill(pid_, SIGKILL);
      return false;
    }
    char buffer[4096];
    const ssize_t n = ::read(messages_, buffer, sizeof buffer);
    if (n <= 0) return false;
    run_.messages.append(buffer, static_cast<std::size_t>(n));
    return true;
  }

  pid_t pid_ = -1;
  int messages_ = -1;
  bool reaped_ = false;
  std::string output_;
  std::chrono::steady_clock::time_point start_;
  Outcome run_;
};

// The printer's bytes from the framed output; fails the test when a frame
// is broken or cut short.
Bytes unframe(const Bytes& framed) {
  host::FrameReader reader;
  EXPECT_TRUE(reader.add(framed.data(), framed.size()));
  Bytes stream, group;
  while (reader.next(&group)) stream.insert(stream.end(), group.begin(), group.end());
  EXPECT_EQ(reader.pending(), 0u) << "a frame cut short";
  return stream;
}

emulator::Paper paperOf(const Bytes& stream) {
  emulator::ParseOptions strict;
  strict.strict = true;
  emulator::ParseResult parsed = emulator::parseStream(stream, strict);
  EXPECT_TRUE(parsed.status.ok) << parsed.status.toString();
  return parsed.paper;
}

std::size_t differingDots(const emulator::Paper& a, const emulator::Paper& b) {
  std::size_t dots = a.rows.size() > b.rows.size() ? a.rows.size() - b.rows.size() : b.rows.size() - a.rows.size();
  dots *= emulator::kRowDots;
  for (std::size_t y = 0; y < std::min(a.rows.size(), b.rows.size()); ++y)
    for (std::size_t i = 0; i < emulator::kRowBytes; ++i) dots += __builtin_popcount(a.rows[y][i] ^ b.rows[y][i]);
  return dots;
}

std::size_t cuts(const emulator::Paper& paper) {
  std::size_t count = 0;
  for (const emulator::Event& e : paper.events) count += e.kind == emulator::EventKind::kCut;
  return count;
}

std::string pictureOptions(const std::string& mime, const std::string& more = "") {
  return "document-format=" + mime + " media-size=8000x29700 media-left-margin=400 media-named=false " +
         "print-scaling=auto orientation-requested=3" + (more.empty() ? "" : " " + more);
}

class WorkerProgramTest : public ::testing::Test {
 protected:
  std::string path(const std::string& name) const { return (folder_.path() / name).string(); }

  std::string write(const std::string& name, const Bytes& bytes) const {
    EXPECT_TRUE(testsupport::writeBytes(path(name), bytes));
    return path(name);
  }

  Outcome worker(const std::string& document, const std::string& options, const std::string& copies = "1") const {
    Child child({QMX_WORKER, "7", "tester", "a title", copies, options}, document, path("out.framed"),
                folder_.path().string());
    return child.finish();
  }

  // Runs a tool of this build; fails the test unless it exits 0.
  void tool(const std::vector<std::string>& argv) const {
    Child child(argv, "/dev/null", path("tool.out"), folder_.path().string());
    const Outcome run = child.finish();
    ASSERT_EQ(run.status, 0) << argv[0] << ": " << run.messages;
  }

  // What qmx415u-print makes of a page image.
  Bytes reference(const std::string& page, const std::vector<std::string>& options = {}) const {
    std::vector<std::string> argv{kBin + "/qmx415u-print", "--quiet", "--plugin", QMX_PLUGIN_LIBRARY, "-o",
                                  path("reference.prn")};
    argv.insert(argv.end(), options.begin(), options.end());
    argv.push_back(page);
    tool(argv);
    return readAll(path("reference.prn"));
  }

  // Runs the worker and expects it to print; the printer's bytes.
  Bytes printed(const std::string& document, const std::string& options, const std::string& copies = "1") const {
    const Outcome run = worker(document, options, copies);
    EXPECT_EQ(run.status, 0) << run.messages;
    return unframe(run.framed);
  }

  testsupport::TempFolder folder_;
};

TEST_F(WorkerProgramTest, EveryPictureFormatPrintsAsItsBlackAndWhite) {
  const GreyPicture picture = testsupport::blackAndWhite(576, 300);
  const std::string pbm = write("picture.pbm", testsupport::encodePbm(picture, false));
  const Bytes want = reference(pbm);
  const emulator::Paper wantPaper = paperOf(want);
  ASSERT_GT(wantPaper.rows.size(), 300u);

  const struct {
    const char* name;
    PngType type;
    bool interlaced;
  } pngs[] = {
      {"1-bit", PngType::kGrey1, false},        {"2-bit", PngType::kGrey2, false},
      {"4-bit", PngType::kGrey4, false},        {"8-bit", PngType::kGrey8, false},
      {"16-bit", PngType::kGrey16, false},      {"palette", PngType::kPalette, false},
      {"palette, tRNS", PngType::kPaletteTransparent, false},
      {"grey+alpha", PngType::kGreyAlpha, false}, {"RGBA", PngType::kRgba, false},
      {"RGB", PngType::kRgb, false},            {"interlaced RGBA", PngType::kRgba, true},
      {"interlaced 1-bit at 203 dpi", PngType::kGrey1, true},
  };
  for (const auto& c : pngs) {
    SCOPED_TRACE(c.name);
    const std::uint32_t ppm = std::string(c.name).find("203 dpi") != std::string::npos ? 7992 : 0;
    const std::string file = write("picture.png", testsupport::encodePng(picture, c.type, {c.interlaced, ppm}));
    EXPECT_EQ(printed(file, pictureOptions("image/png")), want);
  }
  for (bool plain : {false, true}) {
    SCOPED_TRACE(plain ? "P1" : "P4");
    const std::string file = write("picture.pbm", testsupport::encodePbm(picture, plain));
    EXPECT_EQ(printed(file, pictureOptions("image/x-portable-bitmap")), want);
  }
  const struct {
    const char* name;
    JpegType type;
    bool progressive;
  } jpegs[] = {
      {"grey", JpegType::kGrey, false},
      {"YCbCr", JpegType::kYCbCr, false},
      {"CMYK as Adobe's applications write it", JpegType::kCmykAdobe, false},
      {"plain CMYK", JpegType::kCmykPlain, false},
      {"progressive", JpegType::kYCbCr, true},
  };
  for (const auto& c : jpegs) {
    SCOPED_TRACE(c.name);
    const std::string file = write("picture.jpg", testsupport::encodeJpeg(picture, c.type, {c.progressive}));
    EXPECT_LE(differingDots(paperOf(printed(file, pictureOptions("image/jpeg"))), wantPaper), kJpegDots);
  }
  // The format is known by the document's first bytes when none is stated.
  const std::string file = write("picture.png", testsupport::encodePng(picture, PngType::kRgb));
  EXPECT_EQ(printed(file, pictureOptions("application/octet-stream")), want);
}

// A PNG without a stated resolution, 576 dots wide: what qmx415u-sample
// writes, and what a point-of-sale system sends.
TEST_F(WorkerProgramTest, TheSampleReceiptPrintsDotForDot) {
  tool({kBin + "/qmx415u-sample", "receipt", path("receipt.png")});
  tool({kBin + "/qmx415u-sample", "receipt", path("receipt.pbm")});
  for (const char* scaling : {"auto", "auto-fit", "fit", "none"}) {
    SCOPED_TRACE(scaling);
    EXPECT_EQ(printed(path("receipt.png"), pictureOptions("image/png", std::string("print-scaling=") + scaling)),
              reference(path("receipt.pbm")));
  }
  // The job's print options reach the plug-in.
  EXPECT_EQ(printed(path("receipt.png"), pictureOptions("image/png", "CutMedia=EndOfPage TopMargin=24")),
            reference(path("receipt.pbm"), {"-O", "CutMedia=EndOfPage", "-O", "TopMargin=24"}));
}

// A picture drawn on the whole 80 mm media at 203 dpi: its printable area,
// 32 dots in, reaches the head; on named media it is centred along it.
TEST_F(WorkerProgramTest, APictureAsWideAsTheMediaPrintsItsPrintableArea) {
  const GreyPicture inner = testsupport::blackAndWhite(576, 200, 5);
  for (std::uint32_t width : {639u, 640u}) {
    SCOPED_TRACE(width);
    GreyPicture page{width, 200, std::vector<std::uint8_t>(std::size_t{width} * 200, 255)};
    for (std::uint32_t y = 0; y < 200; ++y)
      for (std::uint32_t x = 0; x < 576; ++x) page.grey[std::size_t{y} * width + 32 + x] = inner.at(x, y);
    const std::string file = write("page.png", testsupport::encodePng(page, PngType::kGrey8, {false, 7992}));
    const Bytes want = reference(write("inner.pbm", testsupport::encodePbm(inner, false)));
    EXPECT_EQ(printed(file, pictureOptions("image/png")), want);
    EXPECT_EQ(printed(file, pictureOptions("image/png", "media-named=true print-scaling=none")), want)
        << "blank ends dropped, the page centred on 297 mm prints the picture alone";
  }
}

TEST_F(WorkerProgramTest, RasterPagesPrintExactly) {
  tool({kBin + "/qmx415u-sample", "receipt", path("receipt.pbm")});
  const Bytes want = reference(path("receipt.pbm"));
  const std::string raster = kBin + "/qmx415u-make-raster";
  const struct {
    const char* name;
    const char* mime;
    std::vector<std::string> arguments;
  } cases[] = {
      {"PWG sgray_8", "image/pwg-raster", {"--format", "pwg", "--grey"}},
      {"PWG black_1", "image/pwg-raster", {"--format", "pwg"}},
      {"PWG sgray_8 on the media's width", "image/pwg-raster", {"--format", "pwg", "--grey", "--width", "639", "--left", "32"}},
      {"Apple raster (sGray 8)", "image/urf", {"--format", "apple", "--grey", "--width", "639", "--left", "32"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<std::string> argv{raster};
    argv.insert(argv.end(), c.arguments.begin(), c.arguments.end());
    argv.insert(argv.end(), {"-o", path("page.ras"), path("receipt.pbm")});
    tool(argv);
    EXPECT_EQ(printed(path("page.ras"), pictureOptions(c.mime)), want);
  }
}

// Each copy is a plug-in job of its own: preamble, page, cut.
TEST_F(WorkerProgramTest, CopiesAreWholeJobs) {
  tool({kBin + "/qmx415u-sample", "label", path("label.pbm")});
  const Bytes one = reference(path("label.pbm"));
  Bytes two = one;
  two.insert(two.end(), one.begin(), one.end());
  const Outcome run = worker(path("label.pbm"), pictureOptions("image/x-portable-bitmap"), "2");
  ASSERT_EQ(run.status, 0) << run.messages;
  EXPECT_EQ(unframe(run.framed), two);
  EXPECT_NE(run.messages.find("PAGE: 1 1\n"), std::string::npos);
  EXPECT_NE(run.messages.find("PAGE: 2 1\n"), std::string::npos);

  tool({kBin + "/qmx415u-make-raster", "--format", "pwg", "-o", path("label.pwg"), path("label.pbm"), path("label.pbm")});
  const Bytes pages = printed(path("label.pwg"), pictureOptions("image/pwg-raster"), "3");
  const emulator::Paper paper = paperOf(pages);
  EXPECT_EQ(cuts(paper), 3u) << "three jobs, each cut at its end";
}

void appendChunk(Bytes& png, const char* type, const Bytes& data) {
  const auto put32 = [&](std::uint32_t v) {
    for (int i = 0; i < 4; ++i) png.push_back(static_cast<std::uint8_t>(v >> (24 - 8 * i)));
  };
  put32(static_cast<std::uint32_t>(data.size()));
  const std::size_t start = png.size();
  png.insert(png.end(), type, type + 4);
  png.insert(png.end(), data.begin(), data.end());
  put32(static_cast<std::uint32_t>(::crc32(0, &png[start], static_cast<uInt>(png.size() - start))));
}

// A 1-bit grey PNG claiming `width` x `height` whose pixel data are
// `rows` rows of zeros: a few hundred kilobytes that inflate to gigabytes.
Bytes pngOfZeros(std::uint32_t width, std::uint32_t height, std::uint32_t rows) {
  Bytes png{0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
  Bytes header(13, 0);
  for (int i = 0; i < 4; ++i) {
    header[i] = static_cast<std::uint8_t>(width >> (24 - 8 * i));
    header[4 + i] = static_cast<std::uint8_t>(height >> (24 - 8 * i));
  }
  header[8] = 1;  // bit depth; colour type 0, grey
  appendChunk(png, "IHDR", header);
  z_stream z{};
  deflateInit(&z, Z_BEST_COMPRESSION);
  const Bytes row(1 + (width + 7) / 8, 0);  // filter byte and pixels
  Bytes compressed(1 << 16);
  Bytes data;
  for (std::uint32_t y = 0; y <= rows; ++y) {
    z.next_in = const_cast<Bytef*>(row.data());
    z.avail_in = y < rows ? static_cast<uInt>(row.size()) : 0;
    do {
      z.next_out = compressed.data();
      z.avail_out = static_cast<uInt>(compressed.size());
      deflate(&z, y < rows ? Z_NO_FLUSH : Z_FINISH);
      data.insert(data.end(), compressed.data(), z.next_out);
    } while (z.avail_out == 0);
  }
  deflateEnd(&z);
  appendChunk(png, "IDAT", data);
  appendChunk(png, "IEND", {});
  return png;
}

// Bytes made by `make` in a child process, through the file at `path`.
template <typename Make>
Bytes madeInChild(const std::string& path, Make make) {
  const pid_t pid = ::fork();
  if (pid == 0) ::_exit(testsupport::writeBytes(path, make()) ? 0 : 1);
  int status = 0;
  EXPECT_EQ(::waitpid(pid, &status, 0), pid);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  return readAll(path);
}

// An 8-bit PWG raster whose first page header claims other sizes.
Bytes pwgClaiming(const std::string& path, std::uint32_t width, std::uint32_t height) {
  constexpr std::size_t kWidthAt = 4 + 372, kHeightAt = 4 + 376, kBytesPerLineAt = 4 + 392;  // after the sync word
  Bytes pwg = readAll(path);
  for (int i = 0; i < 4; ++i) {
    const int shift = 24 - 8 * i;  // PWG raster is big-endian
    pwg[kWidthAt + i] = static_cast<std::uint8_t>(width >> shift);
    pwg[kHeightAt + i] = static_cast<std::uint8_t>(height >> shift);
    pwg[kBytesPerLineAt + i] = static_cast<std::uint8_t>(width >> shift);
  }
  return pwg;
}

// A line of `text` that starts with `prefix` and holds `part`.
bool hasLine(const std::string& text, const std::string& prefix, const std::string& part) {
  std::size_t at = 0;
  while (at < text.size()) {
    std::size_t end = text.find('\n', at);
    if (end == std::string::npos) end = text.size();
    const std::string line = text.substr(at, end - at);
    if (line.rfind(prefix, 0) == 0 && line.find(part) != std::string::npos) return true;
    at = end + 1;
  }
  return false;
}

TEST_F(WorkerProgramTest, DamagedAndHostileDocumentsAreRefused) {
  const GreyPicture picture = testsupport::blackAndWhite(576, 300);
  const PictureBytes png = testsupport::encodePng(picture, PngType::kGrey8);
  const PictureBytes jpeg = testsupport::encodeJpeg(picture, JpegType::kGrey);
  tool({kBin + "/qmx415u-make-raster", "--format", "pwg", "--grey", "--width", "639", "-o", path("good.pwg"),
        write("picture.pbm", testsupport::encodePbm(picture, false))});
  // Made in a process of its own: libjpeg's encoder holds every coefficient
  // too, and this process's resident memory is what each worker it starts
  // begins with (a fork copies it), which the peak measured would count.
  const Bytes hugeJpeg = madeInChild(path("huge.jpg"), [] {
    const GreyPicture large{4096, 8192, std::vector<std::uint8_t>(std::size_t{4096} * 8192, 255)};
    return testsupport::encodeJpeg(large, JpegType::kYCbCr, {true, 50});
  });
  const struct {
    const char* name;
    std::string mime;
    Bytes bytes;
    const char* why;
  } cases[] = {
      {"an empty file", "image/png", {}, "the document is empty"},
      {"a PNG cut short", "image/png", Bytes(png.begin(), png.begin() + png.size() / 2), "PNG: "},
      {"a JPEG cut short", "image/jpeg", Bytes(jpeg.begin(), jpeg.begin() + jpeg.size() / 2), "JPEG: "},
      {"a PNG of 100000 x 100000", "image/png", pngOfZeros(100000, 100000, 8), "100000 dots wide"},
      {"a PNG of 65536 x 16384 zeros", "image/png", pngOfZeros(65536, 16384, 16384), "1073741824 pixels"},
      {"a large progressive JPEG", "image/jpeg", hugeJpeg, "needs more than 128 MiB"},
      {"a PWG page of 100000 x 100000", "image/pwg-raster", pwgClaiming(path("good.pwg"), 100000, 100000),
       "page 1: a width of 100000 dots"},
      {"a PWG page wider than the media", "image/pwg-raster", pwgClaiming(path("good.pwg"), 700, 300),
       "wider than the media"},
      {"a PWG raster cut short", "image/pwg-raster", [&] {
         Bytes b = readAll(path("good.pwg"));
         b.resize(b.size() - 100);
         return b;
       }(), "page 1: the raster ends after"},
      {"a PNG said to be a JPEG", "image/jpeg", png, "not the image/jpeg it is said to be"},
      {"a GIF", "application/octet-stream", {'G', 'I', 'F', '8', '9', 'a'}, "none of the formats"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const Outcome run = worker(write("bad", c.bytes), pictureOptions(c.mime));
    EXPECT_EQ(run.status, app::kExitDocumentRefused) << run.messages;
    EXPECT_TRUE(hasLine(run.messages, "ERROR: ", c.why)) << run.messages;
    EXPECT_TRUE(run.framed.empty()) << "nothing prints";
    EXPECT_LT(run.seconds, kMostRefusalSeconds);
    EXPECT_LT(run.peakKb, kMostRefusalKb);
  }
}

// Paper rows of each plug-in job: from the paper's start or a cut to the next cut.
std::vector<std::size_t> jobLengths(const emulator::Paper& paper) {
  std::vector<std::size_t> lengths;
  std::size_t from = 0;
  for (const emulator::Event& e : paper.events) {
    if (e.kind != emulator::EventKind::kCut) continue;
    lengths.push_back(e.row - from);
    from = e.row;
  }
  return lengths;
}

// SIGTERM while a page is printing: the plug-in job ends on a whole
// command, the output is whole frames, and no further copy starts. The
// page's lines are fed to the plug-in for most of a copy's time, so a
// cancel mostly lands among them, and the last job comes out shorter than
// a whole copy: some attempt must show it.
TEST_F(WorkerProgramTest, ACancelEndsOnAWholeCommand) {
  constexpr int kAttempts = 5;
  const GreyPicture tall = testsupport::blackAndWhite(576, 20000, 9);
  const std::string file = write("tall.png", testsupport::encodePng(tall, PngType::kGrey1));
  bool midPage = false;
  for (int attempt = 0; attempt < kAttempts && !midPage; ++attempt) {
    Child child({QMX_WORKER, "7", "tester", "tall", "50", pictureOptions("image/png")}, file, path("out.framed"),
                folder_.path().string());
    ASSERT_TRUE(child.awaitMessage("PAGE: 3 1\n"));
    child.signal(SIGTERM);
    const Outcome run = child.finish();
    ASSERT_EQ(run.status, 0) << run.messages;
    EXPECT_NE(run.messages.find("INFO: Job canceled after"), std::string::npos) << run.messages;
    const std::vector<std::size_t> jobs = jobLengths(paperOf(unframe(run.framed)));
    std::size_t pages = 0;
    for (std::size_t at = run.messages.find("PAGE: "); at != std::string::npos; at = run.messages.find("PAGE: ", at + 1))
      ++pages;
    EXPECT_EQ(jobs.size(), pages) << "each page started is a whole job, cut at its end";
    ASSERT_GE(jobs.size(), 3u);
    EXPECT_LT(jobs.size(), 50u) << "copies went on after the cancel";
    midPage = jobs.back() < jobs.front();
  }
  EXPECT_TRUE(midPage) << "no cancel in " << kAttempts << " attempts ended a page early";
}

}  // namespace
