// POSIX implementation of the platform layer. Mirrors the results of the
// Win32 calls it stands for. Test builds consult the controls of
// fault_injection.h through fault_hooks.h.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "platform/platform.h"
#include "platform/posix/fault_hooks.h"

namespace platform {
namespace {

// kNoThrow: the calls here come from the print system's entry points, which
// no exception may cross. Those that build strings (paths, the profile text,
// the debug texts) catch an allocation failure and answer it as the failure
// of the call.

constexpr const char* kDocumentsEnv = "QMX415U_SPOOL_DIR";
constexpr const char* kProfileEnv = "QMX415U_INI_DIR";
constexpr const char* kDebugEnv = "QMX415U_DEBUG";
constexpr const char* kDefaultProfileDir = "/etc/qmx415u";

thread_local std::uint32_t threadLastError = 0;

// Paths are formed the Windows way; a backslash separates folders here too.
std::string utf8Path(const WChar* path) {
  std::string utf8 = toUtf8(path, wideLength(path));
  for (char& c : utf8)
    if (c == '\\') c = '/';
  return utf8;
}

std::string utf8Text(const WChar* text) { return toUtf8(text, wideLength(text)); }

std::string documentsFolderUtf8() {
  if constexpr (hooks::kEnabled) {
    if (std::string chosen = hooks::documentsFolderOverride(); !chosen.empty()) return chosen;
  }
  if (const char* env = std::getenv(kDocumentsEnv); env != nullptr && *env != '\0') return env;
  const char* tmp = std::getenv("TMPDIR");
  std::string base = (tmp != nullptr && *tmp != '\0') ? tmp : "/tmp";
  return base + "/qmx415u-" + std::to_string(static_cast<unsigned long>(getuid()));
}

// The default spool folder is created owner-only; an existing one must be a
// real directory owned by us, so another user cannot plant links in it.
bool ensurePrivateFolder(const std::string& path) {
  if (mkdir(path.c_str(), 0700) != 0 && errno != EEXIST) return false;
  struct stat st {};
  if (lstat(path.c_str(), &st) != 0) return false;
  return S_ISDIR(st.st_mode) && st.st_uid == getuid();
}

std::string profileFolderUtf8() {
  if constexpr (hooks::kEnabled) {
    if (std::string chosen = hooks::profileFolderOverride(); !chosen.empty()) return chosen;
  }
  if (const char* env = std::getenv(kProfileEnv); env != nullptr && *env != '\0') return env;
  return kDefaultProfileDir;
}

std::string trim(const std::string& s) {
  std::size_t b = 0, e = s.size();
  while (b < e && std::isspace(static_cast<unsigned char>(s[b]))) ++b;
  while (e > b && std::isspace(static_cast<unsigned char>(s[e - 1]))) --e;
  return s.substr(b, e - b);
}

bool equalsIgnoringCase(const std::string& a, const std::string& b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (std::tolower(static_cast<unsigned char>(a[i])) != std::tolower(static_cast<unsigned char>(b[i])))
      return false;
  }
  return true;
}

// Finds a profile file by name in the folder, ignoring case as Windows does.
std::string profileFilePath(const std::string& folder, const std::string& name) {
  std::string exact = folder + "/" + name;
  if (access(exact.c_str(), R_OK) == 0) return exact;
  std::string lower = name;
  for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  std::string alt = folder + "/" + lower;
  if (access(alt.c_str(), R_OK) == 0) return alt;
  return exact;
}

// The whole of a small text file, through plain reads: file streams would
// pull their locale machinery into every process that loads the plug-in.
// False when the file cannot be opened; a file beyond the cap is cut there.
bool readSmallFile(const std::string& path, std::string* text) {
  constexpr std::size_t kCap = 1 << 20;
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  char chunk[4096];
  while (text->size() < kCap) {
    ssize_t n = ::read(fd, chunk, sizeof chunk);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    text->append(chunk, static_cast<std::size_t>(n));
  }
  ::close(fd);
  return true;
}

// Decimal or 0x-hexadecimal with optional sign; wraps like a 32-bit register.
std::uint32_t parseProfileNumber(const std::string& text) {
  std::size_t i = 0;
  while (i < text.size() && (text[i] == ' ' || text[i] == '\t')) ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
  std::uint32_t base = 10;
  if (i + 1 < text.size() && text[i] == '0' && (text[i + 1] == 'x' || text[i + 1] == 'X')) {
    base = 16;
    i += 2;
  }
  std::uint32_t value = 0;
  for (; i < text.size(); ++i) {
    int digit;
    char c = text[i];
    if (c >= '0' && c <= '9') {
      digit = c - '0';
    } else if (base == 16 && std::isxdigit(static_cast<unsigned char>(c))) {
      digit = std::tolower(static_cast<unsigned char>(c)) - 'a' + 10;
    } else {
      break;
    }
    value = value * base + static_cast<std::uint32_t>(digit);
  }
  return negative ? 0u - value : value;
}

}  // namespace

void* allocZeroed(std::size_t bytes) {
  if constexpr (hooks::kEnabled) {
    if (hooks::zeroedAllocationFails()) return nullptr;
  }
  // GlobalAlloc hands out a block even for 0 bytes.
  void* block = std::calloc(bytes == 0 ? 1 : bytes, 1);
  if constexpr (hooks::kEnabled) {
    if (block != nullptr) hooks::countBlock(true, 1);
  }
  return block;
}

void freeZeroed(void* block) {
  if (block == nullptr) return;
  if constexpr (hooks::kEnabled) hooks::countBlock(true, -1);
  std::free(block);
}

void* allocWork(std::size_t bytes) {
  if constexpr (hooks::kEnabled) {
    if (hooks::workAllocationFails()) return nullptr;
  }
  void* block = std::malloc(bytes == 0 ? 1 : bytes);
  if constexpr (hooks::kEnabled) {
    if (block != nullptr) hooks::countBlock(false, 1);
  }
  return block;
}

void freeWork(void* block) {
  if (block == nullptr) return;
  if constexpr (hooks::kEnabled) hooks::countBlock(false, -1);
  std::free(block);
}

FileHandle openFile(const WChar* path, FileAccess access, FileDisposition disposition) {
  try {
    if constexpr (hooks::kEnabled) {
      if (hooks::openFails(path)) return kInvalidFile;
    }
    int flags = O_CLOEXEC | O_NOFOLLOW | (access == FileAccess::kRead ? O_RDONLY : O_WRONLY);
    switch (disposition) {
      case FileDisposition::kCreateNew: flags |= O_CREAT | O_EXCL; break;
      case FileDisposition::kCreateAlways: flags |= O_CREAT; break;  // emptied below, once checked
      case FileDisposition::kOpenAlways: flags |= O_CREAT; break;
    }
    int fd = ::open(utf8Path(path).c_str(), flags, 0600);
    if (fd < 0) return kInvalidFile;
    struct stat st {};
    // Only our own plain file with one name: in a shared spool folder a
    // planted link or another user's file must not be written or emptied.
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_uid != geteuid() || st.st_nlink != 1 ||
        (disposition == FileDisposition::kCreateAlways && ::ftruncate(fd, 0) != 0)) {
      ::close(fd);
      return kInvalidFile;
    }
    if constexpr (hooks::kEnabled) hooks::countOpenFile(1);
    return fd;
  } catch (...) {
    return kInvalidFile;  // see kNoThrow
  }
}

// The effective user of the process owns every file; nothing is kept.
void renewFileOwner() {}

bool readFile(FileHandle file, void* buffer, std::uint32_t length, std::uint32_t* transferred) {
  *transferred = 0;
  if (file == kInvalidFile) return false;
  if constexpr (hooks::kEnabled) {
    if (hooks::fileOperationFails()) return false;
  }
  std::uint32_t done = 0;
  auto* bytes = static_cast<unsigned char*>(buffer);
  while (done < length) {
    ssize_t n = ::read(static_cast<int>(file), bytes + done, length - done);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return false;
    if (n == 0) break;
    done += static_cast<std::uint32_t>(n);
  }
  *transferred = done;
  return true;
}

bool writeFile(FileHandle file, const void* buffer, std::uint32_t length, std::uint32_t* transferred) {
  *transferred = 0;
  if (file == kInvalidFile) return false;
  if constexpr (hooks::kEnabled) {
    if (hooks::fileOperationFails()) return false;
  }
  std::uint32_t done = 0;
  const auto* bytes = static_cast<const unsigned char*>(buffer);
  while (done < length) {
    ssize_t n = ::write(static_cast<int>(file), bytes + done, length - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      *transferred = done;
      return false;
    }
    done += static_cast<std::uint32_t>(n);
  }
  *transferred = done;
  return true;
}

bool seekToEnd(FileHandle file) {
  if (file == kInvalidFile) return false;
  if constexpr (hooks::kEnabled) {
    if (hooks::fileOperationFails()) return false;
  }
  return ::lseek(static_cast<int>(file), 0, SEEK_END) >= 0;
}

void closeFile(FileHandle file) {
  if (file == kInvalidFile) return;
  if constexpr (hooks::kEnabled) hooks::countOpenFile(-1);
  ::close(static_cast<int>(file));
}

bool deleteFile(const WChar* path) {
  try {
    if constexpr (hooks::kEnabled) {
      if (hooks::fileOperationFails() || hooks::pathFails(path)) return false;
    }
    return ::unlink(utf8Path(path).c_str()) == 0;
  } catch (...) {
    return false;
  }
}

bool moveFile(const WChar* from, const WChar* to) {
  try {
    if constexpr (hooks::kEnabled) {
      if (hooks::fileOperationFails() || hooks::pathFails(from) || hooks::pathFails(to)) return false;
    }
    std::string src = utf8Path(from), dst = utf8Path(to);
    // link + unlink refuses an existing target, as MoveFileW does.
    if (::link(src.c_str(), dst.c_str()) != 0) return false;
    ::unlink(src.c_str());
    return true;
  } catch (...) {
    return false;
  }
}

bool commonDocumentsFolder(WChar* path) {
  try {
    path[0] = 0;
    std::string folder = documentsFolderUtf8();
    const char* env = std::getenv(kDocumentsEnv);
    bool configured = env != nullptr && *env != '\0';
    if constexpr (hooks::kEnabled) configured = configured || !hooks::documentsFolderOverride().empty();
    if (!configured && !ensurePrivateFolder(folder)) return false;
    WString wide = fromUtf8(folder);
    if (wide.size() >= kMaxPath) return false;
    std::copy(wide.begin(), wide.end(), path);
    path[wide.size()] = 0;
    return true;
  } catch (...) {
    path[0] = 0;
    return false;
  }
}

std::uint32_t profileInt(const WChar* section, const WChar* key, std::int32_t defaultValue,
                         const WChar* file) {
  try {
    auto fallback = static_cast<std::uint32_t>(defaultValue);
    std::string text;
    if (!readSmallFile(profileFilePath(profileFolderUtf8(), utf8Path(file)), &text)) return fallback;
    std::string wantSection = utf8Text(section), wantKey = utf8Text(key);
    bool inSection = false;
    for (std::size_t start = 0; start < text.size();) {
      std::size_t end = text.find('\n', start);
      if (end == std::string::npos) end = text.size();
      std::string t = trim(text.substr(start, end - start));
      start = end + 1;
      if (t.empty() || t[0] == ';' || t[0] == '#') continue;
      if (t[0] == '[') {
        std::size_t close = t.find(']');
        inSection = close != std::string::npos && equalsIgnoringCase(trim(t.substr(1, close - 1)), wantSection);
        continue;
      }
      if (!inSection) continue;
      std::size_t eq = t.find('=');
      if (eq == std::string::npos || !equalsIgnoringCase(trim(t.substr(0, eq)), wantKey)) continue;
      std::string value = trim(t.substr(eq + 1));
      if (value.empty()) return fallback;
      return parseProfileNumber(value);
    }
    return fallback;
  } catch (...) {
    return static_cast<std::uint32_t>(defaultValue);
  }
}

bool keepSystemAwake() {
  if constexpr (hooks::kEnabled) return !hooks::keepAwakeFails();
  return true;
}

void debugText(const WChar* text) {
  try {
    if constexpr (hooks::kEnabled) hooks::recordDebugText(text);
    if (const char* env = std::getenv(kDebugEnv); env != nullptr && *env == '1') {
      std::string utf8 = utf8Text(text);
      std::fwrite(utf8.data(), 1, utf8.size(), stderr);
    }
  } catch (...) {
    return;  // a debug text is not worth failing a job for
  }
}

void setLastError(std::uint32_t code) { threadLastError = code; }
std::uint32_t lastError() { return threadLastError; }

std::int32_t atomicIncrement(volatile std::int32_t* value) {
  return __atomic_add_fetch(value, 1, __ATOMIC_SEQ_CST);
}

std::int32_t atomicDecrement(volatile std::int32_t* value) {
  return __atomic_sub_fetch(value, 1, __ATOMIC_SEQ_CST);
}

}  // namespace platform
