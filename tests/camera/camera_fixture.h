// Common fixture of the camera tests: the built module loaded the way the host
// loads it, the simulated vendor library beside it steered through its control
// interface, a recording host, and calls by raw table position.
//
// Each test runs in its own process (ctest), so module-wide state starts
// fresh; within a test, devices are shut down and deleted in TearDown.
//
// Cameras attached by default (sim index = position in the list):
//   0 "PX-120M"        monochrome, USB 2.0, no I/O lines, no gain, speed control
//   1 "PX-678C"        colour, USB 3.0, ISP, 3 I/O lines, gain
//   2 "PX-2600M-COOL"  monochrome, cooled, frame-rate control, 4 I/O lines
//   3 "PX-FULL"        colour, every capability, bandwidth, 4 I/O lines
#pragma once

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "framework/mm_device.h"
#include "host/lib/host.h"
#include "sim/sim_client.h"
#include "tests/common/raw_slot.h"

namespace camtest {

using namespace std::chrono_literals;

// Hang guard for waits on other threads; never a speed requirement.
constexpr std::chrono::milliseconds kHangGuard = 20s;

constexpr int kPx120M = 0;
constexpr int kPx678C = 1;
constexpr int kPx2600M = 2;
constexpr int kPxFull = 3;

constexpr int32_t kRetryPending = static_cast<int32_t>(0x8000000Au);
constexpr int32_t kRetryUnexpected = static_cast<int32_t>(0x8000FFFFu);

using testcommon::RawSlot;
using testcommon::Slot;

// Slot numbers of the host's camera interface used by the tests.
namespace slot {
constexpr int kGetProperty = 3;
constexpr int kSetProperty = 4;
constexpr int kGetLabel = 30;
constexpr int kInitialize = 35;
constexpr int kShutdown = 36;
constexpr int kGetName = 38;
constexpr int kSnap = 44;
constexpr int kImageBuffer = 45;
constexpr int kChannelBuffer = 46;
constexpr int kComponents = 48;
constexpr int kBufferSize = 52;
constexpr int kWidth = 53;
constexpr int kHeight = 54;
constexpr int kBytesPerPixel = 55;
constexpr int kBitDepth = 56;
constexpr int kPixelSize = 57;
constexpr int kGetBinning = 58;
constexpr int kSetExposure = 60;
constexpr int kGetExposure = 61;
constexpr int kStartSequence = 70;
constexpr int kStartContinuous = 71;
constexpr int kStopSequence = 72;
constexpr int kIsCapturing = 74;
constexpr int kInsertImage = 88;
constexpr int kImageCounter = 90;
}  // namespace slot

class CameraFixture : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  // The module, loaded once per process and initialised (discovery done).
  static pyxhost::Module& Module();

  // A new device with the recording host as its callback (not initialised).
  MM::Camera* Create(const std::string& name);
  // Create + Initialize; fails the test (and returns null) when Initialize fails.
  MM::Camera* Open(const std::string& name);
  // Shuts the device down and deletes it.
  void Destroy(MM::Camera* camera);

  std::string Get(MM::Camera* camera, const std::string& name, int* error = nullptr);
  int Set(MM::Camera* camera, const std::string& name, const std::string& value);
  // Slots 70 and 72: a sequence of `images` (nearly endless by default).
  int StartSequence(MM::Camera* camera, long images = 1000000) {
    return Slot<int(long, double, bool)>(camera, slot::kStartSequence, images, 0.0, false);
  }
  int StopSequence(MM::Camera* camera) { return Slot<int()>(camera, slot::kStopSequence); }
  bool Has(MM::Camera* camera, const std::string& name);

  // The simulator's kept calls of one CameraHandle position (any camera).
  std::vector<PyxsimCall> Calls(int position) const { return sim_.calls(position); }
  // Values written to one option, oldest first.
  std::vector<int64_t> OptionWrites(uint32_t option) const;
  // Property changes reported to the host, as "Name=Value", in order.
  std::vector<std::string> PropertyEvents() const;

  pyxsim::Client sim_;
  pyxhost::RecordingHost host_;

 private:
  std::vector<pyxhost::DevicePtr> devices_;
};

}  // namespace camtest
