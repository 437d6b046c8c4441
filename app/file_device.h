// Printing into files, inside one folder the administrator names (server
// option file-device-folder): prnfile:///FOLDER/NAME appends each job to a
// file of the server's own, prnfile:///FOLDER/SUB/ writes a new file per job
// into that folder (job-000001.prn, ...). Without a folder, prnfile: is
// refused. Files are created owner-only; links, FIFOs and device nodes are
// never opened, and no path leaves the folder.
//
// Not file:, which PAPPL 1.3 keeps for itself and opens wherever the
// server's user may write (for root: anywhere), truncating what is there;
// papplDeviceAddScheme() cannot take the name over, so printers on file:
// are refused when they are set up (deviceUriAllowed).
#ifndef QMX_APP_FILE_DEVICE_H_
#define QMX_APP_FILE_DEVICE_H_

#include <pappl/pappl.h>

#include <string>

namespace app {

inline constexpr const char* kFileScheme = "prnfile";

// Names the folder prnfile: devices write into; "" for none. Once, before
// the server starts. False with *why set when `folder` is not an absolute
// path to a folder.
bool setFileDeviceFolder(const std::string& folder, std::string* why);

// The folder prnfile: devices write into; "" for none.
const std::string& fileDeviceFolder();

// Registers the scheme with PAPPL; once, before the server starts.
void addFileDeviceScheme();

// Whether a printer may be set up on `uri`: never file:, prnfile: only
// inside the folder; every other scheme is PAPPL's to judge. False with
// *why set.
bool deviceUriAllowed(const char* uri, std::string* why);

// Ends the job's file of a folder device, so that the next job writes a
// file of its own; any other device is left alone. The driver calls it at
// the end of every job.
void endFileDeviceJob(pappl_device_t* device);

// The local path of a prnfile: URI (prnfile:///PATH or prnfile://localhost/PATH),
// or "" with *why set when the URI is not one this device opens.
std::string filePathOf(const char* uri, std::string* why);

}  // namespace app

#endif  // QMX_APP_FILE_DEVICE_H_
