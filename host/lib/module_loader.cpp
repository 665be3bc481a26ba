// Loading a device module and calling its exports (pyxhost::Module).
#include <dlfcn.h>

#include "host/lib/host.h"

namespace pyxhost {

namespace {

#ifndef PYXON_BUILD_LIB_DIR
#define PYXON_BUILD_LIB_DIR "."
#endif

template <typename Fn>
bool Resolve(void* handle, const char* name, Fn* out, std::string* missing) {
  *out = reinterpret_cast<Fn>(dlsym(handle, name));
  if (*out == nullptr && missing->empty()) *missing = name;
  return *out != nullptr;
}

}  // namespace

std::string BuildLibraryDirectory() {
  return PYXON_BUILD_LIB_DIR;
}

std::string DefaultModulePath() {
  return BuildLibraryDirectory() + "/vuzezod_dal_Pyxon.so";
}

std::unique_ptr<Module> Module::Load(const std::string& path, std::string* error) {
  void* handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (handle == nullptr) {
    const char* reason = dlerror();
    if (error != nullptr) *error = reason != nullptr ? reason : ("cannot load " + path);
    return nullptr;
  }
  std::unique_ptr<Module> module(new Module());
  module->path_ = path;
  module->handle_ = handle;
  std::string missing;
  Resolve(handle, "InitializeModuleData", &module->initializeModuleData_, &missing);
  Resolve(handle, "GetNumberOfDevices", &module->getNumberOfDevices_, &missing);
  Resolve(handle, "GetDeviceName", &module->getDeviceName_, &missing);
  Resolve(handle, "GetDeviceType", &module->getDeviceType_, &missing);
  Resolve(handle, "GetDeviceDescription", &module->getDeviceDescription_, &missing);
  Resolve(handle, "CreateDevice", &module->createDevice_, &missing);
  Resolve(handle, "DeleteDevice", &module->deleteDevice_, &missing);
  Resolve(handle, "GetModuleVersion", &module->getModuleVersion_, &missing);
  Resolve(handle, "GetDeviceInterfaceVersion", &module->getDeviceInterfaceVersion_, &missing);
  if (!missing.empty()) {
    // The shared object is not a device module; nothing of it has run, so
    // giving it back is safe.
    dlclose(handle);
    if (error != nullptr) *error = "missing export " + missing + " in " + path;
    return nullptr;
  }
  return module;
}

void Module::InitializeModuleData() {
  initializeModuleData_();
}
unsigned Module::GetNumberOfDevices() {
  return getNumberOfDevices_();
}
bool Module::GetDeviceName(unsigned index, char* name, unsigned length) {
  return getDeviceName_(index, name, length);
}
bool Module::GetDeviceType(const char* name, int* type) {
  return getDeviceType_(name, type);
}
bool Module::GetDeviceDescription(const char* name, char* description, int length) {
  return getDeviceDescription_(name, description, length);
}
MM::Device* Module::CreateDevice(const char* name) {
  return createDevice_(name);
}
void Module::DeleteDevice(MM::Device* device) {
  deleteDevice_(device);
}
long Module::GetModuleVersion() {
  return getModuleVersion_();
}
long Module::GetDeviceInterfaceVersion() {
  return getDeviceInterfaceVersion_();
}

std::vector<DeviceInfo> Module::ListDevices() {
  std::vector<DeviceInfo> devices;
  const unsigned count = GetNumberOfDevices();
  for (unsigned i = 0; i < count; ++i) {
    char name[MM::kMaxHostText] = {};
    if (!GetDeviceName(i, name, sizeof name)) continue;
    DeviceInfo info;
    info.name = name;
    GetDeviceType(name, &info.type);
    char description[MM::kMaxHostText] = {};
    if (GetDeviceDescription(name, description, static_cast<int>(sizeof description))) {
      description[sizeof description - 1] = '\0';
      info.description = description;
    }
    devices.push_back(std::move(info));
  }
  return devices;
}

DevicePtr Module::Create(const std::string& name) {
  MM::Device* device = CreateDevice(name.c_str());
  DeleteDeviceFn deleter = deleteDevice_;
  return DevicePtr(device, [deleter](MM::Device* d) { deleter(d); });
}

}  // namespace pyxhost
