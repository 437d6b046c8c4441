#include "app/file_device.h"

#include <fcntl.h>
#include <pappl/pappl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <set>
#include <string>

namespace app {
namespace {

constexpr int kMaxJobFiles = 999999;
constexpr mode_t kFileMode = 0644;

// A folder device opens its job file at the first write of a job and
// closes it when the driver says the job has ended: PAPPL keeps a device
// open across the jobs it has queued, so open and close do not mark jobs.
struct FileDevice {
  int fd = -1;
  std::string folder;  // empty: a file or character device, kept open
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

bool isDirectory(const std::string& path) {
  struct stat st {};
  return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// A new file in `dir` for one job; never one that exists.
int openJobFile(const std::string& dir) {
  for (int n = 1; n <= kMaxJobFiles; ++n) {
    char name[32];
    std::snprintf(name, sizeof name, "/job-%06d.prn", n);
    int fd = open((dir + name).c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, kFileMode);
    if (fd >= 0 || errno != EEXIST) return fd;
  }
  errno = EEXIST;
  return -1;
}

// A file that is not a link: appended to, created when missing; or a
// character device (a printer port).
int openOutput(const std::string& path) {
  int fd = open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_NOFOLLOW | O_CLOEXEC, kFileMode);
  if (fd < 0) return -1;
  struct stat st {};
  if (fstat(fd, &st) != 0 || !(S_ISREG(st.st_mode) || S_ISCHR(st.st_mode))) {
    close(fd);
    errno = EINVAL;
    return -1;
  }
  return fd;
}

bool openDevice(pappl_device_t* device, const char* uri, const char* /*name*/) {
  std::string why;
  const std::string path = filePathOf(uri, &why);
  if (path.empty()) {
    papplDeviceError(device, "%s", why.c_str());
    return false;
  }
  auto file = std::make_unique<FileDevice>();
  if (isDirectory(path)) {
    if (access(path.c_str(), W_OK) != 0) {
      papplDeviceError(device, "Unable to write into '%s': %s", path.c_str(), std::strerror(errno));
      return false;
    }
    file->folder = path;
  } else {
    file->fd = openOutput(path);
    if (file->fd < 0) {
      papplDeviceError(device, "Unable to open '%s': %s", path.c_str(), std::strerror(errno));
      return false;
    }
  }
  remember(file.get());
  papplDeviceSetData(device, file.release());
  return true;
}

void closeDevice(pappl_device_t* device) {
  FileDevice* file = ours(device);
  if (file == nullptr) return;
  forget(file);
  if (file->fd >= 0) close(file->fd);
  delete file;
  papplDeviceSetData(device, nullptr);
}

ssize_t readDevice(pappl_device_t* /*device*/, void* /*buffer*/, size_t /*bytes*/) { return 0; }

ssize_t writeDevice(pappl_device_t* device, const void* buffer, size_t bytes) {
  FileDevice* file = ours(device);
  if (file == nullptr) return -1;
  if (file->fd < 0 && !file->folder.empty()) {
    file->fd = openJobFile(file->folder);
    if (file->fd < 0) {
      papplDeviceError(device, "Unable to open a job file in '%s': %s", file->folder.c_str(), std::strerror(errno));
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

}  // namespace

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
  if (path.find("/../") != std::string::npos || path.size() < 2 ||
      path.find_first_of("?#%") != std::string::npos) {
    *why = "Unusable file device path '" + path + "'.";
    return "";
  }
  if (path.size() > 1 && path.back() == '/') path.pop_back();
  return path;
}

void endFileDeviceJob(pappl_device_t* device) {
  FileDevice* file = ours(device);
  if (file == nullptr || file->folder.empty() || file->fd < 0) return;
  close(file->fd);
  file->fd = -1;
}

void addFileDeviceScheme() {
  // PAPPL adds its own schemes (usb, socket, snmp, dnssd, file) only to an
  // empty list, the first time it looks one up: let it do so first.
  papplDeviceIsSupported("socket://localhost:9100");
  papplDeviceAddScheme(kFileScheme, PAPPL_DEVTYPE_FILE, nullptr, openDevice, closeDevice, readDevice, writeDevice,
                       deviceStatus, nullptr);
}

}  // namespace app
