// A library whose stop (159) and close (160) return only once no event
// callback runs, with events arriving while the host restarts delivery from a
// property handler. The simulator behaves that way by default and counts every
// stop that had to give up waiting (its limit, 5 s): none may.
#include <atomic>
#include <thread>

#include "tests/camera/camera_fixture.h"

namespace camtest {
namespace {

using Clock = std::chrono::steady_clock;

class EventThreadTest : public CameraFixture {
 protected:
  // Fires exposure and white-balance events until stopped.
  void StartFlood(int cam) {
    flooding_ = true;
    flood_ = std::thread([this, cam] {
      while (flooding_.load()) {
        sim_.fire_event(cam, 1);
        sim_.fire_event(cam, 6);
        std::this_thread::sleep_for(1ms);
      }
    });
  }
  void StopFlood(int cam) {
    flooding_ = false;
    if (flood_.joinable()) flood_.join();
    sim_.flush_events(cam);
  }
  void TearDown() override {
    flooding_ = false;
    if (flood_.joinable()) flood_.join();
    CameraFixture::TearDown();
  }

  std::atomic<bool> flooding_{false};
  std::thread flood_;
};

// Every property write that stops and restarts delivery, each option read a
// 20 ms round trip, while events 1 and 6 keep arriving: the event handler
// must not wait for the property lock that the writing thread holds across
// the stop, or the stop waits for the handler and the write hangs.
TEST_F(EventThreadTest, WritesThatRestartDeliveryNeverWaitForTheEventThread) {
  MM::Camera* camera = Open("PX-678C");
  ASSERT_NE(camera, nullptr);
  const std::string resolution = Get(camera, "Resolution");
  const std::string pixelType = Get(camera, "PixelType");
  sim_.delay_position(94, 20000);
  StartFlood(kPx678C);
  const std::pair<const char*, std::string> writes[] = {
      {"Binning", "2"},           {"Binning", "1"},       {"Resolution", "1920 x 1080"},
      {"Resolution", resolution}, {"PixelType", "RAW12"}, {"PixelType", pixelType},
      {"Rotate", "90"},           {"Rotate", "0"},        {"FactorySettings", "Load"}};
  for (const auto& [name, value] : writes) {
    const Clock::time_point start = Clock::now();
    EXPECT_EQ(Set(camera, name, value), 0) << name << "=" << value;
    EXPECT_LT(Clock::now() - start, 2s) << name << "=" << value;
  }
  const Clock::time_point start = Clock::now();
  Destroy(camera);
  EXPECT_LT(Clock::now() - start, 2s) << "shutdown";
  StopFlood(kPx678C);
  sim_.delay_position(94, 0);
  EXPECT_EQ(sim_.stop_wait_expiries(kPx678C), 0);
}

// Notifications held back while a restart was in progress reach the host
// afterwards, in their order, and later events are reported as before.
TEST_F(EventThreadTest, NotificationsHeldBackDuringARestartAreDeliveredAfterIt) {
  MM::Camera* camera = Open("PX-678C");
  ASSERT_NE(camera, nullptr);
  sim_.delay_position(159, 50000);  // the stop takes 50 ms
  std::thread write([&] { EXPECT_EQ(Set(camera, "Binning", "2"), 0); });
  while (sim_.count_calls(159) == 0) std::this_thread::sleep_for(1ms);
  host_.reset();
  sim_.fire_event(kPx678C, 1);
  sim_.fire_event(kPx678C, 6);
  write.join();
  sim_.delay_position(159, 0);
  ASSERT_EQ(sim_.flush_events(kPx678C), 0);
  std::vector<std::string> names;
  for (const auto& [name, value] : host_.propertyChanges()) {
    if (name != "Binning") names.push_back(name);
  }
  EXPECT_THAT(names,
              ::testing::IsSupersetOf({"Exposure", "Gain", "RealExposure", "WhiteBalanceRGain",
                                       "WhiteBalanceGGain", "WhiteBalanceBGain"}));
  EXPECT_FALSE(host_.exposureChanges().empty());

  host_.reset();
  sim_.fire_event(kPx678C, 6);
  ASSERT_EQ(sim_.flush_events(kPx678C), 0);
  const auto changes = host_.propertyChanges();
  ASSERT_EQ(changes.size(), 3u);
  EXPECT_EQ(changes[0].first, "WhiteBalanceRGain");
  EXPECT_EQ(changes[2].first, "WhiteBalanceBGain");
  EXPECT_EQ(sim_.stop_wait_expiries(kPx678C), 0);
}

}  // namespace
}  // namespace camtest
