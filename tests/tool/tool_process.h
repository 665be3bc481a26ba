// Running the pyxon executable as a child process, as a user would.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <string>
#include <vector>

namespace tooltest {

struct ToolRun {
  int exitCode = -1;  // -1: did not exit by itself (killed after the time limit)
  std::string out;
  std::string err;
};

// A running tool whose output goes to files in a private temporary directory.
class ToolProcess {
 public:
  // With `fileSizeLimit` (bytes) the child may not grow any file beyond it: its
  // writes then fail with EFBIG (SIGXFSZ is ignored), as on a full disk.
  explicit ToolProcess(const std::vector<std::string>& args, unsigned long fileSizeLimit = 0);
  ~ToolProcess();
  ToolProcess(const ToolProcess&) = delete;
  ToolProcess& operator=(const ToolProcess&) = delete;

  // Sends a signal to the child.
  void signal(int number);
  // Waits until `text` appears on stderr; false after `timeout`, or when the
  // child ended without printing it.
  bool waitForStderr(const std::string& text, std::chrono::milliseconds timeout);
  // Waits for the child to end (killing it after `timeout`) and collects its output.
  ToolRun finish(std::chrono::milliseconds timeout);
  std::string currentStderr() const;

 private:
  pid_t pid_ = -1;
  std::string directory_;
  bool reaped_ = false;
  int status_ = 0;
};

// Runs the tool to its end; a run that takes longer than the limit is killed.
ToolRun RunTool(const std::vector<std::string>& args,
                std::chrono::milliseconds timeout = std::chrono::seconds(60));

// A fresh empty directory under the system's temporary directory, removed
// with its contents when the object goes.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::string& path() const { return path_; }
  std::string file(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

std::string ReadFile(const std::string& path);
bool FileExists(const std::string& path);

}  // namespace tooltest
