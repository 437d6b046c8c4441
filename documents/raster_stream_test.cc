// The raster reader against libcups' own, on streams libcups writes in
// every form it writes (CUPS version 3 and 2, PWG, Apple; version 1 made
// from version 3): the same headers, the same rows, and an end told apart
// from a stream cut short at every byte.
#include "documents/raster_stream.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <random>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<std::uint8_t>;

struct Memory {
  const Bytes* data;
  std::size_t at = 0;
};

ssize_t readMemory(void* context, unsigned char* buffer, std::size_t length) {
  auto* m = static_cast<Memory*>(context);
  const std::size_t n = std::min(length, m->data->size() - m->at);
  if (n > 0) std::memcpy(buffer, m->data->data() + m->at, n);
  m->at += n;
  return static_cast<ssize_t>(n);
}

ssize_t writeMemory(void* context, unsigned char* buffer, std::size_t length) {
  static_cast<Bytes*>(context)->insert(static_cast<Bytes*>(context)->end(), buffer, buffer + length);
  return static_cast<ssize_t>(length);
}

struct PageShape {
  unsigned width;
  unsigned bits;
  cups_cspace_t space;
  unsigned height;
};

cups_page_header2_t headerOf(const PageShape& shape) {
  cups_page_header2_t h;
  std::memset(&h, 0, sizeof h);
  h.HWResolution[0] = h.HWResolution[1] = 203;
  h.cupsWidth = shape.width;
  h.cupsHeight = shape.height;
  h.cupsBitsPerColor = h.cupsBitsPerPixel = shape.bits;
  h.cupsBytesPerLine = (shape.width * shape.bits + 7) / 8;
  h.cupsColorOrder = CUPS_ORDER_CHUNKED;
  h.cupsColorSpace = shape.space;
  h.cupsNumColors = 1;
  h.PageSize[0] = shape.width * 72 / 203;
  h.PageSize[1] = shape.height * 72 / 203;
  return h;
}

// Rows that exercise every code of the compressed form: blank and full
// rows, runs, noise, and rows repeated many times (past 256).
std::vector<Bytes> rowsFor(const cups_page_header2_t& h, std::mt19937& random) {
  std::vector<Bytes> rows;
  Bytes row(h.cupsBytesPerLine);
  while (rows.size() < h.cupsHeight) {
    switch (random() % 5) {
      case 0: std::fill(row.begin(), row.end(), 0x00); break;
      case 1: std::fill(row.begin(), row.end(), 0xFF); break;
      case 2: for (auto& b : row) b = static_cast<std::uint8_t>(random()); break;
      case 3: for (std::size_t i = 0; i < row.size(); ++i) row[i] = static_cast<std::uint8_t>(i / 9 % 3 * 0x55); break;
      default: row[random() % row.size()] ^= 0x81; break;
    }
    const std::size_t times = random() % 7 == 0 ? 300 : 1 + random() % 3;
    for (std::size_t t = 0; t < times && rows.size() < h.cupsHeight; ++t) rows.push_back(row);
  }
  return rows;
}

struct Written {
  Bytes stream;
  std::vector<std::size_t> pageEnds;  // stream offsets where a page may start: after the sync, after each page
};

Written write(cups_mode_t mode, const std::vector<PageShape>& pages, std::mt19937& random) {
  Written w;
  cups_raster_t* raster = cupsRasterOpenIO(writeMemory, &w.stream, mode);
  EXPECT_NE(raster, nullptr);
  w.pageEnds.push_back(w.stream.size());
  for (const PageShape& shape : pages) {
    cups_page_header2_t h = headerOf(shape);
    EXPECT_TRUE(cupsRasterWriteHeader2(raster, &h));
    for (Bytes& row : rowsFor(h, random))
      EXPECT_EQ(cupsRasterWritePixels(raster, row.data(), static_cast<unsigned>(row.size())), row.size());
    w.pageEnds.push_back(w.stream.size());
  }
  cupsRasterClose(raster);
  return w;
}

// A version-3 stream as version 1: the older sync word and the shorter header.
Written asVersion1(const Written& v3, const std::vector<PageShape>& pages) {
  Written w;
  const char sync[4] = {'t', 'S', 'a', 'R'};  // CUPS_RASTER_SYNCv1, little-endian
  w.stream.assign(sync, sync + 4);
  w.pageEnds.push_back(w.stream.size());
  std::size_t at = 4;
  for (const PageShape& shape : pages) {
    const std::size_t rows = std::size_t{shape.height} * ((shape.width * shape.bits + 7) / 8);
    w.stream.insert(w.stream.end(), v3.stream.begin() + at, v3.stream.begin() + at + sizeof(cups_page_header_t));
    at += sizeof(cups_page_header2_t);
    w.stream.insert(w.stream.end(), v3.stream.begin() + at, v3.stream.begin() + at + rows);
    at += rows;
    w.pageEnds.push_back(w.stream.size());
  }
  return w;
}

// Every header and row the stream holds, read by libcups, then by the
// reader under test: they must be the same.
void expectSameAsLibcups(const Bytes& stream, const std::string& name) {
  Memory ours{&stream}, theirs{&stream};
  cups_raster_t* raster = cupsRasterOpenIO(readMemory, &theirs, CUPS_RASTER_READ);
  ASSERT_NE(raster, nullptr) << name;
  qmxcups::RasterStream reader(readMemory, &ours);
  cups_page_header2_t want, got;
  std::size_t pages = 0;
  while (cupsRasterReadHeader2(raster, &want)) {
    ASSERT_EQ(reader.readHeader(&got), qmxcups::RasterStream::Header::kPage) << name << " page " << pages;
    ASSERT_EQ(std::memcmp(&want, &got, sizeof want), 0) << name << " page " << pages;
    Bytes row(want.cupsBytesPerLine);
    for (unsigned y = 0; y < want.cupsHeight; ++y) {
      ASSERT_EQ(cupsRasterReadPixels(raster, row.data(), want.cupsBytesPerLine), want.cupsBytesPerLine);
      const std::uint8_t* mine = reader.readRow();
      ASSERT_NE(mine, nullptr) << name << " page " << pages << " row " << y << ": " << reader.error();
      ASSERT_EQ(std::memcmp(mine, row.data(), row.size()), 0) << name << " page " << pages << " row " << y;
    }
    ++pages;
  }
  cupsRasterClose(raster);
  EXPECT_EQ(reader.readHeader(&got), qmxcups::RasterStream::Header::kEnd) << name << ": " << reader.error();
  EXPECT_GT(pages, 0u) << name;
}

// The header reads that a stream cut after `length` bytes allows: the end
// only at a page boundary, an error anywhere else.
void expectEndOnlyAtPageEnds(const Written& w, const std::string& name) {
  for (std::size_t length = 0; length <= w.stream.size(); ++length) {
    const Bytes cut(w.stream.begin(), w.stream.begin() + length);
    Memory memory{&cut};
    qmxcups::RasterStream reader(readMemory, &memory);
    cups_page_header2_t header;
    qmxcups::RasterStream::Header last;
    while ((last = reader.readHeader(&header)) == qmxcups::RasterStream::Header::kPage) {
    }
    const bool boundary = std::find(w.pageEnds.begin(), w.pageEnds.end(), length) != w.pageEnds.end();
    ASSERT_EQ(last == qmxcups::RasterStream::Header::kEnd, boundary) << name << " cut at " << length << ": "
                                                                     << reader.error();
    ASSERT_EQ(reader.error().empty(), boundary) << name << " cut at " << length;
  }
}

TEST(RasterStreamTest, ReadsWhatLibcupsWritesAsLibcupsReadsIt) {
  const std::vector<PageShape> pages = {
      {576, 1, CUPS_CSPACE_K, 700}, {100, 8, CUPS_CSPACE_SW, 40}, {639, 8, CUPS_CSPACE_W, 30},
      {577, 1, CUPS_CSPACE_W, 20},  {3, 1, CUPS_CSPACE_K, 600},
  };
  const struct {
    const char* name;
    cups_mode_t mode;
  } forms[] = {
      {"CUPS v3", CUPS_RASTER_WRITE},
      {"CUPS v2", CUPS_RASTER_WRITE_COMPRESSED},
      {"PWG", CUPS_RASTER_WRITE_PWG},
  };
  std::mt19937 random(20);
  for (const auto& form : forms) {
    const Written w = write(form.mode, pages, random);
    expectSameAsLibcups(w.stream, form.name);
    if (form.mode == CUPS_RASTER_WRITE) expectSameAsLibcups(asVersion1(w, pages).stream, "CUPS v1");
  }
  // Apple raster holds 8-bit grey pages only.
  expectSameAsLibcups(write(CUPS_RASTER_WRITE_APPLE, {{100, 8, CUPS_CSPACE_SW, 300}}, random).stream, "Apple");
}

// Codes libcups' writer never makes, but a stream may hold: "clear to the
// end" in each colour space, runs and literals that overrun the row, a row
// standing for more rows than the page has.
TEST(RasterStreamTest, DecodesEveryCodeAsLibcupsDoes) {
  const struct {
    cups_cspace_t space;
    unsigned bits;
    Bytes rows;  // the page's compressed rows, 16 bytes wide, 3 rows
  } cases[] = {
      {CUPS_CSPACE_K, 1, {0x02, 0x02, 0x40, 0x80}},
      {CUPS_CSPACE_W, 1, {0x02, 0x02, 0x40, 0x80}},
      {CUPS_CSPACE_SW, 8, {0x00, 0x80, 0x00, 0x7F, 0x12, 0x00, 0xFE, 1, 2, 3, 0x7F, 9}},
      {CUPS_CSPACE_K, 8, {0x00, 0x81, 0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 0x05, 0x80}},
      {CUPS_CSPACE_SW, 8, {0xFF, 0x0F, 0x33}},
  };
  std::mt19937 random(1);
  for (const auto& c : cases) {
    Written w = write(CUPS_RASTER_WRITE_COMPRESSED, {{16 * 8 / c.bits, c.bits, c.space, 3}}, random);
    w.stream.resize(4 + sizeof(cups_page_header2_t));
    w.stream.insert(w.stream.end(), c.rows.begin(), c.rows.end());
    expectSameAsLibcups(w.stream, "space " + std::to_string(c.space) + " code " + std::to_string(c.rows[1]));
  }
}

TEST(RasterStreamTest, EndsOnlyWhereAPageEnds) {
  const std::vector<PageShape> pages = {{16, 1, CUPS_CSPACE_K, 5}, {8, 8, CUPS_CSPACE_SW, 3}};
  std::mt19937 random(7);
  const Written v3 = write(CUPS_RASTER_WRITE, pages, random);
  expectEndOnlyAtPageEnds(v3, "CUPS v3");
  expectEndOnlyAtPageEnds(asVersion1(v3, pages), "CUPS v1");
  expectEndOnlyAtPageEnds(write(CUPS_RASTER_WRITE_COMPRESSED, pages, random), "CUPS v2");
  expectEndOnlyAtPageEnds(write(CUPS_RASTER_WRITE_PWG, pages, random), "PWG");
}

TEST(RasterStreamTest, RefusedHeadersAndRowsSayWhy) {
  std::mt19937 random(3);
  Written w = write(CUPS_RASTER_WRITE_COMPRESSED, {{16, 1, CUPS_CSPACE_K, 2}, {16, 1, CUPS_CSPACE_K, 2}}, random);
  const std::size_t page2 = w.pageEnds[1];
  const unsigned zero = 0;
  std::memcpy(&w.stream[page2 + offsetof(cups_page_header2_t, cupsHeight)], &zero, sizeof zero);
  Memory memory{&w.stream};
  qmxcups::RasterStream reader(readMemory, &memory);
  cups_page_header2_t header;
  ASSERT_EQ(reader.readHeader(&header), qmxcups::RasterStream::Header::kPage);
  EXPECT_EQ(reader.readHeader(&header), qmxcups::RasterStream::Header::kBad) << "a page of no rows";
  EXPECT_NE(reader.error().find("not one libcups reads"), std::string::npos) << reader.error();
  EXPECT_EQ(reader.readHeader(&header), qmxcups::RasterStream::Header::kBad) << "and it stays so";

  // A read that fails where the next page would start is no end.
  struct FailingAfter {
    Memory memory;
    std::size_t good;
  } failing{{&w.stream}, page2};
  auto readThenFail = [](void* context, unsigned char* buffer, std::size_t length) -> ssize_t {
    auto* f = static_cast<FailingAfter*>(context);
    if (f->memory.at >= f->good) return errno = EIO, -1;
    return readMemory(&f->memory, buffer, std::min(length, f->good - f->memory.at));
  };
  qmxcups::RasterStream broken(readThenFail, &failing);
  ASSERT_EQ(broken.readHeader(&header), qmxcups::RasterStream::Header::kPage);
  EXPECT_EQ(broken.readHeader(&header), qmxcups::RasterStream::Header::kBad);
  EXPECT_EQ(broken.error(), "cannot read the raster: " + std::string(std::strerror(EIO)));

  const Bytes junk = {'%', 'P', 'D', 'F', '-', '1'};
  Memory junkMemory{&junk};
  qmxcups::RasterStream notRaster(readMemory, &junkMemory);
  EXPECT_EQ(notRaster.readHeader(&header), qmxcups::RasterStream::Header::kBad);
  EXPECT_EQ(notRaster.error(), "not CUPS raster: the stream starts 25 50 44 46");
}

}  // namespace
