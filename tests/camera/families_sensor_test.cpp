// Sensor, cooling and readout properties: the fan and cooler coupling, TEC
// target and drive, lane discovery, the list-backed options, anti-blooming,
// voltage bias and the factory-settings reload.
#include <climits>

#include "tests/camera/families_support.h"

namespace camtest {
namespace {

using ::testing::Contains;
using ::testing::ElementsAre;
using ::testing::IsEmpty;
using ::testing::Not;

class SensorTest : public CameraFixture {};

TEST_F(SensorTest, FanOffReportsTheCoolerAndCoolerOnReportsTheFan) {
  MM::Camera* camera = Open("PX-2600M-COOL");
  ASSERT_NE(camera, nullptr);

  host_.reset();
  sim_.trace_clear();
  ASSERT_EQ(Set(camera, "Fan", "OFF"), 0);
  EXPECT_THAT(Rendered(sim_, {83}), ElementsAre("83(0)"));
  // The camera stops its cooler without the fan; the host learns it at once.
  EXPECT_THAT(PropertyEvents(), ElementsAre("TEC=OFF"));

  host_.reset();
  sim_.trace_clear();
  ASSERT_EQ(Set(camera, "TEC", "ON"), 0);
  EXPECT_THAT(OptionWrites(8), ElementsAre(1));
  EXPECT_THAT(PropertyEvents(), ElementsAre("Fan=1"));

  // A fan speed or the cooler off notify nothing.
  host_.reset();
  sim_.trace_clear();
  ASSERT_EQ(Set(camera, "Fan", "3"), 0);
  ASSERT_EQ(Set(camera, "TEC", "OFF"), 0);
  EXPECT_THAT(Rendered(sim_, {83}), ElementsAre("83(3)"));
  EXPECT_THAT(OptionWrites(8), ElementsAre(0));
  EXPECT_THAT(PropertyEvents(), IsEmpty());
  EXPECT_EQ(Get(camera, "Fan"), "3");
  EXPECT_EQ(Get(camera, "TEC"), "OFF");
}

TEST_F(SensorTest, TecTargetIsWrittenInTruncatedTenths) {
  MM::Camera* camera = Open("PX-FULL");
  ASSERT_NE(camera, nullptr);
  sim_.trace_clear();
  ASSERT_EQ(Set(camera, "TECTarget", "-5.25"), 0);
  ASSERT_EQ(Set(camera, "TECTarget", "12.3"), 0);
  EXPECT_THAT(Rendered(sim_, {88}), ElementsAre("88(-52)", "88(123)"));
  EXPECT_EQ(Get(camera, "TECTarget"), "12.3000");
  EXPECT_EQ(Set(camera, "TECTarget", "30.1"), 3) << "above the camera's range";
}

TEST_F(SensorTest, TecTargetLimitsFallBackWhenTheRangeCannotBeRead) {
  ASSERT_EQ(sim_.remove_option(kPxFull, 109), 0);
  MM::Camera* camera = Open("PX-FULL");
  ASSERT_NE(camera, nullptr);
  double lower = 0;
  double upper = 0;
  ASSERT_TRUE(pyxhost::Camera(camera).Limits("TECTarget", &lower, &upper));
  EXPECT_DOUBLE_EQ(lower, -50.0);
  EXPECT_DOUBLE_EQ(upper, 40.0);
}

TEST_F(SensorTest, TecPowerOfAnExtremeDriveDoesNotOverflow) {
  ASSERT_EQ(sim_.set_option(kPxFull, 32, INT32_MAX), 0);
  ASSERT_EQ(sim_.set_option(kPxFull, 33, 1), 0);
  MM::Camera* camera = Open("PX-FULL");
  ASSERT_NE(camera, nullptr);
  EXPECT_EQ(Get(camera, "TECPower"), "214748364700.0000");
}

TEST_F(SensorTest, TecPowerNeedsAPositiveMaximumAndKeepsItsValueOnFailedReads) {
  ASSERT_EQ(sim_.set_option(kPxFull, 33, 0), 0);
  MM::Camera* absent = Open("PX-FULL");
  ASSERT_NE(absent, nullptr);
  EXPECT_FALSE(Has(absent, "TECPower"));

  ASSERT_EQ(sim_.set_option(kPx2600M, 32, 51), 0);
  ASSERT_EQ(sim_.set_option(kPx2600M, 33, 255), 0);
  MM::Camera* camera = Open("PX-2600M-COOL");
  ASSERT_NE(camera, nullptr);
  EXPECT_EQ(Get(camera, "TECPower"), "20.0000");
  ASSERT_EQ(sim_.set_option(kPx2600M, 32, -1), 0);
  EXPECT_EQ(Get(camera, "TECPower"), "20.0000");
}

TEST_F(SensorTest, LaneDiscoveryReadsCountCurrentAndEverySetting) {
  MM::Camera* camera = Open("PX-FULL");
  ASSERT_NE(camera, nullptr);
  const std::vector<std::string> reads = OptionCalls(sim_, 126);
  ASSERT_GE(reads.size(), 5u);
  EXPECT_THAT(std::vector<std::string>(reads.begin(), reads.begin() + 5),
              ElementsAre("94(126,0xff000000)", "94(126,0)", "94(126,0xfe000000)",
                          "94(126,0xfe000001)", "94(126,0xfe000002)"));
  EXPECT_EQ(Get(camera, "Lane"), "4");

  sim_.trace_clear();
  ASSERT_EQ(Set(camera, "Lane", "1"), 0);
  EXPECT_THAT(OptionWrites(126), ElementsAre(0));
  EXPECT_EQ(Get(camera, "Lane"), "1");

  // A current index outside the list leaves the shown value alone.
  ASSERT_EQ(sim_.set_option(kPxFull, 126, 7), 0);
  EXPECT_EQ(Get(camera, "Lane"), "1");
}

TEST_F(SensorTest, SingleLaneSettingMeansNoLaneProperty) {
  const int32_t lanes[] = {2};
  ASSERT_EQ(sim_.set_lanes(kPxFull, lanes, 1, 0), 0);
  MM::Camera* camera = Open("PX-FULL");
  ASSERT_NE(camera, nullptr);
  EXPECT_FALSE(Has(camera, "Lane"));
}

TEST_F(SensorTest, LaneListFollowsTheCamerasSettings) {
  const int32_t lanes[] = {1, 2, 4, 8};
  ASSERT_EQ(sim_.set_lanes(kPxFull, lanes, 4, 3), 0);
  MM::Camera* camera = Open("PX-FULL");
  ASSERT_NE(camera, nullptr);
  EXPECT_EQ(Get(camera, "Lane"), "8");
  EXPECT_EQ(pyxhost::Camera(camera).AllowedValues("Lane"),
            (std::vector<std::string>{"1", "2", "4", "8"}));
}

TEST_F(SensorTest, ListOptionsIgnoreReadsOutsideTheirList) {
  MM::Camera* camera = Open("PX-FULL");
  ASSERT_NE(camera, nullptr);
  sim_.trace_clear();
  ASSERT_EQ(Set(camera, "ReadoutMode", "ITR (Integrate Then Read)"), 0);
  ASSERT_EQ(Set(camera, "MechanicalShutter", "Close"), 0);
  ASSERT_EQ(Set(camera, "GlobalResetMode", "ON"), 0);
  ASSERT_EQ(Set(camera, "LowPowerConsumption", "ON"), 0);
  ASSERT_EQ(Set(camera, "LowNoise", "ON"), 0);
  EXPECT_THAT(Rendered(sim_, {93}),
              ElementsAre("93(105,1)", "93(118,1)", "93(58,1)", "93(102,1)", "93(56,1)"));

  ASSERT_EQ(sim_.set_option(kPxFull, 105, 5), 0);
  EXPECT_EQ(Get(camera, "ReadoutMode"), "ITR (Integrate Then Read)");
  ASSERT_EQ(sim_.set_option(kPxFull, 105, -1), 0);
  EXPECT_EQ(Get(camera, "ReadoutMode"), "ITR (Integrate Then Read)");
  ASSERT_EQ(sim_.set_option(kPxFull, 105, 0), 0);
  EXPECT_EQ(Get(camera, "ReadoutMode"), "IWR (Integrate While Read)");
  // Any non-zero shutter state is closed.
  ASSERT_EQ(sim_.set_option(kPxFull, 118, 5), 0);
  EXPECT_EQ(Get(camera, "MechanicalShutter"), "Close");
}

TEST_F(SensorTest, HeaterLevelsComeFromTheCamerasMaximum) {
  ASSERT_EQ(sim_.set_option(kPx2600M, 54, 0), 0);
  MM::Camera* camera = Open("PX-2600M-COOL");
  ASSERT_NE(camera, nullptr);
  EXPECT_EQ(pyxhost::Camera(camera).AllowedValues("Heat"), std::vector<std::string>{"OFF"});

  MM::Camera* full = Open("PX-FULL");
  ASSERT_NE(full, nullptr);
  sim_.trace_clear();
  ASSERT_EQ(Set(full, "Heat", "2"), 0);
  ASSERT_EQ(Set(full, "Heat", "OFF"), 0);
  EXPECT_THAT(OptionWrites(55), ElementsAre(2, 0));
  ASSERT_EQ(sim_.set_option(kPxFull, 55, 3), 0);
  EXPECT_EQ(Get(full, "Heat"), "3");
}

TEST_F(SensorTest, AntiBloomingAsksForTheDefaultBeforeWriting) {
  MM::Camera* camera = Open("PX-FULL");
  ASSERT_NE(camera, nullptr);
  sim_.trace_clear();
  ASSERT_EQ(Set(camera, "AntiBlooming", "77"), 0);
  EXPECT_THAT(Rendered(sim_, {93, 189}), ElementsAre("189(defAntiBlooming)", "93(139,77)"));
  EXPECT_EQ(Get(camera, "AntiBlooming"), "77");
}

TEST_F(SensorTest, AntiBloomingNeedsAMaximumAboveOne) {
  ASSERT_EQ(sim_.set_option(kPxFull, 140, 1), 0);
  MM::Camera* camera = Open("PX-FULL");
  ASSERT_NE(camera, nullptr);
  EXPECT_FALSE(Has(camera, "AntiBlooming"));
}

TEST_F(SensorTest, VoltageBiasIsWrittenTruncated) {
  MM::Camera* camera = Open("PX-FULL");
  ASSERT_NE(camera, nullptr);
  sim_.trace_clear();
  ASSERT_EQ(Set(camera, "VoltageBias", "150.7"), 0);
  EXPECT_THAT(OptionWrites(127), ElementsAre(150));
  EXPECT_EQ(Get(camera, "VoltageBias"), "150.0000");
}

TEST_F(SensorTest, TemperatureKeepsItsValueWhenTheReadFails) {
  MM::Camera* camera = Open("PX-2600M-COOL");
  ASSERT_NE(camera, nullptr);
  sim_.set_state(kPx2600M, "temperature", -125);
  const std::string before = Get(camera, "Temperature");
  EXPECT_THAT(before, ::testing::StartsWith("-12."));
  sim_.set_state(kPx2600M, "temperature", 300);
  sim_.fail_position(78, -1, -1);
  EXPECT_EQ(Get(camera, "Temperature"), before);
  sim_.fail_position(78, 0, 0);
}

TEST_F(SensorTest, CorrelatedDoubleSamplingIsAPlainOption) {
  MM::Camera* camera = Open("PX-FULL");
  ASSERT_NE(camera, nullptr);
  sim_.trace_clear();
  ASSERT_EQ(Set(camera, "Correlated Double Sampling", "3"), 0);
  EXPECT_THAT(OptionWrites(110), ElementsAre(3));
  EXPECT_EQ(Get(camera, "Correlated Double Sampling"), "3");
  EXPECT_EQ(Set(camera, "Correlated Double Sampling", "4"), 3);
}

TEST_F(SensorTest, FactoryReloadRestartsDeliveryAndRereadsEverything) {
  MM::Camera* camera = Open("PX-FULL");
  ASSERT_NE(camera, nullptr);
  ASSERT_EQ(Set(camera, "Resolution", "1280 x 1024"), 0);
  ASSERT_EQ(Set(camera, "Gamma", "20"), 0);
  ASSERT_EQ(Slot<unsigned()>(camera, slot::kWidth), 1280u);

  sim_.trace_clear();
  ASSERT_EQ(Set(camera, "FactorySettings", "Load"), 0);
  const std::vector<std::string> calls = Rendered(sim_, {93, 158, 159});
  ASSERT_GE(calls.size(), 4u);
  EXPECT_THAT(std::vector<std::string>(calls.begin(), calls.begin() + 4),
              ElementsAre("159(0)", "93(31,0)", "93(11,1)", "158()"));
  // Every property was read again (the refresh reads the gamma, for one).
  EXPECT_EQ(sim_.count_calls(41), 1u);
  EXPECT_EQ(Get(camera, "Gamma"), "100");
  // The camera is back at its first resolution; the device follows it.
  EXPECT_EQ(Get(camera, "Resolution"), "2560 x 2048");
  EXPECT_EQ(Slot<unsigned()>(camera, slot::kWidth), 2560u);
  EXPECT_EQ(Get(camera, "FactorySettings"), "Click");
  ASSERT_EQ(Slot<int()>(camera, slot::kSnap), 0);
}

TEST_F(SensorTest, FactoryReloadDuringASequenceIsRefusedWithoutAVendorCall) {
  MM::Camera* camera = Open("PX-FULL");
  ASSERT_NE(camera, nullptr);
  ASSERT_EQ(StartSequence(camera), 0);
  sim_.trace_clear();
  EXPECT_EQ(Set(camera, "FactorySettings", "Load"), 30);
  EXPECT_THAT(Rendered(sim_, {93, 158, 159}), Not(Contains("93(31,0)")));
  EXPECT_EQ(sim_.count_calls(159), 0u);
  ASSERT_EQ(StopSequence(camera), 0);
  EXPECT_EQ(Get(camera, "FactorySettings"), "Click");
}

}  // namespace
}  // namespace camtest
