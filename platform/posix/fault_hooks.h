// Where the POSIX platform layer consults the test controls of
// platform/fault_injection.h. Test builds (QMX_FAULT_INJECTION) define the
// hooks in fault_injection_posix.cc; every other build gets the constant
// answers below, which compile to nothing, so what ships carries neither
// the controls nor a branch on them.
#ifndef QMX_PLATFORM_POSIX_FAULT_HOOKS_H_
#define QMX_PLATFORM_POSIX_FAULT_HOOKS_H_

#include <string>

#include "platform/wide.h"

namespace platform::hooks {

#if defined(QMX_FAULT_INJECTION)

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

#else

inline bool zeroedAllocationFails() { return false; }
inline bool workAllocationFails() { return false; }
inline bool fileOperationFails() { return false; }
inline bool openFails(const WChar*) { return false; }
inline bool pathFails(const WChar*) { return false; }
inline bool keepAwakeFails() { return false; }
inline void countBlock(bool, int) {}
inline void countOpenFile(int) {}
inline std::string documentsFolderOverride() { return {}; }
inline std::string profileFolderOverride() { return {}; }
inline void recordDebugText(const WChar*) {}

#endif

}  // namespace platform::hooks

#endif  // QMX_PLATFORM_POSIX_FAULT_HOOKS_H_
