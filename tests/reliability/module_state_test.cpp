// Every host operation of a device in each state of the module: the vendor
// library missing, the library present without cameras, and ready. Module-wide
// state lives as long as the process, so each case runs in a child process
// that loads the module afresh.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "tests/reliability/reliability_support.h"
#include "tests/reliability/slot_walk.h"

namespace reltest {
namespace {

void Append(std::vector<std::string>* to, const std::string& prefix,
            const std::vector<std::string>& problems) {
  for (const std::string& problem : problems) to->push_back(prefix + ": " + problem);
}

// Walks the device before and after a failing Initialize and after Shutdown,
// then deletes it through the module. Returns the problems found.
std::vector<std::string> WalkUnopenable(pyxhost::Module& module, const std::string& name,
                                        bool moduleReady) {
  std::vector<std::string> problems;
  pyxhost::RecordingHost host;
  MM::Device* device = module.CreateDevice(name.c_str());
  if (device == nullptr) return {"CreateDevice returned null"};
  MM::Camera* camera = pyxhost::AsCamera(device);
  Slot<void(HostCallback*)>(camera, slot::kSetCallback, &host);
  WalkState state;
  state.moduleReady = moduleReady;
  Append(&problems, "constructed", WalkSlots(camera, state, &host));
  for (int attempt = 0; attempt < 2; ++attempt) {
    const int result = Initialize(camera);
    if (result != 35) problems.push_back("Initialize returned " + std::to_string(result));
  }
  Append(&problems, "after a failed Initialize", WalkSlots(camera, state, &host));
  if (StartSequence(camera, 2) == 0) problems.push_back("a sequence started without a camera");
  if (IsCapturing(camera)) problems.push_back("capturing without a camera");
  if (StopSequence(camera) != 0) problems.push_back("stop failed");
  if (Shutdown(camera) != 0) problems.push_back("Shutdown failed");
  Append(&problems, "after Shutdown", WalkSlots(camera, state, &host));
  module.DeleteDevice(device);
  return problems;
}

// The simulator ends a closed camera's worker thread in the background and
// joins it on its next reset; a child must not exit before that (ThreadSanitizer
// reports threads that were never joined).
void SettleSimulatorThreads(const pyxsim::Client& sim) {
  for (int i = 0; i < 300 && ThreadCount() > 1; ++i) {
    sim.reset();
    std::this_thread::sleep_for(10ms);
  }
  sim.reset();
}

std::unique_ptr<pyxhost::Module> LoadFresh(const std::string& path,
                                           std::vector<std::string>* problems) {
  std::string error;
  auto module = pyxhost::Module::Load(path, &error);
  if (!module) {
    problems->push_back("cannot load " + path + ": " + error);
    return nullptr;
  }
  module->InitializeModuleData();
  return module;
}

TEST(ModuleStateTest, LibraryMissing) {
  TempDirectory directory;
  ASSERT_FALSE(directory.path().empty());
  const std::string copy = directory.path() + "/vuzezod_dal_Pyxon.so";
  std::filesystem::copy_file(pyxhost::DefaultModulePath(), copy);

  const std::string outcome = RunInChild([&] {
    std::vector<std::string> problems;
    auto module = LoadFresh(copy, &problems);
    if (!module) return problems;
    if (module->GetNumberOfDevices() != 0) problems.push_back("devices without a library");
    Append(&problems, "no library", WalkUnopenable(*module, "PX-120M", false));
    // Discovery runs again while no library was loaded; still nothing.
    module->InitializeModuleData();
    if (module->GetNumberOfDevices() != 0) problems.push_back("devices after a retry");
    return problems;
  });
  EXPECT_EQ(outcome, "");
}

TEST(ModuleStateTest, LibraryWithoutCameras) {
  const std::string outcome = RunInChild([] {
    std::vector<std::string> problems;
    pyxsim::Client sim;
    if (!sim.ok()) return std::vector<std::string>{"simulator: " + sim.error()};
    sim.detach_all();
    auto module = LoadFresh(pyxhost::DefaultModulePath(), &problems);
    if (!module) return problems;
    const auto devices = module->ListDevices();
    if (devices.size() != 1 || devices[0].name != "PyxonCam") {
      problems.push_back("expected the one library device");
      return problems;
    }
    Append(&problems, "no camera", WalkUnopenable(*module, "PyxonCam", true));

    // A camera attached later opens for a new device and delivers frames.
    if (sim.attach("PX-120M") != 0) problems.push_back("attach failed");
    pyxhost::RecordingHost host;
    MM::Device* device = module->CreateDevice("PyxonCam");
    MM::Camera* camera = pyxhost::AsCamera(device);
    Slot<void(HostCallback*)>(camera, slot::kSetCallback, &host);
    if (Initialize(camera) != 0) problems.push_back("Initialize after attaching failed");
    if (Snap(camera) != 0 || SnappedStamp(camera) == 0) problems.push_back("no intact frame");
    module->DeleteDevice(device);
    SettleSimulatorThreads(sim);
    return problems;
  });
  EXPECT_EQ(outcome, "");
}

TEST(ModuleStateTest, Ready) {
  const std::string outcome = RunInChild([] {
    std::vector<std::string> problems;
    pyxsim::Client sim;
    auto module = LoadFresh(pyxhost::DefaultModulePath(), &problems);
    if (!module || !sim.ok()) return problems;
    if (module->GetNumberOfDevices() != 4u) problems.push_back("expected the four cameras");
    pyxhost::RecordingHost host;
    MM::Device* device = module->CreateDevice("PX-120M");
    MM::Camera* camera = pyxhost::AsCamera(device);
    Slot<void(HostCallback*)>(camera, slot::kSetCallback, &host);
    WalkState state;
    Append(&problems, "constructed", WalkSlots(camera, state, &host));
    if (Initialize(camera) != 0) problems.push_back("Initialize failed");
    state.open = true;
    Append(&problems, "open", WalkSlots(camera, state, &host));
    if (Snap(camera) != 0 || SnappedStamp(camera) == 0) problems.push_back("no intact frame");
    module->DeleteDevice(device);
    if (sim.is_open(0)) problems.push_back("deleting the device left the camera open");
    SettleSimulatorThreads(sim);
    return problems;
  });
  EXPECT_EQ(outcome, "");
}

}  // namespace
}  // namespace reltest
