// The shared library the print system loads must export exactly the two COM
// server entry points and nothing else.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <cstdio>
#include <set>
#include <sstream>
#include <string>

namespace {

// Names of the defined symbols in the library's dynamic symbol table.
std::set<std::string> definedDynamicSymbols(const std::string& library) {
  std::string command = std::string(QMX_NM) + " -D --defined-only '" + library + "' 2>/dev/null";
  std::set<std::string> names;
  FILE* pipe = popen(command.c_str(), "r");
  if (pipe == nullptr) return names;
  char line[1024];
  while (std::fgets(line, sizeof line, pipe) != nullptr) {
    std::istringstream fields(line);
    std::string address, type, name;
    if (fields >> address >> type >> name) names.insert(name);
  }
  EXPECT_EQ(pclose(pipe), 0) << command;
  return names;
}

TEST(ExportsTest, OnlyTheTwoEntryPointsAreExported) {
  const std::set<std::string> expected = {"DllCanUnloadNow", "DllGetClassObject"};
  EXPECT_EQ(definedDynamicSymbols(QMX_PLUGIN_LIBRARY), expected);
}

// The module has no static objects to construct: nothing of its own runs
// when the print system loads it (the table of hooks included).
TEST(ExportsTest, NothingOfTheModuleRunsAtLoadTime) {
  std::string command = std::string(QMX_NM) + " '" + QMX_PLUGIN_LIBRARY + "' 2>/dev/null";
  FILE* pipe = popen(command.c_str(), "r");
  ASSERT_NE(pipe, nullptr);
  char line[1024];
  while (std::fgets(line, sizeof line, pipe) != nullptr)
    EXPECT_EQ(std::string(line).find("_GLOBAL__sub_I_"), std::string::npos) << line;
  pclose(pipe);
}

// The fault-injection controls of the platform layer and of the frame are
// for test builds only: the module the print system loads must carry none
// of them. The symbol table is read whole (local symbols included); a
// symbol of the module's own logic must show, or the check would see
// nothing.
TEST(ExportsTest, TheModuleCarriesNoTestControls) {
  std::string command = std::string(QMX_NM) + " '" + QMX_PLUGIN_LIBRARY + "' 2>/dev/null";
  FILE* pipe = popen(command.c_str(), "r");
  ASSERT_NE(pipe, nullptr);
  bool sawLogic = false;
  char line[4096];
  while (std::fgets(line, sizeof line, pipe) != nullptr) {
    const std::string symbol = line;
    sawLogic = sawLogic || symbol.find("_ZN5spool15commandCallback") != std::string::npos;
    for (const char* control : {"_ZN8platform7testing", "_ZN6plugin7testing", "_ZN8platform5hooks"})
      EXPECT_EQ(symbol.find(control), std::string::npos) << symbol;
  }
  EXPECT_EQ(pclose(pipe), 0) << command;
  EXPECT_TRUE(sawLogic) << "no local symbols to look at in " << QMX_PLUGIN_LIBRARY;
}

TEST(ExportsTest, TheEntryPointsResolveAndInternalsDoNot) {
  void* library = dlopen(QMX_PLUGIN_LIBRARY, RTLD_NOW | RTLD_LOCAL);
  ASSERT_NE(library, nullptr) << dlerror();
  EXPECT_NE(dlsym(library, "DllGetClassObject"), nullptr);
  EXPECT_NE(dlsym(library, "DllCanUnloadNow"), nullptr);
  for (const char* internal : {"DllMain", "_ZN6plugin11liveObjectsEv", "_ZN6plugin9HookTableE",
                               "_ZN5spool15commandCallbackEP6DEVOBJj", "_ZN8platform11allocZeroedEm"}) {
    EXPECT_EQ(dlsym(library, internal), nullptr) << internal;
  }
  dlclose(library);
}

}  // namespace
