// Colour and image-processing properties: white balance, the gain triple,
// packed option halves, sharpening, conversion gain and the simpler switches,
// checked on the vendor calls they produce.
#include "tests/camera/families_support.h"

namespace camtest {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;

class ColourTest : public CameraFixture {};

TEST_F(ColourTest, GainWriteKeepsTheOtherTwoGains) {
  MM::Camera* camera = Open("PX-678C");
  ASSERT_NE(camera, nullptr);
  sim_.set_state(kPx678C, "wb.r", 5);
  sim_.set_state(kPx678C, "wb.g", 0);
  sim_.set_state(kPx678C, "wb.b", -3);
  EXPECT_EQ(Get(camera, "WhiteBalanceBGain"), "-3");

  sim_.trace_clear();
  ASSERT_EQ(Set(camera, "WhiteBalanceGGain", "10"), 0);
  EXPECT_THAT(Rendered(sim_, {25, 26}), ElementsAre("26()", "25(5,10,-3)"));
  EXPECT_EQ(Get(camera, "WhiteBalanceRGain"), "5");
  EXPECT_EQ(Get(camera, "WhiteBalanceGGain"), "10");
}

TEST_F(ColourTest, WhiteBalanceModesWriteTheirCalls) {
  MM::Camera* camera = Open("PX-FULL");
  ASSERT_NE(camera, nullptr);
  sim_.set_state(kPxFull, "wb.r", 7);

  // "Off": continuous off, neutral gains, the mode marked off, then the three
  // gains are reported, red first.
  sim_.trace_clear();
  host_.reset();
  ASSERT_EQ(Set(camera, "AutoWhiteBalance", "Off"), 0);
  EXPECT_THAT(Rendered(sim_, {14, 25, 93, 196}),
              ElementsAre("93(108,0)", "25(0,0,0)", "196(AwbOff,1)"));
  EXPECT_THAT(PropertyEvents(),
              ElementsAre("WhiteBalanceRGain=0", "WhiteBalanceGGain=0", "WhiteBalanceBGain=0"));
  EXPECT_EQ(Get(camera, "AutoWhiteBalance"), "Off");

  // "Continuous" takes the interval property's value.
  ASSERT_EQ(Set(camera, "AutoWhiteBalanceInterval", "2000"), 0);
  sim_.trace_clear();
  ASSERT_EQ(Set(camera, "AutoWhiteBalance", "Continuous"), 0);
  EXPECT_THAT(Rendered(sim_, {14, 25, 93, 196}), ElementsAre("93(108,2000)", "196(AwbOff,1)"));
  EXPECT_EQ(Get(camera, "AutoWhiteBalance"), "Continuous");

  // "Once": continuous off, one-shot started without callback, off mark cleared.
  sim_.trace_clear();
  ASSERT_EQ(Set(camera, "AutoWhiteBalance", "Once"), 0);
  EXPECT_THAT(Rendered(sim_, {14, 25, 93, 196}),
              ElementsAre("93(108,0)", "14(0,0)", "196(AwbOff,0)"));
  EXPECT_EQ(Get(camera, "AutoWhiteBalance"), "Once");
  ASSERT_EQ(Set(camera, "AutoWhiteBalance", "Off"), 0);
  EXPECT_EQ(Get(camera, "AutoWhiteBalance"), "Off");
}

TEST_F(ColourTest, WhiteBalanceEventReportsTheThreeGains) {
  MM::Camera* camera = Open("PX-678C");
  ASSERT_NE(camera, nullptr);
  host_.reset();
  sim_.set_state(kPx678C, "wb.g", -20);
  sim_.fire_event(kPx678C, 6);
  ASSERT_EQ(sim_.flush_events(kPx678C), 0);
  EXPECT_THAT(PropertyEvents(),
              ElementsAre("WhiteBalanceRGain=0", "WhiteBalanceGGain=-20", "WhiteBalanceBGain=0"));
}

TEST_F(ColourTest, PackedHalvesReplaceOnlyTheirOwnHalf) {
  MM::Camera* camera = Open("PX-FULL");
  ASSERT_NE(camera, nullptr);

  ASSERT_EQ(sim_.set_option(kPxFull, 86, 0x005A005A), 0);
  sim_.trace_clear();
  ASSERT_EQ(Set(camera, "DynamicDefect:Hot", "0.25"), 0);
  EXPECT_THAT(OptionCalls(sim_, 86), ElementsAre("94(86,0x005a005a)", "93(86,5898265)"));
  EXPECT_EQ(sim_.option(kPxFull, 86), 0x005A0019);
  EXPECT_EQ(Get(camera, "DynamicDefect:Dead"), "0.9000");
  EXPECT_EQ(Get(camera, "DynamicDefect:Hot"), "0.2500");

  // 0.29 has no exact binary form; its hundredths are still 29.
  ASSERT_EQ(Set(camera, "DynamicDefect:Dead", "0.29"), 0);
  EXPECT_EQ(sim_.option(kPxFull, 86), 0x001D0019);
  EXPECT_EQ(Get(camera, "DynamicDefect:Dead"), "0.2900");

  ASSERT_EQ(sim_.set_option(kPxFull, 87, 0x00100020), 0);
  ASSERT_EQ(Set(camera, "HDR:K", "300"), 0);
  EXPECT_EQ(sim_.option(kPxFull, 87), 0x012C0020);
  ASSERT_EQ(Set(camera, "HDR:B", "65535"), 0);
  EXPECT_EQ(sim_.option(kPxFull, 87), 0x012CFFFF);
  EXPECT_EQ(Get(camera, "HDR:K"), "300");
  EXPECT_EQ(Get(camera, "HDR:B"), "65535");

  // A failed read shows the presets: 0.9 for the thresholds, 0 for HDR.
  sim_.fail_position(94, -1, -1);
  EXPECT_EQ(Get(camera, "DynamicDefect:Hot"), "0.9000");
  EXPECT_EQ(Get(camera, "HDR:B"), "0");
  // K cannot take the preset 0 (its lower limit is 1): it keeps its value.
  EXPECT_EQ(Get(camera, "HDR:K"), "300");
  sim_.fail_position(94, 0, 0);
}

TEST_F(ColourTest, SharpeningWritesTheEnableBitAndReadsTheStrength) {
  MM::Camera* camera = Open("PX-678C");
  ASSERT_NE(camera, nullptr);
  sim_.trace_clear();
  ASSERT_EQ(Set(camera, "Sharpening", "100"), 0);
  EXPECT_EQ(OptionWrites(30), std::vector<int64_t>{0x20064});
  EXPECT_EQ(Get(camera, "Sharpening"), "100");
  EXPECT_EQ(Set(camera, "Sharpening", "501"), 3);
}

TEST_F(ColourTest, ThreeLevelConversionGainMapsMediumAndHigh) {
  ASSERT_EQ(sim_.set_option(kPxFull, 25, 1), 0);
  MM::Camera* camera = Open("PX-FULL");
  ASSERT_NE(camera, nullptr);
  EXPECT_EQ(Get(camera, "ConversionGain"), "HCG");
  sim_.trace_clear();
  ASSERT_EQ(Set(camera, "ConversionGain", "MCG"), 0);
  ASSERT_EQ(Set(camera, "ConversionGain", "LCG"), 0);
  ASSERT_EQ(Set(camera, "ConversionGain", "HCG"), 0);
  EXPECT_EQ(OptionWrites(25), (std::vector<int64_t>{2, 0, 1}));
  EXPECT_EQ(Set(camera, "ConversionGain", "HDR"), 3);
  ASSERT_EQ(sim_.set_option(kPxFull, 25, 2), 0);
  EXPECT_EQ(Get(camera, "ConversionGain"), "MCG");
}

TEST_F(ColourTest, TwoLevelConversionGainWithHdrAndUnlistedValues) {
  MM::Camera* camera = Open("PX-2600M-COOL");
  ASSERT_NE(camera, nullptr);
  ASSERT_EQ(Set(camera, "ConversionGain", "HDR"), 0);
  EXPECT_EQ(sim_.option(kPx2600M, 25), 2);
  EXPECT_EQ(Get(camera, "ConversionGain"), "HDR");
  ASSERT_EQ(sim_.set_option(kPx2600M, 25, 1), 0);
  EXPECT_EQ(Get(camera, "ConversionGain"), "HCG");
  ASSERT_EQ(sim_.set_option(kPx2600M, 25, 7), 0);
  EXPECT_EQ(Get(camera, "ConversionGain"), "HDR");
}

TEST_F(ColourTest, PowerFrequencyNamesAnyOtherModeDcAndRefreshesRealExposure) {
  MM::Camera* camera = Open("PX-120M");
  ASSERT_NE(camera, nullptr);
  sim_.set_state(kPx120M, "powerfrequency", 7);
  EXPECT_EQ(Get(camera, "PowerFrequency"), "DC");
  host_.reset();
  sim_.trace_clear();
  ASSERT_EQ(Set(camera, "PowerFrequency", "60HZ"), 0);
  ASSERT_EQ(Set(camera, "PowerFrequency", "DC"), 0);
  EXPECT_THAT(Rendered(sim_, {52}), ElementsAre("52(0)", "52(2)"));
  ASSERT_EQ(host_.propertyChanges("RealExposure").size(), 2u);
}

TEST_F(ColourTest, SwitchesAndPlainAdjustmentsRoundTrip) {
  MM::Camera* camera = Open("PX-FULL");
  ASSERT_NE(camera, nullptr);
  sim_.trace_clear();
  ASSERT_EQ(Set(camera, "Negative", "ON"), 0);
  ASSERT_EQ(Set(camera, "ToneMapping", "Logarithmic"), 0);
  ASSERT_EQ(Set(camera, "AntiShutterEffect", "ON"), 0);
  ASSERT_EQ(Set(camera, "Hue", "-180"), 0);
  ASSERT_EQ(Set(camera, "Saturation", "255"), 0);
  ASSERT_EQ(Set(camera, "Brightness", "-255"), 0);
  ASSERT_EQ(Set(camera, "Contrast", "255"), 0);
  ASSERT_EQ(Set(camera, "Gamma", "20"), 0);
  ASSERT_EQ(Set(camera, "Denoise", "100"), 0);
  ASSERT_EQ(Set(camera, "HDR:Threshold", "4094"), 0);
  EXPECT_THAT(Rendered(sim_, {27, 29, 31, 40, 42, 93, 116}),
              ElementsAre("116(1)", "93(10,2)", "93(75,1)", "27(-180)", "29(255)", "31(-255)",
                          "40(255)", "42(20)", "93(53,100)", "93(88,4094)"));
  EXPECT_EQ(Get(camera, "Negative"), "ON");
  EXPECT_EQ(Get(camera, "ToneMapping"), "Logarithmic");
  EXPECT_EQ(Get(camera, "AntiShutterEffect"), "ON");
  EXPECT_EQ(Get(camera, "Hue"), "-180");
  EXPECT_EQ(Get(camera, "Saturation"), "255");
  EXPECT_EQ(Get(camera, "Brightness"), "-255");
  EXPECT_EQ(Get(camera, "Contrast"), "255");
  EXPECT_EQ(Get(camera, "Gamma"), "20");
  EXPECT_EQ(Get(camera, "Denoise"), "100");
  EXPECT_EQ(Get(camera, "HDR:Threshold"), "4094");
  EXPECT_EQ(Set(camera, "Gamma", "19"), 3);
}

TEST_F(ColourTest, FailedProbesLeaveThePropertiesOut) {
  ASSERT_EQ(sim_.remove_option(kPxFull, 53), 0);
  ASSERT_EQ(sim_.remove_option(kPxFull, 30), 0);
  ASSERT_EQ(sim_.remove_option(kPxFull, 87), 0);
  ASSERT_EQ(sim_.remove_option(kPxFull, 10), 0);
  MM::Camera* camera = Open("PX-FULL");
  ASSERT_NE(camera, nullptr);
  EXPECT_FALSE(Has(camera, "Denoise"));
  EXPECT_FALSE(Has(camera, "Sharpening"));
  EXPECT_FALSE(Has(camera, "HDR:K"));
  EXPECT_FALSE(Has(camera, "HDR:B"));
  EXPECT_FALSE(Has(camera, "ToneMapping"));
  EXPECT_TRUE(Has(camera, "HDR:Threshold"));
  EXPECT_TRUE(Has(camera, "DynamicDefect:Dead"));
}

}  // namespace
}  // namespace camtest
