#include "app/journal.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <sstream>

namespace app {
namespace {

constexpr const char* kNextIdsFile = "next-job-ids";
constexpr const char* kRecordSuffix = ".job";
constexpr const char* kDocumentSuffix = ".doc";
constexpr const char* kTemporarySuffix = ".tmp";
constexpr mode_t kFolderMode = 0700;
constexpr mode_t kFileMode = 0600;
constexpr std::size_t kLargestRecord = 1 << 20;  // a job's attributes come nowhere near

constexpr const char* kPrinterIdAttr = "qmx-printer-id";
constexpr const char* kJobIdAttr = "qmx-job-id";
constexpr const char* kUserAttr = "qmx-username";
constexpr const char* kFormatAttr = "qmx-format";
constexpr const char* kStartsAttr = "qmx-starts";

std::string errnoText() { return std::strerror(errno); }

bool writeAll(int fd, const std::string& bytes) {
  std::size_t at = 0;
  while (at < bytes.size()) {
    const ssize_t n = ::write(fd, bytes.data() + at, bytes.size() - at);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    at += static_cast<std::size_t>(n);
  }
  return true;
}

bool readAll(const std::string& path, std::string* bytes, std::size_t most) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
  if (fd < 0) return false;
  char buffer[16384];
  bool ok = true;
  for (;;) {
    const ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) ok = false;
    if (n <= 0) break;
    bytes->append(buffer, static_cast<std::size_t>(n));
    if (bytes->size() > most) {
      ok = false;
      break;
    }
  }
  ::close(fd);
  return ok;
}

ssize_t appendToString(void* context, ipp_uchar_t* bytes, size_t length) {
  static_cast<std::string*>(context)->append(reinterpret_cast<const char*>(bytes), length);
  return static_cast<ssize_t>(length);
}

struct Reading {
  const std::string* bytes;
  std::size_t at = 0;
};

ssize_t readFromString(void* context, ipp_uchar_t* bytes, size_t length) {
  auto* reading = static_cast<Reading*>(context);
  const std::size_t n = std::min(length, reading->bytes->size() - reading->at);
  std::memcpy(bytes, reading->bytes->data() + reading->at, n);
  reading->at += n;
  return static_cast<ssize_t>(n);
}

int jobGroupOnly(void* /*context*/, ipp_t* /*destination*/, ipp_attribute_t* attr) {
  return ippGetGroupTag(attr) == IPP_TAG_JOB;
}

std::string encodeRecord(const JobRecord& record) {
  IppPointer message(ippNew());
  ipp_t* m = message.get();
  ippAddInteger(m, IPP_TAG_OPERATION, IPP_TAG_INTEGER, kPrinterIdAttr, record.printerId);
  ippAddInteger(m, IPP_TAG_OPERATION, IPP_TAG_INTEGER, kJobIdAttr, record.jobId);
  ippAddString(m, IPP_TAG_OPERATION, IPP_TAG_NAME, kUserAttr, nullptr, record.username.c_str());
  ippAddString(m, IPP_TAG_OPERATION, IPP_TAG_MIMETYPE, kFormatAttr, nullptr, record.format.c_str());
  ippAddInteger(m, IPP_TAG_OPERATION, IPP_TAG_INTEGER, kStartsAttr, record.starts);
  if (record.attrs) ippCopyAttributes(m, record.attrs.get(), 0, jobGroupOnly, nullptr);
  std::string bytes;
  if (ippWriteIO(&bytes, appendToString, 1, nullptr, m) != IPP_STATE_DATA) bytes.clear();
  return bytes;
}

bool decodeRecord(const std::string& bytes, JobRecord* record) {
  Reading reading{&bytes};
  IppPointer message(ippNew());
  if (ippReadIO(&reading, readFromString, 1, nullptr, message.get()) != IPP_STATE_DATA) return false;
  ipp_t* m = message.get();
  ipp_attribute_t* printer = ippFindAttribute(m, kPrinterIdAttr, IPP_TAG_INTEGER);
  ipp_attribute_t* job = ippFindAttribute(m, kJobIdAttr, IPP_TAG_INTEGER);
  ipp_attribute_t* user = ippFindAttribute(m, kUserAttr, IPP_TAG_NAME);
  ipp_attribute_t* format = ippFindAttribute(m, kFormatAttr, IPP_TAG_MIMETYPE);
  ipp_attribute_t* starts = ippFindAttribute(m, kStartsAttr, IPP_TAG_INTEGER);
  if (printer == nullptr || job == nullptr || user == nullptr || format == nullptr || starts == nullptr) return false;
  record->printerId = ippGetInteger(printer, 0);
  record->jobId = ippGetInteger(job, 0);
  record->username = ippGetString(user, 0, nullptr);
  record->format = ippGetString(format, 0, nullptr);
  record->starts = ippGetInteger(starts, 0);
  record->attrs.reset(ippNew());
  ippCopyAttributes(record->attrs.get(), m, 0, jobGroupOnly, nullptr);
  return record->printerId > 0 && record->jobId > 0;
}

std::string fileName(int printerId, int jobId, const char* suffix) {
  char name[64];
  std::snprintf(name, sizeof name, "p%d-j%d%s", printerId, jobId, suffix);
  return name;
}

bool endsWith(const std::string& text, const char* suffix) {
  const std::size_t n = std::strlen(suffix);
  return text.size() >= n && text.compare(text.size() - n, n, suffix) == 0;
}

// The printer and job ids a journal file name holds; false for another name.
bool idsOf(const std::string& name, const char* suffix, int* printerId, int* jobId) {
  if (!endsWith(name, suffix)) return false;
  int consumed = 0;
  const std::string stem = name.substr(0, name.size() - std::strlen(suffix));
  return std::sscanf(stem.c_str(), "p%d-j%d%n", printerId, jobId, &consumed) == 2 &&
         static_cast<std::size_t>(consumed) == stem.size() && *printerId > 0 && *jobId > 0;
}

std::vector<std::string> namesIn(const std::string& folder) {
  std::vector<std::string> names;
  if (DIR* dir = opendir(folder.c_str())) {
    while (dirent* entry = readdir(dir)) {
      if (entry->d_name[0] != '.') names.emplace_back(entry->d_name);
    }
    closedir(dir);
  }
  return names;
}

}  // namespace

bool syncFolderOf(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  const std::string folder = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
  const int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return false;
  const bool ok = fsync(fd) == 0;
  ::close(fd);
  return ok;
}

bool replaceFileSynced(const std::string& path, const std::string& bytes, std::string* why) {
  const std::string temporary = path + kTemporarySuffix;
  const int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, kFileMode);
  if (fd < 0) {
    *why = "cannot write " + temporary + ": " + errnoText();
    return false;
  }
  const bool written = writeAll(fd, bytes) && fsync(fd) == 0;
  const int writeErrno = errno;
  if (::close(fd) != 0 || !written) {
    *why = "cannot write " + temporary + ": " + std::strerror(written ? errno : writeErrno);
    unlink(temporary.c_str());
    return false;
  }
  if (rename(temporary.c_str(), path.c_str()) != 0) {
    *why = "cannot rename " + temporary + ": " + errnoText();
    unlink(temporary.c_str());
    return false;
  }
  if (!syncFolderOf(path)) {
    *why = "cannot sync the folder of " + path + ": " + errnoText();
    return false;
  }
  return true;
}

bool Journal::open(const std::string& folder, std::string* why) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (mkdir(folder.c_str(), kFolderMode) != 0 && errno != EEXIST) {
    *why = "cannot make the job queue's folder " + folder + ": " + errnoText();
    return false;
  }
  struct stat st {};
  if (lstat(folder.c_str(), &st) != 0 || !S_ISDIR(st.st_mode) || st.st_uid != geteuid()) {
    *why = "the job queue's folder " + folder + " is not a folder of the server's own";
    return false;
  }
  if ((st.st_mode & 077) != 0) chmod(folder.c_str(), kFolderMode);
  folder_ = folder;
  nextIds_.clear();
  std::string text;
  if (readAll(folder_ + "/" + kNextIdsFile, &text, kLargestRecord)) {
    std::istringstream lines(text);
    int printer = 0, next = 0;
    while (lines >> printer >> next) {
      if (printer > 0 && next > 0) nextIds_[printer] = next;
    }
  }
  return true;
}

std::string Journal::documentPath(int printerId, int jobId) const {
  return folder_ + "/" + fileName(printerId, jobId, kDocumentSuffix);
}

std::string Journal::recordPath(int printerId, int jobId) const {
  return folder_ + "/" + fileName(printerId, jobId, kRecordSuffix);
}

bool Journal::writeNextIds(std::string* why) {
  std::string text;
  for (const auto& [printer, next] : nextIds_) text += std::to_string(printer) + " " + std::to_string(next) + "\n";
  return replaceFileSynced(folder_ + "/" + kNextIdsFile, text, why);
}

bool Journal::writeRecord(const JobRecord& record, std::string* why) {
  const std::string bytes = encodeRecord(record);
  if (bytes.empty()) {
    *why = "cannot encode the job's record";
    return false;
  }
  return replaceFileSynced(recordPath(record.printerId, record.jobId), bytes, why);
}

bool Journal::add(const JobRecord& record, std::string* why) {
  std::lock_guard<std::mutex> lock(mutex_);
  int& next = nextIds_[record.printerId];
  if (next <= record.jobId) {
    const int before = next;
    next = record.jobId + 1;
    if (!writeNextIds(why)) {
      next = before;
      return false;
    }
  }
  if (!writeRecord(record, why)) return false;
  kept_.insert({record.printerId, record.jobId});
  return true;
}

bool Journal::read(int printerId, int jobId, JobRecord* record) const {
  std::lock_guard<std::mutex> lock(mutex_);
  std::string bytes;
  return kept_.count({printerId, jobId}) != 0 && readAll(recordPath(printerId, jobId), &bytes, kLargestRecord) &&
         decodeRecord(bytes, record);
}

bool Journal::shareDocument(int fromPrinter, int from, int toPrinter, int to) {
  std::lock_guard<std::mutex> lock(mutex_);
  const std::string target = documentPath(toPrinter, to);
  unlink(target.c_str());
  return link(documentPath(fromPrinter, from).c_str(), target.c_str()) == 0 && syncFolderOf(target);
}

int Journal::countStart(int printerId, int jobId) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (kept_.count({printerId, jobId}) == 0) return 0;
  std::string bytes;
  JobRecord record;
  if (!readAll(recordPath(printerId, jobId), &bytes, kLargestRecord) || !decodeRecord(bytes, &record)) return 0;
  ++record.starts;
  std::string why;
  writeRecord(record, &why);  // a count not written means one start fewer noted: the job still prints
  return record.starts;
}

bool Journal::moveJob(JobRecord& record, int newJobId) {
  std::lock_guard<std::mutex> lock(mutex_);
  const int oldJobId = record.jobId;
  if (rename(documentPath(record.printerId, oldJobId).c_str(), documentPath(record.printerId, newJobId).c_str()) != 0)
    return false;
  record.jobId = newJobId;
  std::string why;
  if (!writeRecord(record, &why)) return false;
  unlink(recordPath(record.printerId, oldJobId).c_str());
  syncFolderOf(recordPath(record.printerId, oldJobId));
  kept_.erase({record.printerId, oldJobId});
  kept_.insert({record.printerId, newJobId});
  int& next = nextIds_[record.printerId];
  if (next <= newJobId) {
    next = newJobId + 1;
    writeNextIds(&why);
  }
  return true;
}

void Journal::remove(int printerId, int jobId) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (kept_.erase({printerId, jobId}) == 0) return;
  unlink(recordPath(printerId, jobId).c_str());
  unlink(documentPath(printerId, jobId).c_str());
  syncFolderOf(recordPath(printerId, jobId));
}

bool Journal::contains(int printerId, int jobId) const {
  std::lock_guard<std::mutex> lock(mutex_);
  return kept_.count({printerId, jobId}) != 0;
}

int Journal::nextJobId(int printerId) const {
  std::lock_guard<std::mutex> lock(mutex_);
  const auto found = nextIds_.find(printerId);
  return found == nextIds_.end() ? 0 : found->second;
}

std::vector<JobRecord> Journal::load(std::vector<std::string>* problems) {
  std::lock_guard<std::mutex> lock(mutex_);
  std::vector<JobRecord> records;
  kept_.clear();
  for (const std::string& name : namesIn(folder_)) {
    int printerId = 0, jobId = 0;
    if (!idsOf(name, kRecordSuffix, &printerId, &jobId)) continue;
    std::string bytes;
    JobRecord record;
    if (!readAll(folder_ + "/" + name, &bytes, kLargestRecord) || !decodeRecord(bytes, &record) ||
        record.printerId != printerId || record.jobId != jobId) {
      problems->push_back("the record " + name + " cannot be read; it is left in " + folder_);
      continue;
    }
    kept_.insert({printerId, jobId});
    int& next = nextIds_[printerId];
    if (next <= jobId) next = jobId + 1;
    records.push_back(std::move(record));
  }
  std::sort(records.begin(), records.end(), [](const JobRecord& a, const JobRecord& b) {
    return std::make_pair(a.printerId, a.jobId) < std::make_pair(b.printerId, b.jobId);
  });
  return records;
}

void Journal::sweep() {
  std::lock_guard<std::mutex> lock(mutex_);
  for (const std::string& name : namesIn(folder_)) {
    int printerId = 0, jobId = 0;
    // A document goes only when it has no record at all: one that cannot
    // be read stays with its document.
    const bool orphan = idsOf(name, kDocumentSuffix, &printerId, &jobId) &&
                        access(recordPath(printerId, jobId).c_str(), F_OK) != 0;
    if (orphan || endsWith(name, kTemporarySuffix)) unlink((folder_ + "/" + name).c_str());
  }
}

}  // namespace app
