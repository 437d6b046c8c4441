#include "app/local_socket.h"

#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace app {
namespace {

constexpr const char* kRootSocketFolder = "/run";  // where PAPPL 1.3 puts a root server's socket
constexpr const char* kInnerName = "/socket";
constexpr mode_t kOwnerOnly = 0600;
constexpr mode_t kOwnerAndGroup = 0660;

// The socket this process made, so that it removes its own only.
struct MadeSocket {
  bool made = false;
  dev_t dev = 0;
  ino_t ino = 0;
};

MadeSocket& madeSocket() {
  static MadeSocket socket;
  return socket;
}

std::string errorText(const std::string& what) { return what + ": " + std::strerror(errno); }

std::string parentOf(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

std::string nameOf(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

bool fitsSocketAddress(const std::string& path) { return path.size() < sizeof(sockaddr_un{}.sun_path); }

bool serverAnswers(const std::string& path) {
  const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return false;
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
  const bool answers = connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
  close(fd);
  return answers;
}

// Nothing at `path`, or a socket no server answers on any more.
bool pathFree(const std::string& path, std::string* why) {
  struct stat st {};
  if (lstat(path.c_str(), &st) != 0) {
    if (errno == ENOENT) return true;
    *why = errorText("cannot look at " + path);
    return false;
  }
  if (S_ISLNK(st.st_mode)) {
    *why = path + " is a link (to a service's socket?); is that server running?";
  } else if (!S_ISSOCK(st.st_mode)) {
    *why = path + " exists and is not a socket";
  } else if (serverAnswers(path)) {
    *why = "a server already listens on " + path;
  } else {
    return true;
  }
  return false;
}

// Root gives the socket to the admin group. Any other user cannot, but a
// socket bound in a set-group-ID folder of the admin group (the service's
// runtime folder) is that group's already: it is shared with the group too.
bool narrow(const std::string& socket, gid_t group, std::string* why) {
  const bool hasGroup = group != static_cast<gid_t>(-1);
  bool withGroup = hasGroup && geteuid() == 0;
  if (withGroup && chown(socket.c_str(), static_cast<uid_t>(-1), group) != 0) {
    *why = errorText("cannot give the local socket to its group");
    return false;
  }
  struct stat st {};
  if (hasGroup && !withGroup && lstat(socket.c_str(), &st) == 0 && st.st_gid == group) withGroup = true;
  if (chmod(socket.c_str(), withGroup ? kOwnerAndGroup : kOwnerOnly) != 0) {
    *why = errorText("cannot narrow the local socket");
    return false;
  }
  return true;
}

void remember(const std::string& path) {
  struct stat st {};
  if (lstat(path.c_str(), &st) != 0) return;
  madeSocket() = {true, st.st_dev, st.st_ino};
}

}  // namespace

std::string defaultLocalSocket(const std::string& program, uid_t uid) {
  if (uid == 0) return std::string(kRootSocketFolder) + "/" + program + ".sock";
  return std::string(papplGetTempDir()) + "/" + program + std::to_string(uid) + ".sock";
}

bool addLocalListener(pappl_system_t* system, const std::string& path, gid_t group, std::string* why) {
  if (path.empty() || path[0] != '/' || !fitsSocketAddress(path)) {
    *why = "unusable local socket path '" + path + "'";
    return false;
  }
  if (!pathFree(path, why)) return false;
  // Bound where only this user can reach it: libcups leaves it anyone's.
  std::string folderTemplate = parentOf(path) + "/." + nameOf(path) + ".XXXXXX";
  if (!fitsSocketAddress(folderTemplate + kInnerName)) {
    *why = "local socket path '" + path + "' is too long";
    return false;
  }
  std::vector<char> folder(folderTemplate.begin(), folderTemplate.end());
  folder.push_back('\0');
  if (mkdtemp(folder.data()) == nullptr) {
    *why = errorText("cannot make a folder beside " + path);
    return false;
  }
  const std::string inner = std::string(folder.data()) + kInnerName;
  bool ok = papplSystemAddListeners(system, inner.c_str());
  if (!ok) *why = "cannot listen on " + path;
  ok = ok && narrow(inner, group, why);
  if (ok && rename(inner.c_str(), path.c_str()) != 0) {
    *why = errorText("cannot move the local socket to " + path);
    ok = false;
  }
  if (!ok) unlink(inner.c_str());
  rmdir(folder.data());
  if (ok) remember(path);
  return ok;
}

void removeLocalSocket(const std::string& path) {
  const MadeSocket& made = madeSocket();
  struct stat st {};
  if (!made.made || lstat(path.c_str(), &st) != 0) return;
  if (S_ISSOCK(st.st_mode) && st.st_dev == made.dev && st.st_ino == made.ino) unlink(path.c_str());
}

}  // namespace app
