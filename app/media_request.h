// The 80 mm roll as clients name it. CUPS computes a custom width from
// points (80 mm arrives as 79.72 mm), and some clients name the roll by its
// printable width (72 mm); PAPPL 1.3 compares a job's media exactly with
// what the printer lists, and refuses (or silently drops) the rest. A job
// whose media is within kWidthToleranceMm of 80 mm or of 72 mm wide is
// taken as the roll, at the length it asks for; any other width is left
// for PAPPL to refuse.
#ifndef QMX_APP_MEDIA_REQUEST_H_
#define QMX_APP_MEDIA_REQUEST_H_

#include <cups/cups.h>

namespace app {

inline constexpr int kRollWidth = 8000;        // hundredths of a millimetre
inline constexpr int kPrintableWidth = 7200;
inline constexpr int kWidthTolerance = 100;    // 1 mm

// The roll's width for a requested width in hundredths of a millimetre,
// or 0 when the width is not the roll's.
int rollWidthFor(int width);

// Rewrites the request's media-col (media-size) and media keyword to the
// roll's width where they name it within the tolerance.
void takeRollMedia(ipp_t* request);

}  // namespace app

#endif  // QMX_APP_MEDIA_REQUEST_H_
