#include "app/paper_log.h"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <mutex>
#include <sstream>

namespace app {
namespace {

constexpr mode_t kOwnerOnlyFile = 0600;
constexpr mode_t kOwnerOnlyFolder = 0700;
constexpr std::size_t kLongestOwner = 255;
constexpr std::size_t kMostRendererOutput = 1 << 16;
constexpr int kRendererSeconds = 20;        // wall time before the renderer is killed
constexpr rlim_t kRendererCpuSeconds = 10;  // its processor time
constexpr const char* kPart = ".part";
constexpr const char* kBytes = ".prn";
constexpr const char* kMeta = ".meta";
constexpr const char* kPicture = ".png";
constexpr const char* kLength = ".len";
constexpr const char* kLengthLine = "paper: ";  // qmx415u-decode's report: "paper: N dot lines, X mm"

struct LogState {
  std::string folder;  // "" when off
  std::string renderer;
  std::mutex lock;     // files of finished records, and drawing
};

LogState& state() {
  static LogState log;
  return log;
}

std::string basePath(int printerId, int jobId) {
  return state().folder + "/p" + std::to_string(printerId) + "-j" + std::to_string(jobId);
}

// Control characters become '?', and the name is cut to kLongestOwner bytes.
std::string cleanOwner(const std::string& owner) {
  std::string clean = owner.substr(0, kLongestOwner);
  for (char& c : clean) {
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) c = '?';
  }
  return clean;
}

bool writeAll(int fd, const void* data, std::size_t length) {
  const auto* bytes = static_cast<const std::uint8_t*>(data);
  while (length > 0) {
    const ssize_t n = write(fd, bytes, length);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    bytes += n;
    length -= static_cast<std::size_t>(n);
  }
  return true;
}

// Replaces `path` with `text`, written beside it first.
bool replaceFile(const std::string& path, const std::string& text) {
  const std::string temporary = path + kPart;
  unlink(temporary.c_str());
  const int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, kOwnerOnlyFile);
  if (fd < 0) return false;
  const bool written = writeAll(fd, text.data(), text.size());
  if (close(fd) != 0 || !written || rename(temporary.c_str(), path.c_str()) != 0) {
    unlink(temporary.c_str());
    return false;
  }
  return true;
}

std::string readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

void removeJob(int printerId, int jobId) {
  const std::string base = basePath(printerId, jobId);
  for (const char* suffix : {kBytes, kMeta, kPicture, kLength}) unlink((base + suffix).c_str());
  unlink((base + kPicture + kPart).c_str());
}

bool readMeta(int printerId, int jobId, PaperLog::Entry* entry) {
  std::ifstream in(basePath(printerId, jobId) + kMeta);
  if (!in) return false;
  std::map<std::string, std::string> values;
  for (std::string line; std::getline(in, line);) {
    const std::size_t equals = line.find('=');
    if (equals != std::string::npos) values[line.substr(0, equals)] = line.substr(equals + 1);
  }
  entry->jobId = jobId;
  entry->owner = values["owner"];
  entry->whole = values["whole"] == "1";
  entry->cutShort = values["cut"] == "1";
  entry->bytes = std::strtoull(values["bytes"].c_str(), nullptr, 10);
  entry->finished = static_cast<std::time_t>(std::strtoll(values["finished"].c_str(), nullptr, 10));
  return true;
}

// The job ids of the printer's finished records (those with a .meta file).
std::vector<int> keptJobs(int printerId) {
  std::vector<int> jobs;
  DIR* folder = opendir(state().folder.c_str());
  if (folder == nullptr) return jobs;
  while (const dirent* item = readdir(folder)) {
    int printer = 0;
    int job = 0;
    char tail[8] = "";
    if (std::sscanf(item->d_name, "p%d-j%d%7s", &printer, &job, tail) == 3 && printer == printerId &&
        std::strcmp(tail, kMeta) == 0) {
      jobs.push_back(job);
    }
  }
  closedir(folder);
  std::sort(jobs.rbegin(), jobs.rend());
  return jobs;
}

void prune(int printerId) {
  const std::vector<int> jobs = keptJobs(printerId);
  for (std::size_t i = kJobsPerPrinter; i < jobs.size(); ++i) removeJob(printerId, jobs[i]);
}

// Runs the renderer on `arguments`; its exit status (-1 when it could not
// run or was killed), its standard output and error in *output.
int runRenderer(const std::vector<std::string>& arguments, std::string* output) {
  std::vector<char*> argv;
  for (const std::string& a : arguments) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  int pipeFds[2];
  if (pipe2(pipeFds, O_CLOEXEC) != 0) return -1;
  const pid_t pid = fork();
  if (pid == 0) {  // only async-signal-safe calls until exec
    dup2(pipeFds[1], STDOUT_FILENO);
    dup2(pipeFds[1], STDERR_FILENO);
    close_range(STDERR_FILENO + 1, ~0U, 0);  // none of the server's sockets or files

    const rlimit cpu{kRendererCpuSeconds, kRendererCpuSeconds};
    setrlimit(RLIMIT_CPU, &cpu);
    execv(argv[0], argv.data());
    _exit(127);
  }
  close(pipeFds[1]);
  if (pid < 0) {
    close(pipeFds[0]);
    return -1;
  }
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(kRendererSeconds);
  char buffer[4096];
  for (;;) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    pollfd wait{pipeFds[0], POLLIN, 0};
    if (left.count() <= 0 || poll(&wait, 1, static_cast<int>(left.count())) == 0) {
      kill(pid, SIGKILL);
      break;
    }
    const ssize_t n = read(pipeFds[0], buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    if (output->size() < kMostRendererOutput) output->append(buffer, static_cast<std::size_t>(n));
  }
  close(pipeFds[0]);
  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// The paper length qmx415u-decode reports, in millimetres; -1 when none.
double reportedLength(const std::string& report) {
  const std::size_t at = report.find(std::string("\n") + kLengthLine);
  const std::size_t comma = at == std::string::npos ? at : report.find(", ", at);
  if (comma == std::string::npos) return -1;
  return std::strtod(report.c_str() + comma + 2, nullptr);
}

std::string firstLine(const std::string& text) { return text.substr(0, text.find('\n')); }

// Draws the job's picture (the caller holds the lock).
PaperLog::Picture draw(int printerId, int jobId) {
  PaperLog::Picture picture;
  const std::string base = basePath(printerId, jobId);
  const std::string png = base + kPicture;
  const std::string temporary = png + kPart;
  unlink(temporary.c_str());
  std::string report;
  const int status = runRenderer({state().renderer, "--border", "--png", temporary, base + kBytes}, &report);
  const double length = reportedLength(report);
  if (status != 0 || length < 0 || rename(temporary.c_str(), png.c_str()) != 0) {
    unlink(temporary.c_str());
    picture.error = "no picture: " + (status == 127 ? "cannot run " + state().renderer : firstLine(report));
    return picture;
  }
  char text[32];
  std::snprintf(text, sizeof text, "%.3f", length);
  replaceFile(base + kLength, text);
  picture.lengthMm = length;
  const std::string bytes = readFile(png);
  picture.png.assign(bytes.begin(), bytes.end());
  return picture;
}

}  // namespace

PaperRecord::PaperRecord(int printerId, int jobId, std::string owner, int fd)
    : printerId_(printerId), jobId_(jobId), owner_(std::move(owner)), fd_(fd) {}

PaperRecord::~PaperRecord() {
  try {
    finish(false);
  } catch (...) {
  }
}

void PaperRecord::add(const std::uint8_t* bytes, std::size_t length) {
  if (finished_) return;
  reached_ += length;
  if (failed_ || cutShort_) return;
  if (kept_ + length > kMostBytes) {
    cutShort_ = true;
    return;
  }
  if (!writeAll(fd_, bytes, length)) failed_ = true;
  kept_ += length;
}

void PaperRecord::finish(bool whole) {
  if (finished_) return;
  finished_ = true;
  if (close(fd_) != 0) failed_ = true;
  const std::lock_guard<std::mutex> hold(state().lock);
  const std::string base = basePath(printerId_, jobId_);
  if (failed_) {
    unlink((base + kBytes + kPart).c_str());
    return;
  }
  removeJob(printerId_, jobId_);  // an older job of the same id (a printer made again)
  std::ostringstream meta;
  meta << "owner=" << owner_ << "\nwhole=" << (whole ? 1 : 0) << "\ncut=" << (cutShort_ ? 1 : 0)
       << "\nbytes=" << reached_ << "\nfinished=" << std::time(nullptr) << "\n";
  if (rename((base + kBytes + kPart).c_str(), (base + kBytes).c_str()) != 0 || !replaceFile(base + kMeta, meta.str())) {
    removeJob(printerId_, jobId_);
    return;
  }
  prune(printerId_);
}

bool PaperLog::configure(const std::string& folder, const std::string& renderer, std::string* why) {
  LogState& log = state();
  log.folder.clear();
  if (folder.empty()) return true;
  if (mkdir(folder.c_str(), kOwnerOnlyFolder) != 0 && errno != EEXIST) {
    *why = "cannot make the paper log folder " + folder + ": " + std::strerror(errno);
    return false;
  }
  struct stat st {};
  if (lstat(folder.c_str(), &st) != 0 || !S_ISDIR(st.st_mode) || st.st_uid != geteuid()) {
    *why = "the paper log folder " + folder + " is not a folder of the server's own";
    return false;
  }
  chmod(folder.c_str(), kOwnerOnlyFolder);
  log.folder = folder;
  log.renderer = renderer;
  // Records a stopped server left unfinished.
  if (DIR* dir = opendir(folder.c_str())) {
    while (const dirent* item = readdir(dir)) {
      const std::string name = item->d_name;
      if (name.size() > std::strlen(kPart) && name.compare(name.size() - std::strlen(kPart), std::string::npos, kPart) == 0) {
        unlink((folder + "/" + name).c_str());
      }
    }
    closedir(dir);
  }
  return true;
}

std::unique_ptr<PaperRecord> PaperLog::open(int printerId, int jobId, const std::string& owner) {
  try {
    if (state().folder.empty()) return nullptr;
    const std::string part = basePath(printerId, jobId) + kBytes + kPart;
    unlink(part.c_str());
    const int fd = ::open(part.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, kOwnerOnlyFile);
    if (fd < 0) return nullptr;
    return std::unique_ptr<PaperRecord>(new PaperRecord(printerId, jobId, cleanOwner(owner), fd));
  } catch (...) {
    return nullptr;
  }
}

std::vector<PaperLog::Entry> PaperLog::list(int printerId) {
  std::vector<Entry> entries;
  if (state().folder.empty()) return entries;
  const std::lock_guard<std::mutex> hold(state().lock);
  for (const int job : keptJobs(printerId)) {
    Entry entry;
    if (readMeta(printerId, job, &entry)) entries.push_back(entry);
  }
  return entries;
}

bool PaperLog::find(int printerId, int jobId, Entry* entry) {
  if (state().folder.empty()) return false;
  const std::lock_guard<std::mutex> hold(state().lock);
  return readMeta(printerId, jobId, entry);
}

namespace {

// Draws the picture unless it is drawn already (the caller holds the lock);
// the paper's length, or -1 with *error set.
double drawnLength(int printerId, int jobId, std::string* error) {
  const std::string base = basePath(printerId, jobId);
  if (access((base + kMeta).c_str(), F_OK) != 0) {
    *error = "no such job kept";
    return -1;
  }
  const std::string length = readFile(base + kLength);
  if (!length.empty() && access((base + kPicture).c_str(), F_OK) == 0) return std::strtod(length.c_str(), nullptr);
  PaperLog::Picture drawn = draw(printerId, jobId);
  if (drawn.png.empty()) {
    *error = drawn.error;
    return -1;
  }
  return drawn.lengthMm;
}

}  // namespace

PaperLog::Picture PaperLog::picture(int printerId, int jobId) {
  Picture picture;
  if (state().folder.empty()) {
    picture.error = "no paper log";
    return picture;
  }
  const std::lock_guard<std::mutex> hold(state().lock);
  picture.lengthMm = drawnLength(printerId, jobId, &picture.error);
  if (picture.lengthMm < 0) return picture;
  const std::string png = readFile(basePath(printerId, jobId) + kPicture);
  picture.png.assign(png.begin(), png.end());
  if (picture.png.empty()) picture.error = "the picture cannot be read";
  return picture;
}

bool PaperLog::length(int printerId, int jobId, double* mm, std::string* error) {
  if (state().folder.empty()) {
    *error = "no paper log";
    return false;
  }
  const std::lock_guard<std::mutex> hold(state().lock);
  *mm = drawnLength(printerId, jobId, error);
  return *mm >= 0;
}

void PaperLog::forgetPrinter(int printerId) {
  if (state().folder.empty()) return;
  const std::lock_guard<std::mutex> hold(state().lock);
  for (const int job : keptJobs(printerId)) removeJob(printerId, job);
}

}  // namespace app
