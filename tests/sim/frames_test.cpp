// Frames and events: triggered and free-running delivery, pulls with their
// stamps and layouts, image content, and the threads callbacks arrive on.
#include <atomic>
#include <numeric>

#include "tests/sim/sim_test_support.h"

namespace simtest {
namespace {

using namespace pyxon;
using std::chrono::milliseconds;

uint64_t StampOf(const std::vector<uint8_t>& frame) {
  uint64_t number = 0;
  EXPECT_TRUE(pyxsim_read_stamp(frame.data(), frame.size(), &number));
  return number;
}

// Mean of the 8-bit samples, stamp bytes excluded.
double Mean(const std::vector<uint8_t>& frame) {
  return std::accumulate(frame.begin() + 8, frame.end() - 8, 0.0) /
         static_cast<double>(frame.size() - 16);
}

class FramesTest : public SimTest {
 protected:
  // A small region keeps every pull cheap.
  CameraHandle* OpenSmall(int index, uint32_t w = 256, uint32_t h = 128) {
    CameraHandle* handle = Open(index);
    if (handle != nullptr) {
      CallSlot<int32_t>(handle, 80, uint32_t{0}, uint32_t{0}, w, h);
    }
    return handle;
  }
  // Triggers one frame and pulls it once its event arrived.
  std::vector<uint8_t> Snap(CameraHandle* h, EventLog& log, int32_t bits) {
    const auto [w, hh] = OutputSize(h);
    std::vector<uint8_t> frame(static_cast<size_t>(w) * hh * (bits / 8));
    const size_t before = log.Count(kEventImage);
    EXPECT_EQ(CallSlot<int32_t>(h, 115), 0);
    EXPECT_EQ(CallSlot<int32_t>(h, 138, uint16_t{1}), 0);
    EXPECT_TRUE(log.WaitFor(kEventImage, before + 1));
    EXPECT_EQ(Pull(h, frame, bits), 0);
    return frame;
  }
};

TEST_F(FramesTest, TriggeredFramesCarryIncreasingStampsAndEvents) {
  CameraHandle* h = OpenSmall(kMono120);
  ASSERT_NE(h, nullptr);
  EventLog log;
  StartTriggered(h, log);
  std::vector<uint8_t> frame(256 * 128);
  EXPECT_EQ(Pull(h, frame, 8), kPending);  // nothing triggered yet

  const uint64_t first = StampOf(Snap(h, log, 8));
  EXPECT_EQ(first, 1u);
  EXPECT_EQ(Pull(h, frame, 8), kPending);  // already pulled
  const uint64_t second = StampOf(Snap(h, log, 8));
  EXPECT_EQ(second, 2u);
  EXPECT_EQ(sim.frames_generated(kMono120), 2u);

  // Events come from the simulator's own thread.
  for (std::thread::id id : log.Threads()) EXPECT_NE(id, std::this_thread::get_id());

  // Several triggers in one call queue up.
  ASSERT_EQ(CallSlot<int32_t>(h, 138, uint16_t{3}), 0);
  EXPECT_TRUE(log.WaitFor(kEventImage, 5));
}

// A forced frame interval also times triggered frames: with one of several
// seconds, a triggered frame is not there a fraction of a second later, and
// with the derived timing (a short exposure) it is.
TEST_F(FramesTest, ForcedFrameIntervalAlsoTimesTriggeredFrames) {
  CameraHandle* h = OpenSmall(kMono120, 64, 64);
  ASSERT_NE(h, nullptr);
  EventLog log;
  StartTriggered(h, log);
  ASSERT_EQ(CallSlot<int32_t>(h, 34, uint32_t{100}), 0);  // 100 us exposure
  sim.set_frame_interval_us(kMono120, 30000000);
  ASSERT_EQ(CallSlot<int32_t>(h, 138, uint16_t{1}), 0);
  std::this_thread::sleep_for(milliseconds(300));
  EXPECT_EQ(log.Count(kEventImage), 0u);
  EXPECT_EQ(sim.frames_generated(kMono120), 0u);

  // Closing discards the queued trigger; a fresh open with derived timing
  // delivers at once.
  Close(h);
  sim.set_frame_interval_us(kMono120, 0);
  h = OpenSmall(kMono120, 64, 64);
  ASSERT_NE(h, nullptr);
  EventLog derived;
  StartTriggered(h, derived);
  ASSERT_EQ(CallSlot<int32_t>(h, 34, uint32_t{100}), 0);
  ASSERT_EQ(CallSlot<int32_t>(h, 138, uint16_t{1}), 0);
  EXPECT_TRUE(derived.WaitFor(kEventImage, 1));
}

TEST_F(FramesTest, NewerFrameReplacesAnUnpulledOneAndLeavesAGap) {
  CameraHandle* h = OpenSmall(kFull);
  ASSERT_NE(h, nullptr);
  EventLog log;
  StartTriggered(h, log);
  ASSERT_EQ(CallSlot<int32_t>(h, 138, uint16_t{2}), 0);
  ASSERT_TRUE(log.WaitFor(kEventImage, 2));
  std::vector<uint8_t> frame(256 * 128 * 4);
  ASSERT_EQ(Pull(h, frame, 32), 0);
  EXPECT_EQ(StampOf(frame), 2u);
  EXPECT_EQ(Pull(h, frame, 32), kPending);
}

TEST_F(FramesTest, FreeRunningDeliversUntilStopped) {
  CameraHandle* h = OpenSmall(kFull);
  ASSERT_NE(h, nullptr);
  sim.set_frame_interval_us(kFull, 2000);
  EventLog log;
  ASSERT_EQ(CallSlot<int32_t>(h, 93, opt::kTriggerMode, int32_t{0}), 0);
  ASSERT_EQ(StartDelivery(h, log), 0);
  EXPECT_EQ(sim.is_delivering(kFull), 1);
  ASSERT_TRUE(log.WaitFor(kEventImage, 5));
  std::vector<uint8_t> frame(256 * 128 * 4);
  uint64_t last = 0;
  for (int i = 0; i < 3; ++i) {
    const size_t seen = log.Count(kEventImage);
    ASSERT_TRUE(log.WaitFor(kEventImage, seen + 1));
    ASSERT_EQ(Pull(h, frame, 32), 0);
    const uint64_t stamp = StampOf(frame);
    EXPECT_GT(stamp, last);
    last = stamp;
  }
  // Software triggers are refused while free-running.
  EXPECT_LT(CallSlot<int32_t>(h, 138, uint16_t{1}), 0);

  ASSERT_EQ(CallSlot<int32_t>(h, 159, int32_t{0}), 0);
  EXPECT_EQ(sim.is_delivering(kFull), 0);
  EXPECT_EQ(Pull(h, frame, 32), kPending);  // stop discards the unpulled frame
  const uint64_t stoppedAt = sim.frames_generated(kFull);
  std::this_thread::sleep_for(milliseconds(30));
  EXPECT_EQ(sim.frames_generated(kFull), stoppedAt);

  uint32_t frames = 0, interval = 0, total = 0;
  ASSERT_EQ(CallSlot<int32_t>(h, 169, &frames, &interval, &total, int32_t{0}, int32_t{0}), 0);
  EXPECT_EQ(total, stoppedAt);
}

// The sensor's clock makes free-running frames, the worker only announces
// them: a pull takes a due frame even while the worker is held up in a
// callback, and the image events that wait meanwhile merge into one.
TEST_F(FramesTest, PullsTakeDueFramesWhileTheWorkerIsHeldAndWaitingEventsMerge) {
  CameraHandle* h = OpenSmall(kFull, 64, 64);
  ASSERT_NE(h, nullptr);
  sim.set_frame_interval_us(kFull, 2000);
  struct Gate {
    std::mutex mu;
    std::condition_variable cv;
    bool release = false;
    int images = 0;
  } gate;
  auto callback = [](int32_t event, void* raw) {
    auto* g = static_cast<Gate*>(raw);
    if (event != kEventImage) return;
    std::unique_lock<std::mutex> lock(g->mu);
    ++g->images;
    g->cv.notify_all();
    g->cv.wait(lock, [&] { return g->release; });
  };
  ASSERT_EQ(CallSlot<int32_t>(h, 93, opt::kTriggerMode, int32_t{0}), 0);
  void* z = nullptr;
  ASSERT_EQ(CallSlot<int32_t>(h, 158, z, z, z, z, z, z, z, static_cast<EventCallback>(callback), z,
                              static_cast<void*>(&gate)),
            0);
  {
    std::unique_lock<std::mutex> lock(gate.mu);
    ASSERT_TRUE(gate.cv.wait_for(lock, std::chrono::seconds(5), [&] { return gate.images > 0; }));
  }
  std::vector<uint8_t> frame(64 * 64 * 4);
  uint64_t last = 0;
  int pulled = 0;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  while (pulled < 5 && std::chrono::steady_clock::now() < deadline) {
    if (Pull(h, frame, 32) == 0) {
      EXPECT_GT(StampOf(frame), last);
      last = StampOf(frame);
      ++pulled;
    }
    std::this_thread::sleep_for(milliseconds(1));
  }
  EXPECT_EQ(pulled, 5);
  // No more frames: what is announced from here on was made while held.
  ASSERT_EQ(CallSlot<int32_t>(h, 93, opt::kTriggerMode, int32_t{1}), 0);
  {
    std::lock_guard<std::mutex> lock(gate.mu);
    gate.release = true;
    gate.cv.notify_all();
  }
  EXPECT_EQ(sim.flush_events(kFull), 0);
  {
    std::lock_guard<std::mutex> lock(gate.mu);
    EXPECT_EQ(gate.images, 2);  // the held one, and one for all frames made since
  }
  ASSERT_EQ(CallSlot<int32_t>(h, 159, int32_t{0}), 0);
  EXPECT_EQ(sim.flush_events(kFull), 0);
}

// A sensor with a microsecond period: while nobody pulls, the worker makes a
// frame at most every 50 us instead of taking a core.
TEST_F(FramesTest, FastSensorDoesNotKeepTheWorkerBusy) {
  CameraHandle* h = OpenSmall(kFull, 64, 64);
  ASSERT_NE(h, nullptr);
  sim.set_frame_interval_us(kFull, 1);
  EventLog log;
  ASSERT_EQ(CallSlot<int32_t>(h, 93, opt::kTriggerMode, int32_t{0}), 0);
  ASSERT_EQ(StartDelivery(h, log), 0);
  ASSERT_TRUE(log.WaitFor(kEventImage, 1));
  const auto start = std::chrono::steady_clock::now();
  const uint64_t before = sim.frames_generated(kFull);
  std::this_thread::sleep_for(milliseconds(100));
  const uint64_t made = sim.frames_generated(kFull) - before;
  const auto elapsedUs = std::chrono::duration_cast<std::chrono::microseconds>(
                             std::chrono::steady_clock::now() - start)
                             .count();
  EXPECT_GE(made, 1u);
  EXPECT_LE(made, static_cast<uint64_t>(elapsedUs / 50 + 1));

  ASSERT_EQ(CallSlot<int32_t>(h, 159, int32_t{0}), 0);
}

TEST_F(FramesTest, FrameStatisticsReportRateAndTotal) {
  CameraHandle* h = OpenSmall(kFull);
  ASSERT_NE(h, nullptr);
  uint32_t frames = 9, interval = 9, total = 9;
  ASSERT_EQ(CallSlot<int32_t>(h, 169, &frames, &interval, &total, int32_t{0}, int32_t{0}), 0);
  EXPECT_EQ(interval, 0u);
  EXPECT_EQ(total, 0u);
  sim.set_frame_interval_us(kFull, 5000);
  EventLog log;
  ASSERT_EQ(CallSlot<int32_t>(h, 93, opt::kTriggerMode, int32_t{0}), 0);
  ASSERT_EQ(StartDelivery(h, log), 0);
  ASSERT_TRUE(log.WaitFor(kEventImage, 10));
  ASSERT_EQ(CallSlot<int32_t>(h, 169, &frames, &interval, &total, int32_t{0}, int32_t{0}), 0);
  EXPECT_GE(total, 10u);
  EXPECT_GT(frames, 0u);
  EXPECT_GT(interval, 0u);
  EXPECT_LE(frames, total);
}

TEST_F(FramesTest, DroppedFramesShowAsGaps) {
  CameraHandle* h = OpenSmall(kFull);
  ASSERT_NE(h, nullptr);
  sim.set_drop_percent(kFull, 50);
  EventLog log;
  StartTriggered(h, log);
  ASSERT_EQ(CallSlot<int32_t>(h, 138, uint16_t{10}), 0);
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  while (sim.frames_generated(kFull) < 10 && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(milliseconds(5));
  }
  ASSERT_EQ(sim.frames_generated(kFull), 10u);
  ASSERT_EQ(sim.flush_events(kFull), 0);
  EXPECT_EQ(log.Count(kEventImage), 5u);  // every second number dropped
  std::vector<uint8_t> frame(256 * 128 * 4);
  ASSERT_EQ(Pull(h, frame, 32), 0);
  EXPECT_EQ(StampOf(frame), 9u);  // the newest delivered one
}

TEST_F(FramesTest, HardwarePulsesTriggerOnlyWithAHardwareSource) {
  CameraHandle* h = OpenSmall(kCooled2600);
  ASSERT_NE(h, nullptr);
  EventLog log;
  StartTriggered(h, log);
  ASSERT_EQ(CallSlot<int32_t>(h, 109, uint32_t{0}, io::kSetTriggerSource, int32_t{5}, nullptr), 0);
  sim.hardware_pulse(kCooled2600);  // software source: ignored
  ASSERT_EQ(CallSlot<int32_t>(h, 109, uint32_t{0}, io::kSetTriggerSource, int32_t{2}, nullptr), 0);
  sim.hardware_pulse(kCooled2600);
  ASSERT_TRUE(log.WaitFor(kEventImage, 1));
  std::this_thread::sleep_for(milliseconds(50));
  EXPECT_EQ(log.Count(kEventImage), 1u);
  EXPECT_EQ(sim.state(kCooled2600, "counter"), 2);  // the counter saw both pulses
  std::vector<uint8_t> frame(256 * 128);
  ASSERT_EQ(Pull(h, frame, 8), 0);
  EXPECT_EQ(StampOf(frame), 1u);
}

TEST_F(FramesTest, NeverDeliverModeMakesNoFramesAndNoEvents) {
  CameraHandle* h = OpenSmall(kFull);
  ASSERT_NE(h, nullptr);
  sim.set_frame_source(kFull, 1);
  EventLog log;
  StartTriggered(h, log);
  EXPECT_EQ(CallSlot<int32_t>(h, 138, uint16_t{1}), 0);
  CallSlot<int32_t>(h, 14, static_cast<void*>(nullptr), static_cast<void*>(nullptr));
  std::this_thread::sleep_for(milliseconds(250));
  EXPECT_EQ(log.Count(kEventImage), 0u);
  EXPECT_EQ(log.Count(kEventWhiteBalance), 0u);
  std::vector<uint8_t> frame(256 * 128 * 4);
  EXPECT_EQ(Pull(h, frame, 32), kPending);
  // An explicitly fired event still arrives.
  sim.fire_event(kFull, kEventError);
  EXPECT_EQ(sim.flush_events(kFull), 0);
  EXPECT_EQ(log.Count(kEventError), 1u);
}

TEST_F(FramesTest, PullWritesTheRequestedLayout) {
  CameraHandle* h = OpenSmall(kFull, 64, 32);
  ASSERT_NE(h, nullptr);
  EventLog log;
  StartTriggered(h, log);
  for (int32_t bits : {8, 16, 24, 32, 48, 64}) {
    SCOPED_TRACE("bits " + std::to_string(bits));
    const size_t bytes = 64 * 32 * static_cast<size_t>(bits / 8);
    std::vector<uint8_t> frame(bytes + 64, 0xEE);   // guard bytes after the frame
    const auto announced = log.Count(kEventImage);  // before the trigger: its event may be quick
    ASSERT_EQ(CallSlot<int32_t>(h, 138, uint16_t{1}), 0);
    ASSERT_TRUE(log.WaitFor(kEventImage, announced + 1));
    ASSERT_EQ(Pull(h, frame, bits), 0);
    uint64_t number = 0;
    EXPECT_TRUE(pyxsim_read_stamp(frame.data(), bytes, &number));
    for (size_t i = bytes; i < frame.size(); ++i) ASSERT_EQ(frame[i], 0xEE) << i;
    if (bits == 32) {
      EXPECT_EQ(frame[64 * 4 * 10 + 3], 255);  // opaque alpha, row 10
    }
  }
  std::vector<uint8_t> frame(64 * 32 * 4);
  EXPECT_LT(Pull(h, frame, 12), 0);
  EXPECT_LT(CallSlot<int32_t>(h, 184, int32_t{0}, static_cast<void*>(nullptr), int32_t{8},
                              int32_t{-1}, static_cast<void*>(nullptr)),
            0);
  // An explicit row pitch leaves the padding alone.
  const auto announced = log.Count(kEventImage);
  ASSERT_EQ(CallSlot<int32_t>(h, 138, uint16_t{1}), 0);
  ASSERT_TRUE(log.WaitFor(kEventImage, announced + 1));
  std::vector<uint8_t> padded(100 * 32, 0xEE);
  ASSERT_EQ(CallSlot<int32_t>(h, 184, int32_t{0}, static_cast<void*>(padded.data()), int32_t{8},
                              int32_t{100}, static_cast<void*>(nullptr)),
            0);
  EXPECT_EQ(padded[64], 0xEE);
  EXPECT_NE(padded[100 + 10], 0xEE);
  EXPECT_LT(CallSlot<int32_t>(h, 184, int32_t{0}, static_cast<void*>(padded.data()), int32_t{8},
                              int32_t{63}, static_cast<void*>(nullptr)),
            0);
}

TEST_F(FramesTest, FrameInfoAndWaitingPull) {
  CameraHandle* h = OpenSmall(kMono120, 64, 64);
  ASSERT_NE(h, nullptr);
  EventLog log;
  StartTriggered(h, log);
  ASSERT_EQ(CallSlot<int32_t>(h, 138, uint16_t{1}), 0);
  std::vector<uint8_t> frame(64 * 64);
  PyxsimFrameInfo info{};
  // A positive wait mode waits for the frame instead of answering "pending".
  ASSERT_EQ(CallSlot<int32_t>(h, 184, int32_t{5000}, static_cast<void*>(frame.data()), int32_t{8},
                              int32_t{-1}, static_cast<void*>(&info)),
            0);
  EXPECT_EQ(info.width, 64u);
  EXPECT_EQ(info.height, 64u);
  EXPECT_EQ(info.bits, 8u);
  EXPECT_EQ(info.frameNumber, StampOf(frame));
  EXPECT_EQ(CallSlot<int32_t>(h, 184, int32_t{20}, static_cast<void*>(frame.data()), int32_t{8},
                              int32_t{-1}, static_cast<void*>(nullptr)),
            kPending);
}

TEST_F(FramesTest, BrightnessFollowsExposureGainAndBinning) {
  CameraHandle* h = OpenSmall(kCooled2600);
  ASSERT_NE(h, nullptr);
  EventLog log;
  StartTriggered(h, log);
  ASSERT_EQ(CallSlot<int32_t>(h, 34, uint32_t{2000}), 0);
  const double dim = Mean(Snap(h, log, 8));
  ASSERT_EQ(CallSlot<int32_t>(h, 34, uint32_t{8000}), 0);
  const double brighter = Mean(Snap(h, log, 8));
  EXPECT_GT(brighter, dim * 2.5);
  ASSERT_EQ(CallSlot<int32_t>(h, 36, uint16_t{200}), 0);
  EXPECT_GT(Mean(Snap(h, log, 8)), brighter * 1.5);

  // The frame is 256 wide, one period of the sideways scroll, so a row's mean
  // does not depend on the frame number: a vertically flipped frame has the
  // row means of the upright one in reverse order.
  ASSERT_EQ(CallSlot<int32_t>(h, 36, uint16_t{100}), 0);
  const std::vector<uint8_t> upright = Snap(h, log, 8);
  ASSERT_EQ(CallSlot<int32_t>(h, 46, int32_t{1}), 0);
  const std::vector<uint8_t> flipped = Snap(h, log, 8);
  const auto rowMean = [](const std::vector<uint8_t>& f, size_t row) {
    return std::accumulate(f.begin() + row * 256, f.begin() + (row + 1) * 256, 0.0) / 256;
  };
  EXPECT_GT(rowMean(upright, 122), rowMean(upright, 5) + 10);
  for (size_t row : {5u, 40u, 90u, 122u}) {
    EXPECT_DOUBLE_EQ(rowMean(flipped, row), rowMean(upright, 127 - row)) << row;
  }
  // Negative turns dark into bright.
  ASSERT_EQ(CallSlot<int32_t>(h, 116, int32_t{1}), 0);
  EXPECT_GT(rowMean(Snap(h, log, 8), 122), rowMean(flipped, 122) + 10);
}

TEST_F(FramesTest, ColourFramesFollowWhiteBalance) {
  CameraHandle* h = OpenSmall(kFull);
  ASSERT_NE(h, nullptr);
  EventLog log;
  StartTriggered(h, log);
  auto channelMeans = [&](const std::vector<uint8_t>& f) {
    double sum[3] = {0, 0, 0};
    for (size_t i = 16; i + 4 <= f.size() - 16; i += 4) {
      for (int c = 0; c < 3; ++c) sum[c] += f[i + c];
    }
    return std::vector<double>{sum[0], sum[1], sum[2]};  // B, G, R
  };
  const int32_t neutral[3] = {0, 0, 0};
  ASSERT_EQ(CallSlot<int32_t>(h, 25, neutral), 0);
  const auto before = channelMeans(Snap(h, log, 32));
  const int32_t redder[3] = {60, 0, -60};
  ASSERT_EQ(CallSlot<int32_t>(h, 25, redder), 0);
  const auto after = channelMeans(Snap(h, log, 32));
  EXPECT_GT(after[2], before[2]);  // red up
  EXPECT_LT(after[0], before[0]);  // blue down
}

TEST_F(FramesTest, WhiteBalanceOnceAndContinuousFireEventSix) {
  CameraHandle* h = Open(kColour678);
  ASSERT_NE(h, nullptr);
  EventLog log;
  StartTriggered(h, log);
  ASSERT_EQ(CallSlot<int32_t>(h, 14, static_cast<void*>(nullptr), static_cast<void*>(nullptr)), 0);
  ASSERT_TRUE(log.WaitFor(kEventWhiteBalance, 1));
  int32_t gains[3] = {};
  ASSERT_EQ(CallSlot<int32_t>(h, 26, gains), 0);
  EXPECT_GT(gains[0], 0);  // the warm scene needs more red and less blue
  EXPECT_LT(gains[2], 0);

  ASSERT_EQ(CallSlot<int32_t>(h, 93, opt::kWhiteBalanceInterval, int32_t{100}), 0);
  EXPECT_TRUE(log.WaitFor(kEventWhiteBalance, 4));
  ASSERT_EQ(CallSlot<int32_t>(h, 93, opt::kWhiteBalanceInterval, int32_t{0}), 0);
  sim.flush_events(kColour678);
  const size_t settled = log.Count(kEventWhiteBalance);
  std::this_thread::sleep_for(milliseconds(250));
  EXPECT_EQ(log.Count(kEventWhiteBalance), settled);
}

TEST_F(FramesTest, AutoExposureMovesExposureAndAnnouncesIt) {
  CameraHandle* h = OpenSmall(kCooled2600);
  ASSERT_NE(h, nullptr);
  sim.set_frame_interval_us(kCooled2600, 5000);
  ASSERT_EQ(CallSlot<int32_t>(h, 34, uint32_t{1000}), 0);  // far too dark
  ASSERT_EQ(CallSlot<int32_t>(h, 93, opt::kAutoExposurePolicy, int32_t{0}), 0);
  ASSERT_EQ(CallSlot<int32_t>(h, 11, int32_t{1}), 0);
  EventLog log;
  ASSERT_EQ(CallSlot<int32_t>(h, 93, opt::kTriggerMode, int32_t{0}), 0);
  ASSERT_EQ(StartDelivery(h, log), 0);
  ASSERT_TRUE(log.WaitFor(kEventExposure, 1));
  uint32_t exposure = 0;
  ASSERT_EQ(CallSlot<int32_t>(h, 33, &exposure), 0);
  EXPECT_GT(exposure, 1000u);
  uint32_t maxTime = 0;
  CallSlot<int32_t>(h, 130, &maxTime, static_cast<uint16_t*>(nullptr));
  EXPECT_LE(exposure, maxTime * 1000);
  uint16_t gain = 0;
  CallSlot<int32_t>(h, 35, &gain);
  EXPECT_EQ(gain, 100);  // exposure-only policy
}

TEST_F(FramesTest, CallbackMayCallBackIntoTheHandle) {
  CameraHandle* h = OpenSmall(kFull);
  ASSERT_NE(h, nullptr);
  struct Context {
    CameraHandle* handle = nullptr;
    std::atomic<int> calls{0};
    std::atomic<uint32_t> exposure{0};
  } context;
  context.handle = h;
  auto callback = [](int32_t event, void* raw) {
    auto* ctx = static_cast<Context*>(raw);
    if (event != kEventImage) return;
    uint32_t us = 0;
    CallSlot<int32_t>(ctx->handle, 33, &us);
    std::vector<uint8_t> frame(256 * 128 * 4);
    CallSlot<int32_t>(ctx->handle, 184, int32_t{0}, static_cast<void*>(frame.data()), int32_t{32},
                      int32_t{-1}, static_cast<void*>(nullptr));
    ctx->exposure = us;
    ++ctx->calls;
  };
  ASSERT_EQ(CallSlot<int32_t>(h, 93, opt::kTriggerMode, int32_t{1}), 0);
  void* z = nullptr;
  ASSERT_EQ(CallSlot<int32_t>(h, 158, z, z, z, z, z, z, z, static_cast<EventCallback>(callback), z,
                              static_cast<void*>(&context)),
            0);
  ASSERT_EQ(CallSlot<int32_t>(h, 138, uint16_t{2}), 0);
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  while (context.calls < 2 && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(milliseconds(2));
  }
  EXPECT_EQ(context.calls, 2);
  EXPECT_EQ(context.exposure, 10000u);
  ASSERT_EQ(CallSlot<int32_t>(h, 159, int32_t{0}), 0);
  EXPECT_EQ(sim.flush_events(kFull), 0);  // the context lives on this stack
}

// With waiting switched off, Stop and Close return while a callback runs. The
// callback, once released, may still use the closed handle, which then
// answers "closed" instead of crashing.
TEST_F(FramesTest, StopAndCloseDoNotWaitForACallbackInFlightWhenSwitchedOff) {
  sim.set_stop_waits_for_callbacks(0);
  CameraHandle* h = OpenSmall(kFull);
  ASSERT_NE(h, nullptr);
  struct Gate {
    CameraHandle* handle = nullptr;
    std::mutex mu;
    std::condition_variable cv;
    bool entered = false;
    bool release = false;
    int32_t resultAfterClose = 0;
    bool done = false;
  } gate;
  gate.handle = h;
  auto callback = [](int32_t event, void* raw) {
    auto* g = static_cast<Gate*>(raw);
    if (event != kEventError) return;
    std::unique_lock<std::mutex> lock(g->mu);
    g->entered = true;
    g->cv.notify_all();
    g->cv.wait(lock, [&] { return g->release; });
    uint32_t us = 0;
    g->resultAfterClose = CallSlot<int32_t>(g->handle, 33, &us);
    g->done = true;
    g->cv.notify_all();
  };
  void* z = nullptr;
  ASSERT_EQ(CallSlot<int32_t>(h, 158, z, z, z, z, z, z, z, static_cast<EventCallback>(callback), z,
                              static_cast<void*>(&gate)),
            0);
  sim.fire_event(kFull, kEventError);
  {
    std::unique_lock<std::mutex> lock(gate.mu);
    ASSERT_TRUE(gate.cv.wait_for(lock, std::chrono::seconds(5), [&] { return gate.entered; }));
  }
  EXPECT_EQ(sim.callbacks_in_flight(kFull), 1);
  EXPECT_EQ(CallSlot<int32_t>(h, 159, int32_t{0}), 0);  // returns although the callback runs
  Close(h);
  EXPECT_EQ(sim.is_open(kFull), 0);
  {
    std::unique_lock<std::mutex> lock(gate.mu);
    gate.release = true;
    gate.cv.notify_all();
    ASSERT_TRUE(gate.cv.wait_for(lock, std::chrono::seconds(5), [&] { return gate.done; }));
  }
  EXPECT_EQ(gate.resultAfterClose, static_cast<int32_t>(0x80070006u));
  // The camera opens again at once.
  EXPECT_NE(Open(kFull), nullptr);
}

// A callback that sleeps: 159 and 160 return only once it has ended, except
// when called from inside a callback of the same camera, and a callback that
// outlives the wait limit is counted instead of hanging the caller.
TEST_F(FramesTest, StopAndCloseWaitForCallbacksInFlight) {
  CameraHandle* h = OpenSmall(kFull);
  ASSERT_NE(h, nullptr);
  struct Slow {
    CameraHandle* handle = nullptr;
    std::atomic<int> sleepMs{150};
    std::atomic<bool> entered{false};
    std::atomic<bool> ended{false};
    std::atomic<int64_t> innerStopUs{-1};
    std::atomic<int32_t> innerStopResult{1};
  } slow;
  slow.handle = h;
  auto callback = [](int32_t event, void* raw) {
    auto* s = static_cast<Slow*>(raw);
    if (event == 42) {
      const auto start = std::chrono::steady_clock::now();
      s->innerStopResult = CallSlot<int32_t>(s->handle, 159, int32_t{0});
      s->innerStopUs = std::chrono::duration_cast<std::chrono::microseconds>(
                           std::chrono::steady_clock::now() - start)
                           .count();
    } else if (event == 43) {
      s->entered = true;
      std::this_thread::sleep_for(milliseconds(s->sleepMs.load()));
      s->ended = true;
    }
  };
  auto start = [&] {
    void* z = nullptr;
    slow.entered = slow.ended = false;
    return CallSlot<int32_t>(h, 158, z, z, z, z, z, z, z, static_cast<EventCallback>(callback), z,
                             static_cast<void*>(&slow));
  };
  auto fireAndWaitEntered = [&] {
    sim.fire_event(kFull, 43);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (!slow.entered && std::chrono::steady_clock::now() < deadline) {
      std::this_thread::sleep_for(milliseconds(1));
    }
    return slow.entered.load();
  };

  ASSERT_EQ(start(), 0);
  sim.fire_event(kFull, 42);
  ASSERT_EQ(sim.flush_events(kFull), 0);
  EXPECT_EQ(slow.innerStopResult, 0);
  EXPECT_LT(slow.innerStopUs, 1000000);  // its own callback would hold it for the limit
  EXPECT_EQ(sim.is_delivering(kFull), 0);

  ASSERT_EQ(start(), 0);
  ASSERT_TRUE(fireAndWaitEntered());
  EXPECT_EQ(CallSlot<int32_t>(h, 159, int32_t{0}), 0);
  EXPECT_TRUE(slow.ended);
  EXPECT_EQ(sim.callbacks_in_flight(kFull), 0);

  ASSERT_EQ(start(), 0);
  ASSERT_TRUE(fireAndWaitEntered());
  sim.set_stop_wait_limit_ms(20);
  slow.sleepMs = 400;
  EXPECT_EQ(CallSlot<int32_t>(h, 159, int32_t{0}), 0);
  EXPECT_FALSE(slow.ended);  // gave up waiting
  EXPECT_EQ(sim.stop_wait_expiries(kFull), 1);
  EXPECT_EQ(sim.stop_wait_expiries_total(), 1u);
  ASSERT_EQ(sim.flush_events(kFull), 0);  // the context lives on this stack

  sim.set_stop_wait_limit_ms(5000);
  slow.sleepMs = 150;
  ASSERT_EQ(start(), 0);
  ASSERT_TRUE(fireAndWaitEntered());
  Close(h);
  EXPECT_TRUE(slow.ended);
  EXPECT_EQ(sim.stop_wait_expiries(kFull), 1);
  sim.reset();
  EXPECT_EQ(sim.stop_wait_expiries_total(), 0u);
}

// Exposure and white-balance events come from their own thread, concurrently
// with image events; switched off, every event comes from the worker.
TEST_F(FramesTest, ValueEventsArriveOnAnotherThreadThanImageEvents) {
  for (const int separate : {1, 0}) {
    SCOPED_TRACE(separate);
    sim.set_value_events_thread(separate);
    CameraHandle* h = OpenSmall(kColour678);
    ASSERT_NE(h, nullptr);
    ASSERT_EQ(CallSlot<int32_t>(h, 34, uint32_t{1000}), 0);  // far too dark
    ASSERT_EQ(CallSlot<int32_t>(h, 11, int32_t{1}), 0);
    EventLog log;
    StartTriggered(h, log);
    ASSERT_EQ(CallSlot<int32_t>(h, 14, static_cast<void*>(nullptr), static_cast<void*>(nullptr)),
              0);
    ASSERT_EQ(CallSlot<int32_t>(h, 138, uint16_t{1}), 0);
    ASSERT_TRUE(log.WaitFor(kEventImage, 1));
    ASSERT_TRUE(log.WaitFor(kEventExposure, 1));
    ASSERT_TRUE(log.WaitFor(kEventWhiteBalance, 1));
    ASSERT_EQ(CallSlot<int32_t>(h, 159, int32_t{0}), 0);
    const auto image = log.ThreadsOf(kEventImage);
    const auto exposure = log.ThreadsOf(kEventExposure);
    const auto balance = log.ThreadsOf(kEventWhiteBalance);
    ASSERT_EQ(image.size(), 1u);
    EXPECT_EQ(exposure == image, separate == 0);
    EXPECT_EQ(balance == image, separate == 0);
    EXPECT_EQ(exposure, balance);
    Close(h);
  }
}

TEST_F(FramesTest, EventsNeedARegisteredCallbackAndFlushWaitsForThem) {
  CameraHandle* h = OpenSmall(kFull);
  ASSERT_NE(h, nullptr);
  EventLog log;
  sim.fire_event(kFull, 42);  // no callback yet: dropped
  EXPECT_EQ(sim.flush_events(kFull), 0);
  StartTriggered(h, log);
  for (int i = 0; i < 20; ++i) sim.fire_event(kFull, 42);
  EXPECT_EQ(sim.flush_events(kFull), 0);
  EXPECT_EQ(log.Count(42), 20u);
  EXPECT_EQ(sim.flush_events(99), -1);
}

}  // namespace
}  // namespace simtest
