// Shared support of the reliability tests: the built module loaded as the host
// loads it, the simulated vendor library steered through its control
// interface, calls by raw table position, frame-stamp checks, process
// resource readings and child processes for module-wide states.
//
// Every test runs in its own process (ctest), so module-wide state starts
// fresh. The password database is replaced (tests/common), so nothing
// touches the real home directory.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "framework/mm_device.h"
#include "host/lib/host.h"
#include "sim/sim_client.h"
#include "tests/common/raw_slot.h"

namespace reltest {

using namespace std::chrono_literals;

// Hang guard for waits on other threads; never a speed requirement.
constexpr std::chrono::milliseconds kHangGuard = 30s;

// Attached-list indexes of the default cameras.
constexpr int kPx120M = 0;
constexpr int kPx678C = 1;
constexpr int kPx2600M = 2;
constexpr int kPxFull = 3;

// A vendor failure as the library reports one (any negative result).
constexpr int32_t kVendorFailure = static_cast<int32_t>(0x80004005u);

// True when the long stress variants were asked for (PYXON_STRESS_LONG=1).
bool LongStress();
// Scales a default count by 10 for the long variant.
int StressCount(int defaultCount);

// ---- raw table calls ------------------------------------------------------------

using testcommon::RawSlot;
using testcommon::Slot;

namespace slot {
constexpr int kCompleteDestructor = 0;
constexpr int kDeletingDestructor = 1;
constexpr int kGetProperty = 3;
constexpr int kSetProperty = 4;
constexpr int kGetPropertyName = 6;
constexpr int kReadOnly = 7;
constexpr int kHasLimits = 9;
constexpr int kLowerLimit = 10;
constexpr int kUpperLimit = 11;
constexpr int kType = 12;
constexpr int kValueCount = 13;
constexpr int kValueAt = 14;
constexpr int kErrorText = 22;
constexpr int kInitialize = 35;
constexpr int kShutdown = 36;
constexpr int kSetCallback = 39;
constexpr int kSnap = 44;
constexpr int kImageBuffer = 45;
constexpr int kBufferSize = 52;
constexpr int kWidth = 53;
constexpr int kHeight = 54;
constexpr int kBytesPerPixel = 55;
constexpr int kGetBinning = 58;
constexpr int kSetBinning = 59;
constexpr int kSetExposure = 60;
constexpr int kGetExposure = 61;
constexpr int kSetRoi = 62;
constexpr int kGetRoi = 63;
constexpr int kClearRoi = 64;
constexpr int kStartSequence = 70;
constexpr int kStartContinuous = 71;
constexpr int kStopSequence = 72;
constexpr int kIsCapturing = 74;
constexpr int kLastSlot = 94;
}  // namespace slot

// Typed raw calls used everywhere.
int Initialize(MM::Device* device);
int Shutdown(MM::Device* device);
int Snap(MM::Camera* camera);
int StartSequence(MM::Camera* camera, long images, double intervalMs = 0.0,
                  bool stopOnOverflow = false);
int StartContinuous(MM::Camera* camera, double intervalMs = 0.0);
int StopSequence(MM::Camera* camera);
bool IsCapturing(MM::Camera* camera);
std::string GetProperty(const MM::Device* device, const std::string& name, int* error = nullptr);
int SetProperty(MM::Device* device, const std::string& name, const std::string& value);
std::vector<std::string> PropertyNames(const MM::Device* device);
std::vector<std::string> AllowedValues(const MM::Device* device, const std::string& name);
std::string ErrorText(const MM::Device* device, int code);

// ---- frames -----------------------------------------------------------------------

// The frame number stamped into the camera's image buffer after a snap, read
// through the raw buffer and geometry slots; 0 when the buffer is missing or torn.
uint64_t SnappedStamp(MM::Camera* camera);

// Checks a run of images the host received: each has the size its geometry
// gives, an intact stamp, and stamps strictly increase from `after` on.
// Returns the last stamp seen (or `after` for no image); failures are added to
// `problems`.
uint64_t CheckImages(const std::vector<pyxhost::HostImage>& images, uint64_t after,
                     std::vector<std::string>* problems);

// ---- the module -------------------------------------------------------------------

// The module of this build, loaded once per process and initialised.
pyxhost::Module& LoadedModule();

// Devices created by a test, deleted (newest first) when the set goes away.
class DeviceSet {
 public:
  DeviceSet() = default;
  ~DeviceSet();
  DeviceSet(const DeviceSet&) = delete;
  DeviceSet& operator=(const DeviceSet&) = delete;

  // A new camera with `host` as callback (not initialised).
  MM::Camera* Create(const std::string& name, HostCallback* host);
  // Create + Initialize; adds a failure and returns null when Initialize fails.
  MM::Camera* Open(const std::string& name, HostCallback* host);
  // Shuts down and deletes one device (through DeleteDevice).
  void Destroy(MM::Camera* camera);
  // Forgets a device that the test destroyed by itself.
  void Release(MM::Camera* camera);
  void DestroyAll();

 private:
  std::vector<MM::Camera*> devices_;
};

// The common fixture: simulator reset before and after, devices torn down.
class ReliabilityTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  // Makes a camera of the default list fast: small region, shortest exposure,
  // a short free-running frame interval. Idle and initialised.
  void MakeFast(MM::Camera* camera, int simIndex, uint32_t frameIntervalUs = 500);

  pyxsim::Client sim_;
  pyxhost::RecordingHost host_;
  DeviceSet devices_;
};

// ---- process resources --------------------------------------------------------------

int OpenDescriptorCount();
int ThreadCount();
long ResidentKilobytes();
// Waits (bounded) until the thread count is at most `limit`; returns the last count.
int WaitForThreadsAtMost(int limit, std::chrono::milliseconds timeout);

// True in AddressSanitizer and ThreadSanitizer builds, whose allocators keep
// freed memory and whose resident size therefore says nothing about leaks.
bool SanitizerBuild();

// ---- child processes ------------------------------------------------------------------

// Runs `body` in a forked child. The body returns the problems it found (empty:
// none). The outcome is "" when the child ran to its end without problems,
// otherwise the problems or how the child ended (signal, exit code, timeout).
std::string RunInChild(const std::function<std::vector<std::string>()>& body,
                       std::chrono::seconds timeout = 120s);

// A temporary directory removed with its contents on destruction.
class TempDirectory {
 public:
  TempDirectory();
  ~TempDirectory();
  TempDirectory(const TempDirectory&) = delete;
  TempDirectory& operator=(const TempDirectory&) = delete;
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

}  // namespace reltest
