// The command groups that frame a job's pages: settings ahead, cuts after.
#ifndef QMX_OUTPUT_JOB_FRAME_H_
#define QMX_OUTPUT_JOB_FRAME_H_

#include "printsys/printsys.h"

namespace output {

// GS E, FS E and, in mark mode, GS A 0 n, as one group.
void sendJobPreamble(DEVOBJ* pdevobj);

// The cut after a page when the cut mode asks for one: GS < in mark mode,
// else the pre-cut feed when it is not 0, then the cut command; one group.
void sendCutTrailer(DEVOBJ* pdevobj, bool isLastPage);

}  // namespace output

#endif  // QMX_OUTPUT_JOB_FRAME_H_
