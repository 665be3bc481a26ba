#include "tests/module/module_sandbox.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <grp.h>
#include <limits.h>
#include <link.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include "host/lib/host.h"
#include "tests/common/child_process.h"

namespace fs = std::filesystem;

namespace moduletest {

std::string BuiltModule() {
  return PYXON_MODULE_UNDER_TEST;
}

std::string FakeVendor(const std::string& variant) {
  return std::string(PYXON_FAKE_VENDOR_DIR) + "/libfake_" + variant + ".so";
}

Sandbox::Sandbox() {
  const char* tmp = std::getenv("TMPDIR");
  std::string pattern =
      std::string(tmp != nullptr && tmp[0] != '\0' ? tmp : "/tmp") + "/pyxon-module-test-XXXXXX";
  if (mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
  // Canonical, so that paths compare with what the module resolves; readable by
  // all, so that a child that gave up root rights can still load from here.
  root_ = fs::canonical(pattern).string();
  chmod(root_.c_str(), 0755);
}

Sandbox::~Sandbox() {
  std::error_code ignored;
  fs::remove_all(root_, ignored);
}

namespace {

void MakeParents(const std::string& path) {
  fs::create_directories(fs::path(path).parent_path());
}

}  // namespace

std::string Sandbox::makeDirectory(const std::string& relative) {
  const std::string full = path(relative);
  fs::create_directories(full);
  return full;
}

std::string Sandbox::copyFile(const std::string& from, const std::string& relative) {
  const std::string full = path(relative);
  MakeParents(full);
  fs::copy_file(from, full, fs::copy_options::overwrite_existing);
  return full;
}

std::string Sandbox::symlink(const std::string& target, const std::string& relative) {
  const std::string full = path(relative);
  MakeParents(full);
  fs::create_symlink(target, full);
  return full;
}

std::string Sandbox::writeFile(const std::string& relative, const std::string& content) {
  const std::string full = path(relative);
  MakeParents(full);
  std::ofstream(full, std::ios::binary | std::ios::trunc) << content;
  return full;
}

std::string Sandbox::installModule(const std::string& relative) {
  return copyFile(BuiltModule(), relative);
}

std::string Sandbox::installVendor(const std::string& variant, const std::string& relative) {
  return copyFile(FakeVendor(variant), relative);
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream content;
  content << in.rdbuf();
  return content.str();
}

void Report::put(const std::string& key, const std::string& value) {
  std::string line = key + "=" + value + "\n";
  const char* data = line.data();
  size_t left = line.size();
  while (left > 0) {
    const ssize_t written = write(fd_, data, left);
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) return;
    data += written;
    left -= static_cast<size_t>(written);
  }
}

std::string ChildOutcome::get(const std::string& key) const {
  const auto found = values.find(key);
  return found != values.end() ? found->second : std::string("<missing " + key + ">");
}

long long ChildOutcome::number(const std::string& key) const {
  const auto found = values.find(key);
  return found != values.end() ? std::atoll(found->second.c_str()) : -1;
}

std::vector<std::string> ChildOutcome::devices() const {
  std::vector<std::string> devices;
  for (size_t i = 0; has("device." + std::to_string(i)); ++i) {
    devices.push_back(get("device." + std::to_string(i)));
  }
  return devices;
}

ChildOutcome RunInChild(const std::function<void(Report&)>& body, std::chrono::seconds timeout) {
  ChildOutcome outcome;
  const testcommon::ChildRun run = testcommon::RunChildProcess(
      [&](int fd) {
        Report report(fd);
        try {
          body(report);
        } catch (const std::exception& e) {
          report.put("exception", e.what());
          return 3;
        }
        return 0;
      },
      timeout);
  if (!run.failure.empty()) {
    outcome.status = run.failure;
    return outcome;
  }
  const std::string& text = run.output;
  const bool timedOut = run.timedOut;
  const int status = run.status;

  std::istringstream lines(text);
  std::string line;
  while (std::getline(lines, line)) {
    const size_t equals = line.find('=');
    if (equals != std::string::npos)
      outcome.values[line.substr(0, equals)] = line.substr(equals + 1);
  }
  if (timedOut) {
    outcome.status = "child killed after timeout";
  } else if (WIFSIGNALED(status)) {
    outcome.status = std::string("child killed by signal ") + strsignal(WTERMSIG(status));
  } else if (WIFEXITED(status) && WEXITSTATUS(status) != 0) {
    outcome.status =
        "child exit code " + std::to_string(WEXITSTATUS(status)) + " " + outcome.get("exception");
  } else {
    outcome.status = "ok";
    outcome.completed = true;
  }
  return outcome;
}

namespace {

int CollectVendor(dl_phdr_info* info, size_t, void* data) {
  const std::string name = info->dlpi_name != nullptr ? info->dlpi_name : "";
  std::string base = fs::path(name).filename().string();
  for (char& c : base) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  if (base.rfind("libpyxon", 0) == 0) *static_cast<std::string*>(data) = name;
  return 0;
}

}  // namespace

void ReportVendor(Report& report) {
  std::string vendor;
  dl_iterate_phdr(CollectVendor, &vendor);
  report.put("vendor", vendor);
  if (vendor.empty()) return;
  void* handle = dlopen(vendor.c_str(), RTLD_NOW | RTLD_NOLOAD);
  if (handle == nullptr) return;
  using TextFn = const char* (*)();
  if (auto calls = reinterpret_cast<TextFn>(dlsym(handle, "fake_calls"))) {
    report.put("calls", calls());
  }
  if (auto probe = reinterpret_cast<TextFn>(dlsym(handle, "fake_probe_owner_seen"))) {
    report.put("probe", probe());
  }
  dlclose(handle);
}

void InitializeAndReport(const std::string& modulePath, Report& report, int times) {
  std::string error;
  auto module = pyxhost::Module::Load(modulePath, &error);
  if (!module) {
    report.put("load.error", error);
    return;
  }
  for (int i = 0; i < times; ++i) module->InitializeModuleData();
  const auto devices = module->ListDevices();
  report.put("count", static_cast<long long>(module->GetNumberOfDevices()));
  for (size_t i = 0; i < devices.size(); ++i) {
    report.put(
        "device." + std::to_string(i),
        devices[i].name + "|" + std::to_string(devices[i].type) + "|" + devices[i].description);
  }
  ReportVendor(report);
}

int DescriptorsOpenOn(const std::string& path, int* fd) {
  int count = 0;
  for (const auto& entry : fs::directory_iterator("/proc/self/fd")) {
    std::error_code error;
    const fs::path target = fs::read_symlink(entry.path(), error);
    if (!error && target == path) {
      ++count;
      if (fd != nullptr) *fd = std::atoi(entry.path().filename().c_str());
    }
  }
  return count;
}

bool DropRootRights() {
  if (geteuid() != 0) return true;
  constexpr uid_t kNobody = 65534;
  if (setgroups(0, nullptr) != 0) return false;
  if (setresgid(kNobody, kNobody, kNobody) != 0) return false;
  if (setresuid(kNobody, kNobody, kNobody) != 0) return false;
  return geteuid() != 0;
}

}  // namespace moduletest
