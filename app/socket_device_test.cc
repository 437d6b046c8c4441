#include "app/socket_device.h"

#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

namespace {

// A printer's raw port on loopback that reads everything, reads nothing,
// or resets each connection once a little has arrived.
class Printer {
 public:
  enum class Mode { kReads, kReadsNothing, kResets };

  explicit Printer(Mode mode) : mode_(mode) {
    listener_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (mode == Mode::kReadsNothing) {
      const int small = 4096;  // the buffers a printer with its cover open fills
      setsockopt(listener_, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
    }
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address);
    socklen_t length = sizeof address;
    getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length);
    port_ = ntohs(address.sin_port);
    listen(listener_, 4);
    thread_ = std::thread([this] { serve(); });
  }
  ~Printer() {
    shutdown(listener_, SHUT_RDWR);
    close(listener_);
    thread_.join();
    for (int fd : held_) close(fd);
  }

  int port() const { return port_; }
  std::size_t received() const { return received_; }
  bool sawEnd() const { return sawEnd_; }

 private:
  void serve() {
    const int fd = accept(listener_, nullptr, nullptr);
    if (fd < 0) return;
    if (mode_ == Mode::kReadsNothing) {
      held_.push_back(fd);
      return;
    }
    char buffer[65536];
    for (;;) {
      const ssize_t n = recv(fd, buffer, sizeof buffer, 0);
      if (n <= 0) {
        sawEnd_ = n == 0;
        break;
      }
      received_ += static_cast<std::size_t>(n);
      if (mode_ == Mode::kResets && received_ > 1000) {
        const linger reset{1, 0};
        setsockopt(fd, SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
        break;
      }
    }
    close(fd);
  }

  Mode mode_;
  int listener_ = -1;
  int port_ = 0;
  std::thread thread_;
  std::vector<int> held_;
  std::atomic<std::size_t> received_{0};
  std::atomic<bool> sawEnd_{false};
};

// Stops the link's waits after `stopAfterMs`, and notes what it was told.
class Watch final : public app::LinkWatch {
 public:
  explicit Watch(int stopAfterMs) : until_(std::chrono::steady_clock::now() + std::chrono::milliseconds(stopAfterMs)) {}
  bool shouldStop() override { return std::chrono::steady_clock::now() >= until_; }
  void unreachable(const std::string& why, int) override { unreachable_ = why; }
  void stalled(long long, std::size_t queued) override { stalledWith_ = queued; }
  void flowing() override {}

  std::string unreachable_;
  std::size_t stalledWith_ = 0;

 private:
  std::chrono::steady_clock::time_point until_;
};

using Result = app::SocketLink::Result;

TEST(SocketLinkTest, DoneOnlyWhenThePrinterHasEveryByte) {
  const std::vector<std::uint8_t> job(16 << 20, 0x55);  // far more than the kernel's buffers hold
  struct Case {
    const char* name;
    Printer::Mode mode;
    Result written, finished;
  };
  const Case cases[] = {
      {"a printer that reads", Printer::Mode::kReads, Result::kDone, Result::kDone},
      {"a printer that reads nothing", Printer::Mode::kReadsNothing, Result::kStopped, Result::kStopped},
      {"a printer that goes away", Printer::Mode::kResets, Result::kLost, Result::kLost},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Printer printer(c.mode);
    app::SocketLink link("127.0.0.1", printer.port());
    Watch watch(2500);
    ASSERT_EQ(link.connect(watch), Result::kDone);
    EXPECT_EQ(link.write(job.data(), job.size(), watch), c.written);
    if (c.written == Result::kDone) {
      EXPECT_EQ(link.finish(watch), c.finished);
    }
    if (c.mode == Printer::Mode::kReads) {
      EXPECT_EQ(printer.received(), job.size());
      for (int i = 0; i < 100 && !printer.sawEnd(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
      EXPECT_TRUE(printer.sawEnd()) << "the connection ends in order";
    }
    if (c.mode == Printer::Mode::kReadsNothing) {
      EXPECT_GT(watch.stalledWith_, 0u) << "the stall was reported";
    }
  }
}

// A job small enough for the printer's buffers is done once its stack
// acknowledged it; a stalled one is not, however long one waits.
TEST(SocketLinkTest, FinishWaitsForTheAcknowledgements) {
  Printer stalled(Printer::Mode::kReadsNothing);
  app::SocketLink link("127.0.0.1", stalled.port());
  Watch watch(1500);
  ASSERT_EQ(link.connect(watch), Result::kDone);
  const std::vector<std::uint8_t> job(1 << 20, 0xAA);  // what the kernel takes in, the printer never
  EXPECT_EQ(link.write(job.data(), job.size(), watch), Result::kDone);
  EXPECT_EQ(link.finish(watch), Result::kStopped) << "bytes not acknowledged are not the printer's";
}

TEST(SocketLinkTest, AnUnreachablePrinterIsRetriedUntilStopped) {
  int port = 0;
  {
    Printer gone(Printer::Mode::kReads);  // a port that was open, now closed
    port = gone.port();
  }
  app::SocketLink link("127.0.0.1", port);
  Watch watch(1500);
  const auto started = std::chrono::steady_clock::now();
  EXPECT_EQ(link.connect(watch), Result::kStopped);
  EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(3)) << "the stop ends the wait";
  EXPECT_NE(watch.unreachable_.find("refused"), std::string::npos) << watch.unreachable_;
}

TEST(SocketLinkTest, DeviceUris) {
  struct Case {
    const char* uri;
    bool ok;
    const char* host;
    int port;
  };
  const Case cases[] = {
      {"socket://printer.local", true, "printer.local", 9100},
      {"socket://192.168.1.50:9101", true, "192.168.1.50", 9101},
      {"socket://[::1]:9100/", true, "::1", 9100},
      {"socket://", false, "", 0},
      {"usb://Maker/Model", false, "", 0},
      {"socket://host:70000", false, "", 0},
      {nullptr, false, "", 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.uri != nullptr ? c.uri : "(null)");
    std::string host;
    int port = 0;
    EXPECT_EQ(app::parseSocketUri(c.uri, &host, &port), c.ok);
    if (c.ok) {
      EXPECT_EQ(host, c.host);
      EXPECT_EQ(port, c.port);
    }
  }
}

}  // namespace
