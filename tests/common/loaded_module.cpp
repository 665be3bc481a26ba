#include "tests/common/loaded_module.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>
#include <string>

namespace testcommon {

pyxhost::Module& LoadedModule() {
  static std::unique_ptr<pyxhost::Module> module = [] {
    std::string error;
    auto loaded = pyxhost::Module::Load(pyxhost::DefaultModulePath(), &error);
    if (loaded) loaded->InitializeModuleData();
    return loaded;
  }();
  if (!module) {
    ADD_FAILURE() << "cannot load the module " << pyxhost::DefaultModulePath();
    std::abort();
  }
  return *module;
}

}  // namespace testcommon
