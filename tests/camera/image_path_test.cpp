// Snapping images, the image buffer and its geometry, and the vendor's events.
#include <chrono>
#include <cstring>
#include <limits>

#include "camera/image_format.h"
#include "tests/camera/camera_fixture.h"

namespace camtest {
namespace {

using ::testing::ElementsAre;

class ImagePathTest : public CameraFixture {
 protected:
  struct Frame {
    const unsigned char* pixels;
    unsigned width, height, bytesPerPixel;
    long size;
  };
  Frame Buffer(MM::Camera* camera) {
    return {Slot<const unsigned char*()>(camera, slot::kImageBuffer),
            Slot<unsigned()>(camera, slot::kWidth), Slot<unsigned()>(camera, slot::kHeight),
            Slot<unsigned()>(camera, slot::kBytesPerPixel),
            Slot<long()>(camera, slot::kBufferSize)};
  }
  // Snaps through slot 44 and returns the frame number stamped into the buffer.
  uint64_t SnapStamp(MM::Camera* camera) {
    EXPECT_EQ(Slot<int()>(camera, slot::kSnap), 0);
    const Frame frame = Buffer(camera);
    uint64_t number = 0;
    EXPECT_TRUE(pyxsim_read_stamp(frame.pixels, static_cast<size_t>(frame.size), &number))
        << "torn or missing frame stamp";
    return number;
  }
  // The vendor callback and context registered by the last start of delivery.
  std::pair<void (*)(int32_t, void*), void*> RegisteredCallback() {
    const auto starts = Calls(158);
    if (starts.empty()) return {nullptr, nullptr};
    return {reinterpret_cast<void (*)(int32_t, void*)>(starts.back().args[0]),
            reinterpret_cast<void*>(starts.back().args[1])};
  }
};

TEST(SnapWait, IsTheWholeMillisecondExposurePlusTwoPercentPlusFourSeconds) {
  EXPECT_EQ(camera::SnapWaitMilliseconds(100000), 4102u);
  EXPECT_EQ(camera::SnapWaitMilliseconds(1000), 4001u);
  EXPECT_EQ(camera::SnapWaitMilliseconds(999), 4000u);
  EXPECT_EQ(camera::SnapWaitMilliseconds(1000000), 5020u);
  EXPECT_EQ(camera::SnapWaitMilliseconds(0), 4000u);
  EXPECT_EQ(camera::SnapWaitMilliseconds(std::numeric_limits<uint32_t>::max()),
            4294967u * 102u / 100u + 4000u);
}

TEST(ImageBytes, RefusesProductsBeyondThirtyTwoBits) {
  EXPECT_EQ(camera::ImageBytes(1920, 1080, 4), 8294400u);
  EXPECT_EQ(camera::ImageBytes(65536, 65536, 1), 0u);
  EXPECT_EQ(camera::ImageBytes(0xFFFFFFFFu, 0xFFFFFFFFu, 8), 0u);
  EXPECT_EQ(camera::ImageBytes(65535, 65535, 1), 65535ull * 65535ull);
}

TEST_F(ImagePathTest, SnapDeliversAStampedFrameIntoTheBuffer) {
  MM::Camera* camera = Open("PX-120M");
  ASSERT_NE(camera, nullptr);
  const uint64_t first = SnapStamp(camera);
  const uint64_t second = SnapStamp(camera);
  EXPECT_GE(first, 1u);
  EXPECT_GT(second, first);

  const Frame frame = Buffer(camera);
  EXPECT_EQ(frame.width, 1280u);
  EXPECT_EQ(frame.height, 960u);
  EXPECT_EQ(frame.bytesPerPixel, 1u);
  EXPECT_EQ(frame.size, 1280 * 960);
  EXPECT_EQ(Slot<const unsigned char*(unsigned)>(camera, slot::kChannelBuffer, 0u), frame.pixels);
  EXPECT_EQ(Slot<const unsigned char*(unsigned)>(camera, slot::kChannelBuffer, 5u), frame.pixels);
  EXPECT_EQ(Slot<unsigned()>(camera, slot::kComponents), 1u);
  EXPECT_EQ(Slot<unsigned()>(camera, slot::kBitDepth), 8u);
  EXPECT_EQ(Get(camera, "StatSnap"), "2");

  // Mode A: before software trigger, software trigger with 1, then pulls.
  const auto prepares = Calls(115);
  const auto triggers = Calls(138);
  ASSERT_EQ(prepares.size(), 2u);
  ASSERT_EQ(triggers.size(), 2u);
  EXPECT_EQ(triggers[0].args[0], 1);
  for (const PyxsimCall& pull : Calls(184)) {
    EXPECT_EQ(pull.args[0], 0);
    EXPECT_EQ(pull.args[2], 8) << "bits";
    EXPECT_EQ(pull.args[3], -1);
  }
}

struct Layout {
  const char* model;
  int sim;
  int32_t pixelFormat;
  unsigned bytesPerPixel;
  int64_t outputFormat;
  unsigned components;
};

TEST_F(ImagePathTest, BufferLayoutFollowsSensorColourAndFormatDepth) {
  const Layout layouts[] = {
      {"PX-120M", kPx120M, 0, 1, 3, 1},   // mono RAW8
      {"PX-120M", kPx120M, 2, 2, 4, 1},   // mono RAW12
      {"PX-678C", kPx678C, 0, 4, 2, 4},   // colour RAW8
      {"PX-FULL", kPxFull, 17, 8, 1, 4},  // colour HDR12HL
      {"PX-120M", kPx120M, 99, 1, 3, 1},  // an index outside the table counts as 8-bit
  };
  for (const Layout& layout : layouts) {
    SCOPED_TRACE(std::string(layout.model) + " format " + std::to_string(layout.pixelFormat));
    ASSERT_EQ(sim_.set_option(layout.sim, 26, layout.pixelFormat), 0);
    sim_.trace_clear();
    MM::Camera* camera = Open(layout.model);
    ASSERT_NE(camera, nullptr);
    EXPECT_EQ(sim_.option(layout.sim, 12), layout.outputFormat);
    SnapStamp(camera);
    const Frame frame = Buffer(camera);
    EXPECT_EQ(frame.bytesPerPixel, layout.bytesPerPixel);
    EXPECT_EQ(frame.size, static_cast<long>(frame.width) * frame.height * layout.bytesPerPixel);
    EXPECT_EQ(Slot<unsigned()>(camera, slot::kComponents), layout.components);
    const auto pulls = Calls(184);
    ASSERT_FALSE(pulls.empty());
    EXPECT_EQ(pulls.back().args[2], static_cast<int64_t>(layout.bytesPerPixel * 8));
    Destroy(camera);
    sim_.reset();
  }
}

TEST_F(ImagePathTest, RetryCodesPullAgainAndConsumeTheFlagLeftSet) {
  MM::Camera* camera = Open("PX-120M");
  ASSERT_NE(camera, nullptr);
  for (int32_t retry : {kRetryPending, kRetryUnexpected}) {
    SCOPED_TRACE(retry);
    sim_.trace_clear();
    // The first pull after the frame event answers "no frame yet"; the second
    // pass finds the flag still set and pulls again at once.
    sim_.script_results(184, {retry, 0});
    SnapStamp(camera);
    EXPECT_EQ(sim_.count_calls(184), 2u);
  }
  sim_.trace_clear();
  sim_.script_results(184, {-5});
  EXPECT_EQ(Slot<int()>(camera, slot::kSnap), 1) << "any other failure ends the snap";
  EXPECT_EQ(sim_.count_calls(184), 1u);
  EXPECT_EQ(Get(camera, "StatSnap"), "2");
}

// The one test that runs into the deadline (exposure 10 ms: 4010 ms).
TEST_F(ImagePathTest, WithoutAFrameSnapFailsAtTheDeadlineAndAStaleEventDoesNotCount) {
  MM::Camera* camera = Open("PX-120M");
  ASSERT_NE(camera, nullptr);
  sim_.set_frame_source(kPx120M, 1);  // never deliver
  sim_.fire_event(kPx120M, 4);        // a frame event from before the snap
  ASSERT_EQ(sim_.flush_events(kPx120M), 0);
  sim_.trace_clear();

  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(Slot<int()>(camera, slot::kSnap), 1);
  const auto waited = std::chrono::steady_clock::now() - start;
  EXPECT_GE(waited, std::chrono::milliseconds(4000));
  EXPECT_GE(sim_.count_calls(184), 1u);
  EXPECT_EQ(Get(camera, "StatSnap"), "0");
}

TEST_F(ImagePathTest, BufferFollowsEveryGeometryChangeAndNeverShrinks) {
  MM::Camera* camera = Open("PX-678C");
  ASSERT_NE(camera, nullptr);
  SnapStamp(camera);
  const Frame full = Buffer(camera);
  EXPECT_EQ(full.size, 3840L * 2160 * 4);

  // A geometry change that did not come through this device (another device
  // sharing the camera): the next snap sizes the buffer before pulling.
  sim_.set_state(kPx678C, "roi.w", 640);
  sim_.set_state(kPx678C, "roi.h", 480);
  SnapStamp(camera);
  const Frame small = Buffer(camera);
  EXPECT_EQ(small.width, 640u);
  EXPECT_EQ(small.height, 480u);
  EXPECT_EQ(small.size, 640L * 480 * 4);
  EXPECT_EQ(small.pixels, full.pixels) << "a smaller image keeps the allocation";

  sim_.set_state(kPx678C, "roi.w", 0);
  SnapStamp(camera);
  EXPECT_EQ(Buffer(camera).size, full.size);
}

TEST_F(ImagePathTest, UnusableGeometryFailsTheSnapWithoutPulling) {
  MM::Camera* camera = Open("PX-FULL");
  ASSERT_NE(camera, nullptr);
  SnapStamp(camera);
  const Frame before = Buffer(camera);
  for (int64_t side : {int64_t{0xFFFFFFFF}, int64_t{70000}}) {
    SCOPED_TRACE(side);
    sim_.set_state(kPxFull, "roi.w", side);
    sim_.set_state(kPxFull, "roi.h", side);
    sim_.trace_clear();
    EXPECT_EQ(Slot<int()>(camera, slot::kSnap), 1);
    EXPECT_EQ(sim_.count_calls(184), 0u);
    EXPECT_EQ(sim_.count_calls(138), 0u) << "no frame is triggered that cannot be pulled";
    const Frame after = Buffer(camera);
    EXPECT_EQ(after.pixels, before.pixels);
    EXPECT_EQ(after.size, before.size) << "geometry stays that of the buffer";
  }
  sim_.set_state(kPxFull, "roi.w", 0);
  SnapStamp(camera);
}

TEST_F(ImagePathTest, PixelSizeScalesWithTheResolutionRatio) {
  sim_.set_state(kPx678C, "resolution", 1);  // 1920 x 1080 of a 3840 x 2160 sensor
  MM::Camera* camera = Open("PX-678C");
  ASSERT_NE(camera, nullptr);
  EXPECT_DOUBLE_EQ(Slot<double()>(camera, slot::kPixelSize), 4.0);
  EXPECT_EQ(Get(camera, "PixelSize(um)"), "4.0000");
  EXPECT_TRUE(pyxhost::Camera(camera).IsReadOnly("PixelSize(um)"));
  const auto ratios = Calls(86);
  ASSERT_FALSE(ratios.empty());
  EXPECT_EQ(ratios.back().args[0], 1) << "the current resolution index";
}

TEST_F(ImagePathTest, ExposureEventReportsAndNotifiesInOrder) {
  ASSERT_EQ(sim_.set_state(kPxFull, "autoexposure", 0), 0);
  MM::Camera* camera = Open("PX-FULL");
  ASSERT_NE(camera, nullptr);
  ASSERT_EQ(sim_.set_state(kPxFull, "exposure", 25000), 0);
  host_.reset();
  sim_.fire_event(kPxFull, 1);
  ASSERT_EQ(sim_.flush_events(kPxFull), 0);

  const auto exposures = host_.exposureChanges();
  ASSERT_FALSE(exposures.empty());
  EXPECT_DOUBLE_EQ(exposures.front(), 25.0);
  std::vector<std::string> names;
  for (const auto& change : host_.propertyChanges()) {
    if (names.empty() || names.back() != change.first) names.push_back(change.first);
  }
  // "Exposure" refreshes "RealExposure" on its way; the three notifications
  // themselves come as Exposure, Gain, RealExposure.
  EXPECT_THAT(names, ElementsAre("RealExposure", "Exposure", "Gain", "RealExposure"));
  EXPECT_EQ(host_.propertyChanges("Exposure").back(), "25.0000");
}

TEST_F(ImagePathTest, ExposureEventOnACameraWithoutGainSkipsGain) {
  MM::Camera* camera = Open("PX-120M");
  ASSERT_NE(camera, nullptr);
  ASSERT_FALSE(Has(camera, "Gain"));
  host_.reset();
  sim_.fire_event(kPx120M, 1);
  ASSERT_EQ(sim_.flush_events(kPx120M), 0);
  EXPECT_TRUE(host_.propertyChanges("Gain").empty());
  EXPECT_FALSE(host_.propertyChanges("Exposure").empty());
}

TEST_F(ImagePathTest, WhiteBalanceEventNotifiesTheThreeGainsInOrder) {
  MM::Camera* camera = Open("PX-678C");
  ASSERT_NE(camera, nullptr);
  ASSERT_TRUE(Has(camera, "WhiteBalanceRGain"));
  host_.reset();
  sim_.fire_event(kPx678C, 6);
  ASSERT_EQ(sim_.flush_events(kPx678C), 0);
  std::vector<std::string> names;
  for (const auto& change : host_.propertyChanges()) names.push_back(change.first);
  EXPECT_THAT(names, ElementsAre("WhiteBalanceRGain", "WhiteBalanceGGain", "WhiteBalanceBGain"));
}

TEST_F(ImagePathTest, OtherEventsAndForeignContextsDoNothing) {
  MM::Camera* camera = Open("PX-678C");
  ASSERT_NE(camera, nullptr);
  host_.reset();
  for (int32_t code : {0, 2, 3, 5, 9, 0x80, -1}) sim_.fire_event(kPx678C, code);
  ASSERT_EQ(sim_.flush_events(kPx678C), 0);
  EXPECT_TRUE(host_.events().empty());

  auto [callback, context] = RegisteredCallback();
  ASSERT_NE(callback, nullptr);
  ASSERT_NE(context, nullptr);
  callback(1, nullptr);
  callback(4, nullptr);
  callback(1, reinterpret_cast<void*>(uintptr_t{0x5eed5eed}));
  EXPECT_TRUE(host_.events().empty());
  callback(1, context);
  EXPECT_FALSE(host_.exposureChanges().empty()) << "the registered context reaches the device";
}

TEST_F(ImagePathTest, LateEventsAfterTheCameraClosedAreDropped) {
  MM::Camera* camera = Open("PX-120M");
  ASSERT_NE(camera, nullptr);
  auto [callback, context] = RegisteredCallback();
  ASSERT_NE(callback, nullptr);
  Destroy(camera);
  ASSERT_EQ(sim_.is_open(kPx120M), 0);
  host_.reset();
  // The library may still deliver an event it had begun before the close.
  callback(4, context);
  callback(1, context);
  EXPECT_TRUE(host_.events().empty());
}

}  // namespace
}  // namespace camtest
