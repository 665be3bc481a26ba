// Several devices on one opened camera, and the image buffer under concurrent
// use: events must reach every device still using the camera and never a
// destroyed one, and no pull or insert may touch a buffer of the wrong size.
#include <atomic>
#include <thread>

#include "tests/camera/camera_fixture.h"

namespace camtest {
namespace {

class SharedCameraTest : public CameraFixture {
 protected:
  bool WaitUntil(const std::function<bool()>& done) {
    const auto deadline = std::chrono::steady_clock::now() + kHangGuard;
    while (!done()) {
      if (std::chrono::steady_clock::now() > deadline) return false;
      std::this_thread::sleep_for(1ms);
    }
    return true;
  }
  bool SnapHasValidStamp(MM::Camera* camera) {
    if (Slot<int()>(camera, slot::kSnap) != 0) return false;
    return pyxsim_read_stamp(Slot<const unsigned char*()>(camera, slot::kImageBuffer),
                             static_cast<size_t>(Slot<long()>(camera, slot::kBufferSize)), nullptr);
  }
};

// The device that started delivery last is destroyed; the library keeps its
// one callback registration. The remaining device must still get frame and
// exposure events, and nothing may reach the destroyed one.
TEST_F(SharedCameraTest, EventsReachTheRemainingDeviceAfterTheOtherIsDestroyed) {
  ASSERT_EQ(sim_.set_state(kPx678C, "autoexposure", 0), 0);
  MM::Camera* first = Open("PX-678C");
  pyxhost::RecordingHost secondHost;
  MM::Camera* second = Create("PX-678C");
  ASSERT_NE(first, nullptr);
  second->SetCallback(&secondHost);
  ASSERT_EQ(second->Initialize(), 0);
  Destroy(second);

  EXPECT_TRUE(SnapHasValidStamp(first));
  host_.reset();
  sim_.fire_event(kPx678C, 1);
  ASSERT_EQ(sim_.flush_events(kPx678C), 0);
  EXPECT_FALSE(host_.exposureChanges().empty());
  EXPECT_THAT(host_.callers(), ::testing::ElementsAre(first));
}

TEST_F(SharedCameraTest, BothDevicesReceiveEachEvent) {
  MM::Camera* first = Open("PX-FULL");
  pyxhost::RecordingHost secondHost;
  MM::Camera* second = Create("PX-FULL");
  ASSERT_NE(first, nullptr);
  second->SetCallback(&secondHost);
  ASSERT_EQ(second->Initialize(), 0);
  host_.reset();
  secondHost.reset();
  sim_.fire_event(kPxFull, 6);
  ASSERT_EQ(sim_.flush_events(kPxFull), 0);
  EXPECT_EQ(host_.propertyChanges("WhiteBalanceBGain").size(), 1u);
  EXPECT_EQ(secondHost.propertyChanges("WhiteBalanceBGain").size(), 1u);
}

// Shutdown waits for an event that the device is handling: the device is
// destroyed right after, and the handler must not outlive it.
TEST_F(SharedCameraTest, ShutdownWaitsForAnEventBeingHandled) {
  MM::Camera* first = Open("PX-FULL");
  MM::Camera* second = Open("PX-FULL");
  ASSERT_NE(first, nullptr);
  ASSERT_NE(second, nullptr);
  sim_.delay_position(33, 50000);  // each exposure read of event 1 takes 50 ms
  sim_.fire_event(kPxFull, 1);
  ASSERT_TRUE(WaitUntil([&] { return sim_.callbacks_in_flight(kPxFull) == 1; }));
  Destroy(second);
  Destroy(first);
  sim_.delay_position(33, 0);
  EXPECT_TRUE(WaitUntil([&] { return sim_.callbacks_in_flight(kPxFull) == 0; }));
}

// Another device shrinks and then enlarges the shared camera's output. This
// device's buffer was sized for the small output; its next snap must size it
// for what the camera delivers, not write the large frame into it.
TEST_F(SharedCameraTest, AnotherDevicesGeometryChangeNeverOverrunsThisBuffer) {
  MM::Camera* other = Open("PX-FULL");
  ASSERT_NE(other, nullptr);
  ASSERT_EQ(Slot<int(unsigned, unsigned, unsigned, unsigned)>(other, 62, 0u, 0u, 64u, 64u), 0);
  MM::Camera* camera = Open("PX-FULL");
  ASSERT_NE(camera, nullptr);
  EXPECT_EQ(Slot<long()>(camera, slot::kBufferSize), 64 * 64 * 4);
  ASSERT_EQ(Slot<int()>(other, 64), 0);  // clear the region: 2560 x 2048
  EXPECT_TRUE(SnapHasValidStamp(camera));
  EXPECT_EQ(Slot<unsigned()>(camera, slot::kWidth), 2560u);
  EXPECT_EQ(Slot<unsigned()>(camera, slot::kHeight), 2048u);
  EXPECT_TRUE(SnapHasValidStamp(other));
}

// A sequence inserts images while the host changes the region, which resizes
// and may replace the buffer. Every inserted image must be whole and of the
// size it reports.
TEST_F(SharedCameraTest, InsertNeverReadsABufferBeingReplaced) {
  MM::Camera* camera = Open("PX-678C");
  ASSERT_NE(camera, nullptr);
  ASSERT_EQ(Set(camera, "IO:Trigger Source", "Software Trigger"), 0);
  ASSERT_EQ(Slot<int(unsigned, unsigned, unsigned, unsigned)>(camera, 62, 0u, 0u, 320u, 240u), 0);
  std::atomic<int> bad{0};
  // The host reads the first and last 8 bytes of the reported size: the two
  // copies of the frame stamp, equal only in a whole frame of that size.
  host_.setCopyPixels(false);
  host_.setInsertHook([&](const pyxhost::HostImage& image) {
    if (image.byteCount < 16 || image.headWord != image.tailWord || image.headWord == 0) ++bad;
    std::this_thread::sleep_for(1ms);
    return 0;
  });
  host_.setRingCapacity(100000);
  ASSERT_EQ(Slot<int(double)>(camera, slot::kStartContinuous, 0.0), 0);
  for (int i = 0; i < 20; ++i) {
    ASSERT_TRUE(host_.waitForAccepted(static_cast<size_t>(i) + 1, kHangGuard));
    // Alternately a small region and an ever larger one, which replaces the buffer.
    const unsigned side = (i % 2 == 0) ? 512u + 64u * static_cast<unsigned>(i) : 256u;
    ASSERT_EQ(Slot<int(unsigned, unsigned, unsigned, unsigned)>(camera, 62, 0u, 0u, side, side), 0);
  }
  EXPECT_EQ(Slot<int()>(camera, slot::kStopSequence), 0);
  EXPECT_EQ(bad.load(), 0);
}

// Events 1 and 6 keep arriving while another device on the same camera runs
// its Initialize, which creates the property catalogue.
TEST_F(SharedCameraTest, EventsDuringAnotherDevicesInitializeAreSafe) {
  MM::Camera* first = Open("PX-FULL");
  ASSERT_NE(first, nullptr);
  std::atomic<bool> done{false};
  std::thread events([&] {
    while (!done.load()) {
      sim_.fire_event(kPxFull, 1);
      sim_.fire_event(kPxFull, 6);
      sim_.flush_events(kPxFull);
    }
  });
  pyxhost::RecordingHost secondHost;
  for (int round = 0; round < 3; ++round) {
    MM::Camera* second = Create("PX-FULL");
    second->SetCallback(&secondHost);
    EXPECT_EQ(second->Initialize(), 0);
    Destroy(second);
  }
  done.store(true);
  events.join();
  EXPECT_FALSE(host_.exposureChanges().empty());
}

// Two devices on a camera without I/O lines; the first runs free. Whatever
// the second does (initialise, ask for another geometry, run and stop its own
// free-running sequence), the first keeps receiving frames; a geometry change
// under the first one's sequence is refused as busy.
TEST_F(SharedCameraTest, AnotherDeviceNeverStarvesAFreeRunningSequence) {
  host_.setCopyPixels(false);
  host_.setRingCapacity(100000);
  MM::Camera* first = Open("PX-120M");
  ASSERT_NE(first, nullptr);
  ASSERT_EQ(StartSequence(first), 0);
  ASSERT_TRUE(host_.waitForAccepted(2, kHangGuard));
  auto framesKeepComing = [this] { return host_.waitForAccepted(host_.acceptedCount() + 3, 5s); };

  pyxhost::RecordingHost secondHost;
  secondHost.setCopyPixels(false);
  MM::Camera* second = Create("PX-120M");
  second->SetCallback(&secondHost);
  ASSERT_EQ(second->Initialize(), 0);
  EXPECT_TRUE(framesKeepComing()) << "after the second device initialised";

  EXPECT_EQ(Slot<int(unsigned, unsigned, unsigned, unsigned)>(second, 62, 0u, 0u, 320u, 240u), 30);
  EXPECT_EQ(Set(second, "Binning", "2"), 30);
  EXPECT_TRUE(framesKeepComing()) << "after the refused geometry changes";

  // Both sequences now take frames from one camera; which one gets a frame
  // is a race, so only the first one's frames are counted.
  ASSERT_EQ(StartSequence(second), 0);
  std::this_thread::sleep_for(20ms);
  EXPECT_EQ(StopSequence(second), 0);
  EXPECT_TRUE(framesKeepComing()) << "after the second device stopped its sequence";

  EXPECT_EQ(StopSequence(first), 0);
  EXPECT_EQ(sim_.option(kPx120M, 11), 1);
  EXPECT_EQ(Set(second, "Binning", "2"), 0);
}

}  // namespace
}  // namespace camtest
