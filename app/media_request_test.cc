#include "app/media_request.h"

#include <gtest/gtest.h>

#include <string>

namespace {

// A request's media as PAPPL then reads it: media-col's width and length,
// or the media keyword left as it was.
struct Media {
  int width = 0, length = 0;
  std::string keyword;
};

Media mediaOf(ipp_t* request) {
  Media media;
  if (ipp_attribute_t* col = ippFindAttribute(request, "media-col", IPP_TAG_BEGIN_COLLECTION)) {
    ipp_t* size = ippGetCollection(ippFindAttribute(ippGetCollection(col, 0), "media-size", IPP_TAG_BEGIN_COLLECTION), 0);
    media.width = ippGetInteger(ippFindAttribute(size, "x-dimension", IPP_TAG_INTEGER), 0);
    media.length = ippGetInteger(ippFindAttribute(size, "y-dimension", IPP_TAG_INTEGER), 0);
  }
  if (ipp_attribute_t* keyword = ippFindAttribute(request, "media", IPP_TAG_ZERO))
    media.keyword = ippGetString(keyword, 0, nullptr);
  return media;
}

ipp_t* requestWithSize(int width, int length) {
  ipp_t* request = ippNewRequest(IPP_OP_PRINT_JOB);
  ipp_t* size = ippNew();
  ippAddInteger(size, IPP_TAG_ZERO, IPP_TAG_INTEGER, "x-dimension", width);
  ippAddInteger(size, IPP_TAG_ZERO, IPP_TAG_INTEGER, "y-dimension", length);
  ipp_t* col = ippNew();
  ippAddCollection(col, IPP_TAG_ZERO, "media-size", size);
  ippAddCollection(request, IPP_TAG_JOB, "media-col", col);
  ippDelete(size);
  ippDelete(col);
  return request;
}

TEST(MediaRequestTest, TheRollAsClientsNameIt) {
  struct Case {
    const char* name;
    int width, length;
    Media expected;
  };
  const Case cases[] = {
      {"80 mm from points, as CUPS sends it", 7972, 6000, {8000, 6000, ""}},
      {"80 mm", 8000, 29700, {8000, 29700, ""}},
      {"81 mm", 8100, 1000, {8000, 1000, ""}},
      {"the printable width", 7200, 12000, {8000, 12000, ""}},
      {"71 mm", 7100, 12000, {8000, 12000, ""}},
      {"A4 stays A4, for PAPPL to refuse", 21000, 29700, {21000, 29700, ""}},
      {"75 mm is no roll of this printer", 7500, 12000, {7500, 12000, ""}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ipp_t* request = requestWithSize(c.width, c.length);
    app::takeRollMedia(request);
    const Media media = mediaOf(request);
    EXPECT_EQ(media.width, c.expected.width);
    EXPECT_EQ(media.length, c.expected.length);
    ippDelete(request);
  }
}

TEST(MediaRequestTest, AMediaKeywordOfTheRollsSizeBecomesItsSize) {
  struct Case {
    const char* keyword;
    Media expected;
  };
  const Case cases[] = {
      {"om_receipt_79.7x60mm", {8000, 6000, ""}},
      {"custom_72x100mm_72x100mm", {8000, 10000, ""}},
      {"custom_receipt_80x297mm", {0, 0, "custom_receipt_80x297mm"}},  // the printer's own name stays
      {"iso_a4_210x297mm", {0, 0, "iso_a4_210x297mm"}},
      {"not a media name", {0, 0, "not a media name"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.keyword);
    ipp_t* request = ippNewRequest(IPP_OP_PRINT_JOB);
    ippAddString(request, IPP_TAG_JOB, IPP_TAG_KEYWORD, "media", nullptr, c.keyword);
    app::takeRollMedia(request);
    const Media media = mediaOf(request);
    EXPECT_EQ(media.width, c.expected.width);
    EXPECT_EQ(media.length, c.expected.length);
    EXPECT_EQ(media.keyword, c.expected.keyword);
    ippDelete(request);
  }
}

}  // namespace
