// Finding, loading and enumerating the vendor camera library.
//
// The library lies beside the module's own real file and is named after it:
// for a module file vuzezod_dal_<suffix> the library is lib<suffix>, matched
// without regard to ASCII letter case, with one retry without a version suffix
// (libPyxon.so.1.2.3 -> libPyxon.so).
//
// Threads: called only from InitializeModuleData on the host's module thread;
// not safe against concurrent calls.
#pragma once

#include <dlfcn.h>

#include <string>

#include "module/module_state.h"

// How the vendor library is loaded: all symbols bound at once, and the
// library's own symbols preferred over same-named ones already in the process,
// so that it keeps its own runtime whatever the host has loaded. Sanitizer
// runtimes refuse deep binding, so sanitizer builds load without it.
#ifdef PYXON_SANITIZER_BUILD
constexpr int kVendorLibraryOpenFlags = RTLD_NOW;
#else
constexpr int kVendorLibraryOpenFlags = RTLD_NOW | RTLD_DEEPBIND;
#endif

// The part of the module's file name that precedes the library's own suffix.
constexpr char kModuleFilePrefix[] = "vuzezod_dal_";
// The module's log file in the user's home directory.
constexpr char kModuleLogName[] = "dero.log";
// The application name announced to the library.
constexpr char kApplicationName[] = "dero";
// Time GigE cameras get to answer after GigE discovery was enabled.
constexpr unsigned kGigeSettleSeconds = 2;

// Runs the whole discovery once: log file, library search, load, bind,
// enumeration into the registry and creation of the open-camera map. Every
// failure is silent; what was reached stays in `state` (see module_state.h).
void RunDiscovery(ModuleState& state);

// Closes a log descriptor left by an earlier attempt, then opens
// "<home>/dero.log" write-only with truncation when it exists and is writable.
// The home directory is the password-database entry of the real user id.
void OpenModuleLog(ModuleState& state);

// True when the file at `path` (links followed, as the loader follows them) is
// a regular file holding a whole 64-bit little-endian shared object for this
// machine: its program headers and the file range of every loadable segment
// lie inside the file. Anything else is never handed to the loader.
bool IsCompleteSharedObject(const std::string& path);

// Splits the module's canonical path into the directory to search and the
// wanted library name. The prefix must begin the file's own name (the last path
// component), so directories named like the module cannot misdirect the search.
// False when the file name does not begin with kModuleFilePrefix.
bool SplitModulePath(const std::string& canonicalPath, std::string* directory,
                     std::string* wantedName);

// The path of the first entry of `directory`, in directory order, that is a
// regular file, symbolic link or socket (entry type bit 8) and whose name equals
// `wantedName` ignoring ASCII case; "" when there is none.
std::string FindInDirectory(const std::string& directory, const std::string& wantedName);

// FindInDirectory, then once more with the version suffix cut after the first
// ".so" when that is directly followed by '.'.
std::string FindVendorLibrary(const std::string& directory, const std::string& wantedName);
