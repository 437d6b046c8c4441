#include "app/file_device.h"

#include <fcntl.h>
#include <pappl/pappl.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

namespace app {
namespace {

constexpr int kMaxJobFiles = 999999;
constexpr mode_t kFileMode = 0600;  // receipts are the server's user's alone
constexpr const char* kPapplFileScheme = "file";
constexpr const char* kPapplProbeUri = "socket://localhost";  // any scheme of PAPPL's own but file:
constexpr int kFolderFlags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;
constexpr int kNewFileFlags = O_WRONLY | O_APPEND | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC;
// O_NONBLOCK: should a FIFO take a file's place after it was looked at,
// opening it does not wait for a reader (it is refused once open).
constexpr int kExistingFileFlags = O_WRONLY | O_APPEND | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC;

// Set before the server starts; only read afterwards.
std::string& deviceFolder() {
  static std::string folder;
  return folder;
}

// Closes a descriptor when it goes, keeping errno.
class Fd {
 public:
  explicit Fd(int fd = -1) : fd_(fd) {}
  ~Fd() { reset(); }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  int get() const { return fd_; }
  int release() {
    const int fd = fd_;
    fd_ = -1;
    return fd;
  }
  void reset(int fd = -1) {
    if (fd_ >= 0) {
      const int saved = errno;
      close(fd_);
      errno = saved;
    }
    fd_ = fd;
  }

 private:
  int fd_;
};

// A folder device opens its job file at the first write of a job and
// closes it when the driver says the job has ended: PAPPL keeps a device
// open across the jobs it has queued, so open and close do not mark jobs.
struct FileDevice {
  int fd = -1;        // the file, or a folder device's file of the current job
  int folderFd = -1;  // a folder device's folder; -1 for a file
};

// The devices of this scheme that are open, so that a device handed in by
// the driver is known to be one of ours before its data is looked at.
std::mutex openDevicesLock;
std::set<const FileDevice*> openDevices;

void remember(const FileDevice* file) {
  std::lock_guard<std::mutex> hold(openDevicesLock);
  openDevices.insert(file);
}

void forget(const FileDevice* file) {
  std::lock_guard<std::mutex> hold(openDevicesLock);
  openDevices.erase(file);
}

FileDevice* ours(pappl_device_t* device) {
  auto* file = static_cast<FileDevice*>(papplDeviceGetData(device));
  std::lock_guard<std::mutex> hold(openDevicesLock);
  return openDevices.count(file) != 0 ? file : nullptr;
}

// The names between slashes; false for an empty name, "." or "..".
bool splitPath(const std::string& text, std::vector<std::string>* parts) {
  std::size_t at = 0;
  while (at < text.size()) {
    std::size_t slash = text.find('/', at);
    if (slash == std::string::npos) slash = text.size();
    const std::string part = text.substr(at, slash - at);
    if (part.empty() || part == "." || part == "..") return false;
    parts->push_back(part);
    at = slash + 1;
  }
  return true;
}

// The names of `path` below the folder: none for the folder itself.
bool partsBelowFolder(const std::string& path, std::vector<std::string>* parts, std::string* why) {
  const std::string& folder = deviceFolder();
  if (folder.empty()) {
    *why = "Printing into files is off: the server names no file-device-folder.";
    return false;
  }
  if (path == folder) return true;
  const std::string prefix = folder + "/";
  if (path.compare(0, prefix.size(), prefix) != 0 || !splitPath(path.substr(prefix.size()), parts)) {
    *why = "'" + path + "' is not inside the file-device folder '" + folder + "'.";
    return false;
  }
  return true;
}

// The folder holding the last of `parts`, reached without following a
// link below the file-device folder.
int openParent(const std::vector<std::string>& parts) {
  Fd dir(open(deviceFolder().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  for (std::size_t i = 0; i + 1 < parts.size() && dir.get() >= 0; ++i) {
    dir.reset(openat(dir.get(), parts[i].c_str(), kFolderFlags));
  }
  return dir.release();
}

// A file that was there: appended to when it is a plain file of this
// user's with no other name (no hard link to someone else's file).
int openExistingFile(int parent, const char* name, const struct stat& seen) {
  Fd fd(openat(parent, name, kExistingFileFlags));
  if (fd.get() < 0) return -1;
  struct stat st {};
  if (fstat(fd.get(), &st) != 0) return -1;
  if (!S_ISREG(st.st_mode) || st.st_dev != seen.st_dev || st.st_ino != seen.st_ino || st.st_nlink != 1 ||
      st.st_uid != geteuid()) {
    errno = EPERM;
    return -1;
  }
  if (fcntl(fd.get(), F_SETFL, O_WRONLY | O_APPEND) != 0 || fchmod(fd.get(), kFileMode) != 0) return -1;
  return fd.release();
}

// Opens the device's folder or file inside the file-device folder.
bool openTarget(const std::vector<std::string>& parts, FileDevice* file) {
  if (parts.empty()) {
    file->folderFd = open(deviceFolder().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    return file->folderFd >= 0;
  }
  Fd parent(openParent(parts));
  if (parent.get() < 0) return false;
  const char* name = parts.back().c_str();
  struct stat st {};
  if (fstatat(parent.get(), name, &st, AT_SYMLINK_NOFOLLOW) != 0) {
    if (errno != ENOENT) return false;
    file->fd = openat(parent.get(), name, kNewFileFlags, kFileMode);
    return file->fd >= 0;
  }
  if (S_ISDIR(st.st_mode)) {
    file->folderFd = openat(parent.get(), name, kFolderFlags);
    return file->folderFd >= 0;
  }
  if (!S_ISREG(st.st_mode)) {
    errno = EPERM;  // a link, FIFO, socket or device node
    return false;
  }
  file->fd = openExistingFile(parent.get(), name, st);
  return file->fd >= 0;
}

// A new file in the folder for one job; never one that exists.
int openJobFile(int folderFd) {
  for (int n = 1; n <= kMaxJobFiles; ++n) {
    char name[32];
    std::snprintf(name, sizeof name, "job-%06d.prn", n);
    const int fd = openat(folderFd, name, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, kFileMode);
    if (fd >= 0 || errno != EEXIST) return fd;
  }
  errno = EEXIST;
  return -1;
}

void closeFile(FileDevice* file) {
  if (file->fd >= 0) close(file->fd);
  if (file->folderFd >= 0) close(file->folderFd);
  delete file;
}

bool openDevice(pappl_device_t* device, const char* uri, const char* /*name*/) {
  try {
    std::string why;
    const std::string path = filePathOf(uri, &why);
    std::vector<std::string> parts;
    if (path.empty() || !partsBelowFolder(path, &parts, &why)) {
      papplDeviceError(device, "%s", why.c_str());
      return false;
    }
    auto file = std::make_unique<FileDevice>();
    if (!openTarget(parts, file.get())) {
      papplDeviceError(device, "Unable to open '%s': %s", path.c_str(), std::strerror(errno));
      closeFile(file.release());
      return false;
    }
    remember(file.get());
    papplDeviceSetData(device, file.release());
    return true;
  } catch (...) {
    papplDeviceError(device, "Unable to open a file device: out of memory");
    return false;
  }
}

void closeDevice(pappl_device_t* device) {
  FileDevice* file = ours(device);
  if (file == nullptr) return;
  forget(file);
  closeFile(file);
  papplDeviceSetData(device, nullptr);
}

ssize_t readDevice(pappl_device_t* /*device*/, void* /*buffer*/, size_t /*bytes*/) { return 0; }

ssize_t writeDevice(pappl_device_t* device, const void* buffer, size_t bytes) {
  FileDevice* file = ours(device);
  if (file == nullptr) return -1;
  if (file->fd < 0 && file->folderFd >= 0) {
    file->fd = openJobFile(file->folderFd);
    if (file->fd < 0) {
      papplDeviceError(device, "Unable to open a job file: %s", std::strerror(errno));
      return -1;
    }
  }
  const auto* at = static_cast<const char*>(buffer);
  size_t left = bytes;
  while (left > 0) {
    const ssize_t n = write(file->fd, at, left);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      papplDeviceError(device, "Unable to write: %s", std::strerror(errno));
      return -1;
    }
    at += n;
    left -= static_cast<size_t>(n);
  }
  return static_cast<ssize_t>(bytes);
}

pappl_preason_t deviceStatus(pappl_device_t* /*device*/) { return PAPPL_PREASON_NONE; }

// The URI's scheme, as written, or "" when there is none.
std::string schemeOf(const std::string& uri) {
  const std::size_t colon = uri.find(':');
  if (colon == std::string::npos || colon == 0) return "";
  for (std::size_t i = 0; i < colon; ++i) {
    const char c = uri[i];
    const bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '+' ||
                    c == '-' || c == '.';
    if (!ok) return "";
  }
  return uri.substr(0, colon);
}

}  // namespace

bool setFileDeviceFolder(const std::string& folder, std::string* why) {
  if (folder.empty()) {
    deviceFolder().clear();
    return true;
  }
  std::string path = folder;
  while (path.size() > 1 && path.back() == '/') path.pop_back();
  std::vector<std::string> parts;
  struct stat st {};
  if (path.size() < 2 || path[0] != '/' || !splitPath(path.substr(1), &parts)) {
    *why = "file-device-folder must be an absolute path to a folder other than /, got '" + folder + "'";
    return false;
  }
  if (stat(path.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
    *why = "file-device-folder '" + folder + "' is not a folder";
    return false;
  }
  deviceFolder() = path;
  return true;
}

const std::string& fileDeviceFolder() { return deviceFolder(); }

bool deviceUriAllowed(const char* uri, std::string* why) {
  const std::string text = uri != nullptr ? uri : "";
  const std::string scheme = schemeOf(text);
  if (scheme.empty()) {
    *why = "'" + text + "' is not a device URI.";
    return false;
  }
  if (strcasecmp(scheme.c_str(), kPapplFileScheme) == 0) {
    *why = std::string(kPapplFileScheme) + ": devices are not offered; " + kFileScheme +
           ": writes into the file-device folder.";
    return false;
  }
  if (strcasecmp(scheme.c_str(), kFileScheme) != 0) return true;
  const std::string path = filePathOf(uri, why);
  std::vector<std::string> parts;
  return !path.empty() && partsBelowFolder(path, &parts, why);
}

std::string filePathOf(const char* uri, std::string* why) {
  const std::string kLocal = std::string(kFileScheme) + "://localhost/";
  const std::string kPlain = std::string(kFileScheme) + ":///";
  std::string text = uri != nullptr ? uri : "";
  std::string path;
  if (text.rfind(kPlain, 0) == 0) {
    path = text.substr(kPlain.size() - 1);
  } else if (text.rfind(kLocal, 0) == 0) {
    path = text.substr(kLocal.size() - 1);
  } else {
    *why = "A file device is " + kPlain + "PATH, got '" + text + "'.";
    return "";
  }
  if (path.size() < 2 || path.find_first_of("?#%") != std::string::npos) {
    *why = "Unusable file device path '" + path + "'.";
    return "";
  }
  if (path.back() == '/') path.pop_back();
  return path;
}

void endFileDeviceJob(pappl_device_t* device) {
  FileDevice* file = ours(device);
  if (file == nullptr || file->folderFd < 0 || file->fd < 0) return;
  close(file->fd);
  file->fd = -1;
}

void addFileDeviceScheme() {
  // PAPPL adds its own schemes (usb, socket, ...) when its device calls
  // are first used, and only while it knows none: not after this one.
  papplDeviceIsSupported(kPapplProbeUri);
  papplDeviceAddScheme(kFileScheme, PAPPL_DEVTYPE_FILE, nullptr, openDevice, closeDevice, readDevice, writeDevice,
                       deviceStatus, nullptr);
}

}  // namespace app
