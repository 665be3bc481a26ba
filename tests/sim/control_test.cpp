// The control interface: fault injection, scripted results, the trace, forced
// state, reset, unplugging, and concurrent use from several threads.
#include <atomic>

#include "tests/sim/sim_test_support.h"

namespace simtest {
namespace {

using namespace pyxon;

TEST_F(SimTest, InjectedFailuresAnswerWithoutEffect) {
  CameraHandle* h = Open(kFull);
  ASSERT_NE(h, nullptr);
  sim.fail_position(34, kInvalidArgument, 2);
  EXPECT_EQ(CallSlot<int32_t>(h, 34, uint32_t{20000}), kInvalidArgument);
  EXPECT_EQ(CallSlot<int32_t>(h, 34, uint32_t{20000}), kInvalidArgument);
  EXPECT_EQ(sim.state(kFull, "exposure"), 10000);  // no effect
  EXPECT_EQ(CallSlot<int32_t>(h, 34, uint32_t{20000}), 0);
  EXPECT_EQ(sim.state(kFull, "exposure"), 20000);

  sim.fail_position(94, kNotImplemented, -1);  // until cleared
  for (int i = 0; i < 5; ++i) EXPECT_EQ(Option(h, opt::kDenoise), kNotImplemented);
  sim.fail_position(94, 0, 0);
  EXPECT_EQ(Option(h, opt::kDenoise), 20);

  const auto calls = sim.calls(34, kFull);
  ASSERT_EQ(calls.size(), 3u);
  EXPECT_EQ(calls[0].result, kInvalidArgument);
  EXPECT_EQ(calls[0].args[0], 20000);
  EXPECT_EQ(calls[2].result, 0);
}

TEST_F(SimTest, ScriptedResultsPlayInOrder) {
  CameraHandle* h = Open(kFull);
  ASSERT_NE(h, nullptr);
  sim.script_results(189, {0, 7});
  EXPECT_EQ(CallSlot<int32_t>(h, 189, "issupportgain"), 0);  // answered, not looked up
  EXPECT_EQ(CallSlot<int32_t>(h, 189, "issupportgain"), 7);
  EXPECT_EQ(CallSlot<int32_t>(h, 189, "issupportgain"), 1);

  // A non-negative script for the pull performs the real pull.
  EventLog log;
  CallSlot<int32_t>(h, 80, uint32_t{0}, uint32_t{0}, uint32_t{64}, uint32_t{64});
  StartTriggered(h, log);
  ASSERT_EQ(CallSlot<int32_t>(h, 138, uint16_t{1}), 0);
  ASSERT_TRUE(log.WaitFor(kEventImage, 1));
  std::vector<uint8_t> frame(64 * 64 * 4);
  sim.script_results(184, {kPending, kUnexpected, 0});
  EXPECT_EQ(Pull(h, frame, 32), kPending);
  EXPECT_EQ(Pull(h, frame, 32), kUnexpected);
  EXPECT_EQ(Pull(h, frame, 32), 0);  // the frame was still there
  uint64_t number = 0;
  EXPECT_TRUE(pyxsim_read_stamp(frame.data(), frame.size(), &number));
  EXPECT_EQ(number, 1u);

  // A failure takes precedence over a script.
  sim.script_results(33, {0});
  sim.fail_position(33, kUnexpected, 1);
  uint32_t us = 0;
  EXPECT_EQ(CallSlot<int32_t>(h, 33, &us), kUnexpected);
  EXPECT_EQ(CallSlot<int32_t>(h, 33, &us), 0);
}

TEST_F(SimTest, DelayedPositionTakesAtLeastItsDelay) {
  CameraHandle* h = Open(kMono120);
  ASSERT_NE(h, nullptr);
  sim.delay_position(33, 30000);
  uint32_t us = 0;
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(CallSlot<int32_t>(h, 33, &us), 0);
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(30));
  sim.delay_position(33, 0);
}

TEST_F(SimTest, SlowLinkMakesOptionCallsTakeTheirRoundTrip) {
  CameraHandle* h = Open(kFull);
  ASSERT_NE(h, nullptr);
  sim.set_slow_link(1);
  const auto start = std::chrono::steady_clock::now();
  for (int i = 0; i < 5; ++i) EXPECT_GE(Option(h, opt::kTriggerMode), 0);
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(5));
  sim.reset();  // the slow link is off again
  const auto fast = std::chrono::steady_clock::now();
  for (int i = 0; i < 20; ++i) EXPECT_GE(Option(h, opt::kTriggerMode), 0);
  EXPECT_LT(std::chrono::steady_clock::now() - fast, std::chrono::milliseconds(10));
}

TEST_F(SimTest, TraceIsBoundedAndCanBeSwitchedOff) {
  CameraHandle* h = Open(kMono120);
  ASSERT_NE(h, nullptr);
  sim.trace_clear();
  sim.trace_enable(0);
  uint32_t us = 0;
  CallSlot<int32_t>(h, 33, &us);
  EXPECT_EQ(sim.trace_count(), 0u);
  sim.trace_enable(1);
  const size_t capacity = 100000;
  for (size_t i = 0; i < capacity + 10; ++i) {
    CallSlot<int32_t>(h, 13, static_cast<uint16_t>(16 + i % 200));
  }
  EXPECT_EQ(sim.trace_count(), capacity);
  PyxsimCall oldest{};
  ASSERT_EQ(sim.trace_get(0, &oldest), 0);
  EXPECT_EQ(oldest.args[0], static_cast<int64_t>(16 + 10 % 200));  // the first ten went
  PyxsimCall newest{};
  ASSERT_EQ(sim.trace_get(capacity - 1, &newest), 0);
  EXPECT_EQ(newest.args[0], static_cast<int64_t>(16 + (capacity + 9) % 200));
  EXPECT_LT(sim.trace_get(capacity, &newest), 0);
  sim.trace_clear();
  EXPECT_EQ(sim.trace_count(), 0u);
}

TEST_F(SimTest, ForcedOptionsNamedValuesAndState) {
  CameraHandle* h = Open(kColour678);
  ASSERT_NE(h, nullptr);
  // Forcing works for options the model lacks, and computed ones stay fixed.
  EXPECT_LT(Option(h, opt::kCds), 0);
  EXPECT_EQ(sim.set_option(kColour678, opt::kCds, 2), 0);
  EXPECT_EQ(Option(h, opt::kCds), 2);
  EXPECT_EQ(sim.remove_option(kColour678, opt::kDenoise), 0);
  EXPECT_LT(Option(h, opt::kDenoise), 0);
  EXPECT_LT(CallSlot<int32_t>(h, 93, opt::kDenoise, int32_t{5}), 0);
  EXPECT_EQ(sim.remove_option(kColour678, opt::kDenoise), -1);
  EXPECT_EQ(sim.option(kColour678, opt::kToneMapping), 0);

  EXPECT_EQ(sim.set_named(kColour678, "supportbandwidth", 1), 0);
  EXPECT_EQ(CallSlot<int32_t>(h, 189, "supportbandwidth"), 1);
  EXPECT_EQ(sim.set_named(kColour678, "brandnew", 5), 0);
  int32_t value = 0;
  EXPECT_EQ(sim.get_named(kColour678, "brandnew", &value), 0);
  EXPECT_EQ(value, 5);
  EXPECT_EQ(sim.get_named(kColour678, "absent", &value), -1);

  EXPECT_EQ(sim.set_state(kColour678, "wb.g", 17), 0);
  int32_t gains[3] = {};
  CallSlot<int32_t>(h, 26, gains);
  EXPECT_EQ(gains[1], 17);
  EXPECT_EQ(sim.set_state(kColour678, "line2.capabilities", 1), 0);
  int32_t caps = 0;
  CallSlot<int32_t>(h, 109, uint32_t{2}, io::kGetCapabilities, int32_t{0}, &caps);
  EXPECT_EQ(caps, 1);
  EXPECT_EQ(sim.set_state(kColour678, "line3.capabilities", 1), -1);  // only 3 lines
  EXPECT_EQ(sim.set_state(kColour678, "nonsense", 1), -1);
  EXPECT_EQ(sim.set_state(kColour678, "line99999999999.delay", 1), -1);
  EXPECT_EQ(sim.get_option(77, opt::kCds, &value), -1);

  // A forced maximum frame rate replaces the computed one.
  CameraHandle* cooled = Open(kCooled2600);
  ASSERT_NE(cooled, nullptr);
  EXPECT_EQ(sim.set_option(kCooled2600, opt::kMaxFrameRate, 300), 0);
  CallSlot<int32_t>(cooled, 34, uint32_t{1000000});
  EXPECT_EQ(Option(cooled, opt::kMaxFrameRate), 300);
}

TEST_F(SimTest, ResetKeepsTheGeometryOfAnOpenSession) {
  CameraHandle* h = Open(kFull);
  ASSERT_NE(h, nullptr);
  CallSlot<int32_t>(h, 80, uint32_t{0}, uint32_t{0}, uint32_t{128}, uint32_t{64});
  CallSlot<int32_t>(h, 93, opt::kBinning, int32_t{2});
  CallSlot<int32_t>(h, 93, opt::kDenoise, int32_t{99});
  CallSlot<int32_t>(h, 34, uint32_t{777});
  sim.fail_position(33, kUnexpected, -1);
  EventLog log;
  StartTriggered(h, log);
  sim.reset();
  EXPECT_EQ(sim.is_open(kFull), 1);
  EXPECT_EQ(sim.is_delivering(kFull), 1);
  EXPECT_EQ(OutputSize(h), std::make_pair(64u, 32u));  // kept
  EXPECT_EQ(Option(h, opt::kTriggerMode), 1);
  EXPECT_EQ(Option(h, opt::kDenoise), 20);  // restored
  uint32_t us = 0;
  EXPECT_EQ(CallSlot<int32_t>(h, 33, &us), 0);  // faults cleared
  EXPECT_EQ(us, 10000u);
  EXPECT_EQ(sim.trace_count(), 4u);  // only the calls made since the reset
}

TEST_F(SimTest, UnpluggedCameraAnnouncesItAndFailsEveryCall) {
  CameraHandle* h = Open(kFull);
  ASSERT_NE(h, nullptr);
  EventLog log;
  StartTriggered(h, log);
  sim.disconnect(kFull);
  ASSERT_TRUE(log.WaitFor(kEventDisconnected, 1));
  uint32_t us = 0;
  EXPECT_EQ(CallSlot<int32_t>(h, 33, &us), static_cast<int32_t>(0x8007001Fu));
  std::vector<uint8_t> frame(16);
  EXPECT_EQ(Pull(h, frame, 8), static_cast<int32_t>(0x8007001Fu));
  EXPECT_LT(CallSlot<int32_t>(h, 138, uint16_t{1}), 0);
  Close(h);  // still closes
  EXPECT_EQ(sim.is_open(kFull), 0);
}

TEST_F(SimTest, DetachedCameraKeepsWorkingForItsHandle) {
  CameraHandle* h = Open(kFull);
  ASSERT_NE(h, nullptr);
  sim.detach_all();
  EventLog log;
  StartTriggered(h, log);
  EXPECT_EQ(CallSlot<int32_t>(h, 138, uint16_t{1}), 0);
  EXPECT_TRUE(log.WaitFor(kEventImage, 1));
  const auto calls = sim.calls(138);
  ASSERT_EQ(calls.size(), 1u);
  EXPECT_EQ(calls[0].camera, -1);
  Close(h);
}

// Host thread, a sequence-like puller and the simulator's threads all at once;
// meant to be run under ThreadSanitizer as much as for its assertions.
TEST_F(SimTest, ConcurrentCallersPullersAndEvents) {
  CameraHandle* h = Open(kFull);
  ASSERT_NE(h, nullptr);
  CallSlot<int32_t>(h, 80, uint32_t{0}, uint32_t{0}, uint32_t{128}, uint32_t{64});
  sim.set_frame_interval_us(kFull, 1000);
  struct Context {
    CameraHandle* handle = nullptr;
    std::atomic<int> events{0};
  } context;
  context.handle = h;
  auto callback = [](int32_t, void* raw) {
    auto* ctx = static_cast<Context*>(raw);
    uint16_t gain = 0;
    CallSlot<int32_t>(ctx->handle, 35, &gain);
    ++ctx->events;
  };
  CallSlot<int32_t>(h, 93, opt::kTriggerMode, int32_t{0});
  CallSlot<int32_t>(h, 93, opt::kWhiteBalanceInterval, int32_t{100});
  CallSlot<int32_t>(h, 11, int32_t{1});
  void* z = nullptr;
  ASSERT_EQ(CallSlot<int32_t>(h, 158, z, z, z, z, z, z, z, static_cast<EventCallback>(callback), z,
                              static_cast<void*>(&context)),
            0);
  std::atomic<bool> stop{false};
  std::atomic<int> pulled{0};
  std::atomic<int> torn{0};
  std::thread puller([&] {
    std::vector<uint8_t> frame(128 * 64 * 4);
    uint64_t last = 0;
    while (!stop) {
      if (Pull(h, frame, 32) == 0) {
        uint64_t number = 0;
        if (!pyxsim_read_stamp(frame.data(), frame.size(), &number) || number <= last) ++torn;
        last = number;
        ++pulled;
      }
      std::this_thread::yield();
    }
  });
  std::thread setter([&] {
    for (int i = 0; !stop; ++i) {
      CallSlot<int32_t>(h, 34, static_cast<uint32_t>(1000 + i % 5000));
      CallSlot<int32_t>(h, 93, opt::kDenoise, i % 100);
      int16_t t = 0;
      CallSlot<int32_t>(h, 78, &t);
      sim.fire_event(kFull, 77);
    }
  });
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while ((pulled < 30 || context.events < 30) && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  stop = true;
  puller.join();
  setter.join();
  EXPECT_GE(pulled, 30);
  EXPECT_EQ(torn, 0);
  // The context lives on this stack: stop, then wait out a callback in flight.
  CallSlot<int32_t>(h, 159, int32_t{0});
  EXPECT_EQ(sim.flush_events(kFull), 0);
}

}  // namespace
}  // namespace simtest
