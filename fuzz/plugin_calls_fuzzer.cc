// Whole call sequences through the plug-in linked into this program, the way
// the print system reaches it: DllGetClassObject, CreateInstance, and the
// IPrintOemUni vtable. The input is a program of operations: CommandCallback
// with any ID in any order, FilterGraphics of any length from 0 to 20000
// bytes, changes to the private record, the paper length and the INI file,
// DevMode on the job's record, and injected allocation and file failures.
//
// Properties, checked as the program runs:
//  - every call answers as the interface requires (S_OK, *piResult 0);
//  - no file handle and no work block outlives a call; only the two page
//    buffers outlive one, and nothing outlives a job;
//  - after every ID 4 the spool folder is empty (at most one file failure is
//    injected between two ID 4s, so a failed deletion has its retry);
//  - everything captured, all jobs together, is accepted by the printer
//    model in strict mode and ends with the print area at full width;
//  - a well-formed job (in-range record, pages of whole lines that fit, no
//    faults) prints exactly the paper the job describes;
//  - after the object is released the module can unload and the driver
//    interface has all its references back; LeakSanitizer sees no leak.
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "emulator/emulator.h"
#include "fuzz/fuzz_input.h"
#include "host/ddi_table.h"
#include "host/driver_interface.h"
#include "platform/fault_injection.h"
#include "plugin/module.h"
#include "printsys/printsys.h"
#include "settings/devmode_layout.h"
#include "settings/job_settings.h"
#include "jobstate/job_state.h"
#include "testing/paper_model.h"

namespace {

namespace fs = std::filesystem;
using fuzz::require;

constexpr std::size_t kRecord = devmode::kRecordSize;
constexpr int kMaxOperations = 300;
constexpr std::size_t kMaxLines = 4096;         // FilterGraphics calls per input
constexpr std::size_t kMaxBytes = 1 << 20;      // their bytes per input
constexpr std::uint32_t kMaxCallBytes = 20000;  // longest FilterGraphics call

// QMX_FUZZ_TRACE=1 lists the calls of an input, for reading a crash.
const bool kTrace = std::getenv("QMX_FUZZ_TRACE") != nullptr;

void trace(const char* format, unsigned long a = 0, unsigned long b = 0) {
  if (!kTrace) return;
  std::fprintf(stderr, format, a, b);
  std::fputc('\n', stderr);
}

struct Folders {
  fs::path spool, ini;
  Folders() {
    std::string pattern = (fs::temp_directory_path() / "qmx-fuzz-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) fuzz::fail("cannot make a temporary folder");
    spool = fs::path(pattern) / "spool";
    ini = fs::path(pattern) / "ini";
    fs::create_directory(spool);
    fs::create_directory(ini);
  }
  ~Folders() {
    std::error_code ec;
    fs::remove_all(spool.parent_path(), ec);
  }
};

const Folders& folders() {
  static Folders f;
  return f;
}

void pointPlatformAtFolders() {
  platform::testing::setDocumentsFolder(folders().spool.string());
  platform::testing::setProfileFolder(folders().ini.string());
}

// Every DrvWriteSpoolBuf call of the input being run, one group each.
std::vector<std::vector<std::uint8_t>>* captured = nullptr;

DWORD QMX_APIENTRY captureWrite(DEVOBJ*, PVOID buffer, DWORD size) {
  const auto* bytes = static_cast<const std::uint8_t*>(buffer);
  captured->emplace_back(bytes, bytes + size);
  return size;
}

// Settings fields that can be set directly: offset and width in bytes.
struct Field {
  std::size_t offset;
  int width;
};
constexpr Field kFields[] = {
    {devmode::kFsEValue, 4},      {devmode::kGsESelect, 4},           {devmode::kGsEValue, 1},
    {devmode::kKeepTrailingBlank, 1}, {devmode::kBlockLevel, 1},      {devmode::kFirstPageExtraLines, 2},
    {devmode::kTopMarginLines, 2}, {devmode::kPageEndFeed, 2},         {devmode::kJobEndFeed, 2},
    {devmode::kCutMode, 1},       {devmode::kCutKind, 1},             {devmode::kPreCutFeed, 2},
    {devmode::kMarkMode, 1},      {devmode::kGsAValue, 2},            {devmode::kBandMode, 1},
};

void writeField(std::uint8_t* record, const Field& field, std::uint32_t value) {
  if (field.width == 1) record[field.offset] = static_cast<std::uint8_t>(value);
  if (field.width == 2) devmode::writeU16(record, field.offset, value & 0xFFFF);
  if (field.width == 4) devmode::writeU32(record, field.offset, value);
}

// The fields that shape the paper hold values the paper model understands.
bool paperFieldsInRange(const std::uint8_t* r) {
  using namespace devmode;
  return readU8(r, kKeepTrailingBlank) <= 1 && readU8(r, kBandMode) <= 1 && readU8(r, kMarkMode) <= 1 &&
         readU8(r, kCutMode) <= 2 && readU8(r, kCutKind) <= 1 && readU16(r, kFirstPageExtraLines) <= 255 &&
         readU16(r, kTopMarginLines) <= 255 && readU16(r, kPageEndFeed) <= 255 && readU16(r, kJobEndFeed) <= 255 &&
         readU16(r, kPreCutFeed) <= 255;
}

// One job as the print system should have described it, while it stays
// well-formed.
struct JobWatch {
  bool wellFormed = false;
  bool pageOpen = false;
  std::size_t firstGroup = 0;
  std::uint8_t record[kRecord];
  std::uint32_t pageLines = 0;
  bool memory = false;
  std::vector<testsupport::Page> pages;

  void spoil() { wellFormed = false; }
};

class Run {
 public:
  Run(const std::uint8_t* data, std::size_t size) : in_(data, size) { captured = &writes_; }
  ~Run() { captured = nullptr; }

  void execute() {
    prepare();
    if (setUp()) {
      for (int op = 0; op < kMaxOperations && !in_.done(); ++op) step();
      if (jobOpen_) command(4);
      tearDown();
    }
    checkStream();
    // What the platform layer kept (debug texts) goes with the input, so
    // the leak check sees every allocation of the input freed.
    platform::testing::reset();
  }

 private:
  void prepare() {
    jobstate::resetJobState();  // each input starts from a freshly loaded module
    platform::testing::reset();
    pointPlatformAtFolders();
    plugin::testing::failFrameAllocation(0);
    std::error_code ec;
    fs::remove(iniPath(), ec);
    record_.reset(new std::uint8_t[kRecord]());
    devobj_.dwSize = sizeof devobj_;
    devobj_.pOEMDM = record_.get();
    devobj_.pPublicDM = &publicDm_;
    devobj_.pDrvProcs = &procs_;
    procs_.DrvWriteSpoolBuf = &captureWrite;
    publicDm_.dmPaperLength = 2970;
  }

  static fs::path iniPath() { return folders().ini / "QMXI415U.INI"; }

  // The print system's set-up; a frame allocation may be made to fail.
  bool setUp() {
    std::uint8_t flags = in_.byte();
    if ((flags & 1) != 0) plugin::testing::failFrameAllocation(in_.byte() % 3 + 1);
    void* pointer = nullptr;
    HRESULT hr = DllGetClassObject(printsys::kCLSID_OEMRENDER, printsys::kIID_IClassFactory, &pointer);
    if (hr != printsys::kS_OK) {
      require(hr == printsys::kE_OUTOFMEMORY && pointer == nullptr, "DllGetClassObject failed without cause");
      return finishWithoutObject();
    }
    auto* factory = static_cast<IClassFactory*>(pointer);
    pointer = nullptr;
    hr = factory->CreateInstance(nullptr, printsys::kIID_IPrintOemUni, &pointer);
    factory->Release();
    if (hr != printsys::kS_OK) {
      require(hr == printsys::kE_OUTOFMEMORY && pointer == nullptr, "CreateInstance failed without cause");
      return finishWithoutObject();
    }
    plugin_ = static_cast<IPrintOemUni*>(pointer);
    driver_ = std::make_unique<host::DriverInterface>((flags & 2) == 0);
    plugin_->PublishDriverInterface(driver_.get());

    OEMDMPARAM param{};
    param.cbSize = sizeof param;
    param.pOEMDMOut = record_.get();
    require(plugin_->DevMode(printsys::kOEMDM_DEFAULT, &param) == printsys::kS_OK, "DevMode(DEFAULT) refused");

    DRVENABLEDATA hooks{};
    require(plugin_->EnableDriver(printsys::kPRINTER_OEMINTF_VERSION, sizeof hooks, &hooks) == printsys::kS_OK,
            "EnableDriver refused");
    table_ = host::ddiTable();
    DRVENABLEDATA own{printsys::kPRINTER_OEMINTF_VERSION, static_cast<ULONG>(table_.size()), table_.data()};
    PVOID devOem = nullptr;
    hr = plugin_->EnablePDEV(&devobj_, nullptr, 0, nullptr, 0, nullptr, 0, nullptr, &own, &devOem);
    require(hr == printsys::kS_OK || (hr == printsys::kE_FAIL && devOem == nullptr), "EnablePDEV failed without cause");
    devobj_.pdevOEM = devOem;
    plugin::testing::failFrameAllocation(0);
    return true;
  }

  bool finishWithoutObject() {
    plugin::testing::failFrameAllocation(0);
    require(DllCanUnloadNow() == printsys::kS_OK, "a failed creation left an object alive");
    return false;
  }

  void tearDown() {
    plugin_->DisablePDEV(&devobj_);
    plugin_->DisableDriver();
    require(plugin_->Release() == 0, "the object holds references of its own");
    plugin_ = nullptr;
    require(DllCanUnloadNow() == printsys::kS_OK, "the module cannot unload after the object is released");
    require(driver_->outstanding() == 0, "the driver interface was not released");
    require(platform::testing::liveZeroedBlocks() == 0, "a heap block outlived the job");
  }

  // After every call into the plug-in.
  void afterCall() {
    require(platform::testing::openFiles() == 0, "a file handle outlived a call");
    require(platform::testing::liveWorkBlocks() == 0, "a work block outlived a call");
    require(platform::testing::liveZeroedBlocks() <= 2, "more than the two page buffers outlived a call");
  }

  // Other IDs must change nothing, so they leave a well-formed job as it is.
  void command(DWORD id, bool nullResult = false) {
    if (id == 1) startWatch();
    if (id == 2) watchStartPage();
    if (id == 3) watchEndPage();

    trace("CommandCallback %lu", id);
    INT result = -1;
    require(plugin_->CommandCallback(&devobj_, id, 0, nullptr, nullResult ? nullptr : &result) == printsys::kS_OK,
            "CommandCallback did not answer S_OK");
    require(nullResult || result == 0, "CommandCallback left *piResult nonzero");
    afterCall();
    if (id == 1) jobOpen_ = true;
    if (id == 4) {
      jobOpen_ = false;
      checkSpoolFolderEmpty();
      require(platform::testing::liveZeroedBlocks() == 0, "a page buffer outlived its job");
      // A new stretch: one more file failure may be injected.
      platform::testing::failFileOperation(0);
      platform::testing::failOpensContaining({});
      fileFaultArmed_ = false;
      finishWatch();
      watch_ = JobWatch{};
    }
  }

  void filterGraphics(const std::uint8_t* bytes, std::uint32_t length, bool nullBuffer) {
    std::unique_ptr<std::uint8_t[]> buffer(new std::uint8_t[length]);  // exactly the call's length
    if (length > 0) std::memcpy(buffer.get(), bytes, length);
    BYTE* pointer = nullBuffer ? nullptr : buffer.get();
    trace(nullBuffer ? "FilterGraphics null, %lu" : "FilterGraphics %lu bytes", length);
    require(plugin_->FilterGraphics(&devobj_, pointer, length) == printsys::kS_OK, "FilterGraphics did not answer S_OK");
    afterCall();
    lines_ += 1;
    bytes_ += length;
  }

  void line(const fuzz::Line& l) {
    if (watch_.pageOpen) watch_.pages.back().push_back(l);
    else watch_.spoil();
    filterGraphics(l.data(), static_cast<std::uint32_t>(l.size()), false);
  }

  bool budgetLeft(std::size_t lines, std::size_t bytes) const {
    return lines_ + lines <= kMaxLines && bytes_ + bytes <= kMaxBytes;
  }

  void step() {
    switch (in_.byte() % 13) {
      case 0: {  // CommandCallback with an ID, 1 to 4 most of the time
        std::uint8_t b = in_.byte();
        command(b < 0xF8 ? b % 6 : in_.u32(), b == 0xF7);
        break;
      }
      case 1: {  // one whole line
        fuzz::Line l = fuzz::readLine(in_, previous_);
        previous_ = l;
        if (budgetLeft(1, 72)) line(l);
        break;
      }
      case 2: {  // the same line several times
        std::size_t count = in_.byte() % 64 + 1;
        fuzz::Line l = fuzz::readLine(in_, previous_);
        previous_ = l;
        for (std::size_t i = 0; i < count && budgetLeft(1, 72); ++i) line(l);
        break;
      }
      case 3: {  // a call of any length, or with no buffer
        std::uint32_t length = in_.u16() % (kMaxCallBytes + 1);
        std::uint8_t fill = in_.byte();
        bool nullBuffer = (fill & 0x80) != 0 && (fill & 0x40) != 0;
        if (!budgetLeft(1, length)) break;
        std::vector<std::uint8_t> bytes(length);
        for (std::uint32_t i = 0; i < length; ++i) bytes[i] = static_cast<std::uint8_t>((i % 7 == 0) ? fill : 0);
        watch_.spoil();
        filterGraphics(bytes.data(), length, nullBuffer);
        break;
      }
      case 4: {  // one settings field
        const Field& field = kFields[in_.byte() % std::size(kFields)];
        writeField(record_.get(), field, in_.u32());
        break;
      }
      case 5: {  // any byte of the record, header included
        std::size_t offset = in_.u16() % kRecord;
        record_[offset] = in_.byte();
        break;
      }
      case 6:
        publicDm_.dmPaperLength = static_cast<std::int16_t>(in_.u16());
        trace("paper length %lu", static_cast<unsigned long>(publicDm_.dmPaperLength));
        break;
      case 7:
        writeIni();
        break;
      case 8:
        injectFault();
        break;
      case 9:  // every fault withdrawn
        trace("faults withdrawn");
        platform::testing::reset();
        pointPlatformAtFolders();
        faultsArmed_ = false;
        fileFaultArmed_ = false;
        break;
      case 10:
        devModeOnRecord();
        break;
      case 11: {  // the device object without its record or its public device mode
        std::uint8_t v = in_.byte();
        devobj_.pOEMDM = (v & 1) != 0 ? nullptr : record_.get();
        devobj_.pPublicDM = (v & 2) != 0 ? nullptr : &publicDm_;
        break;
      }
      default: {  // a whole page: start, lines, end
        std::size_t count = in_.u16() % 600;
        fuzz::Line l = fuzz::readLine(in_, previous_);
        command(2);
        for (std::size_t i = 0; i < count && budgetLeft(1, 72); ++i) {
          // Every eighth line blank, so band mode has feeds and trimming has work.
          line(i % 8 == 7 ? fuzz::Line{} : l);
        }
        command(3);
        break;
      }
    }
  }

  void writeIni() {
    std::uint8_t kind = in_.byte() % 4;
    std::error_code ec;
    if (kind == 0) {
      fs::remove(iniPath(), ec);
      return;
    }
    std::ofstream out(iniPath(), std::ios::binary | std::ios::trunc);
    if (kind == 1) {
      out << "[QMX415U]\r\nImageLine=" << static_cast<std::int32_t>(in_.u32()) << "\r\n";
    } else {
      // Free text: a value with trailing junk, or a whole file of it.
      std::uint8_t text[12];
      in_.bytes(text, sizeof text);
      if (kind == 2) out << "[qmx415u]\nimageline=";
      out.write(reinterpret_cast<const char*>(text), sizeof text);
    }
  }

  void injectFault() {
    std::uint8_t kind = in_.byte() % 6;
    int nth = in_.byte() % 24 + 1;
    trace("fault kind %lu, nth %lu", kind, static_cast<unsigned long>(nth));
    faultsArmed_ = true;
    watch_.spoil();
    switch (kind) {
      case 0: platform::testing::failZeroedAllocation(nth); break;
      case 1: platform::testing::failZeroedAllocationsFrom(nth); break;
      case 2: platform::testing::failWorkAllocation(nth % 4 + 1); break;
      case 3:
        if (!fileFaultArmed_) platform::testing::failFileOperation(nth);
        fileFaultArmed_ = true;
        break;
      case 4:
        // With the folder unwritable from the start of a job, the name search
        // tries all 9999 numbers: rare, or it would eat the fuzzer's time.
        if (jobOpen_ || nth == 1) platform::testing::failOpensContaining(QMX_WIDE("QMX$$"));
        break;
      default: platform::testing::failKeepAwake((nth & 1) != 0); break;
    }
  }

  // DevMode between the job's record and another record, both of 572 bytes.
  void devModeOnRecord() {
    std::uint8_t how = in_.byte();
    std::unique_ptr<std::uint8_t[]> other(new std::uint8_t[kRecord]());
    in_.bytes(other.get(), 24);
    in_.bytes(other.get() + 544, kRecord - 544);
    if ((how & 0x10) != 0) devmode::writeU32(other.get(), devmode::kDwSignature, devmode::kSignature);
    OEMDMPARAM param{};
    param.cbSize = sizeof param;
    bool intoRecord = (how & 0x20) == 0;
    param.pOEMDMIn = intoRecord ? other.get() : record_.get();
    param.pOEMDMOut = intoRecord ? record_.get() : other.get();
    HRESULT hr = plugin_->DevMode(how % 6, &param);
    bool known = how % 6 >= printsys::kOEMDM_SIZE && how % 6 <= printsys::kOEMDM_MERGE;
    require(hr == (known ? printsys::kS_OK : printsys::kE_FAIL), "DevMode answered wrongly");
    afterCall();
  }

  void checkSpoolFolderEmpty() {
    std::vector<std::string> left;
    for (const auto& entry : fs::directory_iterator(folders().spool)) left.push_back(entry.path().filename().string());
    if (left.empty()) return;
    for (const std::string& name : left) std::fprintf(stderr, "left behind: %s\n", name.c_str());
    fuzz::fail("a temporary file remains after the end of the job");
  }

  // ---- the well-formed job oracle ----

  void startWatch() {
    watch_ = JobWatch{};
    const auto* record = static_cast<const std::uint8_t*>(devobj_.pOEMDM);
    watch_.wellFormed = !faultsArmed_ && record != nullptr && devobj_.pPublicDM != nullptr &&
                        paperFieldsInRange(record);
    if (!watch_.wellFormed) return;
    std::memcpy(watch_.record, record, kRecord);
    JobSettings s;
    settings::derivePageLines(publicDm_.dmPaperLength, s);
    watch_.pageLines = s.pageLines;
    watch_.memory = s.longPage == 0;
    watch_.firstGroup = writes_.size();
  }

  void watchStartPage() {
    if (watch_.pageOpen) watch_.spoil();
    watch_.pageOpen = true;
    watch_.pages.emplace_back();
  }

  void watchEndPage() {
    if (!watch_.pageOpen) watch_.spoil();
    watch_.pageOpen = false;
  }

  void finishWatch() {
    if (!watch_.wellFormed || watch_.pageOpen) return;
    // The page buffers hold a page's lines only up to their end.
    std::uint32_t extra = devmode::readU16(watch_.record, devmode::kFirstPageExtraLines);
    for (std::size_t k = 0; k < watch_.pages.size(); ++k) {
      std::uint32_t room = watch_.pageLines + (k == 0 ? 0 : extra);
      if (watch_.memory && watch_.pages[k].size() > room) return;
    }
    std::vector<std::vector<std::uint8_t>> groups(writes_.begin() + static_cast<std::ptrdiff_t>(watch_.firstGroup),
                                                  writes_.end());
    emulator::ParseOptions strict;
    strict.strict = true;
    emulator::ParseResult parsed = emulator::parseGroups(groups, strict);
    require(parsed.status.ok, "a well-formed job's stream is rejected");
    testsupport::ExpectedPaper expected = testsupport::expectedPaper(
        watch_.record, watch_.pages, watch_.memory ? testsupport::PageStore::kMemory : testsupport::PageStore::kFiles);
    require(parsed.paper.rows == expected.rows, "a well-formed job does not print its pages");
    std::vector<std::size_t> cutRows;
    std::vector<int> cutKinds;
    for (const emulator::Event& e : parsed.paper.events) {
      if (e.kind != emulator::EventKind::kCut) continue;
      cutRows.push_back(e.row);
      cutKinds.push_back(static_cast<int>(e.value));
    }
    require(cutRows == expected.cutRows && cutKinds == expected.cutKinds, "a well-formed job cuts elsewhere");
    trace("well-formed job of %lu pages printed as described", watch_.pages.size());
  }

  void checkStream() {
    emulator::ParseOptions strict;
    strict.strict = true;
    emulator::ParseResult parsed = emulator::parseGroups(writes_, strict);
    if (!parsed.status.ok) {
      std::fprintf(stderr, "%s\n", parsed.status.toString().c_str());
      fuzz::fail("the printer rejects the captured stream");
    }
    require(parsed.paper.area.left == 0 && parsed.paper.area.width == 576, "the print area is left narrowed");
  }

  fuzz::Input in_;
  std::vector<std::vector<std::uint8_t>> writes_;
  std::unique_ptr<std::uint8_t[]> record_;
  DEVOBJ devobj_{};
  DRVPROCS procs_{};
  DEVMODEW publicDm_{};
  IPrintOemUni* plugin_ = nullptr;
  std::unique_ptr<host::DriverInterface> driver_;
  std::vector<DRVFN> table_;
  fuzz::Line previous_{};
  bool jobOpen_ = false;
  bool faultsArmed_ = false;
  bool fileFaultArmed_ = false;
  std::size_t lines_ = 0;
  std::size_t bytes_ = 0;
  JobWatch watch_;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  Run(data, size).execute();
  return 0;
}
