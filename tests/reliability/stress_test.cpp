// Stress, bounded in time: the default run takes a few seconds per test;
// PYXON_STRESS_LONG=1 runs ten times as many cycles. PYXON_STRESS_SEED=<n>
// repeats a run's random choices (each test prints its seed).
//
// Every image that reaches the host must carry an intact frame stamp (the
// simulator writes the frame number into the first and last 8 bytes of each
// frame, so a frame pulled into a buffer of another size, or overwritten
// meanwhile, shows two different copies), stamps must strictly increase (no
// duplicate, no reordering) and the size must be width x height x bytes per
// pixel of that image.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "tests/reliability/reliability_support.h"

namespace reltest {
namespace {

uint32_t Seed() {
  const char* text = std::getenv("PYXON_STRESS_SEED");
  const uint32_t seed = text != nullptr ? static_cast<uint32_t>(std::strtoul(text, nullptr, 10))
                                        : std::random_device{}();
  std::printf("[seed] PYXON_STRESS_SEED=%u\n", seed);
  std::fflush(stdout);
  return seed;
}

using Roi = int(unsigned, unsigned, unsigned, unsigned);

class StressTest : public ReliabilityTest {
 protected:
  void SetUp() override {
    ReliabilityTest::SetUp();
    sim_.trace_enable(0);  // the trace would cost more than the camera
    host_.setCopyPixels(false);
    host_.setRingCapacity(100000);
  }

  void ReportProblems(const std::vector<std::string>& problems) {
    size_t shown = 0;
    for (const std::string& problem : problems) {
      if (++shown > 20) break;
      ADD_FAILURE() << problem;
    }
    EXPECT_TRUE(problems.empty()) << problems.size() << " problems";
  }

  std::mt19937 random_{Seed()};
};

TEST_F(StressTest, ThousandsOfStartStopCyclesWithRandomImageCounts) {
  MM::Camera* camera = devices_.Open("PX-120M", &host_);
  ASSERT_NE(camera, nullptr);
  MakeFast(camera, kPx120M, 300);
  const int cycles = StressCount(1000);
  std::vector<std::string> problems;
  uint64_t lastStamp = 0;
  size_t images = 0;
  for (int cycle = 0; cycle < cycles && problems.size() < 20; ++cycle) {
    const size_t finished = host_.finishedCount();
    const int kind = static_cast<int>(random_() % 8);
    const bool continuous = kind == 0;
    const bool stopEarly = continuous || kind == 1;
    const long count = continuous ? LONG_MAX : 1 + static_cast<long>(random_() % 8);
    if (StartSequence(camera, count, 0.0, false) != 0) {
      problems.push_back("start failed in cycle " + std::to_string(cycle));
      break;
    }
    if (stopEarly) {
      // Stop after a few images, before a counted sequence would end by itself.
      const long few = std::min<long>(static_cast<long>(random_() % 4), count - 1);
      const size_t wanted = host_.acceptedCount() + static_cast<size_t>(few);
      host_.waitForAccepted(wanted, kHangGuard);
      StopSequence(camera);
    }
    if (!host_.waitForFinished(kHangGuard, finished + 1)) {
      problems.push_back("cycle " + std::to_string(cycle) + " did not finish");
      break;
    }
    StopSequence(camera);
    if (host_.finishedCount() != finished + 1) {
      problems.push_back("cycle " + std::to_string(cycle) + " finished more than once");
    }
    const std::vector<pyxhost::HostImage> received = host_.takeImages();
    if (!stopEarly && static_cast<long>(received.size()) != count) {
      problems.push_back("cycle " + std::to_string(cycle) + ": " + std::to_string(received.size()) +
                         " images of " + std::to_string(count));
    }
    images += received.size();
    lastStamp = CheckImages(received, lastStamp, &problems);
  }
  ReportProblems(problems);
  // Idle again: a snap still takes its own frame.
  ASSERT_EQ(Snap(camera), 0);
  EXPECT_GT(SnappedStamp(camera), lastStamp);
  std::printf("[figures] %d start/stop cycles, %zu images checked\n", cycles, images);
}

TEST_F(StressTest, RegionBinningAndPixelTypeChangesDuringRunningSequences) {
  MM::Camera* camera = devices_.Open("PX-FULL", &host_);
  ASSERT_NE(camera, nullptr);
  ASSERT_EQ(SetProperty(camera, "IO:Trigger Source", "Software Trigger"), 0);
  MakeFast(camera, kPxFull, 500);
  const std::vector<std::string> types = AllowedValues(camera, "PixelType");
  ASSERT_FALSE(types.empty());
  const int rounds = StressCount(40);
  std::vector<std::string> problems;
  uint64_t lastStamp = 0;
  size_t images = 0;
  int changes = 0;
  for (int round = 0; round < rounds && problems.size() < 20; ++round) {
    // Idle: the changes a running sequence refuses.
    EXPECT_EQ(Slot<int(int)>(camera, slot::kSetBinning, 1 + static_cast<int>(random_() % 4)), 0);
    EXPECT_EQ(SetProperty(camera, "PixelType", types[random_() % types.size()]), 0);
    const size_t finished = host_.finishedCount();
    ASSERT_EQ(StartContinuous(camera), 0);
    for (int step = 0; step < 25; ++step) {
      ++changes;
      switch (random_() % 4) {
        case 0: {
          const unsigned w = 32 + 2 * static_cast<unsigned>(random_() % 200);
          const unsigned h = 32 + 2 * static_cast<unsigned>(random_() % 200);
          const unsigned x = 2 * static_cast<unsigned>(random_() % 200);
          const unsigned y = 2 * static_cast<unsigned>(random_() % 200);
          EXPECT_EQ(Slot<Roi>(camera, slot::kSetRoi, x, y, w, h), 0);
          break;
        }
        case 1: {
          const int factor = 1 + static_cast<int>(random_() % 4);
          const int result = Slot<int(int)>(camera, slot::kSetBinning, factor);
          const int current = Slot<int()>(camera, slot::kGetBinning);
          EXPECT_EQ(result, factor == current ? 0 : 30) << "binning " << factor;
          break;
        }
        case 2: {
          const std::string type = types[random_() % types.size()];
          const std::string current = GetProperty(camera, "PixelType");
          EXPECT_EQ(SetProperty(camera, "PixelType", type), type == current ? 0 : 30);
          break;
        }
        default:
          EXPECT_EQ(Slot<Roi>(camera, slot::kSetRoi, 0u, 0u, 64u, 64u), 0);
          break;
      }
      host_.waitForAccepted(host_.acceptedCount() + 1, kHangGuard);
    }
    EXPECT_EQ(StopSequence(camera), 0);
    if (!host_.waitForFinished(kHangGuard, finished + 1)) problems.push_back("no end reported");
    const std::vector<pyxhost::HostImage> received = host_.takeImages();
    if (received.empty()) problems.push_back("round " + std::to_string(round) + ": no image");
    images += received.size();
    lastStamp = CheckImages(received, lastStamp, &problems);
    MakeFast(camera, kPxFull, 500);
  }
  ReportProblems(problems);
  std::printf("[figures] %d geometry changes during sequences, %zu images checked\n", changes,
              images);
}

// One simulated camera, two devices: initialised and destroyed in every
// order while one of them acquires and the vendor thread floods events.
TEST_F(StressTest, TwoDevicesSharingOneCameraInEveryOrder) {
  std::atomic<bool> flooding{true};
  std::thread flood([&] {
    const int32_t codes[] = {1, 4, 6, 4, 77};
    for (size_t i = 0; flooding.load(); ++i) {
      sim_.fire_event(kPx120M, codes[i % 5]);
      if (i % 32 == 0) {
        sim_.flush_events(kPx120M);
        std::this_thread::sleep_for(std::chrono::microseconds(200));
      }
    }
  });
  const int rounds = StressCount(10);
  std::vector<std::string> problems;
  size_t images = 0;
  for (int round = 0; round < rounds && problems.empty(); ++round) {
    for (int order = 0; order < 8 && problems.empty(); ++order) {
      const std::string where = "order " + std::to_string(order) + ": ";
      const bool firstIsA = (order & 1) != 0;
      const bool destroyFirstOpenedFirst = (order & 2) != 0;
      const bool acquireOnFirst = (order & 4) != 0;
      pyxhost::RecordingHost hostA;
      pyxhost::RecordingHost hostB;
      hostA.setCopyPixels(false);
      hostB.setCopyPixels(false);
      MM::Camera* a = devices_.Create("PX-120M", &hostA);
      MM::Camera* b = devices_.Create("PX-120M", &hostB);
      MM::Camera* first = firstIsA ? a : b;
      MM::Camera* second = firstIsA ? b : a;
      ASSERT_EQ(Initialize(first), 0);
      MakeFast(first, kPx120M, 400);
      ASSERT_EQ(Initialize(second), 0);
      MM::Camera* acquiring = acquireOnFirst ? first : second;
      MM::Camera* snapping = acquireOnFirst ? second : first;
      pyxhost::RecordingHost& acquiringHost = acquiring == a ? hostA : hostB;
      ASSERT_EQ(StartContinuous(acquiring), 0);
      acquiringHost.waitForAccepted(3, kHangGuard);
      for (int snap = 0; snap < 3; ++snap) {
        const int result = Snap(snapping);
        if (result != 0 && result != 1)
          problems.push_back("snap answered " + std::to_string(result));
      }
      MM::Camera* firstGone = destroyFirstOpenedFirst ? first : second;
      MM::Camera* secondGone = destroyFirstOpenedFirst ? second : first;
      devices_.Release(firstGone);
      LoadedModule().DeleteDevice(firstGone);  // perhaps while acquiring
      if (!sim_.is_open(kPx120M)) problems.push_back(where + "camera closed while in use");
      if (secondGone == acquiring &&
          !acquiringHost.waitForAccepted(acquiringHost.acceptedCount() + 2, 5s)) {
        problems.push_back(where + "frames stopped for the remaining device");
      }
      devices_.Release(secondGone);
      LoadedModule().DeleteDevice(secondGone);
      if (sim_.is_open(kPx120M)) problems.push_back(where + "camera left open by the last device");
      if (acquiringHost.finishedCount() != 1) problems.push_back(where + "end not reported once");
      const std::vector<pyxhost::HostImage> received = acquiringHost.takeImages();
      images += received.size();
      CheckImages(received, 0, &problems);
    }
  }
  flooding.store(false);
  flood.join();
  ReportProblems(problems);
  std::printf("[figures] %d shared-camera rounds of 8 orders, %zu images checked\n", rounds,
              images);
}

TEST_F(StressTest, SnapsRacingPropertyWritesFromAnotherThread) {
  MM::Camera* camera = devices_.Open("PX-FULL", &host_);
  ASSERT_NE(camera, nullptr);
  MakeFast(camera, kPxFull, 500);
  double lower = 0.0;
  Slot<int(const char*, double&)>(camera, slot::kLowerLimit, "Exposure", lower);
  const std::string fast = std::to_string(std::max(lower, 0.01));
  const std::string slower = std::to_string(std::max(lower, 0.01) + 0.5);

  // Writes that leave the frame geometry alone: every snapped frame must be intact.
  std::atomic<bool> writing{true};
  std::atomic<int> writes{0};
  std::thread writer([&] {
    const std::vector<std::pair<std::string, std::vector<std::string>>> plan = {
        {"Exposure", {fast, slower}},
        {"Gain", {"100", "200"}},
        {"Contrast", {"-10", "10"}},
        {"Gamma", {"90", "110"}},
        {"FlipHorizontal", {"ON", "OFF"}},
        {"FlipVertical", {"ON", "OFF"}},
        {"AutoExposureTarget", {"100", "140"}},
        {"Hue", {"-5", "5"}},
        {"WhiteBalanceRGain", {"-3", "3"}},
        {"Negative", {"ON", "OFF"}},
    };
    for (size_t i = 0; writing.load(); ++i) {
      const auto& [name, values] = plan[i % plan.size()];
      SetProperty(camera, name, values[(i / plan.size()) % values.size()]);
      GetProperty(camera, "RealExposure");
      writes.fetch_add(1);
      // Leave the camera's threads some processor on a small machine.
      if (i % 8 == 0) std::this_thread::sleep_for(std::chrono::microseconds(100));
    }
  });
  const int snaps = StressCount(120);
  std::vector<std::string> problems;
  uint64_t lastStamp = 0;
  for (int i = 0; i < snaps; ++i) {
    const int result = Snap(camera);
    if (result != 0) {
      problems.push_back("snap " + std::to_string(i) + " answered " + std::to_string(result));
      continue;
    }
    const uint64_t stamp = SnappedStamp(camera);
    if (stamp == 0) problems.push_back("snap " + std::to_string(i) + ": torn frame");
    if (stamp != 0 && stamp <= lastStamp)
      problems.push_back("snap " + std::to_string(i) + ": old frame");
    lastStamp = std::max(lastStamp, stamp);
  }
  writing.store(false);
  writer.join();
  SetProperty(camera, "Exposure", fast);

  // Writes that change the geometry: the buffer may be replaced under the
  // host, so only the results are checked, never the pixels. A delivery
  // restart discards the frame a snap waits for, which then ends at its
  // deadline (exposure + 4 s), so this phase is bounded by time.
  writing.store(true);
  std::thread reshaper([&] {
    for (size_t i = 0; writing.load(); ++i) {
      switch (i % 3) {
        case 0:
          SetProperty(camera, "Binning", i % 2 == 0 ? "2" : "1");
          break;
        case 1:
          SetProperty(camera, "PixelType", i % 4 == 1 ? "RAW16" : "RAW8");
          break;
        default:
          Slot<Roi>(camera, slot::kSetRoi, 0u, 0u, 64u + 32u * static_cast<unsigned>(i % 3), 64u);
          break;
      }
      writes.fetch_add(1);
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
  });
  const auto end = std::chrono::steady_clock::now() + (LongStress() ? 60s : 3s);
  int reshapedSnaps = 0;
  while (std::chrono::steady_clock::now() < end) {
    const int result = Snap(camera);
    ++reshapedSnaps;
    if (result != 0 && result != 1) problems.push_back("snap answered " + std::to_string(result));
  }
  writing.store(false);
  reshaper.join();
  ReportProblems(problems);
  ASSERT_EQ(Snap(camera), 0);
  EXPECT_NE(SnappedStamp(camera), 0u);
  std::printf("[figures] %d snaps raced %d property writes\n", snaps + reshapedSnaps,
              writes.load());
}

// A library whose stop waits for its callbacks, behind a slow link: events 1,
// 4 and 6 arrive from its two threads at full rate (auto-exposure, continuous
// white balance and a flood of fired events) while the host changes binning,
// resolution, pixel type and region, each change a stop and restart of
// delivery, and shuts the device down every 50 rounds. No stop may wait out
// the library's limit and no change may take longer than its own calls.
TEST_F(StressTest, ReconfigurationsWhileEventsArriveFromTwoThreadsOverASlowLink) {
  sim_.set_slow_link(1);
  std::atomic<bool> flooding{true};
  std::thread flood([&] {
    const int32_t codes[] = {1, 4, 6};
    for (size_t i = 0; flooding.load(); ++i) {
      sim_.fire_event(kPxFull, codes[i % 3]);
      if (i % 32 == 0) sim_.flush_events(kPxFull);
    }
  });
  auto open = [&] {
    MM::Camera* camera = devices_.Open("PX-FULL", &host_);
    if (camera != nullptr) {
      SetProperty(camera, "AutoExposure", "ON");
      SetProperty(camera, "AutoWhiteBalance", "Continuous");
    }
    return camera;
  };
  MM::Camera* camera = open();
  ASSERT_NE(camera, nullptr);
  const std::vector<std::string> types = AllowedValues(camera, "PixelType");
  const std::vector<std::string> resolutions = AllowedValues(camera, "Resolution");
  ASSERT_FALSE(types.empty());
  ASSERT_FALSE(resolutions.empty());
  const int rounds = StressCount(200);
  std::chrono::steady_clock::duration longest{};
  std::vector<std::string> problems;
  for (int round = 0; round < rounds && problems.size() < 20; ++round) {
    const auto start = std::chrono::steady_clock::now();
    int result = 0;
    switch (round % 5) {
      case 0:
        result = SetProperty(camera, "Binning", std::to_string(1 + random_() % 4));
        break;
      case 1:
        result = SetProperty(camera, "Resolution", resolutions[random_() % resolutions.size()]);
        break;
      case 2:
        result = SetProperty(camera, "PixelType", types[random_() % types.size()]);
        break;
      case 3:
        result = Slot<Roi>(camera, slot::kSetRoi, 2 * static_cast<unsigned>(random_() % 100),
                           2 * static_cast<unsigned>(random_() % 100), 64u, 64u);
        break;
      default:
        result = Slot<int()>(camera, slot::kClearRoi);
        break;
    }
    if (round % 50 == 49) {
      devices_.Destroy(camera);
      camera = open();
      if (camera == nullptr) break;
    }
    const auto took = std::chrono::steady_clock::now() - start;
    longest = std::max(longest, took);
    if (result != 0)
      problems.push_back("round " + std::to_string(round) + " answered " + std::to_string(result));
    if (took > 2s) problems.push_back("round " + std::to_string(round) + " took over 2 s");
  }
  flooding.store(false);
  flood.join();
  sim_.flush_events(kPxFull);
  ReportProblems(problems);
  EXPECT_EQ(sim_.stop_wait_expiries_total(), 0u);
  std::printf("[figures] %d reconfigurations over a slow link, longest %.1f ms\n", rounds,
              std::chrono::duration<double, std::milli>(longest).count());
}

}  // namespace
}  // namespace reltest
