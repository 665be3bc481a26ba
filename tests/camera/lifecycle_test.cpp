// Creating, initialising, sharing and shutting down camera devices.
#include <dlfcn.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "tests/camera/camera_fixture.h"

namespace camtest {
namespace {

using ::testing::HasSubstr;
using ::testing::StartsWith;

class LifecycleTest : public CameraFixture {
 protected:
  static std::string Home() { return std::getenv("HOME"); }
  static bool IsDirectory(const std::string& path) {
    struct stat info {};
    return stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
  }
  std::string Label(MM::Camera* camera) {
    char text[MM::kMaxHostText] = {};
    Slot<void(char*)>(camera, slot::kGetLabel, text);
    return text;
  }
};

TEST_F(LifecycleTest, CreateDeviceRefusesNullNameAndAcceptsUnregisteredNames) {
  EXPECT_EQ(Module().CreateDevice(nullptr), nullptr);

  MM::Camera* unknown = Create("no such camera");
  ASSERT_NE(unknown, nullptr);
  ASSERT_EQ(Slot<int()>(unknown, slot::kInitialize), 0);
  EXPECT_EQ(Get(unknown, "Model"), "PX-120M") << "an unmatched name opens the first camera";
}

TEST_F(LifecycleTest, NameSelectsTheCameraAndDeviceTextsFollowTheLibrary) {
  MM::Camera* camera = Open("PX-678C");
  ASSERT_NE(camera, nullptr);
  EXPECT_EQ(Get(camera, "Model"), "PX-678C");
  EXPECT_EQ(Label(camera), "PX-678C");
  EXPECT_EQ(Get(camera, "Description"), "Pyxon Camera");
  EXPECT_EQ(Get(camera, "Version(Sdk)"), "55.31112.20260401");
  EXPECT_EQ(Get(camera, "Version(Adapter)"), "59.31112.20260401");
  char name[MM::kMaxHostText] = {};
  Slot<void(char*)>(camera, slot::kGetName, name);
  EXPECT_STREQ(name, "PyxonCam");
  EXPECT_EQ(sim_.ini_path(kPx678C), Home() + "/.dero/PX-678C.ini");
}

TEST_F(LifecycleTest, DuplicateDisplayNamesSelectTheFirstMatch) {
  sim_.detach_all();
  ASSERT_EQ(sim_.attach("PX-120M", "Scope", "A-1"), 0);
  ASSERT_EQ(sim_.attach("PX-FULL", "Main", "B-2"), 1);
  ASSERT_EQ(sim_.attach("PX-678C", "Main", "C-3"), 2);
  MM::Camera* camera = Open("Main");
  ASSERT_NE(camera, nullptr);
  EXPECT_EQ(Get(camera, "Model"), "PX-FULL");
  const auto opens = Calls(-1);
  ASSERT_EQ(opens.size(), 1u);
  EXPECT_THAT(std::string(opens[0].text), StartsWith("@B-2;ini="));
}

TEST_F(LifecycleTest, InitializeTwiceDoesNothingTheSecondTime) {
  MM::Camera* camera = Open("PX-120M");
  ASSERT_NE(camera, nullptr);
  const size_t properties = camera->GetNumberOfProperties();
  sim_.trace_clear();
  EXPECT_EQ(Slot<int()>(camera, slot::kInitialize), 0);
  EXPECT_EQ(sim_.trace_count(), 0u);
  EXPECT_EQ(camera->GetNumberOfProperties(), properties);
  EXPECT_EQ(sim_.open_count(kPx120M), 1);
}

TEST_F(LifecycleTest, DevicesNamingOneCameraShareItAndTheLastOneClosesIt) {
  MM::Camera* first = Open("PX-FULL");
  MM::Camera* second = Open("PX-FULL");
  ASSERT_NE(first, nullptr);
  ASSERT_NE(second, nullptr);
  EXPECT_EQ(sim_.open_count(kPxFull), 1) << "the second device shares the opened camera";
  EXPECT_EQ(Get(second, "Model"), "PX-FULL");

  EXPECT_EQ(Slot<int()>(first, slot::kShutdown), 0);
  EXPECT_EQ(sim_.is_open(kPxFull), 1);
  EXPECT_EQ(sim_.count_calls(160), 0u);
  Destroy(first);
  EXPECT_EQ(sim_.is_open(kPxFull), 1);

  EXPECT_EQ(Slot<int()>(second, slot::kShutdown), 0);
  EXPECT_EQ(sim_.is_open(kPxFull), 0);
  EXPECT_EQ(sim_.count_calls(160), 1u);

  // Opened again from scratch by a later Initialize.
  EXPECT_EQ(Slot<int()>(second, slot::kInitialize), 0);
  EXPECT_EQ(sim_.open_count(kPxFull), 2);
  EXPECT_EQ(sim_.is_open(kPxFull), 1);
}

TEST_F(LifecycleTest, SettingsDirectoryIsCreatedAtTheFirstOpenEvenWhenOpenFails) {
  const std::string directory = Home() + "/.dero";
  std::filesystem::remove_all(directory);
  sim_.fail_open(1);
  MM::Camera* camera = Create("PX-120M");
  EXPECT_EQ(camera->Initialize(), 35);
  EXPECT_TRUE(IsDirectory(directory));
  EXPECT_FALSE(Has(camera, "Model"));

  sim_.fail_open(0);
  EXPECT_EQ(camera->Initialize(), 0);
  MM::Camera* sharing = Create("PX-120M");
  std::filesystem::remove_all(directory);
  EXPECT_EQ(sharing->Initialize(), 0);
  EXPECT_FALSE(IsDirectory(directory)) << "sharing an opened camera does not open it";
}

TEST_F(LifecycleTest, NoCameraAttachedMeans35) {
  sim_.detach_all();
  MM::Camera* camera = Create("PX-120M");
  EXPECT_EQ(camera->Initialize(), 35);
  char text[MM::kMaxHostText] = {};
  EXPECT_TRUE(camera->GetErrorText(35, text));
  EXPECT_STREQ(text, "Unable to communicate with the device.");
}

struct Identity {
  const char* model;
  const char* sensor;  // null: no "Sensor" property
  const char* interfaceName;
  const char* interfaceValue;
  const char* isp;
  const char* ddr;
  const char* bayer;
  bool serial;    // the serial-number interface answers
  bool date;      // the camera knows its production date
  bool versions;  // production date from 20160701 on
};

TEST_F(LifecycleTest, IdentityPropertiesFollowTheModel) {
  const Identity identities[] = {
      {"PX-120M", "CMOS, Rolling Shutter, Mono", "USB", "USB2.0", "No", "No", "MONO", true, true,
       true},
      {"PX-678C", "CMOS, Rolling Shutter, Color", "USB", "USB3.0", "Yes", "Yes", "GBRG", true, true,
       true},
      {"PX-FULL", "CMOS, Global Shutter, Color", "USB", "USB3.2", "Yes", "Yes", "RGGB", true, true,
       true},
      {"PX-285M-GIGE", "Progressive CCD, Mono", "GigE", "1G", "No", "No", "MONO", true, true,
       false},
      {"PX-429C-IL", "Interlaced CCD, Color", "USB", "USB2.0", "No", "No", "GMCY", false, false,
       false},
      {"PX-OEM-CL", nullptr, "CL", "CameraLink", "No", "No", "MONO", true, true, true},
  };
  sim_.detach_all();
  for (const Identity& identity : identities) {
    ASSERT_GE(sim_.attach(identity.model), 0) << identity.model;
  }
  for (const Identity& identity : identities) {
    SCOPED_TRACE(identity.model);
    MM::Camera* camera = Open(identity.model);
    ASSERT_NE(camera, nullptr);
    EXPECT_EQ(Get(camera, "Model"), identity.model);
    if (identity.sensor != nullptr) {
      EXPECT_EQ(Get(camera, "Sensor"), identity.sensor);
    } else {
      EXPECT_FALSE(Has(camera, "Sensor"));
    }
    EXPECT_EQ(Get(camera, identity.interfaceName), identity.interfaceValue);
    for (const char* other : {"USB", "GigE", "CL", "CXP"}) {
      if (std::string(other) != identity.interfaceName) {
        EXPECT_FALSE(Has(camera, other)) << other;
      }
    }
    EXPECT_EQ(Get(camera, "ISP"), identity.isp);
    EXPECT_EQ(Get(camera, "DDR"), identity.ddr);
    EXPECT_EQ(Get(camera, "Bayer"), identity.bayer);
    EXPECT_EQ(Has(camera, "SerialNumber"), identity.serial);
    EXPECT_EQ(Has(camera, "ProductionDate"), identity.date);
    for (const char* version : {"Version(Firmware)", "Version(Hardware)", "Version(FPGA)"}) {
      EXPECT_EQ(Has(camera, version), identity.versions) << version;
    }
    for (const char* name : {"Model", "Sensor", "ISP", "DDR", "Bayer", "SerialNumber"}) {
      if (Has(camera, name)) {
        EXPECT_TRUE(pyxhost::Camera(camera).IsReadOnly(name)) << name;
      }
    }
    Destroy(camera);
  }
}

TEST_F(LifecycleTest, SerialAndVersionTextsComeFromTheAuxiliaryInterfaces) {
  MM::Camera* camera = Open("PX-FULL");
  ASSERT_NE(camera, nullptr);
  EXPECT_THAT(Get(camera, "SerialNumber"), StartsWith("PXFULL"));
  EXPECT_EQ(Get(camera, "ProductionDate"), "20260301");
  EXPECT_EQ(Get(camera, "Version(Firmware)"), "5.0.3");
  EXPECT_EQ(Get(camera, "Version(Hardware)"), "5.1");
  EXPECT_EQ(Get(camera, "Version(FPGA)"), "3.0");
}

TEST_F(LifecycleTest, InitializeLeavesTheCameraTriggeredAndDelivering) {
  MM::Camera* camera = Open("PX-678C");
  ASSERT_NE(camera, nullptr);
  EXPECT_EQ(sim_.is_delivering(kPx678C), 1);
  EXPECT_EQ(sim_.option(kPx678C, 11), 1);
  EXPECT_EQ(sim_.option(kPx678C, 42), 1) << "colour models are switched to colour output";
  // The set-up steps come before delivery starts, delivery before the frame-rate group.
  const auto trace = sim_.trace();
  auto position = [&](int wanted) {
    for (size_t i = 0; i < trace.size(); ++i) {
      if (trace[i].position == wanted) return static_cast<long>(i);
    }
    return -1L;
  };
  EXPECT_LT(position(113), position(158));
  EXPECT_LT(position(159), position(158));
}

TEST_F(LifecycleTest, ClosedDeviceKeepsItsPropertiesButMakesNoVendorCall) {
  MM::Camera* camera = Open("PX-FULL");
  ASSERT_NE(camera, nullptr);
  const std::string exposure = Get(camera, "Exposure");
  const double milliseconds = Slot<double()>(camera, slot::kGetExposure);
  ASSERT_EQ(camera->Shutdown(), 0);
  sim_.trace_clear();

  int error = -1;
  EXPECT_EQ(Get(camera, "Exposure", &error), exposure);
  EXPECT_EQ(error, 0);
  EXPECT_EQ(Set(camera, "Exposure", "20"), 35);
  EXPECT_EQ(Set(camera, "AutoExposure", "OFF"), 35);
  EXPECT_EQ(Get(camera, "StatSnap"), "0");
  EXPECT_EQ(Slot<int()>(camera, slot::kSnap), 1);
  EXPECT_EQ(Slot<int(long, double, bool)>(camera, slot::kStartSequence, 5L, 0.0, false), 35);
  EXPECT_FALSE(Slot<bool()>(camera, slot::kIsCapturing));
  EXPECT_EQ(Slot<int()>(camera, slot::kStopSequence), 0);
  Slot<void(double)>(camera, slot::kSetExposure, 50.0);
  EXPECT_DOUBLE_EQ(Slot<double()>(camera, slot::kGetExposure), milliseconds);
  Slot<unsigned()>(camera, slot::kBitDepth);
  Slot<double()>(camera, slot::kPixelSize);
  Slot<int()>(camera, slot::kGetBinning);
  for (const std::string& name : pyxhost::Camera(camera).PropertyNames()) {
    error = -1;
    Get(camera, name, &error);
    EXPECT_EQ(error, 0) << name;
  }
  EXPECT_EQ(sim_.trace_count(), 0u) << "a closed device must not call the vendor library";
}

TEST_F(LifecycleTest, DeviceBeforeInitializeAnswersWithoutACamera) {
  MM::Camera* camera = Create("PX-120M");
  EXPECT_EQ(Slot<int()>(camera, slot::kSnap), 1);
  EXPECT_EQ(Slot<const unsigned char*()>(camera, slot::kImageBuffer), nullptr);
  EXPECT_EQ(Slot<long()>(camera, slot::kBufferSize), 0);
  EXPECT_EQ(Slot<int(long, double, bool)>(camera, slot::kStartSequence, 1L, 0.0, false), 35);
  EXPECT_EQ(camera->Shutdown(), 0);
  EXPECT_EQ(sim_.trace_count(), 0u);
}

// A module whose discovery never completed (no vendor library beside it, or
// InitializeModuleData not called) cannot initialise a camera. A copy of the
// module in another directory is a separate module with its own state.
TEST_F(LifecycleTest, InitializeWithoutCompletedDiscoveryReturns35) {
  char pattern[] = "/tmp/camera-module-XXXXXX";
  ASSERT_NE(mkdtemp(pattern), nullptr);
  const std::string directory = pattern;
  const std::string copy = directory + "/vuzezod_dal_Pyxon.so";
  std::filesystem::copy_file(pyxhost::DefaultModulePath(), copy);
  std::string error;
  auto module = pyxhost::Module::Load(copy, &error);
  ASSERT_TRUE(module) << error;
  std::filesystem::remove_all(directory);

  {
    pyxhost::DevicePtr device = module->Create("PX-120M");
    ASSERT_TRUE(device);
    EXPECT_EQ(device->Initialize(), 35) << "before InitializeModuleData";
  }
  module->InitializeModuleData();  // finds no library beside the copy
  EXPECT_EQ(module->GetNumberOfDevices(), 0u);
  pyxhost::DevicePtr device = module->Create("PX-120M");
  ASSERT_TRUE(device);
  EXPECT_EQ(device->Initialize(), 35);
}

}  // namespace
}  // namespace camtest
