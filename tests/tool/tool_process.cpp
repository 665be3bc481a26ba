// Child-process handling for the end-to-end tests.
#include "tool_process.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

extern char** environ;

namespace tooltest {

namespace {

std::string MakeTempDirectory() {
  std::string pattern = (std::filesystem::temp_directory_path() / "pyxon-test-XXXXXX").string();
  if (mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
  return pattern;
}

}  // namespace

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

bool FileExists(const std::string& path) {
  return access(path.c_str(), F_OK) == 0;
}

TempDir::TempDir() : path_(MakeTempDirectory()) {}

TempDir::~TempDir() {
  std::error_code ignored;
  std::filesystem::remove_all(path_, ignored);
}

ToolProcess::ToolProcess(const std::vector<std::string>& args, unsigned long fileSizeLimit)
    : directory_(MakeTempDirectory()) {
  std::vector<std::string> argv = {PYXON_TOOL_PATH};
  argv.insert(argv.end(), args.begin(), args.end());
  std::vector<char*> pointers;
  for (std::string& arg : argv) pointers.push_back(arg.data());
  pointers.push_back(nullptr);

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, (directory_ + "/out").c_str(),
                                   O_WRONLY | O_CREAT | O_TRUNC, 0600);
  posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, (directory_ + "/err").c_str(),
                                   O_WRONLY | O_CREAT | O_TRUNC, 0600);
  // The child starts with default signal handling whatever the test runner set.
  posix_spawnattr_t attributes;
  posix_spawnattr_init(&attributes);
  sigset_t defaults;
  sigemptyset(&defaults);
  sigaddset(&defaults, SIGINT);
  sigaddset(&defaults, SIGTERM);
  sigaddset(&defaults, SIGHUP);
  sigaddset(&defaults, SIGQUIT);
  posix_spawnattr_setsigdefault(&attributes, &defaults);
  sigset_t none;
  sigemptyset(&none);
  posix_spawnattr_setsigmask(&attributes, &none);
  posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK);
  // The limit and the ignored SIGXFSZ are inherited: set them around the spawn.
  struct rlimit previousLimit {};
  getrlimit(RLIMIT_FSIZE, &previousLimit);
  struct sigaction previousXfsz {};
  if (fileSizeLimit > 0) {
    struct rlimit limit = previousLimit;
    limit.rlim_cur = fileSizeLimit;
    setrlimit(RLIMIT_FSIZE, &limit);
    struct sigaction ignore {};
    ignore.sa_handler = SIG_IGN;
    sigaction(SIGXFSZ, &ignore, &previousXfsz);
  }
  const int result =
      posix_spawn(&pid_, argv[0].c_str(), &actions, &attributes, pointers.data(), environ);
  if (fileSizeLimit > 0) {
    setrlimit(RLIMIT_FSIZE, &previousLimit);
    sigaction(SIGXFSZ, &previousXfsz, nullptr);
  }
  posix_spawnattr_destroy(&attributes);
  posix_spawn_file_actions_destroy(&actions);
  if (result != 0) throw std::runtime_error("cannot start " + argv[0]);
}

ToolProcess::~ToolProcess() {
  if (!reaped_) {
    kill(pid_, SIGKILL);
    waitpid(pid_, &status_, 0);
  }
  std::error_code ignored;
  std::filesystem::remove_all(directory_, ignored);
}

void ToolProcess::signal(int number) {
  kill(pid_, number);
}

std::string ToolProcess::currentStderr() const {
  return ReadFile(directory_ + "/err");
}

bool ToolProcess::waitForStderr(const std::string& text, std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (std::chrono::steady_clock::now() < deadline) {
    if (currentStderr().find(text) != std::string::npos) return true;
    if (!reaped_ && waitpid(pid_, &status_, WNOHANG) == pid_) reaped_ = true;
    if (reaped_) return currentStderr().find(text) != std::string::npos;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return false;
}

ToolRun ToolProcess::finish(std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  bool killed = false;
  while (!reaped_) {
    if (waitpid(pid_, &status_, WNOHANG) == pid_) {
      reaped_ = true;
      break;
    }
    if (std::chrono::steady_clock::now() >= deadline) {
      kill(pid_, SIGKILL);
      waitpid(pid_, &status_, 0);
      reaped_ = true;
      killed = true;
      break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  ToolRun run;
  run.exitCode = !killed && WIFEXITED(status_) ? WEXITSTATUS(status_) : -1;
  run.out = ReadFile(directory_ + "/out");
  run.err = ReadFile(directory_ + "/err");
  return run;
}

ToolRun RunTool(const std::vector<std::string>& args, std::chrono::milliseconds timeout) {
  ToolProcess process(args);
  return process.finish(timeout);
}

}  // namespace tooltest
