// Library entry points, the catalogue and the open text.
#include <cstdlib>
#include <set>

#include "tests/sim/sim_test_support.h"

namespace simtest {
namespace {

using namespace pyxon;

const CameraModel* ModelOf(int index) {
  CameraEntry list[kMaxCameras] = {};
  const int n = Lib().enumCamera(list);
  return index < n ? list[index].model : nullptr;
}

TEST_F(SimTest, LibraryTextsAndDefaults) {
  EXPECT_STREQ(Lib().deroName(), "PyxonCam");
  EXPECT_STREQ(Lib().company(), "Pyxon");
  EXPECT_STREQ(Lib().version(), "55.31112.20260401");
  Lib().appName("dero");
  EXPECT_EQ(sim.app_name(), "dero");
  EXPECT_NE(Lib().gigeEnable(nullptr, nullptr), 0);  // no network cameras to enable

  uint16_t value = 500;
  EXPECT_GE(Lib().getDefAE(0, &value), 0);
  EXPECT_EQ(value, 320);
  EXPECT_LT(Lib().getDefAE(0, nullptr), 0);
}

TEST_F(SimTest, DefaultListHasOneCameraOfEachMainModel) {
  CameraEntry list[kMaxCameras] = {};
  ASSERT_EQ(Lib().enumCamera(list), 4);
  const char* models[] = {"PX-120M", "PX-678C", "PX-2600M-COOL", "PX-FULL"};
  for (int i = 0; i < 4; ++i) {
    EXPECT_STREQ(list[i].displayName, models[i]);
    EXPECT_EQ(std::string(list[i].id), "SIM-" + std::to_string(i + 1));
    ASSERT_NE(list[i].model, nullptr);
    EXPECT_STREQ(list[i].model->name, models[i]);
  }
  EXPECT_EQ(sim.camera_count(), 4);
}

TEST_F(SimTest, CatalogueModelsDifferInTheirCapabilities) {
  const CameraModel* minimal = ModelOf(kMono120);
  ASSERT_NE(minimal, nullptr);
  EXPECT_TRUE(minimal->flags & cap::kMono);
  EXPECT_FALSE(minimal->flags & (cap::kUsb30 | cap::kFrameRateControl | cap::kTec));
  EXPECT_EQ(minimal->ioLineCount, 0u);
  EXPECT_EQ(minimal->maxSpeed, 2u);

  const CameraModel* colour = ModelOf(kColour678);
  ASSERT_NE(colour, nullptr);
  EXPECT_FALSE(colour->flags & cap::kMono);
  EXPECT_TRUE(colour->flags & cap::kUsb30);
  EXPECT_TRUE(colour->flags & cap::kIsp);
  EXPECT_EQ(colour->ioLineCount, 3u);

  const CameraModel* cooled = ModelOf(kCooled2600);
  ASSERT_NE(cooled, nullptr);
  const uint64_t scientific = cap::kMono | cap::kFrameRateControl | cap::kTec | cap::kFan |
                              cap::kHeater | cap::kConversionGain | cap::kTemperature;
  EXPECT_EQ(cooled->flags & scientific, scientific);
  EXPECT_EQ(cooled->maxFanSpeed, 3u);
  EXPECT_EQ(cooled->ioLineCount, 4u);
  EXPECT_EQ(cooled->resolutions[0].width, 4096u);
  EXPECT_EQ(cooled->resolutions[0].height, 3000u);

  const CameraModel* full = ModelOf(kFull);
  ASSERT_NE(full, nullptr);
  const uint64_t everything = cap::kFrameRateControl | cap::kTec | cap::kFan | cap::kHeater |
                              cap::kLowNoise | cap::kConversionGain | cap::kConversionGain3 |
                              cap::kTemperature | cap::kIsp;
  EXPECT_EQ(full->flags & everything, everything);
  EXPECT_FALSE(full->flags & cap::kMono);

  // Every record is sane: resolutions within the table, non-zero sizes.
  for (int i = 0; i < sim.model_count(); ++i) {
    const int cam = sim.attach(sim.model_name(i), nullptr, ("X-" + std::to_string(i)).c_str());
    ASSERT_GE(cam, 0) << sim.model_name(i);
    const CameraModel* model = ModelOf(cam);
    ASSERT_NE(model, nullptr);
    EXPECT_STREQ(model->name, sim.model_name(i));
    ASSERT_GE(model->resolutionCount, 1u);
    ASSERT_LE(model->resolutionCount, kMaxResolutions);
    for (uint32_t r = 0; r < model->resolutionCount; ++r) {
      EXPECT_GT(model->resolutions[r].width, 0u);
      EXPECT_LE(model->resolutions[r].width, model->resolutions[0].width);
    }
    EXPECT_GT(model->pixelSizeX, 0.0f);
  }
}

TEST_F(SimTest, ExtraModelsCoverIdentityCorners) {
  std::set<std::string> names;
  for (int i = 0; i < sim.model_count(); ++i) names.insert(sim.model_name(i));
  EXPECT_GE(names.size(), 6u);
  const int gige = sim.attach("PX-285M-GIGE");
  const int interlaced = sim.attach("PX-429C-IL");
  const int noSensorBits = sim.attach("PX-OEM-CL");
  ASSERT_GE(gige, 0);
  ASSERT_GE(interlaced, 0);
  ASSERT_GE(noSensorBits, 0);
  EXPECT_TRUE(ModelOf(gige)->flags & cap::kGige);
  EXPECT_TRUE(ModelOf(gige)->flags & cap::kCcdProgressive);
  EXPECT_TRUE(ModelOf(interlaced)->flags & cap::kCcdInterlaced);
  EXPECT_FALSE(ModelOf(noSensorBits)->flags &
               (cap::kCmos | cap::kCcdProgressive | cap::kCcdInterlaced));
  EXPECT_TRUE(ModelOf(noSensorBits)->flags & cap::kCameraLink);

  // Production dates: one before the cut-off, one empty; no serial number
  // interface on the interlaced camera.
  CameraHandle* old = Open(gige);
  CameraHandle* bare = Open(interlaced);
  ASSERT_NE(old, nullptr);
  ASSERT_NE(bare, nullptr);
  void* version = nullptr;
  ASSERT_EQ(CallSlot<int32_t>(old, 0, kVersionInterface, &version), 0);
  char date[32] = "x";
  auto* versionInterface = static_cast<VersionInterface*>(version);
  EXPECT_EQ(versionInterface->GetProductionDate(date), 0);
  EXPECT_LT(std::string(date), "20160701");
  EXPECT_EQ(std::string(date).size(), 8u);
  ASSERT_EQ(CallSlot<int32_t>(bare, 0, kVersionInterface, &version), 0);
  EXPECT_EQ(static_cast<VersionInterface*>(version)->GetProductionDate(date), 0);
  EXPECT_STREQ(date, "");
  void* serial = reinterpret_cast<void*>(1);
  EXPECT_LT(CallSlot<int32_t>(bare, 0, kSerialInterfaceId, &serial), 0);
  EXPECT_EQ(serial, nullptr);
}

TEST_F(SimTest, OpenTextSelectsTheCameraAndKeepsTheIniPath) {
  const char* text = "@SIM-2;ini=/home/u/.dero/PX-678C.ini";
  CameraHandle* handle = Lib().open(text);
  ASSERT_NE(handle, nullptr);
  EXPECT_EQ(sim.is_open(kColour678), 1);
  EXPECT_EQ(sim.is_open(kMono120), 0);
  EXPECT_EQ(sim.ini_path(kColour678), "/home/u/.dero/PX-678C.ini");
  EXPECT_EQ(sim.open_count(kColour678), 1);

  // Already open: refused, the first handle keeps working.
  EXPECT_EQ(Lib().open(text), nullptr);
  uint32_t exposure = 0;
  EXPECT_EQ(CallSlot<int32_t>(handle, 33, &exposure), 0);
  EXPECT_GT(exposure, 0u);

  const auto opens = sim.calls(-1);
  ASSERT_EQ(opens.size(), 2u);
  EXPECT_STREQ(opens[0].text, text);
  EXPECT_EQ(opens[0].camera, kColour678);
  EXPECT_EQ(opens[0].result, 0);
  EXPECT_EQ(opens[1].result, -1);

  EXPECT_EQ(CallSlot<int32_t>(handle, 160), 0);
  EXPECT_EQ(sim.is_open(kColour678), 0);
  EXPECT_EQ(sim.count_calls(160, kColour678), 1u);
  CameraHandle* again = Lib().open("@SIM-2");  // no ini part is fine
  ASSERT_NE(again, nullptr);
  EXPECT_EQ(sim.ini_path(kColour678), "");
  EXPECT_EQ(CallSlot<int32_t>(again, 160), 0);
}

TEST_F(SimTest, BadOpenTextsAndInjectedOpenFailureGiveNull) {
  EXPECT_EQ(Lib().open(nullptr), nullptr);
  EXPECT_EQ(Lib().open(""), nullptr);
  EXPECT_EQ(Lib().open("SIM-1"), nullptr);          // no '@'
  EXPECT_EQ(Lib().open("@SIM-99;ini=x"), nullptr);  // unknown identifier
  EXPECT_EQ(Lib().open("@;ini=x"), nullptr);
  EXPECT_EQ(Lib().open("@SIM-1x"), nullptr);
  sim.fail_open(1);
  EXPECT_EQ(Lib().open("@SIM-1"), nullptr);
  sim.fail_open(0);
  CameraHandle* handle = Lib().open("@SIM-1;foo=bar;ini=/a.ini");
  ASSERT_NE(handle, nullptr);
  EXPECT_EQ(sim.ini_path(kMono120), "/a.ini");
  EXPECT_EQ(CallSlot<int32_t>(handle, 160), 0);
}

TEST_F(SimTest, AttachDetachAndLongNames) {
  sim.detach_all();
  CameraEntry list[kMaxCameras] = {};
  EXPECT_EQ(Lib().enumCamera(list), 0);
  EXPECT_EQ(sim.attach("NO-SUCH-MODEL"), -1);
  const std::string longName(64, 'N');
  EXPECT_EQ(sim.attach("PX-FULL", longName.c_str(), "A"), 0);
  EXPECT_EQ(sim.attach("PX-120M", nullptr, "A"), -1);  // duplicate identifier
  EXPECT_EQ(sim.attach("PX-120M"), 1);
  ASSERT_EQ(Lib().enumCamera(list), 2);
  // A 64-character name fills its field without a terminator.
  EXPECT_EQ(std::string(list[0].displayName, 64), longName);
  EXPECT_STREQ(list[1].displayName, "PX-120M");
  EXPECT_EQ(std::string(list[1].id), "SIM-2");

  sim.reset();
  EXPECT_EQ(Lib().enumCamera(list), 4);
}

TEST_F(SimTest, EnvironmentChoosesTheAttachedCameras) {
  setenv("PYXSIM_CAMERAS", "PX-FULL=Left, PX-FULL=Right,BOGUS,PX-120M", 1);
  sim.reset();
  unsetenv("PYXSIM_CAMERAS");
  CameraEntry list[kMaxCameras] = {};
  ASSERT_EQ(Lib().enumCamera(list), 3);
  EXPECT_STREQ(list[0].displayName, "Left");
  EXPECT_STREQ(list[1].displayName, "Right");
  EXPECT_STREQ(list[2].displayName, "PX-120M");
  EXPECT_STREQ(list[2].id, "SIM-3");
  EXPECT_STREQ(list[1].model->name, "PX-FULL");

  // Unnamed cameras of one model are told apart; given names stay as given.
  setenv("PYXSIM_CAMERAS", "PX-120M,PX-120M,PX-FULL=PX-FULL,PX-FULL", 1);
  sim.reset();
  unsetenv("PYXSIM_CAMERAS");
  ASSERT_EQ(Lib().enumCamera(list), 4);
  EXPECT_STREQ(list[0].displayName, "PX-120M");
  EXPECT_STREQ(list[1].displayName, "PX-120M #2");
  EXPECT_STREQ(list[2].displayName, "PX-FULL");
  EXPECT_STREQ(list[3].displayName, "PX-FULL #2");
  EXPECT_EQ(sim.attach("PX-120M"), 4);
  EXPECT_EQ(sim.attach("PX-120M", "PX-120M"), 5);
  ASSERT_EQ(Lib().enumCamera(list), 6);
  EXPECT_STREQ(list[4].displayName, "PX-120M #3");
  EXPECT_STREQ(list[5].displayName, "PX-120M");
}

}  // namespace
}  // namespace simtest
