// The paper each printer's last jobs printed: the bytes that reached the
// device, kept so that the printer's web page shows them as a picture (the
// emulator's rendering by qmx415u-decode: cuts as red dashed lines, mark
// feeds blue, fed paper tinted) with the paper's length in millimetres.
//
// The job path records, and knows nothing else of it:
//
//   std::unique_ptr<PaperRecord> record = PaperLog::open(printerId, jobId, owner);
//   record->add(bytes, length);   // each whole group once the device took it
//   record->finish(whole);        // whole: every byte of the job reached the device
//
// open() returns null when the log is off or cannot keep the job; a record
// dropped unfinished counts as finish(false). Nothing here throws into the
// job path: a failure to keep a job loses its picture, never the job.
//
// Bounds: the last kJobsPerPrinter finished jobs of each printer; of each,
// its first kMostBytes, in whole groups (a longer job's picture is its
// start, marked cut short); the files are the server's alone (0600 in a
// 0700 folder), named by printer and job id only.
//
// Who may see a job's paper is the web page's to decide (app/web_pages.h):
// an administrator, or the job's owner.
#ifndef QMX_APP_PAPER_LOG_H_
#define QMX_APP_PAPER_LOG_H_

#include <cstddef>
#include <cstdint>
#include <ctime>
#include <memory>
#include <string>
#include <vector>

namespace app {

inline constexpr std::size_t kJobsPerPrinter = 10;
inline constexpr std::size_t kMostBytes = std::size_t{1} << 20;  // about 1.8 m of raw dot rows

class PaperRecord {
 public:
  ~PaperRecord();
  PaperRecord(const PaperRecord&) = delete;
  PaperRecord& operator=(const PaperRecord&) = delete;

  // Keeps one group that reached the device; a group past kMostBytes is
  // dropped, and every one after it.
  void add(const std::uint8_t* bytes, std::size_t length);
  // The job ended; the record becomes its printer's latest. Once.
  void finish(bool whole);

 private:
  friend class PaperLog;
  PaperRecord(int printerId, int jobId, std::string owner, int fd);

  int printerId_;
  int jobId_;
  std::string owner_;
  int fd_;
  std::uint64_t kept_ = 0;
  std::uint64_t reached_ = 0;  // bytes that reached the device, kept or not
  bool cutShort_ = false;
  bool failed_ = false;
  bool finished_ = false;
};

class PaperLog {
 public:
  // Keeps records in `folder` (made owner-only when missing; refused when
  // it is a link or another user's), drawn by the program `renderer`
  // (qmx415u-decode). "" for `folder`: no log. Once, before the server
  // starts; false with *why set.
  static bool configure(const std::string& folder, const std::string& renderer, std::string* why);

  static std::unique_ptr<PaperRecord> open(int printerId, int jobId, const std::string& owner);

  struct Entry {
    int jobId = 0;
    std::string owner;
    bool whole = false;     // every byte reached the device
    bool cutShort = false;  // only the first kMostBytes are kept
    std::uint64_t bytes = 0;
    std::time_t finished = 0;
  };
  // The printer's kept jobs, newest first.
  static std::vector<Entry> list(int printerId);
  // One kept job; false when there is none.
  static bool find(int printerId, int jobId, Entry* entry);

  struct Picture {
    std::vector<std::uint8_t> png;
    double lengthMm = 0;  // the paper the kept bytes make
    std::string error;    // why there is no picture
  };
  // The job's picture, drawn the first time it is asked for.
  static Picture picture(int printerId, int jobId);
  // The length of the job's paper in millimetres, drawing its picture if
  // need be; false with *error set when there is none.
  static bool length(int printerId, int jobId, double* mm, std::string* error);

  // Forgets a deleted printer's jobs.
  static void forgetPrinter(int printerId);
};

}  // namespace app

#endif  // QMX_APP_PAPER_LOG_H_
