// Printing into files: prnfile:///PATH appends each job to a file (as on a
// roll of paper), prnfile:///DIR/ writes a new file per job into that
// folder (job-000001.prn, ...), prnfile:///dev/... writes to a character
// device.
//
// Not file:, which PAPPL 1.3 keeps for itself: its own file: device is one
// that papplDeviceIsSupported() refuses, so Create-Printer turns file: URIs
// away, and papplDeviceAddScheme() cannot take the name over.
#ifndef QMX_APP_FILE_DEVICE_H_
#define QMX_APP_FILE_DEVICE_H_

#include <pappl/pappl.h>

#include <string>

namespace app {

// Registers the scheme with PAPPL; once, before the server starts.
void addFileDeviceScheme();

inline constexpr const char* kFileScheme = "prnfile";

// Ends the job's file of a folder device, so that the next job writes a
// file of its own; any other device is left alone. The driver calls it at
// the end of every job.
void endFileDeviceJob(pappl_device_t* device);

// The local path of a prnfile: URI (prnfile:///PATH or prnfile://localhost/PATH),
// or "" with *why set when the URI is not one this device opens.
std::string filePathOf(const char* uri, std::string* why);

}  // namespace app

#endif  // QMX_APP_FILE_DEVICE_H_
