// A look at a shared library's file before anything loads it.
//
// The dynamic loader maps a library's segments as its program headers
// describe them; a file cut short maps pages past its end, and touching them
// kills the process with SIGBUS. Reading the headers first turns an empty,
// truncated or foreign file into a message.
#pragma once

#include <string>

namespace pyxtool {

// Empty when `path` looks like a complete ELF shared object this process could
// load: ELF magic, this machine's class, byte order and architecture, a shared
// object (or position-independent executable), program headers inside the
// file, and every loadable segment's file part inside the file. Otherwise a
// short reason ("the file is empty", "truncated: ...").
std::string SharedObjectProblem(const std::string& path);

}  // namespace pyxtool
