// socket://HOST[:PORT] (port 9100 by default): a network receipt printer's
// raw port, as the app drives it. PAPPL 1.3's own socket device counts a
// job done once its bytes are in the kernel's buffers, and knows no way to
// come back after the printer went away; this one replaces it (the scheme
// is registered before PAPPL's, which then keeps its other schemes).
//
// One connection per job: the job runner (app/job_runner.h) connects when
// the job starts (retrying with a back-off while the printer cannot be
// reached), writes the job's command groups, then drains: the job is the
// printer's only when its TCP stack has acknowledged every byte (the
// socket's send queue, SIOCOUTQ, is empty); then an orderly shutdown.
// A printer that reads nothing keeps the job waiting, however long.
// Every wait polls in short steps and ends as soon as the caller's watch
// says stop (a cancel, the server stopping).
//
// PAPPL's own device calls (papplDeviceWrite, ...) work too, connecting
// when first written to; they wait without a watch.
#ifndef QMX_APP_SOCKET_DEVICE_H_
#define QMX_APP_SOCKET_DEVICE_H_

#include <pappl/pappl.h>

#include <cstddef>
#include <cstdint>
#include <string>

namespace app {

inline constexpr const char* kSocketScheme = "socket";
inline constexpr int kRawPrinterPort = 9100;

// What the link tells the one waiting on it, and asks it.
class LinkWatch {
 public:
  virtual ~LinkWatch() = default;
  // Polled every step of every wait: true ends the wait.
  virtual bool shouldStop() = 0;
  // The printer cannot be reached: `why` says what went wrong, `retryInMs`
  // when the next try is.
  virtual void unreachable(const std::string& why, int retryInMs) = 0;
  // The printer has taken nothing for `stalledMs` (reported once a second
  // or so while it lasts), with `queued` bytes still on their way to it.
  virtual void stalled(long long stalledMs, std::size_t queued) = 0;
  // The printer takes bytes again, or was reached.
  virtual void flowing() = 0;
};

class SocketLink {
 public:
  enum class Result {
    kDone,     // connected, written, drained
    kStopped,  // the watch said stop
    kLost,     // the connection failed; connect() again to go on
  };

  // `host` and `port` as the URI names them.
  SocketLink(std::string host, int port);
  ~SocketLink();
  SocketLink(const SocketLink&) = delete;
  SocketLink& operator=(const SocketLink&) = delete;

  // Connects, trying again with a growing pause (up to kLongestRetryMs)
  // while the printer cannot be reached. kDone or kStopped.
  Result connect(LinkWatch& watch);
  // Writes every byte, waiting while the printer takes none.
  Result write(const std::uint8_t* bytes, std::size_t length, LinkWatch& watch);
  // Waits until the printer has acknowledged every byte written, then
  // shuts the connection down in order and closes it.
  Result finish(LinkWatch& watch);
  // Closes at once, whatever is still queued.
  void abandon();

  bool connected() const { return fd_ >= 0; }
  // Bytes of this connection the printer's TCP stack has acknowledged.
  std::uint64_t acknowledged() const;
  const std::string& address() const { return address_; }  // host:port

  static constexpr int kLongestRetryMs = 30000;

 private:
  bool tryConnect(std::string* why);
  std::size_t queuedBytes() const;

  std::string host_;
  int port_;
  std::string address_;
  int fd_ = -1;
  std::uint64_t written_ = 0;  // bytes handed to this connection
};

// Registers the scheme with PAPPL, before any of PAPPL's own; once, before
// the server starts.
void addSocketDeviceScheme();

// The link of a device opened on socket://, else null (another scheme).
SocketLink* socketLinkOf(pappl_device_t* device, const char* deviceUri);

// Reads socket://HOST[:PORT][/...] into host and port; false when `uri`
// is not one (a missing host, a port out of range).
bool parseSocketUri(const char* uri, std::string* host, int* port);

}  // namespace app

#endif  // QMX_APP_SOCKET_DEVICE_H_
