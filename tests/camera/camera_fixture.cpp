#include "tests/camera/camera_fixture.h"

#include <algorithm>

#include "tests/common/loaded_module.h"

namespace camtest {

pyxhost::Module& CameraFixture::Module() {
  return testcommon::LoadedModule();
}

void CameraFixture::SetUp() {
  ASSERT_TRUE(sim_.ok()) << sim_.error();
  sim_.reset();
  Module();
}

void CameraFixture::TearDown() {
  // Newest first: the last device to use a shared camera closes it.
  while (!devices_.empty()) devices_.pop_back();
  sim_.reset();
}

MM::Camera* CameraFixture::Create(const std::string& name) {
  pyxhost::DevicePtr device = Module().Create(name);
  if (!device) {
    ADD_FAILURE() << "CreateDevice(" << name << ") returned null";
    return nullptr;
  }
  device->SetCallback(&host_);
  MM::Camera* camera = pyxhost::AsCamera(device.get());
  devices_.push_back(std::move(device));
  return camera;
}

MM::Camera* CameraFixture::Open(const std::string& name) {
  MM::Camera* camera = Create(name);
  if (camera == nullptr) return nullptr;
  const int result = camera->Initialize();
  if (result != 0) {
    ADD_FAILURE() << "Initialize of " << name << " returned " << result;
    return nullptr;
  }
  return camera;
}

void CameraFixture::Destroy(MM::Camera* camera) {
  auto found = std::find_if(devices_.begin(), devices_.end(),
                            [camera](const auto& device) { return device.get() == camera; });
  ASSERT_NE(found, devices_.end());
  camera->Shutdown();
  devices_.erase(found);
}

std::string CameraFixture::Get(MM::Camera* camera, const std::string& name, int* error) {
  return pyxhost::Camera(camera).GetProperty(name, error);
}

int CameraFixture::Set(MM::Camera* camera, const std::string& name, const std::string& value) {
  return pyxhost::Camera(camera).SetProperty(name, value);
}

bool CameraFixture::Has(MM::Camera* camera, const std::string& name) {
  return pyxhost::Camera(camera).HasProperty(name);
}

std::vector<int64_t> CameraFixture::OptionWrites(uint32_t option) const {
  std::vector<int64_t> values;
  for (const PyxsimCall& call : sim_.option_writes(option)) values.push_back(call.args[1]);
  return values;
}

std::vector<std::string> CameraFixture::PropertyEvents() const {
  std::vector<std::string> events;
  for (const auto& change : host_.propertyChanges()) {
    events.push_back(change.first + "=" + change.second);
  }
  return events;
}

}  // namespace camtest
