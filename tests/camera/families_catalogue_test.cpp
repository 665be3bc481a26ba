// The property catalogue of each simulated model after Initialize: every
// property with its type, read-only flag, allowed values or limits and the
// value the host reads. The expectations are written out per model from the
// models' capabilities and power-on settings; a property the camera should not
// offer is as much a failure as a missing one.
#include <algorithm>
#include <optional>
#include <set>

#include "tests/camera/families_support.h"

namespace camtest {
namespace {

enum Type { kString = 1, kFloat = 2, kInteger = 3 };

struct Limits {
  double lower;
  double upper;
};

struct Expected {
  std::string name;
  Type type;
  bool readOnly = false;
  std::vector<std::string> allowed = {};  // compared as a set; empty: none
  std::optional<Limits> limits = std::nullopt;
  std::optional<std::string> value = std::nullopt;  // unset: not compared (varies)
};

const std::vector<std::string> kOnOff = {"OFF", "ON"};
const std::vector<std::string> kBinningFactors = {"1", "2", "3", "4", "5", "6", "7", "8"};
const std::vector<std::string> kTriggerSources = {
    "Opto-isolated input", "GPIO0", "GPIO1", "Counter", "PWM", "Software Trigger"};
const std::vector<std::string> kPolicies = {"Exposure Only", "Exposure Preferred (Default)",
                                            "Gain Only", "Gain Preferred"};

Expected Str(std::string name, std::vector<std::string> allowed, std::string value) {
  return {std::move(name), kString, false, std::move(allowed), std::nullopt, std::move(value)};
}
Expected ReadOnlyText(std::string name, std::optional<std::string> value = std::nullopt) {
  return {std::move(name), kString, true, {}, std::nullopt, std::move(value)};
}
Expected Int(std::string name, double lower, double upper, std::optional<std::string> value) {
  return {std::move(name), kInteger, false, {}, Limits{lower, upper}, std::move(value)};
}
Expected Flt(std::string name, double lower, double upper, std::optional<std::string> value) {
  return {std::move(name), kFloat, false, {}, Limits{lower, upper}, std::move(value)};
}
Expected ReadOnlyFloat(std::string name) {
  return {std::move(name), kFloat, true};
}

// What every model has, whatever its capabilities.
std::vector<Expected> Common() {
  return {
      {"TransposeXY", kInteger, false, {"0", "1"}, std::nullopt, "0"},
      {"TransposeMirrorX", kInteger, false, {"0", "1"}, std::nullopt, "0"},
      {"TransposeMirrorY", kInteger, false, {"0", "1"}, std::nullopt, "0"},
      {"TransposeCorrection", kInteger, false, {"0", "1"}, std::nullopt, "0"},
      ReadOnlyText("Description", "Pyxon Camera"),
      ReadOnlyText("Version(Sdk)", "55.31112.20260401"),
      ReadOnlyText("Version(Adapter)", "59.31112.20260401"),
      ReadOnlyText("SerialNumber"),
      ReadOnlyText("ProductionDate"),
      ReadOnlyText("Version(Firmware)"),
      ReadOnlyText("Version(Hardware)"),
      ReadOnlyText("Version(FPGA)"),
      ReadOnlyFloat("PixelSize(um)"),
      // Exposure group (values follow the exposure, not checked here).
      {"AutoExposure", kString, false, kOnOff},
      {"AutoExposureTarget", kInteger, false, {}, Limits{16, 220}},
      {"AutoExposure Maximum Exposure Time", kInteger, false, {}, Limits{10, 5000}},
      {"AutoExposure Peak Mode", kString, false, kOnOff},
      {"AutoExposure Percent", kInteger, false, {}, Limits{1, 99}},
      {"Exposure", kFloat},
      ReadOnlyFloat("RealExposure"),
      // Geometry and processing every model has.
      Str("FlipHorizontal", kOnOff, "OFF"),
      Str("FlipVertical", kOnOff, "OFF"),
      Str("Binning", kBinningFactors, "1"),
      Str("BinningMethod", {"Average", "Add"}, "Add"),
      Str("Rotate", {"0", "90", "180", "270"}, "0"),
      Str("PowerFrequency", {"60HZ", "50HZ", "DC"}, "50HZ"),
      Int("Contrast", -255, 255, "0"),
      Int("Gamma", 20, 180, "100"),
      Str("Negative", kOnOff, "OFF"),
      // Reading the reload trigger shows "Click"; only "Load" may be written.
      Str("FactorySettings", {"Load"}, "Click"),
      ReadOnlyText("Line Select:"),
      ReadOnlyText("StatSnap", "0"),
  };
}

std::vector<Expected> ColourGroup() {
  return {
      Str("AutoWhiteBalance", {"Once", "Continuous", "Off"}, "Once"),
      Int("AutoWhiteBalanceInterval", 100, 600000, "1000"),
      Int("WhiteBalanceRGain", -127, 127, "0"),
      Int("WhiteBalanceGGain", -127, 127, "0"),
      Int("WhiteBalanceBGain", -127, 127, "0"),
      Int("Hue", -180, 180, "0"),
      Int("Saturation", 0, 255, "128"),
      Int("Brightness", -255, 255, "0"),
      Str("ToneMapping", {"OFF", "Polynomial", "Logarithmic"}, "OFF"),
  };
}

std::vector<Expected> GainGroup() {
  return {
      {"AutoExposure Policy", kString, false, kPolicies},
      {"AutoExposure Maximum Gain", kInteger},
      {"Gain", kInteger},
  };
}

// The I/O group of a camera with I/O lines; line 0 is an input-only opto-coupler.
std::vector<Expected> IoGroup(bool secondGpio) {
  std::vector<std::string> lines = {"Isolated input", "Isolated output", "GPIO0"};
  if (secondGpio) lines.push_back("GPIO1");
  const std::vector<std::string> sources = {"Isolated input", "GPIO0", "GPIO1"};
  return {
      Str("IO:Trigger Source", kTriggerSources, "Opto-isolated input"),
      Str("IO:Line Select", lines, "Isolated input"),
      Str("IO:GPIO Mode", {"Input", "Output"}, "Input"),
      // An input line has no inverter or output mode: the creation reads fail
      // and the first entries stand.
      Str("IO:Output Inverter", {"Yes", "No"}, "Yes"),
      Str("IO:Input Activation", {"Rising edge", "Falling edge", "High level", "Low level"},
          "Rising edge"),
      Str("IO:Counter Source", sources, "Isolated input"),
      Str("IO:PWM Source", sources, "Isolated input"),
      Str("IO:Output Mode",
          {"Frame Trigger Wait", "Exposure Active", "Strobe", "User Output", "Counter Output",
           "Timer Output"},
          "Frame Trigger Wait"),
      Str("IO:Strobe Delay Mode", {"pre-delay", "delay"}, "pre-delay"),
      Int("IO:Strobe Delay Time", 0, 5000000, "0"),
      Int("IO:Strobe Duration", 0, 5000000, "0"),
      Int("IO:User Value", 0, 5000000, "0"),
      Int("IO:Counter Value", 1, 65535, "1"),
      Int("IO:Debouncer Time", 0, 20000, "0"),
      Int("IO:Trigger Delay", 0, 5000000, "0"),
      ReadOnlyText("IO:Format", "Opto-coupled"),
      Str("IO:Counter Reset", {"Reset"}, "Reset"),
  };
}

std::vector<Expected> Join(std::vector<std::vector<Expected>> parts) {
  std::vector<Expected> all;
  for (auto& part : parts) all.insert(all.end(), part.begin(), part.end());
  return all;
}

std::vector<Expected> Px120M() {
  return Join({Common(),
               {
                   ReadOnlyText("Model", "PX-120M"),
                   ReadOnlyText("Sensor", "CMOS, Rolling Shutter, Mono"),
                   ReadOnlyText("USB", "USB2.0"),
                   ReadOnlyText("ISP", "No"),
                   ReadOnlyText("DDR", "No"),
                   ReadOnlyText("Bayer", "MONO"),
                   // Without gain support the policy is fixed.
                   ReadOnlyText("AutoExposure Policy", "Exposure Only"),
                   Str("Speed", {"0", "1", "2"}, "2"),
                   Str("Resolution", {"1280 x 960", "640 x 480"}, "1280 x 960"),
                   Str("PixelType", {"RAW8", "RAW12"}, "RAW8"),
                   Str("Mode", {"Bin", "Skip"}, "Bin"),
               }});
}

std::vector<Expected> Px678C() {
  return Join({Common(),
               GainGroup(),
               ColourGroup(),
               IoGroup(false),
               {
                   ReadOnlyText("Model", "PX-678C"),
                   ReadOnlyText("Sensor", "CMOS, Rolling Shutter, Color"),
                   ReadOnlyText("USB", "USB3.0"),
                   ReadOnlyText("ISP", "Yes"),
                   ReadOnlyText("DDR", "Yes"),
                   ReadOnlyText("Bayer", "GBRG"),
                   Str("Speed", {"0", "1", "2", "3"}, "3"),
                   Str("Resolution", {"3840 x 2160", "1920 x 1080", "1280 x 720"}, "3840 x 2160"),
                   Str("PixelType", {"RAW8", "RAW12"}, "RAW8"),
                   Str("Mode", {"Bin", "Skip"}, "Bin"),
                   Int("Denoise", 0, 100, "20"),
                   Int("Sharpening", 0, 500, "0"),
               }});
}

std::vector<Expected> Px2600MCool() {
  return Join({Common(),
               GainGroup(),
               IoGroup(true),
               {
                   ReadOnlyText("Model", "PX-2600M-COOL"),
                   ReadOnlyText("Sensor", "CMOS, Rolling Shutter, Mono"),
                   ReadOnlyText("USB", "USB3.0"),
                   ReadOnlyText("ISP", "No"),
                   ReadOnlyText("DDR", "No"),
                   ReadOnlyText("Bayer", "MONO"),
                   ReadOnlyText("PowerConsumption(mw)", "9800"),
                   {"FrameRate", kFloat},
                   Str("Resolution", {"4096 x 3000", "2048 x 1500", "1364 x 1000"}, "4096 x 3000"),
                   Str("PixelType", {"RAW8", "RAW12", "RAW16"}, "RAW8"),
                   Str("ConversionGain", {"LCG", "HCG", "HDR"}, "LCG"),
                   ReadOnlyFloat("Temperature"),
                   Str("Fan", {"OFF", "1", "2", "3"}, "2"),
                   Str("TEC", kOnOff, "ON"),
                   // Option 109 packs -45.0 (low half) and 35.0 (high half).
                   Flt("TECTarget", -45.0, 35.0, "-10.0000"),
                   ReadOnlyFloat("TECPower"),
                   Str("Heat", {"OFF", "1", "2"}, "OFF"),
               }});
}

std::vector<Expected> PxFull() {
  return Join(
      {Common(),
       GainGroup(),
       ColourGroup(),
       IoGroup(true),
       {
           ReadOnlyText("Model", "PX-FULL"),
           ReadOnlyText("Sensor", "CMOS, Global Shutter, Color"),
           ReadOnlyText("USB", "USB3.2"),
           ReadOnlyText("ISP", "Yes"),
           ReadOnlyText("DDR", "Yes"),
           ReadOnlyText("Bayer", "RGGB"),
           ReadOnlyText("PowerConsumption(mw)", "4200"),
           Int("Bandwidth", 1, 100, "100"),
           {"FrameRate", kFloat},
           Str("Resolution", {"2560 x 2048", "1280 x 1024", "640 x 512"}, "2560 x 2048"),
           Str("PixelType", {"RAW8", "RAW10", "RAW12", "RAW14", "RAW16", "HDR12HL"}, "RAW8"),
           Str("Mode", {"Bin", "Skip"}, "Bin"),
           Str("ConversionGain", {"LCG", "MCG", "HCG"}, "LCG"),
           ReadOnlyFloat("Temperature"),
           Str("Fan", {"OFF", "1", "2", "3"}, "3"),
           Str("TEC", kOnOff, "ON"),
           Flt("TECTarget", -40.0, 30.0, "-20.0000"),
           ReadOnlyFloat("TECPower"),
           Str("Heat", {"OFF", "1", "2", "3"}, "OFF"),
           Str("LowNoise", kOnOff, "OFF"),
           Int("Correlated Double Sampling", 0, 3, "0"),
           Int("Denoise", 0, 100, "20"),
           Int("Sharpening", 0, 500, "0"),
           Str("GlobalResetMode", kOnOff, "OFF"),
           Str("LowPowerConsumption", kOnOff, "OFF"),
           Str("ReadoutMode", {"IWR (Integrate While Read)", "ITR (Integrate Then Read)"},
               "IWR (Integrate While Read)"),
           // Lane settings 1, 2 and 4; the current one is the third.
           Str("Lane", {"1", "2", "4"}, "4"),
           Int("AntiBlooming", 0, 255, "50"),
           Flt("VoltageBias", 0, 200, "100.0000"),
           // Option 86 holds 80 (dead, high half) and 60 (hot, low half).
           Flt("DynamicDefect:Dead", 0, 1, "0.8000"),
           Flt("DynamicDefect:Hot", 0, 1, "0.6000"),
           // Option 87 holds K = 256 (high half) and B = 32 (low half).
           Int("HDR:K", 1, 25500, "256"),
           Int("HDR:B", 0, 65535, "32"),
           Int("HDR:Threshold", 0, 4094, "4000"),
           Str("MechanicalShutter", {"Open", "Close"}, "Open"),
           Str("AntiShutterEffect", kOnOff, "OFF"),
       }});
}

class CatalogueTest : public CameraFixture {
 protected:
  void ExpectCatalogue(const std::string& model, const std::vector<Expected>& expected) {
    MM::Camera* camera = Open(model);
    ASSERT_NE(camera, nullptr);
    pyxhost::Camera device(camera);

    std::set<std::string> expectedNames;
    for (const Expected& property : expected) expectedNames.insert(property.name);
    ASSERT_EQ(expectedNames.size(), expected.size()) << "a name is expected twice";
    const std::vector<std::string> names = device.PropertyNames();
    EXPECT_EQ(std::set<std::string>(names.begin(), names.end()), expectedNames);

    for (const Expected& property : expected) {
      SCOPED_TRACE(model + " / " + property.name);
      if (!device.HasProperty(property.name)) continue;  // reported by the set comparison
      EXPECT_EQ(device.PropertyType(property.name), property.type);
      EXPECT_EQ(device.IsReadOnly(property.name), property.readOnly);
      const std::vector<std::string> allowed = device.AllowedValues(property.name);
      EXPECT_EQ(std::set<std::string>(allowed.begin(), allowed.end()),
                std::set<std::string>(property.allowed.begin(), property.allowed.end()));
      double lower = 0;
      double upper = 0;
      const bool hasLimits = device.Limits(property.name, &lower, &upper);
      if (property.limits) {
        EXPECT_TRUE(hasLimits);
        EXPECT_DOUBLE_EQ(lower, property.limits->lower);
        EXPECT_DOUBLE_EQ(upper, property.limits->upper);
      } else if (property.allowed.empty() && property.type != kString) {
        // Numbers without stated limits: only the types above decide.
      } else {
        EXPECT_FALSE(hasLimits);
      }
      int error = 0;
      const std::string value = device.GetProperty(property.name, &error);
      EXPECT_EQ(error, 0);
      if (property.value) {
        EXPECT_EQ(value, *property.value);
      }
    }

    // The statistics text is a count, or a rate and a count.
    double rate = 0;
    unsigned long total = 0;
    EXPECT_TRUE(ParseStatistics(device.GetProperty("Line Select:"), &rate, &total));
  }
};

TEST_F(CatalogueTest, MinimalMonochromeCamera) {
  ExpectCatalogue("PX-120M", Px120M());
}

TEST_F(CatalogueTest, ColourCameraWithIsp) {
  ExpectCatalogue("PX-678C", Px678C());
}

TEST_F(CatalogueTest, CooledMonochromeCamera) {
  ExpectCatalogue("PX-2600M-COOL", Px2600MCool());
}

TEST_F(CatalogueTest, CameraWithEveryCapability) {
  ExpectCatalogue("PX-FULL", PxFull());
}

TEST_F(CatalogueTest, TecPowerIsTheDriveInPercentOfItsMaximum) {
  MM::Camera* camera = Open("PX-2600M-COOL");
  ASSERT_NE(camera, nullptr);
  // Option 33 is the maximum drive (255); force a drive of 30 of a maximum of 70.
  ASSERT_EQ(sim_.set_option(kPx2600M, 33, 70), 0);
  ASSERT_EQ(sim_.set_option(kPx2600M, 32, 30), 0);
  EXPECT_EQ(Get(camera, "TECPower"), "42.8571");
}

TEST_F(CatalogueTest, CreationReadsDecideInitialValues) {
  // Power-on values forced before the camera opens: the created properties
  // start from them (the creation reads), not from fixed defaults.
  ASSERT_EQ(sim_.set_option(kPxFull, 33, 70), 0);
  ASSERT_EQ(sim_.set_option(kPxFull, 32, 30), 0);
  ASSERT_EQ(sim_.set_option(kPxFull, 109, static_cast<int32_t>(0x01F4FF38)), 0);
  ASSERT_EQ(sim_.set_option(kPxFull, 128, 0x00C80000), 0);
  ASSERT_EQ(sim_.set_option(kPxFull, 25, 1), 0);
  MM::Camera* camera = Open("PX-FULL");
  ASSERT_NE(camera, nullptr);
  pyxhost::Camera device(camera);
  double lower = 0;
  double upper = 0;
  ASSERT_TRUE(device.Limits("TECTarget", &lower, &upper));
  EXPECT_DOUBLE_EQ(lower, -20.0);
  EXPECT_DOUBLE_EQ(upper, 50.0);
  ASSERT_TRUE(device.Limits("VoltageBias", &lower, &upper));
  EXPECT_DOUBLE_EQ(lower, 0.0);
  EXPECT_DOUBLE_EQ(upper, 200.0);
  // Three-level conversion gain numbers high as 1: it reads as "HCG".
  EXPECT_EQ(Get(camera, "ConversionGain"), "HCG");
}

}  // namespace
}  // namespace camtest
