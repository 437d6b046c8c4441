#include "app/socket_device.h"

#include <fcntl.h>
#include <linux/sockios.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <new>
#include <utility>

#include "app/pappl_seams.h"
#include "app/steady_clock.h"

namespace app {
namespace {

constexpr int kStepMs = 100;               // every wait polls the watch this often
constexpr int kConnectTimeoutMs = 10000;   // a connection attempt that takes longer failed
constexpr int kFirstRetryMs = 1000;
constexpr int kStalledReportMs = 1000;
constexpr int kShutdownWaitMs = 2000;      // for the printer to close its side after ours
// A printer that vanishes without a word while the connection is idle
// is noticed within about a minute.
constexpr int kKeepIdleSeconds = 30;
constexpr int kKeepIntervalSeconds = 5;
constexpr int kKeepCount = 6;

// A watch that never stops and reports nothing: PAPPL's own device calls.
class PatientWatch final : public LinkWatch {
 public:
  bool shouldStop() override { return false; }
  void unreachable(const std::string&, int) override {}
  void stalled(long long, std::size_t) override {}
  void flowing() override {}
};

void setKeepAlive(int fd) {
  const int on = 1, idle = kKeepIdleSeconds, interval = kKeepIntervalSeconds, count = kKeepCount;
  setsockopt(fd, SOL_SOCKET, SO_KEEPALIVE, &on, sizeof on);
  setsockopt(fd, IPPROTO_TCP, TCP_KEEPIDLE, &idle, sizeof idle);
  setsockopt(fd, IPPROTO_TCP, TCP_KEEPINTVL, &interval, sizeof interval);
  setsockopt(fd, IPPROTO_TCP, TCP_KEEPCNT, &count, sizeof count);
}

// One non-blocking connect to `address`, waited for up to kConnectTimeoutMs.
int connectTo(const addrinfo& address, std::string* why) {
  const int fd = socket(address.ai_family, address.ai_socktype | SOCK_CLOEXEC | SOCK_NONBLOCK, address.ai_protocol);
  if (fd < 0) {
    *why = std::strerror(errno);
    return -1;
  }
  if (::connect(fd, address.ai_addr, address.ai_addrlen) != 0 && errno != EINPROGRESS) {
    *why = std::strerror(errno);
    close(fd);
    return -1;
  }
  pollfd p{fd, POLLOUT, 0};
  int ready = 0;
  do {
    ready = poll(&p, 1, kConnectTimeoutMs);
  } while (ready < 0 && errno == EINTR);
  int error = 0;
  socklen_t length = sizeof error;
  if (ready <= 0) {
    error = ETIMEDOUT;
  } else if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) != 0) {
    error = errno;
  }
  if (error != 0) {
    *why = std::strerror(error);
    close(fd);
    return -1;
  }
  setKeepAlive(fd);
  return fd;
}

// Whether the connection is still up (the printer may have closed its own
// side after reading everything).
bool stillConnected(int fd) {
  tcp_info info{};
  socklen_t size = sizeof info;
  if (getsockopt(fd, IPPROTO_TCP, TCP_INFO, &info, &size) != 0) return false;
  return info.tcpi_state == TCP_ESTABLISHED || info.tcpi_state == TCP_CLOSE_WAIT;
}

// ---- PAPPL's device callbacks -------------------------------------------------

bool openDevice(pappl_device_t* device, const char* uri, const char* /*name*/) {
  try {
    std::string host;
    int port = 0;
    if (!parseSocketUri(uri, &host, &port)) {
      papplDeviceError(device, "Bad socket URI '%s'.", uri);
      return false;
    }
    papplDeviceSetData(device, new SocketLink(std::move(host), port));
    return true;
  } catch (...) {
    return false;
  }
}

void closeDevice(pappl_device_t* device) { delete static_cast<SocketLink*>(papplDeviceGetData(device)); }

ssize_t readDevice(pappl_device_t* /*device*/, void* /*buffer*/, std::size_t /*bytes*/) {
  return 0;  // the printer's raw port says nothing back
}

ssize_t writeDevice(pappl_device_t* device, const void* buffer, std::size_t bytes) {
  auto* link = static_cast<SocketLink*>(papplDeviceGetData(device));
  if (link == nullptr) return -1;
  try {
    PatientWatch watch;
    if (!link->connected() && link->connect(watch) != SocketLink::Result::kDone) return -1;
    if (link->write(static_cast<const std::uint8_t*>(buffer), bytes, watch) != SocketLink::Result::kDone) {
      link->abandon();
      return -1;
    }
    return static_cast<ssize_t>(bytes);
  } catch (...) {
    return -1;
  }
}

pappl_preason_t deviceStatus(pappl_device_t* /*device*/) { return PAPPL_PREASON_NONE; }

}  // namespace

bool parseSocketUri(const char* uri, std::string* host, int* port) {
  if (uri == nullptr) return false;
  char scheme[32], userpass[256], hostname[256], resource[1024];
  int number = 0;
  if (httpSeparateURI(HTTP_URI_CODING_ALL, uri, scheme, sizeof scheme, userpass, sizeof userpass, hostname,
                      sizeof hostname, &number, resource, sizeof resource) < HTTP_URI_STATUS_OK) {
    return false;
  }
  if (std::strcmp(scheme, kSocketScheme) != 0 || hostname[0] == '\0') return false;
  if (number == 0) number = kRawPrinterPort;
  if (number < 1 || number > 65535) return false;
  *host = hostname;
  *port = number;
  return true;
}

SocketLink::SocketLink(std::string host, int port)
    : host_(std::move(host)), port_(port), address_(host_ + ":" + std::to_string(port_)) {}

SocketLink::~SocketLink() { abandon(); }

bool SocketLink::tryConnect(std::string* why) {
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  const std::string service = std::to_string(port_);
  const int status = getaddrinfo(host_.c_str(), service.c_str(), &hints, &found);
  if (status != 0) {
    *why = gai_strerror(status);
    return false;
  }
  for (const addrinfo* a = found; a != nullptr && fd_ < 0; a = a->ai_next) fd_ = connectTo(*a, why);
  freeaddrinfo(found);
  return fd_ >= 0;
}

SocketLink::Result SocketLink::connect(LinkWatch& watch) {
  abandon();
  int pauseMs = kFirstRetryMs;
  for (;;) {
    if (watch.shouldStop()) return Result::kStopped;
    std::string why;
    if (tryConnect(&why)) {
      watch.flowing();
      return Result::kDone;
    }
    watch.unreachable(why, pauseMs);
    for (const long long until = steadyNowMs() + pauseMs; steadyNowMs() < until;) {
      if (watch.shouldStop()) return Result::kStopped;
      usleep(kStepMs * 1000);
    }
    pauseMs = std::min(pauseMs * 2, kLongestRetryMs);
  }
}

std::size_t SocketLink::queuedBytes() const {
  int queued = 0;
  if (fd_ < 0 || ioctl(fd_, SIOCOUTQ, &queued) != 0 || queued < 0) return 0;
  return static_cast<std::size_t>(queued);
}

SocketLink::Result SocketLink::write(const std::uint8_t* bytes, std::size_t length, LinkWatch& watch) {
  if (fd_ < 0) return Result::kLost;
  long long lastProgress = steadyNowMs(), lastReport = 0;
  while (length > 0) {
    if (watch.shouldStop()) return Result::kStopped;
    const ssize_t n = send(fd_, bytes, length, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n > 0) {
      written_ += static_cast<std::uint64_t>(n);
      bytes += n;
      length -= static_cast<std::size_t>(n);
      if (lastReport != 0) watch.flowing();
      lastProgress = steadyNowMs();
      lastReport = 0;
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) return Result::kLost;
    pollfd p{fd_, POLLOUT, 0};
    if (poll(&p, 1, kStepMs) < 0 && errno != EINTR) return Result::kLost;
    if ((p.revents & (POLLERR | POLLHUP)) != 0) return Result::kLost;
    const long long now = steadyNowMs();
    if (now - lastProgress >= kStalledReportMs && now - lastReport >= kStalledReportMs) {
      watch.stalled(now - lastProgress, queuedBytes() + length);
      lastReport = now;
    }
  }
  return Result::kDone;
}

SocketLink::Result SocketLink::finish(LinkWatch& watch) {
  if (fd_ < 0) return Result::kLost;
  std::size_t queued = queuedBytes();
  long long lastProgress = steadyNowMs(), lastReport = 0;
  while (queued > 0) {
    if (watch.shouldStop()) return Result::kStopped;
    int error = 0;
    socklen_t size = sizeof error;
    if (getsockopt(fd_, SOL_SOCKET, SO_ERROR, &error, &size) == 0 && error != 0) return Result::kLost;
    usleep(kStepMs * 1000 / 2);
    const std::size_t now = queuedBytes();
    const long long at = steadyNowMs();
    if (now < queued) {
      if (lastReport != 0) watch.flowing();
      lastProgress = at;
      lastReport = 0;
    } else if (at - lastProgress >= kStalledReportMs && at - lastReport >= kStalledReportMs) {
      watch.stalled(at - lastProgress, now);
      lastReport = at;
    }
    queued = now;
  }
  // An empty queue after a reset is no acknowledgement: the kernel drops
  // what it held.
  if (!stillConnected(fd_)) return Result::kLost;
  // Every byte is acknowledged: ours is the first FIN, and the printer's
  // own end of the connection is waited for briefly before closing.
  shutdown(fd_, SHUT_WR);
  for (const long long until = steadyNowMs() + kShutdownWaitMs; steadyNowMs() < until;) {
    pollfd p{fd_, POLLIN, 0};
    if (poll(&p, 1, kStepMs) > 0) {
      char sink[512];
      if (recv(fd_, sink, sizeof sink, MSG_DONTWAIT) <= 0) break;
    }
  }
  abandon();
  return Result::kDone;
}

void SocketLink::abandon() {
  if (fd_ >= 0) close(fd_);
  fd_ = -1;
  written_ = 0;
}

std::uint64_t SocketLink::acknowledged() const {
  const std::size_t queued = queuedBytes();
  return written_ > queued ? written_ - queued : 0;
}

void addSocketDeviceScheme() {
  papplDeviceAddScheme(kSocketScheme, PAPPL_DEVTYPE_SOCKET, nullptr, openDevice, closeDevice, readDevice, writeDevice,
                       deviceStatus, nullptr);
  // PAPPL adds its own schemes only while it knows none: after this one,
  // they are added here, their socket (a duplicate now) left out.
  pappl::addOwnDeviceSchemes();
}

SocketLink* socketLinkOf(pappl_device_t* device, const char* deviceUri) {
  if (device == nullptr || deviceUri == nullptr) return nullptr;
  const std::string prefix = std::string(kSocketScheme) + "://";
  if (std::strncmp(deviceUri, prefix.c_str(), prefix.size()) != 0) return nullptr;
  return static_cast<SocketLink*>(papplDeviceGetData(device));
}

}  // namespace app
