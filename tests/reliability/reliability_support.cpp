#include "tests/reliability/reliability_support.h"

#include <dirent.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include "tests/common/child_process.h"
#include "tests/common/loaded_module.h"

namespace reltest {

bool LongStress() {
  const char* value = std::getenv("PYXON_STRESS_LONG");
  return value != nullptr && std::strcmp(value, "1") == 0;
}

int StressCount(int defaultCount) {
  return LongStress() ? defaultCount * 10 : defaultCount;
}

// ---- raw calls ----------------------------------------------------------------------

int Initialize(MM::Device* device) {
  return Slot<int()>(device, slot::kInitialize);
}
int Shutdown(MM::Device* device) {
  return Slot<int()>(device, slot::kShutdown);
}
int Snap(MM::Camera* camera) {
  return Slot<int()>(camera, slot::kSnap);
}

int StartSequence(MM::Camera* camera, long images, double intervalMs, bool stopOnOverflow) {
  return Slot<int(long, double, bool)>(camera, slot::kStartSequence, images, intervalMs,
                                       stopOnOverflow);
}

int StartContinuous(MM::Camera* camera, double intervalMs) {
  return Slot<int(double)>(camera, slot::kStartContinuous, intervalMs);
}

int StopSequence(MM::Camera* camera) {
  return Slot<int()>(camera, slot::kStopSequence);
}
bool IsCapturing(MM::Camera* camera) {
  return Slot<bool()>(camera, slot::kIsCapturing);
}

std::string GetProperty(const MM::Device* device, const std::string& name, int* error) {
  char buffer[MM::kMaxHostText] = {};
  const int result =
      Slot<int(const char*, char*)>(device, slot::kGetProperty, name.c_str(), buffer);
  if (error != nullptr) *error = result;
  return result == 0 ? std::string(buffer) : std::string();
}

int SetProperty(MM::Device* device, const std::string& name, const std::string& value) {
  return Slot<int(const char*, const char*)>(device, slot::kSetProperty, name.c_str(),
                                             value.c_str());
}

std::vector<std::string> PropertyNames(const MM::Device* device) {
  std::vector<std::string> names;
  char buffer[MM::kMaxHostText];
  for (unsigned i = 0; Slot<bool(unsigned, char*)>(device, slot::kGetPropertyName, i, buffer);
       ++i) {
    names.emplace_back(buffer);
  }
  return names;
}

std::vector<std::string> AllowedValues(const MM::Device* device, const std::string& name) {
  std::vector<std::string> values;
  const unsigned count = Slot<unsigned(const char*)>(device, slot::kValueCount, name.c_str());
  char buffer[MM::kMaxHostText];
  for (unsigned i = 0; i < count; ++i) {
    if (Slot<bool(const char*, unsigned, char*)>(device, slot::kValueAt, name.c_str(), i, buffer)) {
      values.emplace_back(buffer);
    }
  }
  return values;
}

std::string ErrorText(const MM::Device* device, int code) {
  char buffer[MM::kMaxHostText] = {};
  Slot<bool(int, char*)>(device, slot::kErrorText, code, buffer);
  return buffer;
}

// ---- frames -------------------------------------------------------------------------

uint64_t SnappedStamp(MM::Camera* camera) {
  const auto* pixels = Slot<const unsigned char*()>(camera, slot::kImageBuffer);
  const unsigned width = Slot<unsigned()>(camera, slot::kWidth);
  const unsigned height = Slot<unsigned()>(camera, slot::kHeight);
  const unsigned bytesPerPixel = Slot<unsigned()>(camera, slot::kBytesPerPixel);
  const long size = Slot<long()>(camera, slot::kBufferSize);
  const size_t bytes = size_t{width} * height * bytesPerPixel;
  if (pixels == nullptr || size < 0 || static_cast<size_t>(size) != bytes) return 0;
  uint64_t number = 0;
  return pyxsim_read_stamp(pixels, bytes, &number) ? number : 0;
}

uint64_t CheckImages(const std::vector<pyxhost::HostImage>& images, uint64_t after,
                     std::vector<std::string>* problems) {
  uint64_t last = after;
  for (size_t i = 0; i < images.size(); ++i) {
    const pyxhost::HostImage& image = images[i];
    std::ostringstream where;
    where << "image " << i << " (" << image.width << "x" << image.height << "x"
          << image.bytesPerPixel << "): ";
    const size_t expected = size_t{image.width} * image.height * image.bytesPerPixel;
    if (expected < 16 || image.byteCount != expected) {
      problems->push_back(where.str() + "size " + std::to_string(image.byteCount));
      continue;
    }
    if (image.headWord != image.tailWord || image.headWord == 0) {
      problems->push_back(where.str() + "torn stamp " + std::to_string(image.headWord) + "/" +
                          std::to_string(image.tailWord));
      continue;
    }
    if (image.headWord <= last) {
      problems->push_back(where.str() + "stamp " + std::to_string(image.headWord) + " not after " +
                          std::to_string(last));
    }
    last = std::max(last, image.headWord);
  }
  return last;
}

// ---- the module ---------------------------------------------------------------------

pyxhost::Module& LoadedModule() {
  return testcommon::LoadedModule();
}

DeviceSet::~DeviceSet() {
  DestroyAll();
}

MM::Camera* DeviceSet::Create(const std::string& name, HostCallback* host) {
  MM::Device* device = LoadedModule().CreateDevice(name.c_str());
  if (device == nullptr) {
    ADD_FAILURE() << "CreateDevice(" << name << ") returned null";
    return nullptr;
  }
  Slot<void(HostCallback*)>(device, slot::kSetCallback, host);
  MM::Camera* camera = pyxhost::AsCamera(device);
  devices_.push_back(camera);
  return camera;
}

MM::Camera* DeviceSet::Open(const std::string& name, HostCallback* host) {
  MM::Camera* camera = Create(name, host);
  if (camera == nullptr) return nullptr;
  const int result = Initialize(camera);
  if (result != 0) {
    ADD_FAILURE() << "Initialize of " << name << " returned " << result;
    return nullptr;
  }
  return camera;
}

void DeviceSet::Destroy(MM::Camera* camera) {
  Release(camera);
  Shutdown(camera);
  LoadedModule().DeleteDevice(camera);
}

void DeviceSet::Release(MM::Camera* camera) {
  devices_.erase(std::remove(devices_.begin(), devices_.end(), camera), devices_.end());
}

void DeviceSet::DestroyAll() {
  while (!devices_.empty()) Destroy(devices_.back());
}

void ReliabilityTest::SetUp() {
  ASSERT_TRUE(sim_.ok()) << sim_.error();
  LoadedModule();
  sim_.reset();
}

void ReliabilityTest::TearDown() {
  devices_.DestroyAll();
  sim_.reset();
}

void ReliabilityTest::MakeFast(MM::Camera* camera, int simIndex, uint32_t frameIntervalUs) {
  // The camera's own auto-exposure would lengthen the exposure again.
  SetProperty(camera, "AutoExposure", "OFF");
  double lower = 0.0;
  if (Slot<int(const char*, double&)>(camera, slot::kLowerLimit, "Exposure", lower) == 0) {
    Slot<void(double)>(camera, slot::kSetExposure, std::max(lower, 0.01));
  }
  EXPECT_EQ(
      Slot<int(unsigned, unsigned, unsigned, unsigned)>(camera, slot::kSetRoi, 0u, 0u, 64u, 64u),
      0);
  sim_.set_frame_interval_us(simIndex, frameIntervalUs);
}

// ---- process resources ----------------------------------------------------------------

namespace {

int CountEntries(const char* directory) {
  DIR* dir = opendir(directory);
  if (dir == nullptr) return -1;
  int count = 0;
  while (const dirent* entry = readdir(dir)) {
    if (entry->d_name[0] != '.') ++count;
  }
  closedir(dir);
  return count;
}

}  // namespace

// The directory stream itself holds one descriptor while counting.
int OpenDescriptorCount() {
  return CountEntries("/proc/self/fd") - 1;
}

int ThreadCount() {
  return CountEntries("/proc/self/task");
}

long ResidentKilobytes() {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("VmRSS:", 0) == 0) return std::strtol(line.c_str() + 6, nullptr, 10);
  }
  return -1;
}

int WaitForThreadsAtMost(int limit, std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  int count = ThreadCount();
  while (count > limit && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(10ms);
    count = ThreadCount();
  }
  return count;
}

bool SanitizerBuild() {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
  return true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
  return true;
#else
  return false;
#endif
#else
  return false;
#endif
}

// ---- child processes --------------------------------------------------------------------

std::string RunInChild(const std::function<std::vector<std::string>()>& body,
                       std::chrono::seconds timeout) {
  const testcommon::ChildRun run = testcommon::RunChildProcess(
      [&](int fd) {
        std::string text;
        for (const std::string& problem : body()) text += problem + "\n";
        testcommon::WriteAll(fd, text);
        return text.empty() ? 0 : 1;
      },
      timeout);
  if (!run.failure.empty()) return run.failure;
  const std::string& report = run.output;
  const int status = run.status;
  if (run.timedOut) return "child timed out (hang)\n" + report;
  if (WIFSIGNALED(status)) {
    return "child killed by signal " + std::to_string(WTERMSIG(status)) + "\n" + report;
  }
  if (WIFEXITED(status) && WEXITSTATUS(status) != 0 && report.empty()) {
    return "child exited with " + std::to_string(WEXITSTATUS(status));
  }
  return report;
}

TempDirectory::TempDirectory() {
  std::string pattern =
      (std::filesystem::temp_directory_path() / "pyxon-reliability-XXXXXX").string();
  if (mkdtemp(pattern.data()) != nullptr) path_ = std::filesystem::canonical(pattern).string();
}

TempDirectory::~TempDirectory() {
  std::error_code ignored;
  if (!path_.empty()) std::filesystem::remove_all(path_, ignored);
}

}  // namespace reltest
