// The printer's test page: one receipt that lets a shop check its printer
// and its settings.
//
//   - the printer's name, device and loaded paper, and the app's version;
//   - every print option in effect: what a job that names none gets
//     (app/printer_defaults.h);
//   - a millimetre ruler down the left edge, the whole page long (a tick
//     each millimetre, longer each 5, numbered each 10 from the page's
//     first row): the paper's length is measured against it;
//   - the first and last dot columns marked: a line down each edge of the
//     576 dots, arrows at the top pointing at them; a column lost or moved
//     shows as a missing line;
//   - a grey ramp from white to black in eleven steps, which the printer
//     can only dither.
//
// It is a PNG image, 576 dots wide at 203 dpi (pHYs), 8-bit grey, printed
// as any picture a client sends: at its own resolution it fits the head
// exactly, so nothing scales it. It is no longer than the loaded paper (a
// taller picture would be shrunk to fit), cut short there if need be.
//
// The web page's button and `qmx415u-app testpage` (app/vendor_ops.h) print
// it; PAPPL's own callback (pappl_pr_driver_data_t.testpage_cb) writes it.
#ifndef QMX_APP_TEST_PAGE_H_
#define QMX_APP_TEST_PAGE_H_

#include <pappl/pappl.h>

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "app/grey_png.h"

namespace app {

inline constexpr std::uint32_t kTestPageWidth = 576;

struct TestPageFacts {
  std::string printer;
  std::string device;
  std::string paper;    // e.g. "80 x 297 mm roll, continuous"
  std::string version;  // the app's
  std::vector<std::pair<std::string, std::string>> options;  // name, value in effect
  std::uint32_t mostRows = 0;  // the loaded paper's length in dot rows; 0: no bound
};

// What `printer` prints its test page with.
TestPageFacts testPageFacts(pappl_printer_t* printer);

// The page, kTestPageWidth dots wide.
GreyImage drawTestPage(const TestPageFacts& facts);

// Where test page files are written (the spool folder, which PAPPL clears
// of a job's file when the job goes); once, before the server starts.
void setTestPageFolder(const std::string& folder);

// Writes a new test page file for `printer`: its path, or "" with *why set.
std::string writeTestPage(pappl_printer_t* printer, std::string* why);

// pappl_pr_testpage_cb_t: the file's path in `buffer`, or null.
const char* testPageFile(pappl_printer_t* printer, char* buffer, std::size_t size);

// A job printing the test page on `printer` for `user`; null with *why set.
pappl_job_t* printTestPage(pappl_printer_t* printer, const char* user, std::string* why);

}  // namespace app

#endif  // QMX_APP_TEST_PAGE_H_
