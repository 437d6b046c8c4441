// Inspects the cross-built Windows DLLs with objdump: the machine they are
// for, the names they export, the DLLs they import and the resources they
// carry. The print system loads the DLL on machines that have nothing but
// the system DLLs, and finds the entry points by their undecorated names.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

namespace {

struct ImageKind {
  const char* label;
  const char* pathEnv;      // overrides the default path
  const char* defaultPath;  // where the cross-build preset puts it
  const char* format;       // objdump's name of the file format
  const char* magic;        // optional-header magic: PE32 or PE32+
};

const ImageKind kImages[] = {
    {"32-bit", "QMX415U_DLL32", QMX_DLL32_DEFAULT, "pei-i386", "010b"},
    {"64-bit", "QMX415U_DLL64", QMX_DLL64_DEFAULT, "pei-x86-64", "020b"},
};

// System DLLs present on every Windows installation the print system runs on.
const std::set<std::string> kSystemDlls = {"kernel32.dll", "advapi32.dll", "shell32.dll", "ole32.dll",
                                           "oleaut32.dll", "user32.dll",   "gdi32.dll",   "msvcrt.dll",
                                           "ntdll.dll"};

std::string lower(std::string s) {
  for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return s;
}

std::string pathOf(const ImageKind& kind) {
  const char* env = std::getenv(kind.pathEnv);
  return env != nullptr && *env != '\0' ? env : kind.defaultPath;
}

std::string run(const std::string& command) {
  std::string out;
  std::unique_ptr<FILE, int (*)(FILE*)> pipe(popen(command.c_str(), "r"), pclose);
  if (!pipe) return out;
  std::array<char, 4096> buffer;
  std::size_t n;
  while ((n = std::fread(buffer.data(), 1, buffer.size(), pipe.get())) > 0) out.append(buffer.data(), n);
  return out;
}

struct Image {
  std::string format;
  std::string magic;
  bool isDll = false;
  std::vector<std::string> exports;
  std::vector<std::string> importedDlls;
  std::vector<std::string> importedFunctions;
  std::set<unsigned> resourceTypes;
};

// Reads the parts of `objdump -p` that matter here.
Image inspect(const std::string& dump) {
  Image image;
  std::istringstream in(dump);
  std::string line;
  enum { kOther, kImports, kExportNames } section = kOther;
  std::smatch m;
  const std::regex formatLine(R"(file format (\S+))");
  const std::regex magicLine(R"(^Magic\s+([0-9a-fA-F]+))");
  const std::regex dllName(R"(^\s*DLL Name: (\S+))");
  const std::regex importedFunction(R"(^\s+[0-9a-fA-F]+\s+\d+\s+([A-Za-z_]\S*))");
  const std::regex exportName(R"(^\s*\[\s*\d+\] (\S+)\s*$)");
  const std::regex resourceType(R"(^[0-9a-fA-F]{3}   Entry: ID: 0x([0-9a-fA-F]+),)");
  while (std::getline(in, line)) {
    if (std::regex_search(line, m, formatLine) && image.format.empty()) image.format = m[1];
    if (std::regex_search(line, m, magicLine)) image.magic = lower(m[1]);
    if (line == "\tDLL") image.isDll = true;
    if (line.rfind("The Import Tables", 0) == 0) section = kImports;
    if (line.rfind("[Ordinal/Name Pointer] Table", 0) == 0) {
      section = kExportNames;
      continue;
    }
    if (section == kExportNames) {
      if (std::regex_search(line, m, exportName)) image.exports.push_back(m[1]);
      else if (line.find_first_not_of(" \t") == std::string::npos) section = kOther;
    }
    if (section == kImports) {
      if (std::regex_search(line, m, dllName)) image.importedDlls.push_back(lower(m[1]));
      else if (std::regex_search(line, m, importedFunction)) image.importedFunctions.push_back(m[1]);
      if (line.rfind("There is an export table", 0) == 0 || line.rfind("The Export Tables", 0) == 0)
        section = kOther;
    }
    if (std::regex_search(line, m, resourceType)) image.resourceTypes.insert(std::stoul(m[1], nullptr, 16));
  }
  return image;
}

class DllImage : public ::testing::TestWithParam<ImageKind> {};

TEST_P(DllImage, IsSelfContainedWithTwoUndecoratedExports) {
  const ImageKind& kind = GetParam();
  const std::string path = pathOf(kind);
  if (!std::filesystem::exists(path)) {
    GTEST_SKIP() << "the " << kind.label << " DLL " << path << " has not been built; build it with "
                 << "`cmake --preset " << (kind.format == std::string("pei-i386") ? "mingw32" : "mingw64")
                 << " && cmake --build --preset ...` (scripts/test does) or point " << kind.pathEnv << " at it";
  }
  ASSERT_STRNE(QMX_OBJDUMP, "") << "no objdump that reads PE files was found at configure time";
  Image image = inspect(run(std::string(QMX_OBJDUMP) + " -p '" + path + "' 2>&1"));

  EXPECT_EQ(image.format, kind.format) << path;
  EXPECT_EQ(image.magic, kind.magic) << path;
  EXPECT_TRUE(image.isDll) << path << " is not marked as a DLL";

  std::vector<std::string> exports = image.exports;
  std::sort(exports.begin(), exports.end());
  EXPECT_EQ(exports, (std::vector<std::string>{"DllCanUnloadNow", "DllGetClassObject"}))
      << "exports must be exactly the two COM entry points, by undecorated name";

  EXPECT_FALSE(image.importedDlls.empty()) << "no import table found in " << path;
  for (const std::string& dll : image.importedDlls)
    EXPECT_TRUE(kSystemDlls.count(dll)) << path << " imports " << dll << ", which is not a system DLL";

  // The message table is for other components; the module itself never reads it.
  for (const std::string& function : image.importedFunctions) {
    EXPECT_EQ(function.rfind("LoadString", 0), std::string::npos) << function;
    EXPECT_EQ(function.rfind("FindResource", 0), std::string::npos) << function;
    EXPECT_NE(function, "LoadResource");
  }

  EXPECT_EQ(image.resourceTypes, (std::set<unsigned>{6, 16})) << "want the string table and the version block";
}

INSTANTIATE_TEST_SUITE_P(BothWidths, DllImage, ::testing::ValuesIn(kImages),
                         [](const ::testing::TestParamInfo<ImageKind>& info) {
                           return std::string(info.param.format == std::string("pei-i386") ? "Win32" : "Win64");
                         });

// On 32-bit x86 the print system calls the entry points, the COM methods
// and the graphics hooks as __stdcall: the callee pops its arguments, which
// the linker records as @<argument bytes> on each symbol. A method built
// with the default convention would unbalance the caller's stack.
TEST(DllImage, Win32EntryPointsMethodsAndHooksAreStdcall) {
  const ImageKind& kind = kImages[0];
  const std::string path = pathOf(kind);
  if (!std::filesystem::exists(path)) GTEST_SKIP() << "the 32-bit DLL " << path << " has not been built";
  ASSERT_STRNE(QMX_OBJDUMP, "");
  const std::string symbols = run(std::string(QMX_OBJDUMP) + " -t '" + path + "' 2>&1");
  const struct {
    const char* what;
    const char* pattern;  // on the symbol's name, to the end of the line
  } kExpected[] = {
      {"DllGetClassObject", R"( _DllGetClassObject@12$)"},
      {"DllCanUnloadNow", R"( _DllCanUnloadNow@0$)"},
      {"IClassFactory::CreateInstance", R"(PluginClassFactory14CreateInstance\S*@16$)"},
      {"IPrintOemUni::GetInfo", R"(PluginObject7GetInfo\S*@20$)"},
      {"IPrintOemUni::CommandCallback", R"(PluginObject15CommandCallback\S*@24$)"},
      {"IPrintOemUni::FilterGraphics", R"(PluginObject14FilterGraphics\S*@16$)"},
      {"IPrintOemUni::EnablePDEV", R"(PluginObject10EnablePDEV\S*@44$)"},
      {"DrvBitBlt hook", R"(hookBitBlt\S*@44$)"},
      {"DrvRealizeBrush hook", R"(hookRealizeBrush\S*@24$)"},
  };
  for (const auto& e : kExpected) {
    std::regex pattern(e.pattern, std::regex::multiline);
    EXPECT_TRUE(std::regex_search(symbols, pattern)) << e.what << " is not __stdcall with its argument bytes";
  }
}

// The fault-injection controls are compiled into test builds only: no DLL
// may carry them. The symbol table must show the module's own logic, or
// the check would see nothing.
TEST_P(DllImage, CarriesNoTestControls) {
  const ImageKind& kind = GetParam();
  const std::string path = pathOf(kind);
  if (!std::filesystem::exists(path)) GTEST_SKIP() << "the " << kind.label << " DLL " << path << " has not been built";
  ASSERT_STRNE(QMX_OBJDUMP, "");
  const std::string symbols = run(std::string(QMX_OBJDUMP) + " -t '" + path + "' 2>&1");
  EXPECT_NE(symbols.find("_ZN5spool15commandCallback"), std::string::npos) << "no symbols to look at in " << path;
  for (const char* control : {"_ZN8platform7testing", "_ZN6plugin7testing", "_ZN8platform5hooks"})
    EXPECT_EQ(symbols.find(control), std::string::npos) << path << " carries " << control;
}

// The reader itself: a dump with a foreign import and a decorated export
// must be seen as such, or the test above could pass on anything.
TEST(DllImageReader, SeesImportsExportsAndResources) {
  const std::string dump =
      "x.dll:     file format pei-i386\n\nCharacteristics 0x2106\n\tDLL\n\n"
      "Magic\t\t\t010b\t(PE32)\n"
      "The Import Tables (interpreted .idata section contents)\n"
      "\tDLL Name: KERNEL32.dll\n\tvma:  Hint/Ord Member-Name Bound-To\n\t3840c\t 1017  LoadStringW\n\n"
      "\tDLL Name: libwinpthread-1.dll\n\t38500\t   12  pthread_mutex_lock\n\n"
      "There is an export table in .edata at 0x65bf7000\n"
      "[Ordinal/Name Pointer] Table\n\t[   0] DllCanUnloadNow@0\n\t[   1] DllGetClassObject\n\n"
      "The .rsrc Resource Directory section:\n"
      "000  Type Table: Char: 0, Time: 00000000, Ver: 0/0, Num Names: 0, IDs: 2\n"
      "010   Entry: ID: 0x000006, Value: 0x80000020\n"
      "030     Entry: ID: 0x000001, Value: 0x80000048\n"
      "018   Entry: ID: 0x000010, Value: 0x80000028\n";
  Image image = inspect(dump);
  EXPECT_EQ(image.format, "pei-i386");
  EXPECT_EQ(image.magic, "010b");
  EXPECT_TRUE(image.isDll);
  EXPECT_EQ(image.importedDlls, (std::vector<std::string>{"kernel32.dll", "libwinpthread-1.dll"}));
  EXPECT_EQ(image.importedFunctions, (std::vector<std::string>{"LoadStringW", "pthread_mutex_lock"}));
  EXPECT_EQ(image.exports, (std::vector<std::string>{"DllCanUnloadNow@0", "DllGetClassObject"}));
  EXPECT_EQ(image.resourceTypes, (std::set<unsigned>{6, 16}));
}

}  // namespace
