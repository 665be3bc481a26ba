// Output files a command creates. Each is written to a temporary file in its
// target's folder and renamed over the target only when the command succeeds,
// so a failed or interrupted run leaves an existing file as it was and no
// half-written file behind.
#pragma once

#include <string>
#include <vector>

namespace pyxtool {

class OutputFiles {
 public:
  OutputFiles() = default;
  // Removes the temporaries that were not committed.
  ~OutputFiles();
  OutputFiles(const OutputFiles&) = delete;
  OutputFiles& operator=(const OutputFiles&) = delete;

  // Claims `target` (an option's value, named `option` in messages) and
  // creates its temporary; returns the temporary's path, to write instead of
  // the target. A target that is a symbolic link keeps the link: the file it
  // points to is replaced. Throws ToolError: kExitUsage when `target` is the
  // same file as one claimed before (through links or another spelling of the
  // path too), kExitFailure when it cannot be written.
  std::string add(const std::string& target, const std::string& option);
  // Renames every temporary over its target, in the order they were added.
  // Throws ToolError (kExitFailure) when a rename fails.
  void commit();
  // Removes one temporary now; commit() then leaves its target alone.
  void drop(const std::string& temporary);

 private:
  struct Output {
    std::string target;     // as the user gave it
    std::string resolved;   // the file that is replaced
    std::string temporary;  // empty once committed
    std::string option;
    bool exists = false;  // the target existed: its device and inode follow
    unsigned long long device = 0;
    unsigned long long inode = 0;
  };
  std::vector<Output> outputs_;
};

}  // namespace pyxtool
