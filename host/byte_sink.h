// Where the printer's bytes go: each DrvWriteSpoolBuf call of the plug-in
// reaches a sink as one group, while the call is still running.
#ifndef QMX_HOST_BYTE_SINK_H_
#define QMX_HOST_BYTE_SINK_H_

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace host {

class ByteSink {
 public:
  virtual ~ByteSink() = default;
  // Takes one group whole. False when the bytes could not be delivered;
  // error() then says why. Once a sink has failed, the job is failed and
  // nothing more is offered to it.
  virtual bool write(const std::uint8_t* bytes, std::size_t length) = 0;
  virtual std::string error() const { return {}; }
};

// Writes to a file descriptor, retrying short writes and interrupted calls.
// The descriptor stays the caller's. A closed pipe is a failure (EPIPE):
// callers that write into pipes should ignore SIGPIPE.
class FdSink final : public ByteSink {
 public:
  explicit FdSink(int fd, std::string name = "the output") : fd_(fd), name_(std::move(name)) {}
  bool write(const std::uint8_t* bytes, std::size_t length) override;
  std::string error() const override { return error_; }

 private:
  int fd_;
  std::string name_;
  std::string error_;
};

// Keeps every group, in order (tests, previews).
class MemorySink final : public ByteSink {
 public:
  bool write(const std::uint8_t* bytes, std::size_t length) override;
  const std::vector<std::vector<std::uint8_t>>& groups() const { return groups_; }
  std::vector<std::vector<std::uint8_t>> takeGroups() { return std::move(groups_); }
  std::vector<std::uint8_t> stream() const;  // the groups concatenated

 private:
  std::vector<std::vector<std::uint8_t>> groups_;
};

// Hands each group to a function; its false answer fails the sink.
class CallbackSink final : public ByteSink {
 public:
  using Callback = std::function<bool(const std::uint8_t* bytes, std::size_t length)>;
  explicit CallbackSink(Callback callback) : callback_(std::move(callback)) {}
  bool write(const std::uint8_t* bytes, std::size_t length) override;
  std::string error() const override { return "the receiver refused the bytes"; }

 private:
  Callback callback_;
};

// Passes each group to two sinks; fails when either fails.
class TeeSink final : public ByteSink {
 public:
  TeeSink(ByteSink& first, ByteSink& second) : first_(first), second_(second) {}
  bool write(const std::uint8_t* bytes, std::size_t length) override;
  std::string error() const override;

 private:
  ByteSink& first_;
  ByteSink& second_;
  bool firstFailed_ = false;
};

}  // namespace host

#endif  // QMX_HOST_BYTE_SINK_H_
