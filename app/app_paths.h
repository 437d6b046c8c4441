// Where the server finds the programs it runs and keeps the folders that
// go with its state file.
#ifndef QMX_APP_APP_PATHS_H_
#define QMX_APP_APP_PATHS_H_

#include <string>

namespace app {

// The program `name` beside this one (a build tree), else `installed`.
std::string programBesideThis(const char* name, const char* installed);

// A folder beside the state file: its name with ".state" made `suffix`
// (".queue", ".paper"), or `suffix` added when it has no ".state".
std::string besideStateFile(const std::string& stateFile, const char* suffix);

}  // namespace app

#endif  // QMX_APP_APP_PATHS_H_
