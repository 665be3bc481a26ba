// The built module, loaded once per test program as the host loads it, with
// its module data initialised. A program that cannot load it stops there.
#pragma once

#include "host/lib/host.h"

namespace testcommon {

pyxhost::Module& LoadedModule();

}  // namespace testcommon
