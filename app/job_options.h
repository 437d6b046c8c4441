// What a job's worker is told (app/document_worker.h): the print options
// resolved from the job's own attributes and the printer's defaults, and
// where the document goes on the paper, all on its command line.
#ifndef QMX_APP_JOB_OPTIONS_H_
#define QMX_APP_JOB_OPTIONS_H_

#include <pappl/pappl.h>

#include <string>

#include "frontend/print_options.h"

namespace app {

struct WorkerJobOptions {
  std::string text;  // Name=Value ..., as the worker's options argument
  int copies = 1;
};

// The job's options; false with *why set when a value is bad (the job
// cannot print as asked).
bool workerJobOptions(pappl_job_t* job, WorkerJobOptions* options, std::string* why);

// The job's print options (vendor attributes over the printer's defaults
// over the factory's) into *settings; false with *why set for a bad value.
bool resolvePrintOptions(pappl_job_t* job, const pappl_pr_options_t* options, frontend::PrintOptions* settings,
                         std::string* why);

// Every print option as the filter and the worker read them (Name=Value
// ...), so that the worker's own defaults never decide anything.
std::string filterOptions(const frontend::PrintOptions& settings);

}  // namespace app

#endif  // QMX_APP_JOB_OPTIONS_H_
