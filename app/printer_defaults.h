// What a job gets from its printer for what it does not name itself:
//
//   each print option    the printer's NAME-default (the Printing Defaults
//                        page, `modify -o NAME=VALUE`), else the factory
//                        value
//   black-mark paper     also when the paper the job prints on is tracked by
//                        its marks (media-tracking "mark": the loaded paper
//                        on the Media page, or the job's own media-col): the
//                        Media page's tracking and the Printing Defaults
//                        page's checkbox say the same thing, and either
//                        selects it; a job that names black-mark decides
//
// The job path applies it (app/job_options.h); the test page shows it.
#ifndef QMX_APP_PRINTER_DEFAULTS_H_
#define QMX_APP_PRINTER_DEFAULTS_H_

#include <pappl/pappl.h>

#include <string>

#include "frontend/print_options.h"

namespace app {

inline constexpr const char* kBlackMarkOption = "black-mark";

// Whether `media` is paper tracked by its marks.
bool markedPaper(const pappl_media_col_t& media);

// Selects black-mark paper in `settings` when the job did not name
// black-mark and prints on marked paper.
void applyPaperTracking(const pappl_media_col_t& media, bool jobNamedBlackMark, frontend::PrintOptions* settings);

// Every option as a job that names none gets it from `printer`.
frontend::PrintOptions printerDefaults(pappl_printer_t* printer);

// A value as a person reads it: a choice's keyword, a number, or lines
// with their length ("96 lines (12 mm)").
std::string valueText(const frontend::OptionSpec& option, std::uint32_t value);

}  // namespace app

#endif  // QMX_APP_PRINTER_DEFAULTS_H_
