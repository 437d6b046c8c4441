// What the printer should print for a job: the expected paper that the
// emulator's rendering is compared with.
#ifndef QMX_TESTING_PAPER_MODEL_H_
#define QMX_TESTING_PAPER_MODEL_H_

#include <cstddef>
#include <vector>

#include "emulator/emulator.h"
#include "testing/test_support.h"

namespace testsupport {

struct ExpectedPaper {
  std::vector<emulator::Row> rows;
  std::vector<std::size_t> cutRows;  // paper row at each cut
  std::vector<int> cutKinds;
};

// Where the plug-in kept the job's pages: a job without pages sends "page 0"
// at its end, whose body is its top margin from a page buffer, and nothing
// from a page file (the empty file its open creates).
enum class PageStore { kMemory, kFiles };

// Pages as the plug-in should send them, with the job's settings as the
// plug-in's range checks leave them (the record must hold in-range values).
// The last page of a block-mode job loses its trailing blank lines unless
// they are kept.
ExpectedPaper expectedPaper(const std::uint8_t* record, const std::vector<Page>& pages,
                            PageStore store = PageStore::kMemory);

// Parses a captured job strictly; fails the current test on a bad stream.
emulator::Paper decodeStrict(const std::vector<Bytes>& groups);

}  // namespace testsupport

#endif  // QMX_TESTING_PAPER_MODEL_H_
