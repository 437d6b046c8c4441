// The print options as IPP attributes: each of frontend::printOptions() is
// a vendor attribute by its ippName (NAME-default, NAME-supported, and NAME
// in a job).
//
// The cut is one of them (`cut`: never, end-of-page, end-of-job) rather than
// `finishings`: PAPPL 1.3 publishes finishings-supported itself from a
// bitfield that knows none, punch, staple and trim only, and
// finishings-default always as none, not settable per printer; a driver's
// own finishings attributes come out as duplicates. So trim-after-pages
// and trim-after-job cannot be offered, nor the factory cut (after the last
// page) be the default, through finishings on PAPPL 1.3.
//
//   two-way choices   boolean
//   other choices     keyword ("EndOfPage" is written end-of-page)
//   lines, numbers    integer, rangeOfInteger 0 to largest (dot lines)
#ifndef QMX_APP_IPP_OPTIONS_H_
#define QMX_APP_IPP_OPTIONS_H_

#include <cups/cups.h>

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "frontend/print_options.h"

namespace app {

enum class IppSyntax { kBoolean, kKeyword, kInteger };

IppSyntax ippSyntax(const frontend::OptionSpec& option);
// "EndOfPage" -> "end-of-page", "EscI" -> "esc-i".
std::string ippKeyword(std::string_view choiceKeyword);

// The options that are vendor attributes, in table order.
const std::vector<const frontend::OptionSpec*>& vendorOptions();

// Adds NAME-supported and NAME-default (the factory value) for every vendor
// option to `attrs`.
void addVendorAttributes(ipp_t* attrs);

// The web page's English labels of the vendor options and their choices,
// in the strings format papplSystemAddStringsData takes.
std::string englishStrings();

// Reads the text PAPPL hands over for a vendor option (from a job, the
// printer's defaults or `-o NAME=VALUE`): the IPP form above, or anything
// frontend::parseValue reads ("3mm", "EndOfPage"). False with *why set.
bool readVendorValue(const frontend::OptionSpec& option, std::string_view text, std::uint32_t* value,
                     std::string* why);

}  // namespace app

#endif  // QMX_APP_IPP_OPTIONS_H_
