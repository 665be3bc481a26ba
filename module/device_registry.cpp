#include "module/device_registry.h"

void DeviceRegistry::Register(const char* name, int32_t type, const char* description) {
  if (name == nullptr || Find(name) != nullptr) return;
  RegisteredDevice device;
  device.name = name;
  device.type = type;
  device.description = description != nullptr ? description : "(Null description)";
  devices_.push_back(std::move(device));
}

const RegisteredDevice* DeviceRegistry::At(size_t index) const {
  return index < devices_.size() ? &devices_[index] : nullptr;
}

const RegisteredDevice* DeviceRegistry::Find(const char* name) const {
  if (name == nullptr) return nullptr;
  for (const RegisteredDevice& device : devices_) {
    if (device.name == name) return &device;
  }
  return nullptr;
}
