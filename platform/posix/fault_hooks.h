// Where the POSIX platform layer consults the test controls of
// platform/fault_injection.h. Test builds (QMX_FAULT_INJECTION) define the
// hooks in fault_injection_posix.cc. Every call stands in an
// `if constexpr (hooks::kEnabled)` block, so any other build compiles none
// of them, at any optimisation level: what ships carries neither the
// controls nor a branch on them.
#ifndef QMX_PLATFORM_POSIX_FAULT_HOOKS_H_
#define QMX_PLATFORM_POSIX_FAULT_HOOKS_H_

#include <string>

#include "platform/wide.h"

namespace platform::hooks {

#if defined(QMX_FAULT_INJECTION)
inline constexpr bool kEnabled = true;
#else
inline constexpr bool kEnabled = false;
#endif

// Each "Fails" hook counts the call it stands for.
bool zeroedAllocationFails();
bool workAllocationFails();
bool fileOperationFails();               // open, read, write, seek, delete, move
bool openFails(const WChar* path);       // counts as a file operation
bool pathFails(const WChar* path);       // deletes and moves of one path
bool keepAwakeFails();
void countBlock(bool zeroed, int change);  // live heap blocks
void countOpenFile(int change);
std::string documentsFolderOverride();     // "" when the environment decides
std::string profileFolderOverride();
void recordDebugText(const WChar* text);

}  // namespace platform::hooks

#endif  // QMX_PLATFORM_POSIX_FAULT_HOOKS_H_
