#include "app/media_request.h"

#include <cstdlib>

namespace app {
namespace {

bool near(int value, int target) { return std::abs(value - target) <= kWidthTolerance; }

// A media-col holding only media-size: `width` x `length`.
ipp_t* mediaCol(int width, int length) {
  ipp_t* size = ippNew();
  ippAddInteger(size, IPP_TAG_ZERO, IPP_TAG_INTEGER, "x-dimension", width);
  ippAddInteger(size, IPP_TAG_ZERO, IPP_TAG_INTEGER, "y-dimension", length);
  ipp_t* col = ippNew();
  ippAddCollection(col, IPP_TAG_ZERO, "media-size", size);
  ippDelete(size);
  return col;
}

void takeRollMediaCol(ipp_t* request) {
  ipp_attribute_t* attr = ippFindAttribute(request, "media-col", IPP_TAG_BEGIN_COLLECTION);
  if (attr == nullptr || ippGetCount(attr) != 1) return;
  ipp_t* col = ippGetCollection(attr, 0);
  ipp_attribute_t* sizeAttr = ippFindAttribute(col, "media-size", IPP_TAG_BEGIN_COLLECTION);
  if (sizeAttr == nullptr || ippGetCount(sizeAttr) != 1) return;
  ipp_t* size = ippGetCollection(sizeAttr, 0);
  ipp_attribute_t* x = ippFindAttribute(size, "x-dimension", IPP_TAG_INTEGER);
  if (x == nullptr || ippGetCount(x) != 1) return;
  const int width = rollWidthFor(ippGetInteger(x, 0));
  if (width != 0) ippSetInteger(size, &x, 0, width);
}

// A media keyword PAPPL would not find in media-supported, but whose
// size is the roll's, becomes a media-col of that size.
void takeRollMediaName(ipp_t* request) {
  ipp_attribute_t* attr = ippFindAttribute(request, "media", IPP_TAG_ZERO);
  if (attr == nullptr || ippGetCount(attr) != 1 || ippFindAttribute(request, "media-col", IPP_TAG_ZERO) != nullptr)
    return;
  const char* name = ippGetString(attr, 0, nullptr);
  pwg_media_t* pwg = name != nullptr ? pwgMediaForPWG(name) : nullptr;
  if (pwg == nullptr || pwg->width == kRollWidth) return;
  const int width = rollWidthFor(pwg->width);
  if (width == 0 || pwg->length <= 0) return;
  const ipp_tag_t group = ippGetGroupTag(attr);
  ipp_t* col = mediaCol(width, pwg->length);
  ippDeleteAttribute(request, attr);
  ippAddCollection(request, group, "media-col", col);
  ippDelete(col);
}

}  // namespace

int rollWidthFor(int width) { return near(width, kRollWidth) || near(width, kPrintableWidth) ? kRollWidth : 0; }

void takeRollMedia(ipp_t* request) {
  if (request == nullptr) return;
  takeRollMediaName(request);
  takeRollMediaCol(request);
}

}  // namespace app
