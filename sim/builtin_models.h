// The built-in model files, compiled into the library from sim/models/ (the
// build generates their definition), so that the library never depends on
// finding files at run time.
#pragma once

#include <cstddef>

namespace pyxsim {

struct BuiltinModelFile {
  const char* name;  // file name, for messages
  const char* text;
};

// In catalogue order.
extern const BuiltinModelFile kBuiltinModelFiles[];
extern const size_t kBuiltinModelFileCount;

}  // namespace pyxsim
