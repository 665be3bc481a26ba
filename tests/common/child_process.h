// Runs a piece of a test in a forked child process, so that module-wide state
// (a loaded library, discovery, the device list) starts fresh and a crash or
// hang ends the child, not the test program. The child writes what it has to
// say to a pipe; the parent collects it until the child closes the pipe or the
// time is up (then the child is killed).
#pragma once

#include <chrono>
#include <functional>
#include <string>

namespace testcommon {

struct ChildRun {
  std::string failure;    // "pipe failed" or "fork failed"; empty when the child ran
  std::string output;     // everything the child wrote
  bool timedOut = false;  // killed after the time was up
  int status = 0;         // as waitpid gives it
};

// `body` runs in the child with the pipe's write end and returns the child's
// exit code; the child then leaves with _exit, skipping the exit handlers and
// buffered output it copied from the parent.
ChildRun RunChildProcess(const std::function<int(int fd)>& body, std::chrono::seconds timeout);

// Writes the whole text to `fd` (as much as the pipe takes).
void WriteAll(int fd, const std::string& text);

}  // namespace testcommon
