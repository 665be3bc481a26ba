// Exposure in host milliseconds versus camera microseconds, gain, the camera's
// auto-exposure settings and the frame-rate or speed control.
#include <cmath>
#include <limits>

#include "camera/conversions.h"
#include "tests/camera/camera_fixture.h"

namespace camtest {
namespace {

using ::testing::ElementsAre;

class ExposureTest : public CameraFixture {
 protected:
  std::vector<int64_t> ExposureWrites() const {
    std::vector<int64_t> values;
    for (const PyxsimCall& call : Calls(34)) values.push_back(call.args[0]);
    return values;
  }
  std::vector<std::pair<int64_t, int64_t>> MaximaWrites() const {
    std::vector<std::pair<int64_t, int64_t>> values;
    for (const PyxsimCall& call : Calls(73)) values.emplace_back(call.args[0], call.args[1]);
    return values;
  }
  void SetExposure(MM::Camera* camera, double milliseconds) {
    Slot<void(double)>(camera, slot::kSetExposure, milliseconds);
  }
  double Limit(MM::Camera* camera, const std::string& name, bool upper) {
    double lower = 0, high = 0;
    EXPECT_TRUE(pyxhost::Camera(camera).Limits(name, &lower, &high)) << name;
    return upper ? high : lower;
  }
};

TEST(Conversions, SaturateInsteadOfWrapping) {
  EXPECT_EQ(camera::SaturateCast<uint16_t>(70000.0), 65535);
  EXPECT_EQ(camera::SaturateCast<uint16_t>(-3.0), 0);
  EXPECT_EQ(camera::SaturateCast<int32_t>(1e12), std::numeric_limits<int32_t>::max());
  EXPECT_EQ(camera::SaturateCast<int32_t>(-1e12), std::numeric_limits<int32_t>::min());
  EXPECT_EQ(camera::SaturateCast<int32_t>(std::nan("")), 0);
  EXPECT_EQ(camera::SaturateCast<int32_t>(-2.9), -2);
  EXPECT_EQ(camera::SaturateCast<uint32_t>(4294967295.5), 4294967295u);
  EXPECT_EQ(camera::SaturateIntCast<uint16_t>(70000L), 65535);
  EXPECT_EQ(camera::SaturateIntCast<uint16_t>(-1L), 0);
  EXPECT_EQ(camera::SaturateIntCast<int32_t>(int64_t{1} << 40),
            std::numeric_limits<int32_t>::max());
  EXPECT_EQ(camera::SaturateIntCast<int32_t>(-(int64_t{1} << 40)),
            std::numeric_limits<int32_t>::min());
  EXPECT_EQ(camera::SaturateIntCast<uint32_t>(uint64_t{1} << 33), 4294967295u);

  uint32_t microseconds = 0;
  EXPECT_TRUE(camera::MillisecondsToMicroseconds(10.0015, &microseconds));
  EXPECT_EQ(microseconds, 10001u);
  EXPECT_TRUE(camera::MillisecondsToMicroseconds(10.0004, &microseconds));
  EXPECT_EQ(microseconds, 10000u);
  EXPECT_TRUE(camera::MillisecondsToMicroseconds(4.35, &microseconds));
  EXPECT_EQ(microseconds, 4350u);
  EXPECT_TRUE(camera::MillisecondsToMicroseconds(0.0009, &microseconds));
  EXPECT_EQ(microseconds, 0u);
  EXPECT_TRUE(camera::MillisecondsToMicroseconds(4294967.295, &microseconds));
  EXPECT_EQ(microseconds, 4294967295u);
  EXPECT_FALSE(camera::MillisecondsToMicroseconds(4294967.296, &microseconds));
  EXPECT_FALSE(camera::MillisecondsToMicroseconds(-0.5, &microseconds));
  EXPECT_FALSE(camera::MillisecondsToMicroseconds(std::nan(""), &microseconds));
  EXPECT_FALSE(
      camera::MillisecondsToMicroseconds(std::numeric_limits<double>::infinity(), &microseconds));
}

TEST_F(ExposureTest, ReadsMicrosecondsAsMilliseconds) {
  ASSERT_EQ(sim_.set_state(kPx120M, "exposure", 123456), 0);
  MM::Camera* camera = Open("PX-120M");
  ASSERT_NE(camera, nullptr);
  EXPECT_DOUBLE_EQ(Slot<double()>(camera, slot::kGetExposure), 123.456);
  EXPECT_EQ(Get(camera, "Exposure"), "123.4560");
  // The camera's range, 32 us to 5 s.
  EXPECT_DOUBLE_EQ(Limit(camera, "Exposure", false), 0.032);
  EXPECT_DOUBLE_EQ(Limit(camera, "Exposure", true), 5000.0);
}

TEST_F(ExposureTest, SetExposureTruncatesToMicrosecondsAndSkipsNoChange) {
  MM::Camera* camera = Open("PX-120M");  // 10 ms at power-on
  ASSERT_NE(camera, nullptr);
  sim_.trace_clear();
  host_.reset();
  SetExposure(camera, 10.0004);
  EXPECT_TRUE(ExposureWrites().empty());
  EXPECT_TRUE(host_.events().empty());

  SetExposure(camera, 10.0015);
  EXPECT_THAT(ExposureWrites(), ElementsAre(10001));
  EXPECT_EQ(sim_.state(kPx120M, "exposure"), 10001);
  EXPECT_THAT(host_.exposureChanges(), ::testing::Contains(10.001));
  // Reported as the new exposure, then "Exposure" and "RealExposure" notified.
  ASSERT_FALSE(host_.propertyChanges("Exposure").empty());
  EXPECT_EQ(host_.propertyChanges("Exposure").back(), "10.0010");
  EXPECT_EQ(host_.propertyChanges().back().first, "RealExposure");

  EXPECT_EQ(Set(camera, "Exposure", "20.5"), 0);
  EXPECT_THAT(ExposureWrites(), ElementsAre(10001, 20500));

  // 4.35 * 1000 is 4349.999999999999 in floating point; it means 4350 us, and
  // writing back the value read must not change the camera.
  SetExposure(camera, 4.35);
  EXPECT_EQ(sim_.state(kPx120M, "exposure"), 4350);
  sim_.trace_clear();
  EXPECT_EQ(Set(camera, "Exposure", Get(camera, "Exposure")), 0);
  EXPECT_TRUE(ExposureWrites().empty());
}

TEST_F(ExposureTest, SetExposureIgnoresWhatMicrosecondsCannotHold) {
  MM::Camera* camera = Open("PX-2600M-COOL");  // exposures up to one hour
  ASSERT_NE(camera, nullptr);
  sim_.trace_clear();
  for (double bad :
       {std::nan(""), -1.0, -0.0001, 4294967.296, 1e300, std::numeric_limits<double>::infinity()}) {
    SetExposure(camera, bad);
  }
  EXPECT_TRUE(ExposureWrites().empty());

  // Beyond the signed 32-bit range of microseconds, but valid for the camera.
  SetExposure(camera, 2500000.0);
  SetExposure(camera, 3000000.0);
  EXPECT_THAT(ExposureWrites(), ElementsAre(2500000000, 3000000000));
  EXPECT_EQ(sim_.state(kPx2600M, "exposure"), 3000000000);
  EXPECT_DOUBLE_EQ(Slot<double()>(camera, slot::kGetExposure), 3000000.0);
  SetExposure(camera, 3000000.0);
  EXPECT_EQ(ExposureWrites().size(), 2u) << "unchanged: nothing written";
}

TEST_F(ExposureTest, AutoExposureMaximaAreWrittenAsAPair) {
  MM::Camera* full = Open("PX-FULL");
  ASSERT_NE(full, nullptr);
  EXPECT_EQ(Set(full, "AutoExposure Maximum Gain", "300"), 0);
  EXPECT_EQ(Set(full, "AutoExposure Maximum Exposure Time", "200"), 0);
  ASSERT_EQ(MaximaWrites().size(), 2u);
  EXPECT_EQ(MaximaWrites().back(), std::make_pair(int64_t{200}, int64_t{300}));
  EXPECT_EQ(sim_.state(kPxFull, "aemaxtime"), 200);
  EXPECT_EQ(sim_.state(kPxFull, "aemaxgain"), 300);

  // Without gain support there is no gain maximum: 500 stands in.
  MM::Camera* mono = Open("PX-120M");
  ASSERT_NE(mono, nullptr);
  EXPECT_FALSE(Has(mono, "AutoExposure Maximum Gain"));
  sim_.trace_clear();
  EXPECT_EQ(Set(mono, "AutoExposure Maximum Exposure Time", "200"), 0);
  EXPECT_THAT(MaximaWrites(), ElementsAre(std::make_pair(int64_t{200}, int64_t{500})));
}

TEST_F(ExposureTest, MaximumGainLimitIsTenTimesTheLibraryDefault) {
  MM::Camera* camera = Open("PX-FULL");
  ASSERT_NE(camera, nullptr);
  EXPECT_DOUBLE_EQ(Limit(camera, "AutoExposure Maximum Gain", false), 100);
  EXPECT_DOUBLE_EQ(Limit(camera, "AutoExposure Maximum Gain", true), 3200);
  EXPECT_DOUBLE_EQ(Limit(camera, "AutoExposure Maximum Exposure Time", false), 10);
  EXPECT_DOUBLE_EQ(Limit(camera, "AutoExposure Maximum Exposure Time", true), 5000);
  EXPECT_EQ(Set(camera, "AutoExposure Maximum Gain", "3201"), 3);
}

TEST_F(ExposureTest, PolicyNeedsGainSupportAndToleratesUnknownPositions) {
  MM::Camera* mono = Open("PX-120M");
  ASSERT_NE(mono, nullptr);
  EXPECT_EQ(Get(mono, "AutoExposure Policy"), "Exposure Only");
  EXPECT_TRUE(pyxhost::Camera(mono).IsReadOnly("AutoExposure Policy"));

  ASSERT_EQ(sim_.set_option(kPxFull, 16, 77), 0);
  MM::Camera* full = Open("PX-FULL");
  ASSERT_NE(full, nullptr);
  EXPECT_EQ(Get(full, "AutoExposure Policy"), "Exposure Preferred (Default)");
  EXPECT_EQ(Set(full, "AutoExposure Policy", "Gain Only"), 0);
  EXPECT_EQ(sim_.option(kPxFull, 16), 2);
  EXPECT_EQ(Get(full, "AutoExposure Policy"), "Gain Only");
}

TEST_F(ExposureTest, PeakModeAndPercentShareOneOption) {
  MM::Camera* camera = Open("PX-FULL");
  ASSERT_NE(camera, nullptr);
  EXPECT_EQ(Get(camera, "AutoExposure Peak Mode"), "OFF");
  sim_.trace_clear();
  EXPECT_EQ(Set(camera, "AutoExposure Percent", "40"), 0);
  EXPECT_TRUE(OptionWrites(74).empty()) << "percent alone does not switch peak mode on";
  EXPECT_EQ(Set(camera, "AutoExposure Peak Mode", "ON"), 0);
  EXPECT_EQ(Set(camera, "AutoExposure Percent", "30"), 0);
  EXPECT_EQ(Set(camera, "AutoExposure Peak Mode", "OFF"), 0);
  EXPECT_THAT(OptionWrites(74), ElementsAre(40, 30, 0));
  EXPECT_EQ(Get(camera, "AutoExposure Peak Mode"), "OFF");
  EXPECT_EQ(Get(camera, "AutoExposure Percent"), "1");
}

TEST_F(ExposureTest, GainAndTargetReachTheCamera) {
  MM::Camera* camera = Open("PX-678C");
  ASSERT_NE(camera, nullptr);
  EXPECT_DOUBLE_EQ(Limit(camera, "Gain", false), 100);
  EXPECT_DOUBLE_EQ(Limit(camera, "Gain", true), 5000);
  EXPECT_EQ(Set(camera, "Gain", "2500"), 0);
  EXPECT_EQ(sim_.state(kPx678C, "gain"), 2500);
  EXPECT_EQ(Set(camera, "AutoExposureTarget", "200"), 0);
  EXPECT_EQ(sim_.state(kPx678C, "aetarget"), 200);
  EXPECT_EQ(Set(camera, "AutoExposureTarget", "221"), 3);
  EXPECT_EQ(Set(camera, "AutoExposure", "OFF"), 0);
  EXPECT_EQ(sim_.state(kPx678C, "autoexposure"), 0);
  EXPECT_EQ(Get(camera, "AutoExposure"), "OFF");
}

TEST_F(ExposureTest, FrameRateInTenthsAndLimitsFollowBandwidth) {
  MM::Camera* camera = Open("PX-FULL");
  ASSERT_NE(camera, nullptr);
  ASSERT_TRUE(Has(camera, "FrameRate"));
  ASSERT_TRUE(Has(camera, "Bandwidth"));
  EXPECT_FALSE(Has(camera, "Speed"));
  EXPECT_EQ(Set(camera, "FrameRate", "12.5"), 0);
  EXPECT_EQ(sim_.option(kPxFull, 45), 125);
  EXPECT_EQ(Set(camera, "FrameRate", "2.3"), 0);  // 22.999999999999996 tenths
  EXPECT_EQ(sim_.option(kPxFull, 45), 23);

  ASSERT_EQ(sim_.set_option(kPxFull, 44, 300), 0);
  host_.reset();
  EXPECT_EQ(Set(camera, "Bandwidth", "50"), 0);
  EXPECT_EQ(sim_.option(kPxFull, 46), 50);
  EXPECT_DOUBLE_EQ(Limit(camera, "FrameRate", false), 0.1);
  EXPECT_DOUBLE_EQ(Limit(camera, "FrameRate", true), 30.0);
  EXPECT_FALSE(host_.exposureChanges().empty());
  EXPECT_FALSE(host_.propertyChanges("Exposure").empty());
  EXPECT_FALSE(host_.propertyChanges("RealExposure").empty());

  MM::Camera* cooled = Open("PX-2600M-COOL");  // frame-rate control, no bandwidth
  ASSERT_NE(cooled, nullptr);
  EXPECT_TRUE(Has(cooled, "FrameRate"));
  EXPECT_FALSE(Has(cooled, "Bandwidth"));
}

TEST_F(ExposureTest, SpeedListsEveryLevelUpToTheModelsHighest) {
  MM::Camera* camera = Open("PX-120M");
  ASSERT_NE(camera, nullptr);
  EXPECT_FALSE(Has(camera, "FrameRate"));
  EXPECT_THAT(pyxhost::Camera(camera).AllowedValues("Speed"), ElementsAre("0", "1", "2"));
  EXPECT_EQ(Get(camera, "Speed"), "2");
  EXPECT_EQ(Set(camera, "Speed", "1"), 0);
  EXPECT_EQ(sim_.state(kPx120M, "speed"), 1);
  EXPECT_EQ(Set(camera, "Speed", "3"), 3);
}

TEST_F(ExposureTest, RealExposureIsReadOnlyAndFollowsTheCamera) {
  MM::Camera* camera = Open("PX-678C");
  ASSERT_NE(camera, nullptr);
  EXPECT_TRUE(pyxhost::Camera(camera).IsReadOnly("RealExposure"));
  SetExposure(camera, 30.0);
  EXPECT_NE(Get(camera, "RealExposure"), "");
  EXPECT_EQ(Set(camera, "RealExposure", "5"), 0);  // refused silently: read-only
}

}  // namespace
}  // namespace camtest
