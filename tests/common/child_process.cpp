#include "tests/common/child_process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>

namespace testcommon {

void WriteAll(int fd, const std::string& text) {
  const char* data = text.data();
  size_t left = text.size();
  while (left > 0) {
    const ssize_t written = write(fd, data, left);
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) return;
    data += written;
    left -= static_cast<size_t>(written);
  }
}

namespace {

// Reads until the writer closes the pipe; false when the deadline came first.
bool ReadUntilClosed(int fd, std::chrono::steady_clock::time_point deadline, std::string* out) {
  for (;;) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) return false;
    pollfd pfd{fd, POLLIN, 0};
    const int ready = poll(&pfd, 1, static_cast<int>(left.count()));
    if (ready <= 0) continue;  // interrupted, or the deadline (checked above)
    char buffer[4096];
    const ssize_t got = read(fd, buffer, sizeof buffer);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) return true;
    out->append(buffer, static_cast<size_t>(got));
  }
}

}  // namespace

ChildRun RunChildProcess(const std::function<int(int fd)>& body, std::chrono::seconds timeout) {
  ChildRun run;
  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0) {
    run.failure = "pipe failed";
    return run;
  }
  const pid_t child = fork();
  if (child < 0) {
    close(fds[0]);
    close(fds[1]);
    run.failure = "fork failed";
    return run;
  }
  if (child == 0) {
    close(fds[0]);
    int code = 3;
    try {
      code = body(fds[1]);
    } catch (...) {
      WriteAll(fds[1], "exception escaped the child's body\n");
    }
    close(fds[1]);
    _exit(code);
  }
  close(fds[1]);
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  run.timedOut = !ReadUntilClosed(fds[0], deadline, &run.output);
  close(fds[0]);
  if (run.timedOut) kill(child, SIGKILL);
  while (waitpid(child, &run.status, 0) < 0 && errno == EINTR) {
  }
  return run;
}

}  // namespace testcommon
