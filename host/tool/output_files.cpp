// Temporary outputs renamed over their targets on success.
#include "host/tool/output_files.h"

#include <fcntl.h>
#include <limits.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "host/tool/interrupt.h"
#include "host/tool/tool_error.h"

namespace pyxtool {

namespace {

std::string Folder(const std::string& path) {
  const size_t slash = path.find_last_of('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

std::string Base(const std::string& path) {
  const size_t slash = path.find_last_of('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string RealPath(const std::string& path) {
  char resolved[PATH_MAX];
  return realpath(path.c_str(), resolved) != nullptr ? std::string(resolved) : std::string();
}

[[noreturn]] void CannotWrite(const std::string& target, int error) {
  throw ToolError(kExitFailure, "cannot write " + target + ": " + std::strerror(error));
}

}  // namespace

OutputFiles::~OutputFiles() {
  for (const Output& output : outputs_) {
    if (output.temporary.empty()) continue;
    InterruptGuard::ForgetTemporary(output.temporary);
    unlink(output.temporary.c_str());
  }
}

std::string OutputFiles::add(const std::string& target, const std::string& option) {
  Output output;
  output.target = target;
  output.option = option;
  if (target.empty() || target.back() == '/') CannotWrite(target, EISDIR);
  // An existing target (or the file a link points to) is replaced where it
  // is; a new one is created in its folder as named.
  output.resolved = RealPath(target);
  struct stat info {};
  if (!output.resolved.empty() && stat(output.resolved.c_str(), &info) == 0) {
    if (S_ISDIR(info.st_mode)) CannotWrite(target, EISDIR);
    if (access(output.resolved.c_str(), W_OK) != 0) CannotWrite(target, errno);
    output.exists = true;
    output.device = info.st_dev;
    output.inode = info.st_ino;
  } else {
    const std::string folder = RealPath(Folder(target));
    if (folder.empty()) CannotWrite(target, errno);
    output.resolved = (folder == "/" ? "" : folder) + "/" + Base(target);
  }
  for (const Output& other : outputs_) {
    const bool sameFile = other.resolved == output.resolved ||
                          (other.exists && output.exists && other.device == output.device &&
                           other.inode == output.inode);
    if (sameFile) {
      throw ToolError(kExitUsage, option + " " + target + " and " + other.option + " " +
                                      other.target + " are the same file; give each its own");
    }
  }

  // A hidden name beside the target: the rename stays within one file system.
  static std::atomic<unsigned> serial{0};
  const std::string stem = Folder(output.resolved) + "/." + Base(output.resolved) + ".pyxon-" +
                           std::to_string(getpid()) + "-";
  for (;;) {
    output.temporary = stem + std::to_string(serial.fetch_add(1));
    const int fd = open(output.temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd >= 0) {
      close(fd);
      break;
    }
    if (errno != EEXIST) CannotWrite(target, errno);
  }
  // A replaced file keeps its permissions.
  if (output.exists) chmod(output.temporary.c_str(), info.st_mode & 07777);
  InterruptGuard::NoteTemporary(output.temporary);
  outputs_.push_back(output);
  return output.temporary;
}

void OutputFiles::commit() {
  for (Output& output : outputs_) {
    if (output.temporary.empty()) continue;
    if (rename(output.temporary.c_str(), output.resolved.c_str()) != 0)
      CannotWrite(output.target, errno);
    InterruptGuard::ForgetTemporary(output.temporary);
    output.temporary.clear();
  }
}

void OutputFiles::drop(const std::string& temporary) {
  for (Output& output : outputs_) {
    if (output.temporary.empty() || output.temporary != temporary) continue;
    InterruptGuard::ForgetTemporary(output.temporary);
    unlink(output.temporary.c_str());
    output.temporary.clear();
  }
}

}  // namespace pyxtool
