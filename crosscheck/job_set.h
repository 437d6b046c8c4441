// The fixed set of jobs that the native module and the Windows DLL must turn
// into the same printer byte streams. Every job is deterministic: the same
// pages, records and INI values on every platform.
#ifndef QMX_CROSSCHECK_JOB_SET_H_
#define QMX_CROSSCHECK_JOB_SET_H_

#include <string>
#include <vector>

#include "host/print_session.h"

namespace crosscheck {

struct NamedJob {
  std::string name;  // also the stream's file name, without extension
  host::JobSpec spec;
  bool fileSpooled;  // the paper is too long for the page buffers
};

// Paper length (tenths of a millimetre) whose pages no longer fit the page
// buffers, so the job is spooled through page files.
inline constexpr std::int16_t kLongPaper = 12600;

std::vector<NamedJob> jobSet();

// A file-spooled job of two pages, for watching the page files come and go.
host::JobSpec fileSpooledProbeJob();

}  // namespace crosscheck

#endif  // QMX_CROSSCHECK_JOB_SET_H_
