// Vendor faults injected through the simulator: every position the camera
// calls made to fail in turn during Initialize, snap, sequence start and stop
// and every property handler; DllOpen failing; pulls failing hard in the
// middle of a sequence; a camera that never delivers; an unplugged camera;
// floods of events from the vendor thread during Initialize,
// reconfiguration, Shutdown and destruction, and events after close.
// Expected: the defined error codes, the host told that a sequence finished,
// no crash, no hang, and a camera that works again once the fault is gone.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <climits>
#include <cstdio>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "tests/reliability/reliability_support.h"

namespace reltest {
namespace {

constexpr int kPull = 184;
constexpr int32_t kEventExposure = 1;
constexpr int32_t kEventImage = 4;
constexpr int32_t kEventWhiteBalance = 6;

class FaultInjectionTest : public ReliabilityTest {
 protected:
  // Positions of the kept trace calls of camera `cam` (DllOpen excluded).
  std::set<int> TracedPositions(int cam) {
    std::set<int> positions;
    for (const PyxsimCall& call : sim_.trace()) {
      if (call.position >= 0 && (call.camera == cam || call.camera == -1)) {
        positions.insert(call.position);
      }
    }
    return positions;
  }

  void ClearFault(int position) { sim_.fail_position(position, 0, 0); }

  // After the fault is gone the host recovers by initialising again; a snap
  // then delivers an intact frame.
  void ExpectRecovers(MM::Camera* camera, const std::string& context) {
    SCOPED_TRACE(context);
    EXPECT_EQ(StopSequence(camera), 0);
    EXPECT_EQ(Shutdown(camera), 0);
    ASSERT_EQ(Initialize(camera), 0);
    ASSERT_EQ(Snap(camera), 0);
    EXPECT_NE(SnappedStamp(camera), 0u) << "torn or missing frame";
  }

  MM::Camera* OpenFast(const char* model, int cam) {
    MM::Camera* camera = devices_.Open(model, &host_);
    if (camera != nullptr) MakeFast(camera, cam, 2000);
    return camera;
  }

  int faultsInjected_ = 0;
};

TEST_F(FaultInjectionTest, InitializeSurvivesEveryFailingPosition) {
  for (const auto& [model, cam] : {std::pair<const char*, int>{"PX-FULL", kPxFull},
                                   std::pair<const char*, int>{"PX-120M", kPx120M}}) {
    sim_.trace_clear();
    MM::Camera* probe = devices_.Open(model, &host_);
    ASSERT_NE(probe, nullptr);
    const std::set<int> positions = TracedPositions(cam);
    devices_.Destroy(probe);
    ASSERT_GT(positions.size(), 10u);

    for (int position : positions) {
      SCOPED_TRACE(std::string(model) + ", position " + std::to_string(position));
      sim_.fail_position(position, kVendorFailure, -1);
      ++faultsInjected_;
      MM::Camera* camera = devices_.Create(model, &host_);
      const int result = Initialize(camera);
      EXPECT_TRUE(result == 0 || result == 35) << "Initialize answered " << result;
      // The host reads what it got; nothing may crash with the fault in place.
      PropertyNames(camera);
      GetProperty(camera, "Exposure");
      ClearFault(position);
      ExpectRecovers(camera, "after the fault");
      devices_.Destroy(camera);
      EXPECT_FALSE(sim_.is_open(cam)) << "destroying the device left the camera open";
    }
  }
  std::printf("[figures] Initialize faults injected: %d\n", faultsInjected_);
}

TEST_F(FaultInjectionTest, SnapSurvivesEveryFailingPosition) {
  MM::Camera* camera = OpenFast("PX-120M", kPx120M);
  ASSERT_NE(camera, nullptr);
  sim_.trace_clear();
  ASSERT_EQ(Snap(camera), 0);
  const std::set<int> positions = TracedPositions(kPx120M);
  ASSERT_TRUE(positions.count(kPull));

  for (int position : positions) {
    SCOPED_TRACE("position " + std::to_string(position));
    sim_.fail_position(position, kVendorFailure, -1);
    ++faultsInjected_;
    const int result = Snap(camera);
    if (position == kPull) {
      EXPECT_EQ(result, 1) << "a failing pull must fail the snap";
    } else {
      EXPECT_TRUE(result == 0 || result == 1) << "snap answered " << result;
      if (result == 0) {
        EXPECT_NE(SnappedStamp(camera), 0u);
      }
    }
    ClearFault(position);
    ASSERT_EQ(Snap(camera), 0) << "the snap after the fault";
    EXPECT_NE(SnappedStamp(camera), 0u);
  }
  // A pull answering "no frame yet" until the deadline ends the snap with 1.
  sim_.fail_position(kPull, static_cast<int32_t>(0x8000000Au), -1);
  EXPECT_EQ(Snap(camera), 1);
  ClearFault(kPull);
  EXPECT_EQ(Snap(camera), 0);
}

TEST_F(FaultInjectionTest, SequenceStartAndStopSurviveEveryFailingPosition) {
  for (const char* source : {"Software Trigger", "GPIO1"}) {
    SCOPED_TRACE(source);
    MM::Camera* camera = OpenFast("PX-FULL", kPxFull);
    ASSERT_NE(camera, nullptr);
    ASSERT_EQ(SetProperty(camera, "IO:Trigger Source", source), 0);
    const bool hardware = std::string(source) != "Software Trigger";

    sim_.trace_clear();
    ASSERT_EQ(StartSequence(camera, 2), 0);
    ASSERT_EQ(StopSequence(camera), 0);
    std::set<int> positions = TracedPositions(kPxFull);
    positions.erase(kPull);  // covered below

    for (int position : positions) {
      SCOPED_TRACE("position " + std::to_string(position));
      const size_t finished = host_.finishedCount();
      sim_.fail_position(position, kVendorFailure, -1);
      ++faultsInjected_;
      EXPECT_EQ(StartSequence(camera, 1000000), 0);
      if (hardware) sim_.hardware_pulse(kPxFull);
      std::this_thread::sleep_for(5ms);
      // The camera may deliver nothing at all now; stop must end it anyway.
      EXPECT_EQ(StopSequence(camera), 0);
      EXPECT_FALSE(IsCapturing(camera));
      EXPECT_TRUE(host_.waitForFinished(kHangGuard, finished + 1));
      ClearFault(position);

      host_.takeImages();
      const size_t accepted = host_.acceptedCount();
      EXPECT_EQ(StartSequence(camera, 3), 0);
      if (hardware) {
        // A frame the camera delivered after the faulty sequence ended may
        // still wait to be pulled; it counts as one of the three.
        for (int pulse = 0; pulse < 10 && host_.finishedCount() < finished + 2; ++pulse) {
          const size_t seen = host_.acceptedCount();
          sim_.hardware_pulse(kPxFull);
          host_.waitForAccepted(seen + 1, 5s);
        }
      }
      EXPECT_TRUE(host_.waitForFinished(kHangGuard, finished + 2));
      EXPECT_EQ(host_.acceptedCount(), accepted + 3) << "the sequence after the fault";
      std::vector<std::string> problems;
      CheckImages(host_.takeImages(), 0, &problems);
      for (const std::string& problem : problems) ADD_FAILURE() << problem;
      EXPECT_EQ(StopSequence(camera), 0);
    }
    devices_.Destroy(camera);
  }
  std::printf("[figures] sequence faults injected: %d\n", faultsInjected_);
}

TEST_F(FaultInjectionTest, PropertyHandlersSurviveEveryFailingPosition) {
  constexpr int kOutputSizePosition = 134;
  const std::set<std::string> kRestartsDelivery = {"Binning", "FactorySettings", "PixelType",
                                                   "Resolution", "Rotate"};
  for (const auto& [model, cam] : {std::pair<const char*, int>{"PX-FULL", kPxFull},
                                   std::pair<const char*, int>{"PX-2600M-COOL", kPx2600M}}) {
    MM::Camera* camera = devices_.Open(model, &host_);
    ASSERT_NE(camera, nullptr);
    for (const std::string& name : PropertyNames(camera)) {
      SCOPED_TRACE(std::string(model) + " " + name);
      const std::string original = GetProperty(camera, name);
      // A value to write: another allowed value, or the current one. An
      // action property ("FactorySettings") reads a value it does not accept.
      const std::vector<std::string> allowed = AllowedValues(camera, name);
      std::string other = original;
      for (const std::string& value : allowed) {
        if (value != original) {
          other = value;
          break;
        }
      }
      const bool originalAllowed =
          allowed.empty() || std::find(allowed.begin(), allowed.end(), original) != allowed.end();
      const std::string restore = originalAllowed ? original : other;
      sim_.trace_clear();
      GetProperty(camera, name);
      SetProperty(camera, name, other);
      SetProperty(camera, name, restore);
      for (int position : TracedPositions(cam)) {
        SCOPED_TRACE("position " + std::to_string(position));
        sim_.fail_position(position, kVendorFailure, -1);
        ++faultsInjected_;
        int error = -1;
        GetProperty(camera, name, &error);
        EXPECT_EQ(error, 0) << "read with the fault";
        // Without the output size no buffer fits the new geometry: a write that
        // restarts delivery says so instead of answering success.
        const bool unsizable = position == kOutputSizePosition && other != original &&
                               kRestartsDelivery.count(name) != 0;
        EXPECT_EQ(SetProperty(camera, name, other), unsizable ? 1 : 0) << "write with the fault";
        ClearFault(position);
        EXPECT_EQ(SetProperty(camera, name, restore), 0) << "write after the fault";
        GetProperty(camera, name, &error);
        EXPECT_EQ(error, 0) << "read after the fault";
      }
    }
    ExpectRecovers(camera, model);
    devices_.Destroy(camera);
  }
  std::printf("[figures] property handler faults injected: %d\n", faultsInjected_);
}

TEST_F(FaultInjectionTest, OpenFailingLeavesTheDeviceConstructed) {
  MM::Camera* camera = devices_.Create("PX-678C", &host_);
  const unsigned before = Slot<unsigned()>(camera, 2);
  sim_.fail_open(1);
  EXPECT_EQ(Initialize(camera), 35);
  EXPECT_EQ(Initialize(camera), 35);
  EXPECT_EQ(Slot<unsigned()>(camera, 2), before) << "properties created without a camera";
  EXPECT_NE(Snap(camera), 0);
  EXPECT_EQ(StartSequence(camera, 3), 35);
  EXPECT_FALSE(IsCapturing(camera));
  EXPECT_NE(ErrorText(camera, 35), "");
  sim_.fail_open(0);
  ExpectRecovers(camera, "after DllOpen works again");
}

TEST_F(FaultInjectionTest, PullFailingHardInTheMiddleOfASequenceEndsIt) {
  MM::Camera* camera = OpenFast("PX-120M", kPx120M);
  ASSERT_NE(camera, nullptr);
  for (int round = 0; round < 3; ++round) {
    SCOPED_TRACE("round " + std::to_string(round));
    host_.takeImages();
    const size_t finished = host_.finishedCount();
    // Three real pulls, then a hard failure.
    sim_.script_results(kPull, {0, 0, 0, kVendorFailure});
    ++faultsInjected_;
    ASSERT_EQ(StartSequence(camera, 1000), 0);
    ASSERT_TRUE(host_.waitForFinished(kHangGuard, finished + 1)) << "the sequence did not end";
    EXPECT_FALSE(IsCapturing(camera));
    const std::vector<pyxhost::HostImage> images = host_.takeImages();
    EXPECT_LE(images.size(), 3u);
    std::vector<std::string> problems;
    CheckImages(images, 0, &problems);
    for (const std::string& problem : problems) ADD_FAILURE() << problem;
    EXPECT_EQ(StopSequence(camera), 0);
    EXPECT_EQ(host_.finishedCount(), finished + 1) << "finished reported more than once";

    ASSERT_EQ(StartSequence(camera, 4), 0);
    ASSERT_TRUE(host_.waitForFinished(kHangGuard, finished + 2));
    EXPECT_EQ(host_.takeImages().size(), 4u) << "the sequence after the failure";
  }
  const std::vector<std::string> logs = host_.logs();
  EXPECT_NE(std::find(logs.begin(), logs.end(), "Sequence thread exiting"), logs.end());
}

TEST_F(FaultInjectionTest, CameraThatNeverDeliversNeitherHangsSnapNorSequence) {
  MM::Camera* camera = OpenFast("PX-120M", kPx120M);
  ASSERT_NE(camera, nullptr);
  sim_.set_frame_source(kPx120M, 1);
  ++faultsInjected_;
  EXPECT_EQ(Snap(camera), 1) << "a snap without a frame ends at its deadline";
  const size_t finished = host_.finishedCount();
  ASSERT_EQ(StartContinuous(camera), 0);
  std::this_thread::sleep_for(20ms);
  EXPECT_TRUE(IsCapturing(camera));
  EXPECT_EQ(StopSequence(camera), 0);
  EXPECT_TRUE(host_.waitForFinished(kHangGuard, finished + 1));
  const std::vector<std::string> logs = host_.logs();
  EXPECT_NE(std::find(logs.begin(), logs.end(), "SeqAcquisition interrupted by the user\n"),
            logs.end());
  sim_.set_frame_source(kPx120M, 0);
  ASSERT_EQ(Snap(camera), 0);
  EXPECT_NE(SnappedStamp(camera), 0u);
}

TEST_F(FaultInjectionTest, UnpluggedCameraEndsTheSequenceAndFailsCleanly) {
  MM::Camera* camera = OpenFast("PX-120M", kPx120M);
  ASSERT_NE(camera, nullptr);
  const size_t finished = host_.finishedCount();
  ASSERT_EQ(StartContinuous(camera), 0);
  ASSERT_TRUE(host_.waitForAccepted(3, kHangGuard));
  sim_.disconnect(kPx120M);
  ++faultsInjected_;
  // A pull in progress fails hard and ends the sequence; a run step already
  // waiting for the next frame event waits (without a deadline) until the
  // host stops. Either way the host hears of the end exactly once.
  host_.waitForFinished(200ms, finished + 1);
  EXPECT_EQ(StopSequence(camera), 0);
  EXPECT_TRUE(host_.waitForFinished(kHangGuard, finished + 1)) << "the sequence did not end";
  EXPECT_EQ(host_.finishedCount(), finished + 1);
  EXPECT_FALSE(IsCapturing(camera));
  EXPECT_EQ(Snap(camera), 1);
  for (const std::string& name : PropertyNames(camera)) GetProperty(camera, name);
  EXPECT_EQ(Shutdown(camera), 0);
  sim_.reset();
  ExpectRecovers(camera, "after the camera is back");
}

// Fires a stream of events of every kind at one camera from another thread,
// as the vendor library's event thread would deliver them.
class EventFlood {
 public:
  EventFlood(const pyxsim::Client& sim, int cam) : sim_(sim), cam_(cam) {
    thread_ = std::thread([this] {
      const int32_t codes[] = {kEventExposure, kEventImage, kEventWhiteBalance, 9, 99, -1,
                               INT32_MIN};
      size_t i = 0;
      while (!stop_.load()) {
        sim_.fire_event(cam_, codes[i++ % (sizeof codes / sizeof codes[0])]);
        if (i % 64 == 0) sim_.flush_events(cam_);
      }
      fired_ = i;
    });
  }
  ~EventFlood() { Stop(); }
  size_t Stop() {
    if (thread_.joinable()) {
      stop_.store(true);
      thread_.join();
      sim_.flush_events(cam_);
    }
    return fired_;
  }

 private:
  const pyxsim::Client& sim_;
  int cam_;
  std::atomic<bool> stop_{false};
  size_t fired_ = 0;
  std::thread thread_;
};

TEST_F(FaultInjectionTest, EventFloodsDuringInitializeReconfigureShutdownAndDestruction) {
  size_t fired = 0;
  for (int round = 0; round < 5; ++round) {
    SCOPED_TRACE("round " + std::to_string(round));
    EventFlood flood(sim_, kPxFull);
    MM::Camera* camera = devices_.Create("PX-FULL", &host_);
    ASSERT_EQ(Initialize(camera), 0);
    MakeFast(camera, kPxFull, 2000);
    EXPECT_EQ(SetProperty(camera, "IO:Trigger Source", "Software Trigger"), 0);
    for (const char* binning : {"2", "1"}) EXPECT_EQ(SetProperty(camera, "Binning", binning), 0);
    for (const char* type : {"RAW16", "RAW8"}) EXPECT_EQ(SetProperty(camera, "PixelType", type), 0);
    EXPECT_EQ(Slot<int()>(camera, slot::kClearRoi), 0);
    MakeFast(camera, kPxFull, 2000);
    ASSERT_EQ(Snap(camera), 0);
    EXPECT_NE(SnappedStamp(camera), 0u);
    ASSERT_EQ(StartContinuous(camera), 0);
    EXPECT_TRUE(host_.waitForAccepted(host_.acceptedCount() + 2, kHangGuard));
    EXPECT_EQ(
        Slot<int(unsigned, unsigned, unsigned, unsigned)>(camera, slot::kSetRoi, 0u, 0u, 96u, 96u),
        0);
    if (round % 2 == 0) {
      EXPECT_EQ(Shutdown(camera), 0);  // while acquiring and flooded
      devices_.Destroy(camera);
    } else {
      devices_.Release(camera);  // destruction while acquiring and flooded
      LoadedModule().DeleteDevice(camera);
    }
    // Events after close reach no device: the host hears nothing more.
    const size_t events = host_.events().size();
    for (int i = 0; i < 100; ++i) sim_.fire_event(kPxFull, i % 8);
    sim_.flush_events(kPxFull);
    fired += flood.Stop();
    EXPECT_EQ(host_.events().size(), events) << "a closed device called the host";
  }
  // The camera's own events reached the host while it was open.
  EXPECT_FALSE(host_.propertyChanges("Exposure").empty());
  EXPECT_FALSE(host_.propertyChanges("WhiteBalanceRGain").empty());
  std::printf("[figures] events fired: %zu\n", fired);
}

}  // namespace
}  // namespace reltest
