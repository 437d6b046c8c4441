// The folders the plug-in's platform layer reads, fixed once per process.
//
// A loaded plug-in module has its own copy of the platform layer, which
// finds the INI folder and the spool folder through the environment
// (QMX415U_INI_DIR, QMX415U_SPOOL_DIR). The environment must not change
// while other threads may read it, so it is set once, here, before any
// thread starts; jobs never touch it. The host writes each job's INI file
// into the work folder, so that folder is the host's own.
#ifndef QMX_HOST_PROCESS_H_
#define QMX_HOST_PROCESS_H_

#include <string>

namespace host {

struct ProcessSettings {
  // Folder for the INI file the host writes per job. Empty: a new folder
  // only this user can use, removed when the process exits.
  std::string workDir;
  // Folder standing for the common-documents folder, where the plug-in
  // keeps page files. Empty: the work folder.
  std::string spoolDir;
};

struct ProcessFolders {
  std::string workDir;
  std::string spoolDir;
  bool ownsWorkDir = false;  // made here, removed at exit
};

// Fixes the folders for the rest of the process. Call it before starting
// threads. A later call succeeds only when it asks for what is in force
// (empty fields ask for nothing in particular); otherwise false with
// *error set and nothing changed.
bool configureProcess(const ProcessSettings& settings, std::string* error);

// The folders in force; configures the defaults on first use when nothing
// was configured. Null with *error set when no folder could be made.
const ProcessFolders* processFolders(std::string* error);

}  // namespace host

#endif  // QMX_HOST_PROCESS_H_
