// Failures of the command-line tool and the exit codes they map to.
//
// Commands throw ToolError; main() prints "pyxon: <message>" and exits with the
// code. Nothing of this crosses the device interface: it lives in the tool only.
#pragma once

#include <stdexcept>
#include <string>

namespace pyxtool {

enum ExitCode : int {
  kExitOk = 0,
  kExitFailure = 1,       // the camera refused or failed, or a file could not be written
  kExitUsage = 2,         // bad command line: unknown command, option, camera or model
  kExitNoModule = 3,      // the module or its camera library is missing or unloadable
  kExitInterrupted = 130  // a signal ended the command (a recording keeps the frames written)
};

class ToolError : public std::runtime_error {
 public:
  ToolError(int exitCode, const std::string& message)
      : std::runtime_error(message), exitCode_(exitCode) {}
  int exitCode() const { return exitCode_; }

 private:
  int exitCode_;
};

}  // namespace pyxtool
