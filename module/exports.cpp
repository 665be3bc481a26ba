// The nine functions the host calls by name.
//
// Threads: the host calls these from one thread, InitializeModuleData first.
// No exception leaves them.
#include <cstring>
#include <new>

#include "camera/Camera.h"
#include "framework/mm_device.h"
#include "module/discovery.h"
#include "module/module_state.h"

#define MODULE_EXPORT extern "C" __attribute__((visibility("default")))

MODULE_EXPORT void InitializeModuleData() {
  ModuleState& state = Module();
  if (state.library != nullptr) return;
  try {
    RunDiscovery(state);
  } catch (...) {
    // Out of memory while listing devices: the host sees what was registered.
  }
}

MODULE_EXPORT unsigned GetNumberOfDevices() {
  return static_cast<unsigned>(Module().registry.size());
}

// Copies the name with its terminating zero; false when the index is out of
// range or the name does not fit with its zero.
MODULE_EXPORT bool GetDeviceName(unsigned index, char* name, unsigned length) {
  const RegisteredDevice* device = Module().registry.At(index);
  if (device == nullptr || name == nullptr || device->name.size() >= length) return false;
  std::memcpy(name, device->name.c_str(), device->name.size() + 1);
  return true;
}

// Unknown (or null) name: stores 0 and answers false.
MODULE_EXPORT bool GetDeviceType(const char* name, int* type) {
  const RegisteredDevice* device = Module().registry.Find(name);
  if (type != nullptr) *type = device != nullptr ? device->type : 0;
  return device != nullptr && type != nullptr;
}

// Copies at most length - 1 characters, zero-padded, and always terminates the
// host's buffer in its last byte. Length below 1 copies nothing. Unknown name:
// false, buffer untouched.
MODULE_EXPORT bool GetDeviceDescription(const char* name, char* description, int length) {
  const RegisteredDevice* device = Module().registry.Find(name);
  if (device == nullptr || description == nullptr) return false;
  if (length < 1) return true;
  const size_t room = static_cast<size_t>(length) - 1;
  std::strncpy(description, device->description.c_str(), room);
  description[room] = '\0';
  return true;
}

MODULE_EXPORT MM::Device* CreateDevice(const char* name) {
  if (name == nullptr) return nullptr;
  // The name is not checked against the registry: Initialize picks the camera.
  try {
    return new Camera(name);
  } catch (...) {
    return nullptr;
  }
}

MODULE_EXPORT void DeleteDevice(MM::Device* device) {
  delete device;
}

MODULE_EXPORT long GetModuleVersion() {
  return MM::kModuleVersion;
}

MODULE_EXPORT long GetDeviceInterfaceVersion() {
  return MM::kDeviceInterfaceVersion;
}
