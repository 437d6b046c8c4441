// The only interface through which the plug-in touches the operating system.
//
// Every call maps 1:1 onto one Win32 call, so the Windows implementation is a
// thin shell and the POSIX implementation mirrors its results:
//   allocZeroed/freeZeroed     GlobalAlloc(GMEM_ZEROINIT) / GlobalFree
//   allocWork/freeWork         malloc / free
//   openFile                   CreateFileW (CREATE_NEW, CREATE_ALWAYS, OPEN_ALWAYS)
//   readFile/writeFile         ReadFile / WriteFile
//   seekToEnd                  SetFilePointer(h, 0, NULL, FILE_END)
//   closeFile                  CloseHandle
//   deleteFile/moveFile        DeleteFileW / MoveFileW
//   commonDocumentsFolder      SHGetFolderPathW(CSIDL_COMMON_DOCUMENTS)
//   profileInt                 GetPrivateProfileIntW
//   keepSystemAwake            SetThreadExecutionState(ES_SYSTEM_REQUIRED)
//   debugText                  OutputDebugStringW
//   setLastError               SetLastError
//   atomicIncrement/Decrement  InterlockedIncrement / InterlockedDecrement
// and one of its own: renewFileOwner, whose security new files get.
//
// Files created here are readable and writable by their owner only.
#ifndef QMX_PLATFORM_PLATFORM_H_
#define QMX_PLATFORM_PLATFORM_H_

#include <cstddef>
#include <cstdint>

#include "platform/wide.h"

namespace platform {

// Zero-filled heap block, or null when memory is short.
void* allocZeroed(std::size_t bytes);
void freeZeroed(void* block);  // null is ignored

// Uninitialised work memory, or null when memory is short.
void* allocWork(std::size_t bytes);
void freeWork(void* block);  // null is ignored

enum class FileAccess { kRead, kWrite };
enum class FileDisposition {
  kCreateNew,     // fails when the file exists
  kCreateAlways,  // creates, or empties an existing file
  kOpenAlways,    // opens, or creates an empty file
};

using FileHandle = std::intptr_t;
inline constexpr FileHandle kInvalidFile = -1;

// Opens without sharing. Returns kInvalidFile on failure.
FileHandle openFile(const WChar* path, FileAccess access, FileDisposition disposition);
// New files belong to the user the calling thread acts for (on Windows the
// print system's job thread may act for the job's user). That identity is
// looked up by the first open after this call and kept for the opens after
// it: call it at the start and at the end of every job, so that each job's
// files are its own user's and nothing of the identity outlives the job.
void renewFileOwner();
// Reads up to `length` bytes; *transferred receives the count (0 at the end).
bool readFile(FileHandle file, void* buffer, std::uint32_t length, std::uint32_t* transferred);
// Writes `length` bytes; *transferred receives the count written.
bool writeFile(FileHandle file, const void* buffer, std::uint32_t length, std::uint32_t* transferred);
bool seekToEnd(FileHandle file);
void closeFile(FileHandle file);  // kInvalidFile is ignored
bool deleteFile(const WChar* path);
// Renames; fails when `to` exists, as MoveFileW does.
bool moveFile(const WChar* from, const WChar* to);

// Longest folder path the folder lookup may deliver, terminator included.
inline constexpr std::size_t kMaxPath = 260;
// Writes the common-documents folder, NUL-terminated, into `path` (kMaxPath
// characters). Returns false and leaves `path` empty when it is unknown.
bool commonDocumentsFolder(WChar* path);

// Integer value `key` of section `section` in profile file `file`, or
// `defaultValue` when the file, the section or the key is missing.
// The value is parsed like GetPrivateProfileIntW: optional blanks, an
// optional sign, decimal digits (or 0x and hex digits); text without a
// leading number gives 0. The result is returned as the unsigned 32-bit
// pattern of the signed number.
std::uint32_t profileInt(const WChar* section, const WChar* key, std::int32_t defaultValue,
                         const WChar* file);

// Keeps the system from sleeping while a page is sent; false when refused.
bool keepSystemAwake();

void debugText(const WChar* text);

void setLastError(std::uint32_t code);
std::uint32_t lastError();

std::int32_t atomicIncrement(volatile std::int32_t* value);
std::int32_t atomicDecrement(volatile std::int32_t* value);

}  // namespace platform

#endif  // QMX_PLATFORM_PLATFORM_H_
