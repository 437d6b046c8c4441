// The app's own parts that need no server: the web password, the device a
// form chooses, the groups offered as admin group, the command line as the
// checks read it, the test page, the paper log, picture headers.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <zlib.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "app/admin_groups.h"
#include "app/cli.h"
#include "app/device_choice.h"
#include "app/grey_png.h"
#include "app/paper_log.h"
#include "app/test_page.h"
#include "app/web_password.h"
#include "testing/test_support.h"

namespace app {
namespace {

using testsupport::TempFolder;

std::vector<std::uint8_t> readBytes(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// ---- The web password ---------------------------------------------------------

TEST(WebPasswordTest, HashesMatchOnlyTheirPasswordAndFitPapplsField) {
  const std::string hash = hashWebPassword("correct horse");
  ASSERT_FALSE(hash.empty());
  EXPECT_LT(hash.size(), 100u);  // PAPPL 1.3's password field
  EXPECT_EQ(hash.rfind("$y$", 0), 0u);
  EXPECT_TRUE(matchesWebPassword(hash, "correct horse"));
  for (const char* wrong : {"correct hors", "correct horse ", "", "Correct horse"}) {
    EXPECT_FALSE(matchesWebPassword(hash, wrong)) << wrong;
  }
  EXPECT_NE(hashWebPassword("correct horse"), hash);  // salted
  // PAPPL's own hash format, or nothing, is no web password.
  EXPECT_FALSE(matchesWebPassword("0123456789abcdef~deadbeef", "x"));
  EXPECT_FALSE(matchesWebPassword("", ""));
}

// ---- The device a form chooses ------------------------------------------------

TEST(DeviceChoiceTest, NetworkPrinterByHostOrHostAndPort) {
  const struct {
    const char* typed;
    const char* uri;  // "" when refused
  } kCases[] = {
      {"192.168.1.50", "socket://192.168.1.50:9100/"},
      {" 192.168.1.50:9101 ", "socket://192.168.1.50:9101/"},
      {"printer.local", "socket://printer.local:9100/"},
      {"counter-1.shop.example:1", "socket://counter-1.shop.example:1/"},
      {"[fe80::1]:9100", "socket://[fe80::1]:9100/"},
      {"::1", "socket://[::1]:9100/"},
      {"host:0", ""},
      {"host:65536", ""},
      {"host:", ""},
      {"host:91a", ""},
      {"-host", ""},
      {"host name", ""},
      {"host/../x", ""},
      {"[::1", ""},
      {"[::1]x", ""},
      {"", ""},
  };
  for (const auto& c : kCases) {
    std::string why;
    EXPECT_EQ(socketUri(c.typed, &why), c.uri) << c.typed;
    EXPECT_EQ(why.empty(), *c.uri != '\0') << c.typed << ": " << why;
  }
}

TEST(DeviceChoiceTest, FilesStayInsideTheFolder) {
  const struct {
    const char* name;
    const char* uri;
  } kCases[] = {
      {"receipt.prn", "prnfile:///srv/out/receipt.prn"},
      {"jobs/", "prnfile:///srv/out/jobs/"},
      {"shop/counter.prn", "prnfile:///srv/out/shop/counter.prn"},
      {"../etc/passwd", ""},
      {"jobs/../../x", ""},
      {"/etc/passwd", ""},
      {"a//b", ""},
      {"./x", ""},
      {"x?y", ""},
      {"x%2e", ""},
      {"", ""},
  };
  for (const auto& c : kCases) {
    std::string why;
    EXPECT_EQ(fileUri("/srv/out", c.name, &why), c.uri) << c.name;
  }
  std::string why;
  EXPECT_EQ(fileUri("", "receipt.prn", &why), "");
  EXPECT_NE(why.find("file-device-folder"), std::string::npos);
}

TEST(DeviceChoiceTest, TheChoiceIsCheckedAsEveryDeviceIs) {
  DeviceChoice choice;
  std::string why;
  ASSERT_TRUE(readDeviceChoice("usb://Maker/Model?serial=1|MFG:X;MDL:Y;", nullptr, nullptr, &choice, &why)) << why;
  EXPECT_EQ(choice.uri, "usb://Maker/Model?serial=1");
  EXPECT_EQ(choice.deviceId, "MFG:X;MDL:Y;");
  ASSERT_TRUE(readDeviceChoice("socket", "127.0.0.1:9101", nullptr, &choice, &why)) << why;
  EXPECT_EQ(choice.uri, "socket://127.0.0.1:9101/");
  EXPECT_FALSE(readDeviceChoice("file:///etc/passwd", nullptr, nullptr, &choice, &why));
  EXPECT_FALSE(readDeviceChoice("file", nullptr, "x.prn", &choice, &why));  // no file-device folder here
  EXPECT_FALSE(readDeviceChoice("", nullptr, nullptr, &choice, &why));
  EXPECT_FALSE(readDeviceChoice("socket", "no-such-host.invalid", nullptr, &choice, &why));
}

// ---- Groups offered as admin group ---------------------------------------------

TEST(AdminGroupsTest, NoSystemGroupIsOffered) {
  const struct {
    const char* name;
    gid_t id;
    bool offered;
  } kCases[] = {
      {"none", 0, true},      {"lpadmin", 105, true},  {"shop", 1000, true},   {"staff2", 59999, true},
      {"root", 0, false},     {"sudo", 27, false},     {"shadow", 42, false},  {"adm", 4, false},
      {"disk", 6, false},     {"staff", 50, false},    {"docker", 999, false}, {"nogroup", 65534, false},
      {"high", 60000, false},
  };
  for (const auto& c : kCases) EXPECT_EQ(offeredAdminGroup(c.name, c.id), c.offered) << c.name;
  const std::vector<std::string> offered = adminGroupChoices();
  ASSERT_FALSE(offered.empty());
  EXPECT_EQ(offered.front(), "none");
  for (const char* never : {"root", "sudo", "shadow", "adm", "disk"}) {
    EXPECT_EQ(std::count(offered.begin(), offered.end(), never), 0) << never;
  }
}

// ---- The command line, as the checks read it --------------------------------

TEST(CommandLineTest, ReadAsPapplReadsIt) {
  const struct {
    std::vector<const char*> args;
    const char* subcommand;
    const char* printer;
    bool uri;
    bool local;  // goes to a server through its local socket
  } kCases[] = {
      {{"add", "-d", "receipt", "-m", "qmx415u", "-v", "socket://h"}, "add", "receipt", false, true},
      {{"-d", "receipt", "status"}, "status", "receipt", false, true},
      {{"submit", "-u", "ipp://localhost:8000/ipp/print/r", "f.png"}, "submit", "", true, false},
      {{"-o", "status", "jobs"}, "jobs", "", false, true},  // an option's value is no sub-command
      {{"-dd", "a", "b", "testpage"}, "testpage", "b", false, true},
      {{"drivers"}, "drivers", "", false, false},
      {{"devices"}, "devices", "", false, false},
      {{"server", "-o", "server-port=1"}, "server", "", false, false},
      {{"add", "--help"}, "add", "", false, false},
      {{"--", "status"}, "", "", false, true},  // a file named status: submit
  };
  for (const auto& c : kCases) {
    std::vector<char*> argv{const_cast<char*>("qmx415u-app")};
    for (const char* a : c.args) argv.push_back(const_cast<char*>(a));
    const CommandLine line = readCommandLine(static_cast<int>(argv.size()), argv.data());
    EXPECT_EQ(line.subcommand, c.subcommand) << c.args.front();
    EXPECT_EQ(line.printer, c.printer) << c.args.front();
    EXPECT_EQ(line.printerUri, c.uri) << c.args.front();
    EXPECT_EQ(needsLocalServer(line), c.local) << c.args.front();
  }
}

// ---- The test page ---------------------------------------------------------------

TestPageFacts someFacts() {
  TestPageFacts facts;
  facts.printer = "receipt";
  facts.device = "socket://192.168.1.50:9100/" + std::string(300, 'x');
  facts.paper = "80 x 297 mm roll, continuous";
  facts.version = "9.9.9";
  facts.options = {{"cut", "end-of-job"}, {"top-margin", "12 lines (1.5 mm)"}};
  return facts;
}

bool inked(const GreyImage& page, std::uint32_t x, std::uint32_t y) { return page.pixels[y * page.width + x] < 128; }

TEST(TestPageTest, EdgesMarkedRulerInMillimetresAndGreyRamp) {
  const GreyImage page = drawTestPage(someFacts());
  ASSERT_EQ(page.width, kTestPageWidth);
  ASSERT_GT(page.height, 400u);
  ASSERT_EQ(page.pixels.size(), std::size_t{page.width} * page.height);
  for (std::uint32_t y = 0; y < page.height; ++y) {  // the first and last dot columns, the whole page long
    ASSERT_TRUE(inked(page, 0, y)) << y;
    ASSERT_TRUE(inked(page, kTestPageWidth - 1, y)) << y;
  }
  // A tick at each millimetre (203 dpi), the tenth ones longest.
  const double dotsPerMm = 203 / 25.4;
  for (int mm = 1; mm * dotsPerMm < page.height - 1; ++mm) {
    const auto row = static_cast<std::uint32_t>(std::lround(mm * dotsPerMm));
    EXPECT_TRUE(inked(page, 8, row)) << mm << " mm";
    EXPECT_EQ(inked(page, 30, row), mm % 10 == 0) << mm << " mm";
  }
  // Every grey level of the ramp is on the page, white to black.
  std::vector<bool> seen(256, false);
  for (const std::uint8_t grey : page.pixels) seen[grey] = true;
  int levels = 0;
  for (int g = 0; g < 256; ++g) levels += seen[g];
  EXPECT_GE(levels, 11);
}

TEST(TestPageTest, NoLongerThanThePaper) {
  TestPageFacts facts = someFacts();
  facts.mostRows = 200;
  const GreyImage page = drawTestPage(facts);
  EXPECT_EQ(page.height, 200u);
  EXPECT_TRUE(inked(page, kTestPageWidth - 1, 199));
}

TEST(TestPageTest, PngIs8BitGreyAt203Dpi) {
  GreyImage image{3, 2, {0, 128, 255, 255, 128, 0}};
  const std::vector<std::uint8_t> png = encodeGreyPng(image, 203);
  ASSERT_GT(png.size(), 57u);
  EXPECT_EQ(std::memcmp(png.data(), "\x89PNG\r\n\x1a\n", 8), 0);
  // IHDR: width 3, height 2, depth 8, grey.
  const std::uint8_t header[] = {0, 0, 0, 3, 0, 0, 0, 2, 8, 0, 0, 0, 0};
  EXPECT_EQ(std::memcmp(png.data() + 16, header, sizeof header), 0);
  // pHYs: 7992 dots per metre both ways.
  const std::uint8_t phys[] = {'p', 'H', 'Y', 's', 0, 0, 0x1f, 0x38, 0, 0, 0x1f, 0x38, 1};
  EXPECT_EQ(std::memcmp(png.data() + 37, phys, sizeof phys), 0);
  // The rows come back out of the IDAT chunk, each after filter 0.
  // After the signature (8), IHDR (25) and pHYs (21): IDAT's length, type, data.
  constexpr std::size_t kIdat = 54;
  const std::uint32_t idatLength = png[kIdat] << 24 | png[kIdat + 1] << 16 | png[kIdat + 2] << 8 | png[kIdat + 3];
  EXPECT_EQ(std::memcmp(png.data() + kIdat + 4, "IDAT", 4), 0);
  std::vector<std::uint8_t> raw(8);
  uLongf size = raw.size();
  ASSERT_EQ(uncompress(raw.data(), &size, png.data() + kIdat + 8, idatLength), Z_OK);
  EXPECT_EQ(raw, (std::vector<std::uint8_t>{0, 0, 128, 255, 0, 255, 128, 0}));
  EXPECT_TRUE(encodeGreyPng({3, 2, {0}}, 203).empty());
  TempFolder folder;
  const std::string path = (folder.path() / "page.png").string();
  ASSERT_EQ(writeGreyPng(path, image, 203), "");
  EXPECT_EQ(readBytes(path), png);
  EXPECT_NE(writeGreyPng(path, image, 203), "");  // never over a file that is there
  struct stat st {};
  ASSERT_EQ(stat(path.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
}

// ---- The paper log ---------------------------------------------------------------

// A stream the decoder takes: `rows` fed, then a cut.
std::vector<std::uint8_t> feedAndCut(std::uint8_t rows) { return {0x1B, 'J', rows, 0x1B, 'i'}; }

class PaperLogTest : public testing::Test {
 protected:
  void SetUp() override {
    std::string why;
    ASSERT_TRUE(PaperLog::configure((folder_.path() / "paper").string(), QMX_TEST_DECODER, &why)) << why;
  }
  void TearDown() override {
    std::string why;
    PaperLog::configure("", "", &why);
  }
  void print(int printer, int job, const std::string& owner, const std::vector<std::uint8_t>& bytes, bool whole) {
    auto record = PaperLog::open(printer, job, owner);
    ASSERT_NE(record, nullptr);
    record->add(bytes.data(), bytes.size());
    record->finish(whole);
  }
  TempFolder folder_;
};

TEST_F(PaperLogTest, KeepsTheLastJobsOfEachPrinterOwnerOnly) {
  for (int job = 1; job <= static_cast<int>(kJobsPerPrinter) + 3; ++job) print(1, job, "ann", feedAndCut(80), true);
  print(2, 1, "bob\nroot", feedAndCut(8), false);
  const std::vector<PaperLog::Entry> kept = PaperLog::list(1);
  ASSERT_EQ(kept.size(), kJobsPerPrinter);
  EXPECT_EQ(kept.front().jobId, static_cast<int>(kJobsPerPrinter) + 3);  // newest first
  EXPECT_EQ(kept.back().jobId, 4);
  EXPECT_EQ(kept.front().owner, "ann");
  EXPECT_TRUE(kept.front().whole);
  PaperLog::Entry other;
  ASSERT_TRUE(PaperLog::find(2, 1, &other));
  EXPECT_EQ(other.owner, "bob?root");  // one line per field, whatever a client names itself
  EXPECT_FALSE(other.whole);
  struct stat st {};
  ASSERT_EQ(stat((folder_.path() / "paper").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0700u);
  for (const auto& item : std::filesystem::directory_iterator(folder_.path() / "paper")) {
    ASSERT_EQ(stat(item.path().c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u) << item.path();
  }
  PaperLog::forgetPrinter(1);
  EXPECT_TRUE(PaperLog::list(1).empty());
  EXPECT_EQ(PaperLog::list(2).size(), 1u);
}

TEST_F(PaperLogTest, PictureAndLengthOfWhatReachedTheDevice) {
  print(1, 7, "ann", feedAndCut(80), true);  // 80 rows: 10 mm
  const PaperLog::Picture picture = PaperLog::picture(1, 7);
  ASSERT_FALSE(picture.png.empty()) << picture.error;
  EXPECT_EQ(std::memcmp(picture.png.data(), "\x89PNG", 4), 0);
  EXPECT_DOUBLE_EQ(picture.lengthMm, 10.0);
  double mm = 0;
  std::string why;
  ASSERT_TRUE(PaperLog::length(1, 7, &mm, &why)) << why;
  EXPECT_DOUBLE_EQ(mm, 10.0);
  EXPECT_TRUE(PaperLog::picture(1, 8).png.empty());  // no such job
  print(1, 9, "ann", {0x1B, 'J'}, true);              // a command cut short: no picture, a reason
  EXPECT_FALSE(PaperLog::length(1, 9, &mm, &why));
  EXPECT_FALSE(why.empty());
}

TEST_F(PaperLogTest, LongJobsKeepTheirStartInWholeGroups) {
  auto record = PaperLog::open(3, 1, "ann");
  ASSERT_NE(record, nullptr);
  const std::vector<std::uint8_t> group = feedAndCut(8);
  const std::size_t groups = kMostBytes / group.size() + 10;
  for (std::size_t i = 0; i < groups; ++i) record->add(group.data(), group.size());
  record->finish(true);
  PaperLog::Entry entry;
  ASSERT_TRUE(PaperLog::find(3, 1, &entry));
  EXPECT_TRUE(entry.cutShort);
  EXPECT_EQ(entry.bytes, groups * group.size());  // what reached the device
  const auto kept = std::filesystem::file_size(folder_.path() / "paper" / "p3-j1.prn");
  EXPECT_LE(kept, kMostBytes);
  EXPECT_EQ(kept % group.size(), 0u);  // whole groups only
}

TEST_F(PaperLogTest, AnUnfinishedRecordIsNoWholeJob) {
  {
    auto record = PaperLog::open(4, 2, "ann");
    ASSERT_NE(record, nullptr);
    const auto bytes = feedAndCut(8);
    record->add(bytes.data(), bytes.size());
  }  // dropped: the job went away
  PaperLog::Entry entry;
  ASSERT_TRUE(PaperLog::find(4, 2, &entry));
  EXPECT_FALSE(entry.whole);
}

TEST(PaperLogOffTest, NoFolderKeepsNothing) {
  std::string why;
  ASSERT_TRUE(PaperLog::configure("", "", &why));
  EXPECT_EQ(PaperLog::open(1, 1, "ann"), nullptr);
  EXPECT_TRUE(PaperLog::list(1).empty());
  TempFolder folder;
  const auto link = folder.path() / "link";
  std::filesystem::create_directory_symlink("/tmp", link);
  EXPECT_FALSE(PaperLog::configure(link.string(), "", &why));  // never through a link
}

}  // namespace
}  // namespace app
