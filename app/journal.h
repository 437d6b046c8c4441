// The job queue's record on disk: every job accepted and not yet ended,
// with its document, and each printer's next job id. PAPPL 1.3 keeps its
// jobs only in its whole-state file, saved at some later moment and not
// atomically; the journal is written at acceptance and synced before the
// client hears that the job was accepted (app/job_queue.h).
//
//   FOLDER/next-job-ids     a line "PRINTER-ID NEXT-JOB-ID" per printer
//   FOLDER/p<P>-j<J>.job    the record of printer P's job J
//   FOLDER/p<P>-j<J>.doc    its document, as the client sent it
//
// Every file is written whole under a temporary name, synced, renamed into
// place, and the folder synced: a crash or power cut leaves the old file or
// the new one, never a part of one. The folder and its files are the
// server's alone (0700, 0600).
//
// A record is an IPP message. Its operation group holds qmx-printer-id,
// qmx-job-id, qmx-format and qmx-starts (how often printing the job began);
// its job group the job's own attributes (job-name, its template
// attributes, job-printer-uri...), from which the job is made again after
// a restart.
//
// Thread-safe: one lock guards the folder; no PAPPL call is made under it.
#ifndef QMX_APP_JOURNAL_H_
#define QMX_APP_JOURNAL_H_

#include <cups/cups.h>

#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <utility>
#include <vector>

namespace app {

struct IppDelete {
  void operator()(ipp_t* ipp) const { ippDelete(ipp); }
};
using IppPointer = std::unique_ptr<ipp_t, IppDelete>;

struct JobRecord {
  int printerId = 0;
  int jobId = 0;
  std::string username;
  std::string format;  // document-format
  int starts = 0;      // times printing the job began
  IppPointer attrs;    // the job's attributes, in the job group
};

class Journal {
 public:
  // Opens (making it when missing) the journal folder. False with *why set.
  bool open(const std::string& folder, std::string* why);
  const std::string& folder() const { return folder_; }

  // Where job `jobId` of printer `printerId` keeps its document.
  std::string documentPath(int printerId, int jobId) const;

  // Keeps `record`; its document must already be synced at documentPath.
  // The printer's next job id becomes at least jobId + 1 first, so an id
  // once given is never given again. False with *why set: nothing kept.
  bool add(const JobRecord& record, std::string* why);
  // The job's record, read again; false when there is none that reads.
  bool read(int printerId, int jobId, JobRecord* record) const;
  // Counts one more start of printing; the count after it, or 0 when the
  // job has no record.
  int countStart(int printerId, int jobId);
  // Gives job `to` of printer `toPrinter` the document of job `from` of
  // printer `fromPrinter` (a second name for the same file). False when it
  // could not.
  bool shareDocument(int fromPrinter, int from, int toPrinter, int to);
  // Moves `record` and its document to job id `newJobId` of the same
  // printer (*record's jobId becomes it). False when they could not move.
  bool moveJob(JobRecord& record, int newJobId);
  // Removes the job's record and document (a job that ended); no error
  // when there is none.
  void remove(int printerId, int jobId);
  bool contains(int printerId, int jobId) const;

  // Every record, ordered by printer and job id. A record that cannot be
  // read is left out and named in *problems (its files stay for a person
  // to look at).
  std::vector<JobRecord> load(std::vector<std::string>* problems);
  // The printer's next job id as the journal knows it; 0 when it does not.
  int nextJobId(int printerId) const;
  // Removes documents without a record and temporary files a crash left.
  // Call after load(), before any job is accepted.
  void sweep();

 private:
  std::string recordPath(int printerId, int jobId) const;
  bool writeRecord(const JobRecord& record, std::string* why);
  bool writeNextIds(std::string* why);

  mutable std::mutex mutex_;
  std::string folder_;
  std::map<int, int> nextIds_;            // printer id -> next job id
  std::set<std::pair<int, int>> kept_;    // (printer id, job id) of every record
};

// Writes `bytes` as the whole content of `path`: a temporary file, synced,
// renamed into place, the folder synced. False with *why set.
bool replaceFileSynced(const std::string& path, const std::string& bytes, std::string* why);

// Syncs the folder holding `path`, so that a new name in it survives a
// power cut.
bool syncFolderOf(const std::string& path);

}  // namespace app

#endif  // QMX_APP_JOURNAL_H_
