// Geometry of the delivered frames: binning and its method, resolution, pixel
// type, rotation, flips, bin-or-skip and the region of interest, checked on
// the vendor calls they produce and on the frames that reach the host.
#include "tests/camera/families_support.h"

namespace camtest {
namespace {

using ::testing::Contains;
using ::testing::ElementsAre;
using ::testing::IsEmpty;
using ::testing::Not;

constexpr int kSetBinning = 59;
constexpr int kSetRoi = 62;
constexpr int kGetRoi = 63;
constexpr int kClearRoi = 64;
constexpr int kStopDelivery = 159;
constexpr int kStartDelivery = 158;

class GeometryTest : public CameraFixture {
 protected:
  int SetBinning(MM::Camera* camera, int factor) {
    return Slot<int(int)>(camera, kSetBinning, factor);
  }
  int SetRoi(MM::Camera* camera, unsigned x, unsigned y, unsigned width, unsigned height) {
    return Slot<int(unsigned, unsigned, unsigned, unsigned)>(camera, kSetRoi, x, y, width, height);
  }
  unsigned Width(MM::Camera* camera) { return Slot<unsigned()>(camera, slot::kWidth); }
  unsigned Height(MM::Camera* camera) { return Slot<unsigned()>(camera, slot::kHeight); }
  // The region calls (position 80) since the trace was last cleared.
  std::vector<std::string> RegionWrites() const { return Rendered(sim_, {80}); }
};

TEST_F(GeometryTest, BinningCarriesTheMethodBitAndRestartsDelivery) {
  MM::Camera* camera = Open("PX-FULL");
  ASSERT_NE(camera, nullptr);

  // At factor 1 the method is only remembered.
  sim_.trace_clear();
  ASSERT_EQ(Set(camera, "BinningMethod", "Average"), 0);
  EXPECT_THAT(sim_.option_writes(23), IsEmpty());

  sim_.trace_clear();
  ASSERT_EQ(Set(camera, "Binning", "2"), 0);
  EXPECT_THAT(Rendered(sim_, {93, kStopDelivery, kStartDelivery}),
              ElementsAre("159(0)", "93(23,130)", "93(11,1)", "158()"));
  EXPECT_EQ(sim_.option(kPxFull, 23), 0x82);
  EXPECT_THAT(PropertyEvents(), Contains("Binning=2"));
  EXPECT_EQ(Get(camera, "Binning"), "2");
  EXPECT_EQ(Slot<int()>(camera, slot::kGetBinning), 2);

  // Already 0x82 with "Average": nothing to do.
  sim_.trace_clear();
  EXPECT_EQ(SetBinning(camera, 2), 0);
  EXPECT_THAT(sim_.option_writes(23), IsEmpty());
  EXPECT_EQ(sim_.count_calls(kStopDelivery), 0u);

  // Switching the method at factor 2 rewrites the option without a restart.
  sim_.trace_clear();
  ASSERT_EQ(Set(camera, "BinningMethod", "Add"), 0);
  EXPECT_THAT(Rendered(sim_, {93, kStopDelivery}), ElementsAre("93(23,2)"));
  EXPECT_EQ(Get(camera, "BinningMethod"), "Add");

  EXPECT_EQ(SetBinning(camera, 0), 3);
  EXPECT_EQ(SetBinning(camera, 9), 3);
  EXPECT_EQ(SetBinning(camera, -1), 3);
}

TEST_F(GeometryTest, BinningChangesTheImageSize) {
  MM::Camera* camera = Open("PX-120M");
  ASSERT_NE(camera, nullptr);
  const unsigned width = Width(camera);
  const unsigned height = Height(camera);
  ASSERT_EQ(SetBinning(camera, 2), 0);
  EXPECT_EQ(Width(camera), width / 2);
  EXPECT_EQ(Height(camera), height / 2);
  ASSERT_EQ(Slot<int()>(camera, slot::kSnap), 0);
}

TEST_F(GeometryTest, RegionIsEvenAtLeast32AndMirroredUnderFlips) {
  MM::Camera* camera = Open("PX-678C");
  ASSERT_NE(camera, nullptr);
  ASSERT_EQ(Set(camera, "Resolution", "1920 x 1080"), 0);

  sim_.trace_clear();
  ASSERT_EQ(SetRoi(camera, 101, 51, 20, 640), 0);
  EXPECT_THAT(RegionWrites(), ElementsAre("80(100,50,32,640)"));
  EXPECT_EQ(Width(camera), 32u);
  EXPECT_EQ(Height(camera), 640u);

  ASSERT_EQ(Set(camera, "FlipHorizontal", "ON"), 0);
  ASSERT_EQ(Set(camera, "FlipVertical", "ON"), 0);
  sim_.trace_clear();
  ASSERT_EQ(SetRoi(camera, 101, 51, 20, 640), 0);
  EXPECT_THAT(RegionWrites(), ElementsAre("80(1788,390,32,640)"));

  // The region reads back in sensor coordinates, as the camera holds it.
  unsigned x = 0, y = 0, w = 0, h = 0;
  EXPECT_EQ((Slot<int(unsigned&, unsigned&, unsigned&, unsigned&)>(camera, kGetRoi, x, y, w, h)),
            0);
  EXPECT_EQ(x, 1788u);
  EXPECT_EQ(y, 390u);
  EXPECT_EQ(w, 32u);
  EXPECT_EQ(h, 640u);
}

TEST_F(GeometryTest, MirroredRegionPastTheSensorEdgeStartsAtZero) {
  MM::Camera* camera = Open("PX-678C");
  ASSERT_NE(camera, nullptr);
  ASSERT_EQ(Set(camera, "Resolution", "1920 x 1080"), 0);
  ASSERT_EQ(Set(camera, "FlipHorizontal", "ON"), 0);
  ASSERT_EQ(Set(camera, "FlipVertical", "ON"), 0);
  sim_.trace_clear();
  // x + width and y + height reach past 1920 x 1080: no wrap-around.
  EXPECT_EQ(SetRoi(camera, 1900, 1060, 100, 100), 0);
  EXPECT_EQ(SetRoi(camera, 4000000000u, 0, 64, 64), 0);
  EXPECT_THAT(RegionWrites(), ElementsAre("80(0,0,100,100)", "80(0,1016,64,64)"));
}

TEST_F(GeometryTest, ZeroSizeClearsTheRegionButOneZeroSideDoesNot) {
  MM::Camera* camera = Open("PX-120M");
  ASSERT_NE(camera, nullptr);
  sim_.trace_clear();
  ASSERT_EQ(SetRoi(camera, 10, 10, 0, 100), 0);
  ASSERT_EQ(SetRoi(camera, 0, 0, 0, 0), 0);
  ASSERT_EQ(SetRoi(camera, 64, 64, 128, 128), 0);
  ASSERT_EQ(Slot<int()>(camera, kClearRoi), 0);
  EXPECT_THAT(RegionWrites(),
              ElementsAre("80(10,10,32,100)", "80(0,0,0,0)", "80(64,64,128,128)", "80(0,0,0,0)"));
  EXPECT_EQ(Width(camera), 1280u);
  EXPECT_EQ(Height(camera), 960u);
  // Every region change restarts delivery around the change.
  EXPECT_EQ(sim_.count_calls(kStopDelivery), 4u);
  EXPECT_EQ(sim_.count_calls(kStartDelivery), 4u);
}

TEST_F(GeometryTest, RotationWithinItsClassIsWrittenDirectlyEvenDuringASequence) {
  MM::Camera* camera = Open("PX-120M");
  ASSERT_NE(camera, nullptr);
  ASSERT_EQ(StartSequence(camera), 0);

  sim_.trace_clear();
  EXPECT_EQ(Set(camera, "Rotate", "180"), 0);
  EXPECT_THAT(Rendered(sim_, {93, kStopDelivery}), ElementsAre("93(24,180)"));

  // 180 -> 90 swaps width and height: refused while the sequence runs.
  sim_.trace_clear();
  EXPECT_EQ(Set(camera, "Rotate", "90"), 30);
  EXPECT_THAT(sim_.option_writes(24), IsEmpty());
  ASSERT_EQ(StopSequence(camera), 0);
  EXPECT_EQ(Get(camera, "Rotate"), "180");

  const unsigned width = Width(camera);
  const unsigned height = Height(camera);
  sim_.trace_clear();
  EXPECT_EQ(Set(camera, "Rotate", "90"), 0);
  EXPECT_THAT(Rendered(sim_, {93, kStopDelivery, kStartDelivery}),
              ElementsAre("159(0)", "93(24,90)", "93(11,1)", "158()"));
  EXPECT_EQ(Width(camera), height);
  EXPECT_EQ(Height(camera), width);

  // 90 -> 270 keeps the class.
  sim_.trace_clear();
  EXPECT_EQ(Set(camera, "Rotate", "270"), 0);
  EXPECT_THAT(Rendered(sim_, {93, kStopDelivery}), ElementsAre("93(24,270)"));
}

TEST_F(GeometryTest, SizeChangesAreRefusedDuringASequenceAndLeaveTheCameraAlone) {
  MM::Camera* camera = Open("PX-120M");
  ASSERT_NE(camera, nullptr);
  ASSERT_EQ(StartSequence(camera), 0);
  sim_.trace_clear();

  EXPECT_EQ(Set(camera, "Resolution", "640 x 480"), 30);
  EXPECT_EQ(Set(camera, "PixelType", "RAW12"), 30);
  // "Binning" reports the refusal of set binning instead of a silent success.
  EXPECT_EQ(Set(camera, "Binning", "2"), 30);
  EXPECT_EQ(SetBinning(camera, 3), 30);
  EXPECT_EQ(Set(camera, "FactorySettings", "Load"), 30);
  // The same values again change nothing and are no refusal.
  EXPECT_EQ(Set(camera, "Resolution", "1280 x 960"), 0);
  EXPECT_EQ(Set(camera, "PixelType", "RAW8"), 0);
  EXPECT_EQ(Set(camera, "Binning", "1"), 0);

  EXPECT_EQ(sim_.count_calls(kStopDelivery), 0u);
  EXPECT_EQ(sim_.count_calls(5), 0u);
  EXPECT_THAT(Rendered(sim_, {93}), Not(Contains(::testing::StartsWith("93(23,"))));
  EXPECT_THAT(Rendered(sim_, {93}), Not(Contains(::testing::StartsWith("93(26,"))));
  EXPECT_THAT(Rendered(sim_, {93}), Not(Contains(::testing::StartsWith("93(31,"))));
  ASSERT_EQ(StopSequence(camera), 0);

  // The next read shows what the camera holds.
  EXPECT_EQ(Get(camera, "Resolution"), "1280 x 960");
  EXPECT_EQ(Get(camera, "PixelType"), "RAW8");
  EXPECT_EQ(Get(camera, "Binning"), "1");
  EXPECT_EQ(Get(camera, "FactorySettings"), "Click");
}

TEST_F(GeometryTest, ResolutionSelectsTheTableRowAndResizesTheBuffer) {
  MM::Camera* camera = Open("PX-120M");
  ASSERT_NE(camera, nullptr);
  sim_.trace_clear();
  EXPECT_EQ(Set(camera, "Resolution", "1280 x 960"), 0);
  EXPECT_EQ(sim_.trace_count(), 0u) << "the current resolution needs no call";

  EXPECT_EQ(Set(camera, "Resolution", "640 x 480"), 0);
  EXPECT_THAT(Rendered(sim_, {5, kStopDelivery, kStartDelivery}),
              ElementsAre("159(0)", "5(1)", "158()"));
  EXPECT_EQ(Width(camera), 640u);
  EXPECT_EQ(Height(camera), 480u);
  EXPECT_EQ(Get(camera, "Resolution"), "640 x 480");
  ASSERT_EQ(Slot<int()>(camera, slot::kSnap), 0);
}

TEST_F(GeometryTest, WidePixelTypeDoublesTheBytesPerPixel) {
  MM::Camera* camera = Open("PX-120M");
  ASSERT_NE(camera, nullptr);
  ASSERT_EQ(Slot<unsigned()>(camera, slot::kBytesPerPixel), 1u);
  sim_.trace_clear();
  ASSERT_EQ(Set(camera, "PixelType", "RAW12"), 0);
  EXPECT_THAT(Rendered(sim_, {93, kStopDelivery, kStartDelivery}),
              ElementsAre("159(0)", "93(26,2)", "93(12,4)", "93(11,1)", "158()"));
  EXPECT_EQ(Slot<unsigned()>(camera, slot::kBytesPerPixel), 2u);
  EXPECT_EQ(Get(camera, "PixelType"), "RAW12");
  ASSERT_EQ(Slot<int()>(camera, slot::kSnap), 0);
}

TEST_F(GeometryTest, FlipsAndBinOrSkipAreWrittenWithoutARestart) {
  MM::Camera* camera = Open("PX-120M");
  ASSERT_NE(camera, nullptr);
  sim_.trace_clear();
  ASSERT_EQ(Set(camera, "FlipHorizontal", "ON"), 0);
  ASSERT_EQ(Set(camera, "FlipVertical", "ON"), 0);
  ASSERT_EQ(Set(camera, "Mode", "Skip"), 0);
  ASSERT_EQ(Set(camera, "FlipVertical", "OFF"), 0);
  EXPECT_THAT(Rendered(sim_, {46, 48, 54, kStopDelivery}),
              ElementsAre("48(1)", "46(1)", "54(1)", "46(0)"));
  EXPECT_EQ(Get(camera, "FlipHorizontal"), "ON");
  EXPECT_EQ(Get(camera, "FlipVertical"), "OFF");
  EXPECT_EQ(Get(camera, "Mode"), "Skip");
}

// A region change is accepted while a free-running sequence runs: delivery
// restarts around it, the sequence keeps receiving frames, and every frame the
// host receives is whole and has the size of its own geometry.
TEST_F(GeometryTest, RegionChangeDuringAFreeRunningSequenceKeepsFramesWholeAndFlowing) {
  MM::Camera* camera = Open("PX-120M");
  ASSERT_NE(camera, nullptr);
  ASSERT_EQ(Set(camera, "Resolution", "640 x 480"), 0);
  host_.setCopyPixels(false);
  host_.setRingCapacity(100000);
  sim_.set_frame_interval_us(kPx120M, 5000);

  ASSERT_EQ(StartSequence(camera), 0);
  ASSERT_TRUE(host_.waitForAccepted(5, kHangGuard));
  sim_.trace_clear();
  ASSERT_EQ(SetRoi(camera, 64, 32, 200, 100), 0);
  const size_t beforeChange = host_.acceptedCount();
  // With triggered mode left behind by the restart no frame would come.
  ASSERT_TRUE(host_.waitForAccepted(beforeChange + 10, kHangGuard))
      << "the sequence stalled after the region change";
  EXPECT_TRUE(Slot<bool()>(camera, slot::kIsCapturing));
  // The restart's triggered mode, then the running sequence's free-running one.
  EXPECT_THAT(OptionWrites(11), ElementsAre(1, 0));
  ASSERT_EQ(StopSequence(camera), 0);

  const std::vector<pyxhost::HostImage> images = host_.takeImages();
  ASSERT_GE(images.size(), 15u);
  uint64_t previous = 0;
  bool newSizeSeen = false;
  for (size_t i = 0; i < images.size(); ++i) {
    SCOPED_TRACE("image " + std::to_string(i));
    const pyxhost::HostImage& image = images[i];
    const bool oldSize = image.width == 640 && image.height == 480;
    const bool newSize = image.width == 200 && image.height == 100;
    EXPECT_TRUE(oldSize || newSize) << image.width << " x " << image.height;
    EXPECT_FALSE(newSizeSeen && oldSize) << "an old-size frame after the change";
    newSizeSeen = newSizeSeen || newSize;
    EXPECT_EQ(image.bytesPerPixel, 1u);
    EXPECT_EQ(image.byteCount, size_t{image.width} * image.height * image.bytesPerPixel);
    EXPECT_EQ(image.headWord, image.tailWord) << "torn or mis-sized frame";
    EXPECT_GT(image.headWord, previous) << "frames out of order or repeated";
    previous = image.headWord;
  }
  EXPECT_TRUE(newSizeSeen);
}

TEST_F(GeometryTest, HardwareTriggeredSequenceStaysTriggeredAfterARegionChange) {
  MM::Camera* camera = Open("PX-2600M-COOL");
  ASSERT_NE(camera, nullptr);
  ASSERT_EQ(Set(camera, "IO:Trigger Source", "GPIO0"), 0);
  ASSERT_EQ(StartSequence(camera), 0);
  sim_.trace_clear();
  ASSERT_EQ(SetRoi(camera, 0, 0, 512, 512), 0);
  EXPECT_THAT(OptionWrites(11), ElementsAre(1));
  ASSERT_EQ(StopSequence(camera), 0);
}

TEST_F(GeometryTest, ClosedCameraAnswers35WithoutVendorCalls) {
  MM::Camera* camera = Open("PX-120M");
  ASSERT_NE(camera, nullptr);
  ASSERT_EQ(Slot<int()>(camera, slot::kShutdown), 0);
  sim_.trace_clear();
  EXPECT_EQ(SetBinning(camera, 2), 35);
  EXPECT_EQ(SetRoi(camera, 0, 0, 64, 64), 35);
  EXPECT_EQ(Slot<int()>(camera, kClearRoi), 35);
  unsigned x = 1, y = 1, w = 1, h = 1;
  EXPECT_EQ((Slot<int(unsigned&, unsigned&, unsigned&, unsigned&)>(camera, kGetRoi, x, y, w, h)),
            35);
  EXPECT_EQ(Set(camera, "Resolution", "640 x 480"), 35);
  EXPECT_EQ(Get(camera, "Rotate"), "0");
  EXPECT_EQ(sim_.trace_count(), 0u);
}

}  // namespace
}  // namespace camtest
