// Win32 implementation of the platform layer: each call is the Win32 call
// named beside it in platform.h. The page files live in the common-documents
// folder, which every user may write to, so opening a file also makes sure
// it is the caller's own plain file: new files get an owner-only DACL, and
// links, second names and files of other owners are refused.
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
#include <aclapi.h>
#include <shlobj.h>

#include <cstdlib>
#include <memory>

#include "platform/platform.h"

namespace platform {
namespace {

static_assert(sizeof(LONG) == sizeof(std::int32_t), "interlocked operations work on 32-bit values");
static_assert(kMaxPath == MAX_PATH, "the folder lookup writes at most MAX_PATH characters");

// The token of the user the caller acts for: the thread's when it
// impersonates (as the print system's job threads may), else the process's.
HANDLE openCallerToken() {
  HANDLE token = nullptr;
  if (OpenThreadToken(GetCurrentThread(), TOKEN_QUERY, TRUE, &token)) return token;
  if (OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) return token;
  return nullptr;
}

// One variable-length record of a token, or null.
std::unique_ptr<BYTE[]> tokenInformation(HANDLE token, TOKEN_INFORMATION_CLASS kind) {
  DWORD needed = 0;
  GetTokenInformation(token, kind, nullptr, 0, &needed);
  if (needed == 0) return nullptr;
  std::unique_ptr<BYTE[]> record(new (std::nothrow) BYTE[needed]);
  if (record != nullptr && !GetTokenInformation(token, kind, record.get(), needed, &needed)) record.reset();
  return record;
}

// A security descriptor whose DACL grants the calling user full access and
// nobody else anything. Protected, so the shared folder's inheritable
// entries (everyone may read the common documents) are not merged in.
class OwnerOnlyDescriptor {
 public:
  OwnerOnlyDescriptor() {
    HANDLE token = openCallerToken();
    if (token == nullptr) return;
    user_ = tokenInformation(token, TokenUser);
    owner_ = tokenInformation(token, TokenOwner);
    CloseHandle(token);
    if (user_ == nullptr) return;

    PSID sid = userSid();
    if (!IsValidSid(sid)) return;
    DWORD aclBytes = sizeof(ACL) + sizeof(ACCESS_ALLOWED_ACE) - sizeof(DWORD) + GetLengthSid(sid);
    acl_.reset(new (std::nothrow) BYTE[aclBytes]);
    if (acl_ == nullptr) return;
    auto* acl = reinterpret_cast<PACL>(acl_.get());
    if (!InitializeAcl(acl, aclBytes, ACL_REVISION)) return;
    if (!AddAccessAllowedAce(acl, ACL_REVISION, FILE_ALL_ACCESS, sid)) return;
    if (!InitializeSecurityDescriptor(&descriptor_, SECURITY_DESCRIPTOR_REVISION)) return;
    if (!SetSecurityDescriptorDacl(&descriptor_, TRUE, acl, FALSE)) return;
    if (!SetSecurityDescriptorControl(&descriptor_, SE_DACL_PROTECTED, SE_DACL_PROTECTED)) return;
    attributes_.nLength = sizeof attributes_;
    attributes_.lpSecurityDescriptor = &descriptor_;
    attributes_.bInheritHandle = FALSE;
    ready_ = true;
  }

  bool ready() const { return ready_; }
  // Null when the descriptor could not be built.
  SECURITY_ATTRIBUTES* attributes() { return ready_ ? &attributes_ : nullptr; }

  // Whether an open file belongs to the caller: owned by the caller's user,
  // or by the default owner its new files get (an administrators' group).
  // Opening an existing file keeps that file's own DACL, so a file that
  // another user planted in the shared folder under a page-file name could
  // otherwise let that user read or change the page.
  bool ownsFile(HANDLE file) const {
    PSID owner = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (GetSecurityInfo(file, SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION, &owner, nullptr, nullptr, nullptr,
                        &descriptor) != ERROR_SUCCESS)
      return false;
    bool ours = owner != nullptr && IsValidSid(owner) &&
                (EqualSid(owner, userSid()) ||
                 (owner_ != nullptr && EqualSid(owner, reinterpret_cast<TOKEN_OWNER*>(owner_.get())->Owner)));
    LocalFree(descriptor);
    return ours;
  }

 private:
  PSID userSid() const { return reinterpret_cast<TOKEN_USER*>(user_.get())->User.Sid; }

  std::unique_ptr<BYTE[]> user_;
  std::unique_ptr<BYTE[]> owner_;
  std::unique_ptr<BYTE[]> acl_;
  SECURITY_DESCRIPTOR descriptor_{};
  SECURITY_ATTRIBUTES attributes_{};
  bool ready_ = false;
};

DWORD creationOf(FileDisposition disposition) {
  switch (disposition) {
    case FileDisposition::kCreateNew: return CREATE_NEW;
    // Emptied by openFile once the file has passed its checks: CREATE_ALWAYS
    // would empty a planted file before it could be refused.
    case FileDisposition::kCreateAlways: return OPEN_ALWAYS;
    case FileDisposition::kOpenAlways: return OPEN_ALWAYS;
  }
  return OPEN_EXISTING;
}

// Only an ordinary disk file with one name will do: a link, junction or
// second name of another file, put in the shared folder under a predictable
// page-file name, must not redirect a write.
bool isPlainDiskFile(HANDLE file) {
  if (GetFileType(file) != FILE_TYPE_DISK) return false;
  BY_HANDLE_FILE_INFORMATION info{};
  if (!GetFileInformationByHandle(file, &info)) return false;
  return (info.dwFileAttributes & (FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY)) == 0 &&
         info.nNumberOfLinks == 1;
}

HANDLE toHandle(FileHandle file) { return reinterpret_cast<HANDLE>(file); }

// The descriptor of the current job's files. Building it asks the token
// several times, which on the file path would be every raster line, so it
// is built by the first open after renewFileOwner() and kept until the
// next renewal; one that could not be built is tried again at the next
// open. Opens and renewals take the lock in turn.
SRWLOCK ownerLock = SRWLOCK_INIT;
OwnerOnlyDescriptor* jobOwner = nullptr;

// The job's descriptor, built if need be; null when memory is short. The
// caller holds ownerLock.
OwnerOnlyDescriptor* currentOwner() {
  if (jobOwner == nullptr || !jobOwner->ready()) {
    delete jobOwner;
    jobOwner = new (std::nothrow) OwnerOnlyDescriptor();
  }
  return jobOwner;
}

FileHandle openOwnedFile(const WChar* path, FileAccess access, FileDisposition disposition) {
  // Refuse rather than create a file that other users could read.
  OwnerOnlyDescriptor* owner = currentOwner();
  SECURITY_ATTRIBUTES* security = owner != nullptr ? owner->attributes() : nullptr;
  if (security == nullptr) return kInvalidFile;
  // READ_CONTROL: the owner of an existing file is checked below.
  DWORD desired = (access == FileAccess::kRead ? GENERIC_READ : GENERIC_WRITE) | READ_CONTROL;
  HANDLE file = CreateFileW(path, desired, 0, security, creationOf(disposition),
                            FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (file == INVALID_HANDLE_VALUE) return kInvalidFile;
  bool existed = GetLastError() == ERROR_ALREADY_EXISTS;
  if (!isPlainDiskFile(file) || (existed && !owner->ownsFile(file))) {
    CloseHandle(file);
    SetLastError(ERROR_ACCESS_DENIED);
    return kInvalidFile;
  }
  if (disposition == FileDisposition::kCreateAlways && existed &&
      (SetFilePointer(file, 0, nullptr, FILE_BEGIN) == INVALID_SET_FILE_POINTER || !SetEndOfFile(file))) {
    CloseHandle(file);
    return kInvalidFile;
  }
  return reinterpret_cast<FileHandle>(file);
}

}  // namespace

void* allocZeroed(std::size_t bytes) { return reinterpret_cast<void*>(GlobalAlloc(GMEM_ZEROINIT, bytes)); }

void freeZeroed(void* block) {
  if (block != nullptr) GlobalFree(reinterpret_cast<HGLOBAL>(block));
}

void* allocWork(std::size_t bytes) { return std::malloc(bytes); }

void freeWork(void* block) { std::free(block); }

FileHandle openFile(const WChar* path, FileAccess access, FileDisposition disposition) {
  AcquireSRWLockExclusive(&ownerLock);
  FileHandle file = openOwnedFile(path, access, disposition);
  ReleaseSRWLockExclusive(&ownerLock);
  return file;
}

void renewFileOwner() {
  AcquireSRWLockExclusive(&ownerLock);
  delete jobOwner;
  jobOwner = nullptr;
  ReleaseSRWLockExclusive(&ownerLock);
}

bool readFile(FileHandle file, void* buffer, std::uint32_t length, std::uint32_t* transferred) {
  *transferred = 0;
  if (file == kInvalidFile) return false;
  DWORD done = 0;
  BOOL ok = ReadFile(toHandle(file), buffer, length, &done, nullptr);
  *transferred = done;
  return ok != FALSE;
}

bool writeFile(FileHandle file, const void* buffer, std::uint32_t length, std::uint32_t* transferred) {
  *transferred = 0;
  if (file == kInvalidFile) return false;
  DWORD done = 0;
  BOOL ok = WriteFile(toHandle(file), buffer, length, &done, nullptr);
  *transferred = done;
  return ok != FALSE && done == length;
}

bool seekToEnd(FileHandle file) {
  if (file == kInvalidFile) return false;
  // Without a high part the low result alone cannot tell a 4 GiB - 1 offset
  // from a failure; the last error can.
  SetLastError(NO_ERROR);
  DWORD low = SetFilePointer(toHandle(file), 0, nullptr, FILE_END);
  return low != INVALID_SET_FILE_POINTER || GetLastError() == NO_ERROR;
}

void closeFile(FileHandle file) {
  if (file != kInvalidFile) CloseHandle(toHandle(file));
}

bool deleteFile(const WChar* path) { return DeleteFileW(path) != FALSE; }

bool moveFile(const WChar* from, const WChar* to) { return MoveFileW(from, to) != FALSE; }

bool commonDocumentsFolder(WChar* path) {
  path[0] = 0;
  // S_FALSE means the folder is known but missing: nowhere to put files.
  if (SHGetFolderPathW(nullptr, CSIDL_COMMON_DOCUMENTS, nullptr, SHGFP_TYPE_CURRENT, path) != S_OK) {
    path[0] = 0;
    return false;
  }
  path[kMaxPath - 1] = 0;
  return path[0] != 0;
}

std::uint32_t profileInt(const WChar* section, const WChar* key, std::int32_t defaultValue, const WChar* file) {
  return GetPrivateProfileIntW(section, key, defaultValue, file);
}

bool keepSystemAwake() { return SetThreadExecutionState(ES_SYSTEM_REQUIRED) != 0; }

void debugText(const WChar* text) { OutputDebugStringW(text); }

void setLastError(std::uint32_t code) { SetLastError(code); }
std::uint32_t lastError() { return GetLastError(); }

std::int32_t atomicIncrement(volatile std::int32_t* value) {
  return InterlockedIncrement(reinterpret_cast<volatile LONG*>(value));
}

std::int32_t atomicDecrement(volatile std::int32_t* value) {
  return InterlockedDecrement(reinterpret_cast<volatile LONG*>(value));
}

}  // namespace platform
