#include "host/linked_module.h"

#include "plugin/module.h"

namespace host {

std::unique_ptr<PluginModule> linkedModule() {
  return PluginModule::fromEntryPoints(&DllGetClassObject, &DllCanUnloadNow);
}

}  // namespace host
