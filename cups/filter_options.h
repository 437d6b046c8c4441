// A job's print options as the raster filter gets them: the job's own
// values (argv[5], `lp -o Name=Value`), else the PPD's defaults (the
// queue's *Default lines, which `lpadmin -o Name-default=...` sets), else
// the factory settings. CUPS hands a value typed into a custom field as
// "Custom.VALUE". A value that does not read gives a warning and the next
// source's value.
#ifndef QMX_CUPS_FILTER_OPTIONS_H_
#define QMX_CUPS_FILTER_OPTIONS_H_

#include <cups/cups.h>
#include <cups/ppd.h>

#include <string>
#include <vector>

#include "frontend/print_options.h"

namespace qmxcups {

// `ppd` may be null (no PPD: job values and factory settings only). Each
// warning is one sentence for a WARNING: line.
frontend::PrintOptions resolveOptions(int numOptions, cups_option_t* options, ppd_file_t* ppd,
                                      std::vector<std::string>* warnings);

// The option's value text without CUPS' "Custom." prefix.
std::string withoutCustomPrefix(const std::string& text);

}  // namespace qmxcups

#endif  // QMX_CUPS_FILTER_OPTIONS_H_
