// The width in pixels of a PNG or JPEG picture, read from its header: the
// job path needs it to place a picture PAPPL 1.3 drew itself (see
// app/driver.cc, printableLeft).
#ifndef QMX_APP_PICTURE_WIDTH_H_
#define QMX_APP_PICTURE_WIDTH_H_

#include <string>

namespace app {

// The picture's width, or -1 when `path` holds no PNG or JPEG header that
// says it. Reads at most the first kMostHeaderBytes bytes.
long pictureWidth(const std::string& path);

inline constexpr long kMostHeaderBytes = 1 << 16;

}  // namespace app

#endif  // QMX_APP_PICTURE_WIDTH_H_
