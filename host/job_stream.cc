#include "host/job_stream.h"

#include "host/session_device.h"

namespace host {

std::unique_ptr<JobStream> JobStream::start(PrintSession& session, const JobOptions& options, ByteSink& sink,
                                            std::string* error) {
  auto refuse = [error](std::string why) -> std::unique_ptr<JobStream> {
    if (error != nullptr) *error = std::move(why);
    return nullptr;
  };
  if (session.plugin_ == nullptr) return refuse("the session is closed");
  if (session.jobRunning_) return refuse("the session is already running a job");
  std::string reason;
  if (!session.writeIniFile(options.imageLine, &reason)) return refuse(reason);

  std::unique_ptr<JobStream> stream(new JobStream(session, session.jobRecord(options)));
  PrintSession::Device& d = *session.device_;
  d.record = stream->record_;
  d.publicDM.dmPaperLength = options.paperLength;
  d.sink = &sink;
  d.sinkFailed = false;
  d.groups = 0;
  d.bytes = 0;
  session.jobRunning_ = true;
  stream->command(1);
  return stream;
}

JobStream::~JobStream() { end(); }

void JobStream::note(std::string what) {
  if (error_.empty()) error_ = std::move(what);
}

void JobStream::command(DWORD id) {
  if (session_.plugin_ == nullptr) return note("the session was closed during the job");
  PrintSession::Device& d = *session_.device_;
  INT iResult = -1;
  HRESULT hr = session_.plugin_->CommandCallback(&d.devobj, id, 0, nullptr, &iResult);
  const std::string call = "CommandCallback(" + std::to_string(id) + ")";
  if (hr != printsys::kS_OK) note(answered(call, hr));
  if (iResult != 0) note(call + " left *piResult at " + std::to_string(iResult));
  if (d.sinkFailed) note(d.sink->error().empty() ? "the output failed" : d.sink->error());
}

bool JobStream::startPage() {
  if (ended_) {
    note("a page started after the end of the job");
  } else if (pageOpen_) {
    note("a page started inside a page");
  } else {
    command(2);
    pageOpen_ = true;
    ++pages_;
  }
  return ok();
}

bool JobStream::addLine(const RasterLine& line) {
  if (!pageOpen_) {
    note("a line outside a page");
    return false;
  }
  if (session_.plugin_ == nullptr) {
    note("the session was closed during the job");
    return false;
  }
  band_ = line;
  HRESULT hr = session_.plugin_->FilterGraphics(&session_.device_->devobj, band_.data(),
                                                static_cast<DWORD>(band_.size()));
  if (hr != printsys::kS_OK) note(answered("FilterGraphics", hr));
  ++lines_;
  return ok();
}

bool JobStream::endPage() {
  if (!pageOpen_) {
    note("a page ended that was not started");
  } else {
    command(3);
    pageOpen_ = false;
  }
  return ok();
}

bool JobStream::end() {
  if (ended_) return ok();
  if (pageOpen_) endPage();
  if (session_.jobRunning_) command(4);  // else close() ended it
  ended_ = true;
  session_.device_->sink = nullptr;
  session_.jobRunning_ = false;
  return ok();
}

bool JobStream::sinkFailed() const { return session_.device_->sinkFailed; }
std::uint64_t JobStream::bytesWritten() const { return session_.device_->bytes; }
std::size_t JobStream::groupsWritten() const { return session_.device_->groups; }

}  // namespace host
