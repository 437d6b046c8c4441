// The plug-in module linked into this program (library qmx_host_linked):
// the same entry points as the shared library, without loading anything.
// Its module-wide state is this program's own, so tests can look into it.
#ifndef QMX_HOST_LINKED_MODULE_H_
#define QMX_HOST_LINKED_MODULE_H_

#include <memory>

#include "host/module_loader.h"

namespace host {

std::unique_ptr<PluginModule> linkedModule();

}  // namespace host

#endif  // QMX_HOST_LINKED_MODULE_H_
