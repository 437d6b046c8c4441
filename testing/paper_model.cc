#include "testing/paper_model.h"

#include <gtest/gtest.h>

namespace testsupport {

ExpectedPaper expectedPaper(const std::uint8_t* record, const std::vector<Page>& pages, PageStore store) {
  using namespace devmode;
  std::uint32_t top = readU16(record, kTopMarginLines), extra = readU16(record, kFirstPageExtraLines);
  bool band = record[kBandMode] != 0, keep = record[kKeepTrailingBlank] != 0, mark = record[kMarkMode] != 0;
  std::uint32_t cutMode = record[kCutMode], pageEnd = readU16(record, kPageEndFeed);
  std::uint32_t jobEnd = readU16(record, kJobEndFeed), preCut = readU16(record, kPreCutFeed);
  ExpectedPaper paper;
  auto feed = [&](std::uint32_t rows) { paper.rows.insert(paper.rows.end(), rows, emulator::Row{}); };
  // A job without pages still sends "page 0" at its end: its top margin
  // alone from a buffer, no body from a file, then the last page's feeds
  // and cut.
  std::size_t count = pages.empty() ? 1 : pages.size();
  for (std::size_t k = 0; k < count; ++k) {
    bool last = k + 1 == count;
    const bool emptyFile = pages.empty() && store == PageStore::kFiles;
    std::vector<emulator::Row> body(emptyFile ? 0 : top + (k == 0 && !pages.empty() ? extra : 0), emulator::Row{});
    if (!pages.empty())
      for (const Line& line : pages[k]) body.push_back(line);
    if (last && !band && !keep) {
      while (!body.empty() && body.back() == emulator::Row{}) body.pop_back();
    }
    paper.rows.insert(paper.rows.end(), body.begin(), body.end());
    if (last) feed(jobEnd);
    feed(pageEnd);
    if (cutMode == 1 || (cutMode == 2 && last)) {
      if (!mark) feed(preCut);
      paper.cutRows.push_back(paper.rows.size());
      paper.cutKinds.push_back(record[kCutKind] != 0 ? 1 : 0);
    }
  }
  return paper;
}

emulator::Paper decodeStrict(const std::vector<Bytes>& groups) {
  emulator::ParseOptions options;
  options.strict = true;
  emulator::ParseResult result = emulator::parseGroups(groups, options);
  EXPECT_TRUE(result.status.ok) << result.status.toString();
  return result.paper;
}

}  // namespace testsupport
