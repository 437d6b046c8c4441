// Test controls of the POSIX platform layer: make calls fail on purpose,
// watch resources, and capture the debug texts. They exist in test builds
// only (programs with the target property QMX_FAULT_INJECTION); elsewhere
// a call to one of them does not link.
//
// Counts start at 1 for "the next call". Every control stays in force until
// reset(); tests call reset() in their fixtures.
#ifndef QMX_PLATFORM_FAULT_INJECTION_H_
#define QMX_PLATFORM_FAULT_INJECTION_H_

#include <cstdint>
#include <initializer_list>
#include <vector>

#include "platform/wide.h"

namespace platform::testing {

void reset();

// The nth zeroed allocation from now fails (0 = none).
void failZeroedAllocation(int nth);
// Every zeroed allocation from the nth on fails.
void failZeroedAllocationsFrom(int nth);
// The nth work (malloc) allocation from now fails.
void failWorkAllocation(int nth);

// Opening, deleting or renaming a file whose path equals `path` fails.
void failFileOperationsOn(const WString& path);
// Opening any file whose path contains `fragment` fails.
void failOpensContaining(const WString& fragment);
// The nth file operation (open, read, write, seek, delete, move) from now
// fails (0 = none); the second form fails several, each counted from now.
void failFileOperation(int nth);
void failFileOperations(std::initializer_list<int> nths);

void failKeepAwake(bool fail);

// Overrides the folders otherwise taken from the environment
// (empty = back to the environment).
void setDocumentsFolder(const std::string& utf8Path);
void setProfileFolder(const std::string& utf8Path);

// Debug texts written since reset().
const std::vector<WString>& debugTexts();

// Counters since reset().
int zeroedAllocations();
int liveZeroedBlocks();
int liveWorkBlocks();
int openFiles();
int fileOperations();
int keepAwakeCalls();

}  // namespace platform::testing

#endif  // QMX_PLATFORM_FAULT_INJECTION_H_
