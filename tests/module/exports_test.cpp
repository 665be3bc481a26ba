// The nine exports as the host calls them, each run in a fresh child process.
#include <dlfcn.h>

#include <cstring>
#include <string>

#include <gtest/gtest.h>

#include "host/lib/host.h"
#include "tests/module/module_sandbox.h"

namespace moduletest {
namespace {

// The host's text buffer after a call: "<text>" up to the first zero, then the
// bytes after it rendered as '0' for zero and the byte itself otherwise.
std::string Render(const char* buffer, size_t size) {
  std::string rendered;
  for (size_t i = 0; i < size; ++i) rendered += buffer[i] == '\0' ? '0' : buffer[i];
  return rendered;
}

class Exports : public ::testing::Test {
 protected:
  void SetUp() override {
    module_ = box_.installModule("m/vuzezod_dal_Pyxon.so");
    box_.installVendor("full", "m/libPyxon.so");
  }

  // Runs `body` with the module loaded (and initialised when asked) in a child.
  ChildOutcome WithModule(bool initialise,
                          const std::function<void(pyxhost::Module&, Report&)>& body) {
    return RunInChild([&](Report& report) {
      std::string error;
      auto module = pyxhost::Module::Load(module_, &error);
      if (!module) return report.put("load.error", error);
      if (initialise) module->InitializeModuleData();
      body(*module, report);
    });
  }

  Sandbox box_;
  std::string module_;
};

TEST_F(Exports, VersionsByName) {
  const ChildOutcome outcome = WithModule(false, [](pyxhost::Module& module, Report& report) {
    using VersionFn = long (*)();
    auto moduleVersion = reinterpret_cast<VersionFn>(dlsym(module.handle(), "GetModuleVersion"));
    auto interfaceVersion =
        reinterpret_cast<VersionFn>(dlsym(module.handle(), "GetDeviceInterfaceVersion"));
    report.put("module", moduleVersion != nullptr ? moduleVersion() : -1);
    report.put("interface", interfaceVersion != nullptr ? interfaceVersion() : -1);
    // Internal names stay hidden.
    report.put("hidden", dlsym(module.handle(), "_Z6Modulev") == nullptr ? 1 : 0);
  });
  ASSERT_TRUE(outcome.completed) << outcome.status;
  EXPECT_EQ(outcome.number("module"), 10);
  EXPECT_EQ(outcome.number("interface"), 71);
  EXPECT_EQ(outcome.number("hidden"), 1);
}

TEST_F(Exports, NothingIsListedBeforeInitialisation) {
  const ChildOutcome outcome = WithModule(false, [](pyxhost::Module& module, Report& report) {
    char name[64] = "untouched";
    int type = 5;
    report.put("count", module.GetNumberOfDevices());
    report.put("name", module.GetDeviceName(0, name, sizeof name) ? 1 : 0);
    report.put("type", module.GetDeviceType("Cam A", &type) ? 1 : 0);
    report.put("type.value", type);
  });
  ASSERT_TRUE(outcome.completed) << outcome.status;
  EXPECT_EQ(outcome.number("count"), 0);
  EXPECT_EQ(outcome.number("name"), 0);
  EXPECT_EQ(outcome.number("type"), 0);
  EXPECT_EQ(outcome.number("type.value"), 0);
}

TEST_F(Exports, DeviceNameNeedsRoomForItsTerminator) {
  const ChildOutcome outcome = WithModule(true, [](pyxhost::Module& module, Report& report) {
    char name[16];
    for (unsigned length : {0u, 5u, 6u}) {
      std::memset(name, 'X', sizeof name);
      const bool ok = module.GetDeviceName(0, name, length);
      report.put("len" + std::to_string(length), ok ? Render(name, 7) : "false");
    }
    report.put("last", module.GetDeviceName(2, name, sizeof name) ? name : "false");
    report.put("beyond", module.GetDeviceName(3, name, sizeof name) ? "true" : "false");
  });
  ASSERT_TRUE(outcome.completed) << outcome.status;
  EXPECT_EQ(outcome.get("len0"), "false");
  EXPECT_EQ(outcome.get("len5"), "false");  // "Cam A" is 5 characters
  EXPECT_EQ(outcome.get("len6"), "Cam A0X");
  EXPECT_EQ(outcome.get("last"), "Cam C");
  EXPECT_EQ(outcome.get("beyond"), "false");
}

TEST_F(Exports, DeviceTypeOfUnknownNamesIsZero) {
  const ChildOutcome outcome = WithModule(true, [](pyxhost::Module& module, Report& report) {
    int type = 7;
    report.put("known", module.GetDeviceType("Cam B", &type) ? type : -1);
    type = 7;
    report.put("unknown", module.GetDeviceType("cam b", &type) ? 1 : 0);
    report.put("unknown.value", type);
    type = 7;
    report.put("null", module.GetDeviceType(nullptr, &type) ? 1 : 0);
    report.put("null.value", type);
    report.put("null.out", module.GetDeviceType("Cam B", nullptr) ? 1 : 0);
  });
  ASSERT_TRUE(outcome.completed) << outcome.status;
  EXPECT_EQ(outcome.number("known"), 2);
  EXPECT_EQ(outcome.number("unknown"), 0);
  EXPECT_EQ(outcome.number("unknown.value"), 0);
  EXPECT_EQ(outcome.number("null"), 0);
  EXPECT_EQ(outcome.number("null.value"), 0);
  EXPECT_EQ(outcome.number("null.out"), 0);
}

TEST_F(Exports, DescriptionIsZeroPaddedAndAlwaysTerminated) {
  const ChildOutcome outcome = WithModule(true, [](pyxhost::Module& module, Report& report) {
    char buffer[12];
    // Description "FakeCo" (6 characters) into buffers of several lengths.
    for (int length : {-1, 0, 1, 4, 6, 7, 10}) {
      std::memset(buffer, 'X', sizeof buffer);
      const bool ok = module.GetDeviceDescription("Cam A", buffer, length);
      report.put("len" + std::to_string(length),
                 (ok ? "true:" : "false:") + Render(buffer, sizeof buffer));
    }
    std::memset(buffer, 'X', sizeof buffer);
    const bool unknown = module.GetDeviceDescription("Nobody", buffer, sizeof buffer);
    report.put("unknown", (unknown ? "true:" : "false:") + Render(buffer, sizeof buffer));
    report.put("null", module.GetDeviceDescription(nullptr, buffer, sizeof buffer) ? 1 : 0);
  });
  ASSERT_TRUE(outcome.completed) << outcome.status;
  EXPECT_EQ(outcome.get("len-1"), "true:XXXXXXXXXXXX");
  EXPECT_EQ(outcome.get("len0"), "true:XXXXXXXXXXXX");
  EXPECT_EQ(outcome.get("len1"), "true:0XXXXXXXXXXX");
  EXPECT_EQ(outcome.get("len4"), "true:Fak0XXXXXXXX");
  EXPECT_EQ(outcome.get("len6"), "true:FakeC0XXXXXX");  // cut text still terminated
  EXPECT_EQ(outcome.get("len7"), "true:FakeCo0XXXXX");
  EXPECT_EQ(outcome.get("len10"), "true:FakeCo0000XX");  // zero padding to the last byte
  EXPECT_EQ(outcome.get("unknown"), "false:XXXXXXXXXXXX");
  EXPECT_EQ(outcome.number("null"), 0);
}

TEST_F(Exports, NullDevicesAreRefusedAndIgnored) {
  const ChildOutcome outcome = WithModule(true, [](pyxhost::Module& module, Report& report) {
    report.put("create", module.CreateDevice(nullptr) == nullptr ? "null" : "device");
    module.DeleteDevice(nullptr);
    report.put("deleted", "yes");
  });
  ASSERT_TRUE(outcome.completed) << outcome.status;
  EXPECT_EQ(outcome.get("create"), "null");
  EXPECT_EQ(outcome.get("deleted"), "yes");
}

}  // namespace
}  // namespace moduletest
