// Sequence and continuous acquisition end to end, and the trigger mode that
// start and stop select.
#include <pthread.h>
#include <sched.h>

#include <atomic>
#include <climits>
#include <functional>
#include <thread>

#include "tests/camera/camera_fixture.h"

namespace camtest {
namespace {

using ::testing::ElementsAre;

class AcquisitionTest : public CameraFixture {
 protected:
  void SetUp() override {
    CameraFixture::SetUp();
    // The host reads the stamps (first and last 8 bytes) without copying frames.
    host_.setCopyPixels(false);
  }
  int Start(MM::Camera* camera, long images, double intervalMs = 0.0) {
    return Slot<int(long, double, bool)>(camera, slot::kStartSequence, images, intervalMs, false);
  }
  int Stop(MM::Camera* camera) { return Slot<int()>(camera, slot::kStopSequence); }
  bool Capturing(MM::Camera* camera) { return Slot<bool()>(camera, slot::kIsCapturing); }

  // Frame numbers of the images the host received, checking that each is whole.
  std::vector<uint64_t> TakeStamps() {
    std::vector<uint64_t> stamps;
    for (const pyxhost::HostImage& image : host_.takeImages()) {
      EXPECT_GE(image.byteCount, 16u);
      EXPECT_EQ(image.headWord, image.tailWord) << "torn frame";
      EXPECT_NE(image.headWord, 0u);
      stamps.push_back(image.headWord);
    }
    return stamps;
  }
  static bool StrictlyIncreasing(const std::vector<uint64_t>& values) {
    for (size_t i = 1; i < values.size(); ++i) {
      if (values[i] <= values[i - 1]) return false;
    }
    return true;
  }
  // Waits until the sequence thread has pulled at least once (it then waits for frames).
  bool WaitForPull() {
    const auto deadline = std::chrono::steady_clock::now() + kHangGuard;
    while (sim_.count_calls(184) == 0) {
      if (std::chrono::steady_clock::now() > deadline) return false;
      std::this_thread::sleep_for(5ms);
    }
    return true;
  }
  int LogIndex(const std::string& text) {
    const auto logs = host_.logs();
    for (size_t i = 0; i < logs.size(); ++i) {
      if (logs[i] == text) return static_cast<int>(i);
    }
    return -1;
  }
};

TEST_F(AcquisitionTest, OneImageSequence) {
  MM::Camera* camera = Open("PX-120M");
  ASSERT_NE(camera, nullptr);
  ASSERT_EQ(Start(camera, 1), 0);
  ASSERT_TRUE(host_.waitForFinished(kHangGuard));
  const auto images = host_.takeImages();
  ASSERT_EQ(images.size(), 1u);
  EXPECT_EQ(images[0].metadata, "1\ns\nCamera\n_\n1\nPX-120M\n");
  EXPECT_EQ(images[0].width, 1280u);
  EXPECT_EQ(images[0].height, 960u);
  EXPECT_EQ(images[0].bytesPerPixel, 1u);
  EXPECT_EQ(images[0].byteCount, 1280u * 960u);
  EXPECT_EQ(images[0].headWord, images[0].tailWord);
  EXPECT_EQ(Slot<long()>(camera, slot::kImageCounter), 1);
  EXPECT_NE(LogIndex("Sequence thread exiting"), -1);
  EXPECT_EQ(LogIndex("SeqAcquisition interrupted by the user\n"), -1);
  EXPECT_EQ(Stop(camera), 0);
}

TEST_F(AcquisitionTest, CountedSequencesDeliverFramesInOrder) {
  MM::Camera* camera = Open("PX-678C");
  ASSERT_NE(camera, nullptr);
  // The camera has I/O lines: free-running needs the software source.
  ASSERT_EQ(Set(camera, "IO:Trigger Source", "Software Trigger"), 0);
  for (long count : {3L, 40L}) {
    SCOPED_TRACE(count);
    host_.reset();
    ASSERT_EQ(Start(camera, count), 0);
    ASSERT_TRUE(host_.waitForFinished(kHangGuard));
    const std::vector<uint64_t> stamps = TakeStamps();
    EXPECT_EQ(stamps.size(), static_cast<size_t>(count));
    EXPECT_TRUE(StrictlyIncreasing(stamps));
    EXPECT_EQ(Slot<long()>(camera, slot::kImageCounter), count);
    EXPECT_FALSE(Capturing(camera));
    EXPECT_EQ(Stop(camera), 0);
  }
}

TEST_F(AcquisitionTest, ContinuousAcquisitionRunsUntilTheHostStopsIt) {
  MM::Camera* camera = Open("PX-120M");
  ASSERT_NE(camera, nullptr);
  sim_.trace_clear();
  ASSERT_EQ(Slot<int(double)>(camera, slot::kStartContinuous, 50.0), 0);
  EXPECT_EQ(Start(camera, 5), 30) << "already capturing";
  ASSERT_TRUE(host_.waitForAccepted(6, kHangGuard));
  EXPECT_TRUE(Capturing(camera));
  EXPECT_EQ(Stop(camera), 0);
  EXPECT_FALSE(Capturing(camera));
  EXPECT_EQ(host_.finishedCount(), 1u);
  EXPECT_TRUE(StrictlyIncreasing(TakeStamps()));
  const int interrupted = LogIndex("SeqAcquisition interrupted by the user\n");
  ASSERT_NE(interrupted, -1);
  EXPECT_LT(interrupted, LogIndex("Sequence thread exiting"));
  // No I/O lines: free-running while it ran, triggered again after the stop.
  EXPECT_THAT(OptionWrites(11), ElementsAre(0, 1));
  EXPECT_EQ(sim_.option(kPx120M, 11), 1);
  // The idle camera snaps again.
  EXPECT_EQ(Slot<int()>(camera, slot::kSnap), 0);
}

TEST_F(AcquisitionTest, StopWakesASnapWaitingForAFrameThatNeverComes) {
  MM::Camera* camera = Open("PX-678C");
  ASSERT_NE(camera, nullptr);
  sim_.set_frame_source(kPx678C, 1);
  sim_.trace_clear();
  ASSERT_EQ(Start(camera, 10), 0);
  ASSERT_TRUE(WaitForPull());
  std::this_thread::sleep_for(20ms);  // let the snap settle into its wait
  EXPECT_EQ(Stop(camera), 0);
  EXPECT_FALSE(Capturing(camera));
  EXPECT_EQ(host_.finishedCount(), 1u);
  EXPECT_EQ(host_.imageCount(), 0u);
  EXPECT_NE(LogIndex("SeqAcquisition interrupted by the user\n"), -1);
  EXPECT_EQ(sim_.count_calls(138), 0u) << "the sequence never triggers a frame itself";
}

// A stop that comes before the sequence thread's first snap: that snap must
// not turn into a triggered snap, which would hold the stop for seconds.
TEST_F(AcquisitionTest, StopRightAfterStartEndsWithoutATriggeredSnap) {
  MM::Camera* camera = Open("PX-678C");
  ASSERT_NE(camera, nullptr);
  sim_.set_frame_source(kPx678C, 1);
  sim_.trace_clear();
  for (int round = 0; round < 10; ++round) {
    ASSERT_EQ(Start(camera, 10), 0);
    EXPECT_EQ(Stop(camera), 0);
  }
  EXPECT_EQ(host_.finishedCount(), 10u);
  EXPECT_EQ(sim_.count_calls(115), 0u);
  EXPECT_EQ(sim_.count_calls(138), 0u);
}

TEST_F(AcquisitionTest, PrepareRefusalStartsNothing) {
  MM::Camera* camera = Open("PX-120M");
  ASSERT_NE(camera, nullptr);
  host_.setPrepareResult(7);
  sim_.trace_clear();
  EXPECT_EQ(Start(camera, 3), 7);
  EXPECT_FALSE(Capturing(camera));
  EXPECT_TRUE(OptionWrites(11).empty());
}

TEST_F(AcquisitionTest, StatSnapCountsSnapsAndSequenceFrames) {
  MM::Camera* camera = Open("PX-120M");
  ASSERT_NE(camera, nullptr);
  ASSERT_EQ(Slot<int()>(camera, slot::kSnap), 0);
  ASSERT_EQ(Start(camera, 3), 0);
  ASSERT_TRUE(host_.waitForFinished(kHangGuard));
  EXPECT_EQ(Get(camera, "StatSnap"), "4");
}

TEST_F(AcquisitionTest, StopWhenIdleRestoresTriggeredMode) {
  MM::Camera* camera = Open("PX-120M");
  ASSERT_NE(camera, nullptr);
  sim_.trace_clear();
  EXPECT_EQ(Stop(camera), 0);
  EXPECT_THAT(OptionWrites(11), ElementsAre(1));
  EXPECT_EQ(host_.finishedCount(), 0u);
}

struct SourceCase {
  const char* source;
  std::vector<int64_t> startWrites;  // option 11 at start
  int64_t ioSource;                  // value of IoControl command 14 at start, -1 none
  std::vector<int64_t> stopWrites;   // option 11 at stop
};

TEST_F(AcquisitionTest, TriggerSourceDecidesTheDeliveryMode) {
  MM::Camera* camera = Open("PX-FULL");
  ASSERT_NE(camera, nullptr);
  ASSERT_TRUE(Has(camera, "IO:Trigger Source"));
  sim_.set_frame_source(kPxFull, 1);  // frames are not needed here
  const SourceCase cases[] = {
      {"Opto-isolated input", {1}, 0, {}},
      {"GPIO0", {1}, 1, {}},
      {"GPIO1", {1}, 2, {}},
      {"Counter", {1}, 3, {}},
      {"PWM", {1}, 4, {}},
      {"Software Trigger", {0}, -1, {1}},
  };
  for (const SourceCase& c : cases) {
    SCOPED_TRACE(c.source);
    ASSERT_EQ(Set(camera, "IO:Trigger Source", c.source), 0);
    sim_.trace_clear();
    ASSERT_EQ(Start(camera, 5), 0);
    EXPECT_EQ(OptionWrites(11), c.startWrites);
    std::vector<int64_t> sources;
    for (const PyxsimCall& call : Calls(109)) {
      if (call.args[1] == 14) {
        EXPECT_EQ(call.args[0], 0) << "line";
        sources.push_back(call.args[2]);
      }
    }
    if (c.ioSource >= 0) {
      EXPECT_THAT(sources, ElementsAre(c.ioSource));
    } else {
      EXPECT_TRUE(sources.empty());
    }
    sim_.trace_clear();
    EXPECT_EQ(Stop(camera), 0);
    EXPECT_EQ(OptionWrites(11), c.stopWrites);
  }
}

TEST_F(AcquisitionTest, HardwareTriggeredSequenceTakesOneFramePerPulse) {
  MM::Camera* camera = Open("PX-2600M-COOL");
  ASSERT_NE(camera, nullptr);
  ASSERT_EQ(Set(camera, "IO:Trigger Source", "GPIO1"), 0);
  ASSERT_EQ(Start(camera, 3), 0);
  ASSERT_TRUE(WaitForPull());
  for (int pulse = 0; pulse < 3; ++pulse) {
    sim_.hardware_pulse(kPx2600M);
    ASSERT_TRUE(host_.waitForAccepted(static_cast<size_t>(pulse) + 1, kHangGuard));
  }
  ASSERT_TRUE(host_.waitForFinished(kHangGuard));
  EXPECT_TRUE(StrictlyIncreasing(TakeStamps()));
  EXPECT_EQ(sim_.option(kPx2600M, 11), 1);
}

// The sequence started free-running; the trigger source was changed to a
// hardware source while it ran. Stop must still put the camera back into
// triggered mode, or the idle camera would keep running free.
TEST_F(AcquisitionTest, StopRestoresTriggeredModeAfterTheSourceChangedDuringTheRun) {
  MM::Camera* camera = Open("PX-FULL");
  ASSERT_NE(camera, nullptr);
  ASSERT_EQ(Set(camera, "IO:Trigger Source", "Software Trigger"), 0);
  ASSERT_EQ(Slot<int(double)>(camera, slot::kStartContinuous, 0.0), 0);
  ASSERT_TRUE(host_.waitForAccepted(2, kHangGuard));
  ASSERT_EQ(Set(camera, "IO:Trigger Source", "GPIO0"), 0);
  sim_.trace_clear();
  EXPECT_EQ(Stop(camera), 0);
  EXPECT_THAT(OptionWrites(11), ElementsAre(1));
  EXPECT_EQ(sim_.option(kPxFull, 11), 1);
  // And a later stop follows the written rule again: GPIO0 is a hardware source.
  sim_.trace_clear();
  EXPECT_EQ(Stop(camera), 0);
  EXPECT_TRUE(OptionWrites(11).empty());
}

// The host stops the sequence from inside its insert, on the sequence thread.
// The camera must be back in triggered mode once that thread has ended.
TEST_F(AcquisitionTest, StopFromInsideTheInsertRestoresTriggeredMode) {
  MM::Camera* camera = Open("PX-120M");
  ASSERT_NE(camera, nullptr);
  std::atomic<int> inserts{0};
  host_.setInsertHook([&](const pyxhost::HostImage&) {
    if (++inserts == 2) Stop(camera);
    return 0;
  });
  ASSERT_EQ(Start(camera, 100), 0);
  ASSERT_TRUE(host_.waitForFinished(kHangGuard));
  EXPECT_FALSE(Capturing(camera));
  EXPECT_EQ(sim_.option(kPx120M, 11), 1);
}

// Runs the calling thread on CPU 0 only; with `idle`, only when nothing else
// wants that CPU. Used to order two threads of a race deterministically.
void RunOnFirstCpu(bool idle) {
  cpu_set_t cpus;
  CPU_ZERO(&cpus);
  CPU_SET(0, &cpus);
  pthread_setaffinity_np(pthread_self(), sizeof cpus, &cpus);
  if (idle) {
    sched_param param{};
    pthread_setschedparam(pthread_self(), SCHED_IDLE, &param);
  }
}

// A host snap issued during a hardware-triggered sequence waits for a
// delivered frame. When the sequence takes the last frame and ends by itself,
// that snap must return instead of waiting for pulses that no longer come.
// The sequence thread is made to yield to the snap right after its last
// insert, so that the snap is already waiting when the sequence ends.
TEST_F(AcquisitionTest, SnapWaitingDuringASequenceReturnsWhenTheSequenceEndsByItself) {
  MM::Camera* camera = Open("PX-2600M-COOL");
  ASSERT_NE(camera, nullptr);
  ASSERT_EQ(Set(camera, "IO:Trigger Source", "GPIO1"), 0);
  std::atomic<int> inserts{0};
  host_.setInsertHook([&](const pyxhost::HostImage&) {
    if (++inserts == 2) RunOnFirstCpu(true);  // the sequence thread, at its last frame
    return 0;
  });
  bool raced = false;
  for (int round = 0; round < 12 && !raced; ++round) {
    SCOPED_TRACE("round " + std::to_string(round));
    host_.reset();
    inserts = 0;
    ASSERT_EQ(Start(camera, 2), 0);
    ASSERT_TRUE(WaitForPull());
    sim_.hardware_pulse(kPx2600M);
    ASSERT_TRUE(host_.waitForAccepted(1, kHangGuard));
    std::atomic<bool> returned{false};
    std::thread snap([&] {
      RunOnFirstCpu(false);
      Slot<int()>(camera, slot::kSnap);
      returned = true;
    });
    std::this_thread::sleep_for(10ms);  // the snap now waits in mode B
    sim_.hardware_pulse(kPx2600M);      // the last frame: the snap or the sequence takes it
    auto waitFor = [](const std::function<bool()>& done, std::chrono::milliseconds limit) {
      const auto deadline = std::chrono::steady_clock::now() + limit;
      while (!done() && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(1ms);
      }
      return done();
    };
    ASSERT_TRUE(waitFor([&] { return returned || host_.finishedCount() > 0; }, kHangGuard));
    if (host_.finishedCount() == 0) {
      // The snap took that frame itself and did not meet the race: try again.
      sim_.hardware_pulse(kPx2600M);
      ASSERT_TRUE(host_.waitForFinished(kHangGuard));
    } else {
      // No pulse comes any more: the snap must not wait for one.
      raced = true;
      EXPECT_TRUE(waitFor([&] { return returned.load(); }, 2000ms))
          << "the snap still waits after the sequence ended";
    }
    Stop(camera);  // wakes a snap left waiting, so that the thread can be joined
    snap.join();
  }
  EXPECT_TRUE(raced) << "the snap took a frame in every round";
}

}  // namespace
}  // namespace camtest
