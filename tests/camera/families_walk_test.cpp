// Walks the family properties of the fullest cameras: every allowed value and
// both limits are written and must read back from the camera as written (so
// the camera accepted what the handler sent), values outside the limits are
// refused, and a closed device refuses every write without a vendor call.
#include <cmath>
#include <cstdio>
#include <set>

#include "tests/camera/families_support.h"

namespace camtest {
namespace {

// Properties whose read does not echo the written value by design.
const std::set<std::string> kNotEchoed = {
    "FactorySettings",   // reads "Click"
    "IO:Counter Reset",  // a command
    "Binning",           // covered with its method in the geometry tests
};

// Properties of the other parts of the camera, walked by their own tests.
const std::set<std::string> kOtherParts = {"AutoExposure",
                                           "AutoExposureTarget",
                                           "AutoExposure Policy",
                                           "AutoExposure Maximum Exposure Time",
                                           "AutoExposure Maximum Gain",
                                           "AutoExposure Peak Mode",
                                           "AutoExposure Percent",
                                           "Exposure",
                                           "Gain",
                                           "Bandwidth",
                                           "FrameRate",
                                           "Speed",
                                           "TransposeXY",
                                           "TransposeMirrorX",
                                           "TransposeMirrorY",
                                           "TransposeCorrection"};

std::string NumberText(double value) {
  char text[64];
  std::snprintf(text, sizeof text, "%.4f", value);
  return text;
}

class FamilyWalkTest : public CameraFixture {
 protected:
  void WalkEveryProperty(const std::string& model) {
    MM::Camera* camera = Open(model);
    ASSERT_NE(camera, nullptr);
    pyxhost::Camera device(camera);
    // Per-line settings address a line that can be input and output.
    ASSERT_EQ(Set(camera, "IO:Line Select", "GPIO0"), 0);

    size_t walked = 0;
    for (const std::string& name : device.PropertyNames()) {
      if (device.IsReadOnly(name) || kNotEchoed.count(name) || kOtherParts.count(name)) continue;
      SCOPED_TRACE(model + " / " + name);
      ++walked;
      for (const std::string& value : device.AllowedValues(name)) {
        ASSERT_EQ(Set(camera, name, value), 0) << value;
        EXPECT_EQ(Get(camera, name), value);
      }
      double lower = 0;
      double upper = 0;
      if (!device.Limits(name, &lower, &upper)) continue;
      for (double limit : {lower, upper, std::trunc((lower + upper) / 2)}) {
        ASSERT_EQ(Set(camera, name, NumberText(limit)), 0) << limit;
        EXPECT_DOUBLE_EQ(std::stod(Get(camera, name)), limit);
      }
      const std::string before = Get(camera, name);
      EXPECT_EQ(Set(camera, name, NumberText(upper + 1)), 3);
      EXPECT_EQ(Set(camera, name, NumberText(lower - 1)), 3);
      EXPECT_EQ(Get(camera, name), before);
    }
    EXPECT_GT(walked, 20u);
    // The camera still delivers after all that.
    EXPECT_EQ(Slot<int()>(camera, slot::kSnap), 0);
  }
};

TEST_F(FamilyWalkTest, EveryValueOfTheFullCameraReachesTheCamera) {
  WalkEveryProperty("PX-FULL");
}

TEST_F(FamilyWalkTest, EveryValueOfTheCooledCameraReachesTheCamera) {
  WalkEveryProperty("PX-2600M-COOL");
}

TEST_F(FamilyWalkTest, ClosedDeviceRefusesEveryWriteWithoutAVendorCall) {
  MM::Camera* camera = Open("PX-FULL");
  ASSERT_NE(camera, nullptr);
  pyxhost::Camera device(camera);
  ASSERT_EQ(Slot<int()>(camera, slot::kShutdown), 0);
  sim_.trace_clear();
  for (const std::string& name : device.PropertyNames()) {
    if (device.IsReadOnly(name) || name.rfind("Transpose", 0) == 0) continue;
    const std::vector<std::string> allowed = device.AllowedValues(name);
    const std::string value = allowed.empty() ? Get(camera, name) : allowed.front();
    EXPECT_EQ(Set(camera, name, value), 35) << name;
  }
  EXPECT_EQ(sim_.trace_count(), 0u);
}

}  // namespace
}  // namespace camtest
