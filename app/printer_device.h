// Changing a printer's device. PAPPL 1.3 sets a printer's device URI only
// when the printer is made, and has no call to change it: the printer is
// therefore made again on the new device, under the same name and id (so
// its IPP URI, its web pages and its jobs' numbering go on), with what was
// set for it: its printing defaults and their vendor options, the loaded
// paper, location, organization, contact, DNS-SD name, print group, job
// limits, and whether it is the default printer. Its job history goes.
//
// Only a printer with no job waiting or printing is made again: PAPPL
// frees a deleted printer's jobs at once.
#ifndef QMX_APP_PRINTER_DEVICE_H_
#define QMX_APP_PRINTER_DEVICE_H_

#include <pappl/pappl.h>

#include <string>

#include "app/device_choice.h"

namespace app {

// The printer as it is afterwards (`printer` may be gone): made again on
// `device`, with *why empty; or, with *why set, left as it was (the change
// refused) or made again on its old device (the new one failed). Null when
// it could not be made again at all.
pappl_printer_t* changeDevice(pappl_printer_t* printer, const DeviceChoice& device, std::string* why);

// Whether the printer `id` is being made again at this moment: its
// deletion is part of a change of device, and what is kept for it (its
// jobs' paper) stays.
bool beingMadeAgain(int id);

}  // namespace app

#endif  // QMX_APP_PRINTER_DEVICE_H_
