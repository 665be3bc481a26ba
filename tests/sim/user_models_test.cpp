// Models from a user's file (PYXSIM_MODELS): a good one is offered and driven
// through the module; a bad one is reported and offers no camera.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <random>
#include <string>

#include "tests/camera/camera_fixture.h"

namespace camtest {
namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::StartsWith;

const char kModel[] = R"({
  "name": "PX-900M-USER",
  "capabilities": ["cmos", "mono", "usb30", "temperature", "fan"],
  "speed": {"max": 1, "default": 1},
  "fan": {"max": 5, "default": 4},
  "ioLines": 2,
  "pixelSize": {"x": 4.5, "y": 4.5},
  "resolutions": [{"width": 800, "height": 600}, {"width": 400, "height": 300}],
  "rawFormat": "YYYY",
  "pixelFormats": [0, 2],
  "exposure": {"min": 50, "max": 2000000, "default": 25000},
  "gain": {"supported": true, "min": 100, "max": 800, "default": 100},
  "timing": {"fullReadoutUs": 5000, "linkBytesPerSecond": 300000000},
  "texts": {"serialPrefix": "PX900U", "firmware": "9.1", "hardware": "9.0",
            "productionDate": "20270101", "fpga": "9.2"},
  "options": {
    "triggerMode": {"default": 0, "min": 0, "max": 1},
    "outputFormat": {"default": 3, "min": 3, "max": 4},
    "binning": {"default": 1, "min": 1, "max": 136},
    "rotate": {"default": 0, "min": 0, "max": 270},
    "pixelFormat": {"default": 0, "min": 0, "max": 20},
    "factoryReset": {"default": 0, "access": "writeOnly"}
  },
  "named": {
    "issupportgain": {"value": 1, "min": 0, "max": 1},
    "supportbandwidth": {"value": 0, "min": 0, "max": 1}
  }
})";

std::string WithReplaced(std::string text, const std::string& from, const std::string& to) {
  const size_t at = text.find(from);
  EXPECT_NE(at, std::string::npos) << from;
  if (at != std::string::npos) text.replace(at, from.size(), to);
  return text;
}

class UserModelTest : public CameraFixture {
 protected:
  void TearDown() override {
    CameraFixture::TearDown();
    unsetenv("PYXSIM_MODELS");
    sim_.reset();
    if (!path_.empty()) std::remove(path_.c_str());
  }

  // Points the simulator at a file holding `text`; returns what it said.
  std::string Load(const std::string& name, const std::string& text) {
    if (!path_.empty()) std::remove(path_.c_str());
    path_ = ::testing::TempDir() + std::to_string(getpid()) + "-" + name;
    std::ofstream(path_, std::ios::binary) << text;
    setenv("PYXSIM_MODELS", path_.c_str(), 1);
    ::testing::internal::CaptureStderr();
    sim_.reset();
    return ::testing::internal::GetCapturedStderr();
  }

  std::string path_;
};

TEST_F(UserModelTest, AModelOfTheUsersFileIsACamera) {
  const int builtIn = sim_.model_count();
  EXPECT_EQ(Load("user-model.json", kModel), "");
  EXPECT_EQ(sim_.model_count(), builtIn + 1);
  EXPECT_STREQ(sim_.model_name(builtIn), "PX-900M-USER");
  sim_.detach_all();
  ASSERT_EQ(sim_.attach("PX-900M-USER", "Bought", "U-1"), 0);

  MM::Camera* camera = Open("Bought");
  ASSERT_NE(camera, nullptr);
  EXPECT_EQ(Get(camera, "Model"), "PX-900M-USER");
  EXPECT_EQ(Get(camera, "PixelSize(um)"), "4.5000");
  EXPECT_THAT(Get(camera, "SerialNumber"), StartsWith("PX900U-"));
  EXPECT_EQ(Get(camera, "Version(Firmware)"), "9.1");
  EXPECT_EQ(Get(camera, "Exposure"), "25.0000");
  EXPECT_THAT(pyxhost::Camera(camera).AllowedValues("Resolution"),
              ElementsAre("400 x 300", "800 x 600"));
  EXPECT_EQ(Slot<unsigned()>(camera, slot::kWidth), 800u);
  EXPECT_EQ(Slot<unsigned()>(camera, slot::kHeight), 600u);

  // The file's model takes pictures like any other.
  ASSERT_EQ(Set(camera, "Resolution", "400 x 300"), 0);
  ASSERT_EQ(Slot<int()>(camera, slot::kSnap), 0);
  EXPECT_EQ(Slot<unsigned()>(camera, slot::kWidth), 400u);
}

TEST_F(UserModelTest, ABadFileIsReportedAndOffersNoCamera) {
  std::mt19937 random(7);
  std::string garbage(10u << 20, '\0');
  for (char& c : garbage) c = static_cast<char>(random());
  const struct {
    const char* what;
    std::string text;
    const char* problem;
  } cases[] = {
      {"missing field", WithReplaced(kModel, R"("rawFormat": "YYYY",)", ""),
       "rawFormat: is missing"},
      {"wrong type", WithReplaced(kModel, R"("ioLines": 2)", R"("ioLines": "two")"),
       "ioLines: must be an integer, not a text"},
      {"unknown capability", WithReplaced(kModel, R"("usb30")", R"("warpDrive")"),
       R"(capabilities[2]: "warpDrive" is not a known capability)"},
      {"negative size", WithReplaced(kModel, R"("width": 400)", R"("width": -400)"),
       "resolutions[1].width: must not be negative"},
      {"misspelt field", WithReplaced(kModel, R"("fan": {)", R"("fans": {)"), "fans: is not"},
      {"cut short", std::string(kModel).substr(0, 300), "not JSON"},
      {"10 MB of garbage", garbage,
       "is 10485760 bytes, more than the 1048576 a model file may have"},
  };
  const int builtIn = sim_.model_count();
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    const std::string said = Load("bad-model.json", c.text);
    EXPECT_THAT(said, HasSubstr(path_ + ": " + c.problem));
    EXPECT_EQ(sim_.model_count(), builtIn);
    EXPECT_EQ(sim_.attach("PX-900M-USER"), -1);
  }
  // Once good, the file's model is there; a later bad version takes it away.
  EXPECT_EQ(Load("bad-model.json", kModel), "");
  EXPECT_GE(sim_.attach("PX-900M-USER"), 0);
  EXPECT_THAT(Load("bad-model.json", "[]"), HasSubstr("holds no model"));
  EXPECT_EQ(sim_.attach("PX-900M-USER"), -1);
}

}  // namespace
}  // namespace camtest
