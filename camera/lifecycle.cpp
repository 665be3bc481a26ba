// Construction, Initialize, Shutdown and the identity properties.
#include <dlfcn.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <boost/format.hpp>
#include <cstring>
#include <string>

#include "camera/Camera.h"
#include "camera/family_support.h"
#include "module/module_state.h"

namespace {

constexpr const char* kAdapterVersion = "59.31112.20260401";
constexpr const char* kSettingsDirectory = "/.dero";
// Production date from which the camera reports firmware, hardware and FPGA versions.
constexpr const char* kVersionedProductionDate = "20160701";
constexpr uint32_t kMonoFourCc = 0x59595959;  // "YYYY"
constexpr size_t kMaxModelNameLength = 255;
constexpr size_t kAuxiliaryTextSize = 32;

// Vendor texts in fixed-size fields are not always terminated.
std::string BoundedText(const char* text, size_t size) {
  if (text == nullptr) return std::string();
  return std::string(text, strnlen(text, size));
}

std::string DisplayName(const pyxon::CameraEntry& entry) {
  return BoundedText(entry.displayName, sizeof entry.displayName);
}

std::string Identifier(const pyxon::CameraEntry& entry) {
  return BoundedText(entry.id, sizeof entry.id);
}

std::string ModelName(const pyxon::CameraModel* model) {
  return model != nullptr ? BoundedText(model->name, kMaxModelNameLength) : std::string();
}

// Home directory of the process's real user; empty when unknown.
std::string HomeDirectory() {
  const passwd* entry = getpwuid(getuid());
  if (entry == nullptr || entry->pw_dir == nullptr) return std::string();
  return entry->pw_dir;
}

bool HasBit(uint64_t flags, uint64_t bit) {
  return (flags & bit) != 0;
}

const char* InterfaceValue(uint64_t flags, const char** name) {
  using namespace pyxon::cap;
  if (flags & (kGige | kGige10 | kGige5 | kGige40 | kGige25)) {
    *name = "GigE";
    if (HasBit(flags, kGige10)) return "10G";
    if (HasBit(flags, kGige25)) return "2.5G";
    if (HasBit(flags, kGige5)) return "5G";
    if (HasBit(flags, kGige40)) return "40G";
    return "1G";
  }
  if (HasBit(flags, kCameraLink)) {
    *name = "CL";
    return "CameraLink";
  }
  if (HasBit(flags, kCoaXPress)) {
    *name = "CXP";
    return "CoaXPress";
  }
  *name = "USB";
  if (HasBit(flags, kUsb32)) return "USB3.2";
  if (HasBit(flags, kUsb32OverUsb30)) return "USB3.2 over USB3.0";
  if (HasBit(flags, kUsb30)) return "USB3.0";
  if (HasBit(flags, kUsb30OverUsb20)) return "USB3.0 over USB2.0";
  return "USB2.0";
}

}  // namespace

Camera::Camera(const char* deviceName) : deviceName_(deviceName != nullptr ? deviceName : "") {
  const ModuleState& module = Module();
  SetReportedName(module.deviceName != nullptr ? module.deviceName : "");
  const char* company = module.company != nullptr ? module.company : "";
  CreateStringProperty("Description", (boost::format("%s Camera") % company).str().c_str(), true);
  if (module.sdkVersion != nullptr) CreateStringProperty("Version(Sdk)", module.sdkVersion, true);
  CreateStringProperty("Version(Adapter)", kAdapterVersion, true);

  onOff_ = {"OFF", "ON"};
  aePolicies_ = {"Exposure Only", "Exposure Preferred (Default)", "Gain Only", "Gain Preferred"};
  whiteBalanceModes_ = {"Once", "Continuous", "Off"};
  triggerSources_ = {"Opto-isolated input", "GPIO0", "GPIO1", "Counter", "PWM", "Software Trigger"};
}

Camera::~Camera() {
  Shutdown();
  delete[] image_.pixels.exchange(nullptr);
}

int Camera::CreateBoundProperty(const char* name, const char* value, MM::PropertyType type,
                                bool readOnly, Handler handler) {
  return CreateProperty(name, value, type, readOnly, new MM::Action<Camera>(this, handler));
}

int Camera::Initialize() {
  if (Handle() != nullptr) return MM::Err::Ok;
  const ModuleState& module = Module();
  if (module.library == nullptr || module.openCameras == nullptr) return MM::Err::NoCommunication;

  int result = OpenOrShareCamera();
  if (result != MM::Err::Ok) return result;

  CreateIdentityProperties();
  SetUpDevice();

  CreatePowerConsumptionProperty();
  CreatePixelSizeProperty();
  CreateResolutionProperty();
  CreateExposureProperties();
  CreatePixelTypeProperty();
  CreateColourProperties();
  CreateProcessingProperties();
  if (Model()->ioLineCount != 0) CreateTriggerIoProperties();
  CreateLineStatisticsProperty();
  CreateStatSnapProperty();

  result = RefreshAllProperties();
  if (result != MM::Err::Ok) return result;

  SelectOutputFormat();
  ReconfigureDelivery();
  CreateFrameRateProperties();
  return MM::Err::Ok;
}

int Camera::OpenOrShareCamera() {
  ModuleState& module = Module();
  auto open = reinterpret_cast<DllOpenFn>(dlsym(module.library, "DllOpen"));
  std::vector<pyxon::CameraEntry> list(pyxon::kMaxCameras);
  const int count = EnumerateCameras(list.data());
  if (count <= 0 || open == nullptr) {
    wrapper_.reset();
    return MM::Err::NoCommunication;
  }

  const pyxon::CameraEntry* selected = &list[0];
  for (int i = 0; i < count; ++i) {
    if (DisplayName(list[i]) == deviceName_) {
      selected = &list[i];
      break;
    }
  }
  // Every property below reads the model record; a camera without one is unusable.
  if (selected->model == nullptr) {
    wrapper_.reset();
    return MM::Err::NoCommunication;
  }

  const std::string id = Identifier(*selected);
  std::shared_ptr<HWrapper> wrapper;
  auto shared = module.openCameras->find(id);
  if (shared != module.openCameras->end()) {
    wrapper = shared->second;
  } else {
    const std::string home = HomeDirectory();
    if (home.empty()) {
      wrapper_.reset();
      return MM::Err::NoCommunication;
    }
    const std::string directory = home + kSettingsDirectory;
    if (access(directory.c_str(), F_OK) != 0) mkdir(directory.c_str(), 0755);
    const std::string openText =
        "@" + id + ";ini=" + directory + "/" + ModelName(selected->model) + ".ini";
    if (pyxon::CameraHandle* handle = open(openText.c_str())) {
      wrapper = std::make_shared<HWrapper>();
      wrapper->handle = handle;
      (*module.openCameras)[id] = wrapper;
    }
  }
  wrapper_ = wrapper;
  if (!wrapper_) return MM::Err::NoCommunication;
  entry_ = *selected;
  handle_ = wrapper_->handle;
  return MM::Err::Ok;
}

void Camera::CreateIdentityProperties() {
  const std::string model = ModelName(Model());
  CreateStringProperty("Model", model.c_str(), true);
  SetLabel(model.c_str());
  CreateSensorAndInterfaceProperties();

  pyxon::CameraHandle* handle = Handle();
  uint32_t fourcc = 0;
  handle->GetRawFormat(&fourcc, nullptr);
  std::string bayer = "MONO";
  if (fourcc != kMonoFourCc) {
    bayer.clear();
    for (int i = 0; i < 4; ++i) bayer.push_back(static_cast<char>((fourcc >> (8 * i)) & 0xFF));
    bayer = BoundedText(bayer.c_str(), 4);
  }
  CreateStringProperty("Bayer", bayer.c_str(), true);
  CreateSerialAndVersionProperties();
}

void Camera::CreateSensorAndInterfaceProperties() {
  using namespace pyxon::cap;
  const uint64_t flags = Capabilities();
  const char* colour = HasBit(flags, kMono) ? "Mono" : "Color";
  const char* sensor = nullptr;
  if (HasBit(flags, kCcdProgressive)) {
    sensor = "Progressive CCD, %s";
  } else if (HasBit(flags, kCcdInterlaced)) {
    sensor = "Interlaced CCD, %s";
  } else if (HasBit(flags, kCmos)) {
    sensor =
        HasBit(flags, kGlobalShutter) ? "CMOS, Global Shutter, %s" : "CMOS, Rolling Shutter, %s";
  }
  if (sensor != nullptr) {
    CreateStringProperty("Sensor", (boost::format(sensor) % colour).str().c_str(), true);
  }

  const char* interfaceName = nullptr;
  const char* interfaceValue = InterfaceValue(flags, &interfaceName);
  CreateStringProperty(interfaceName, interfaceValue, true);
  CreateStringProperty("ISP", HasBit(flags, kIsp) ? "Yes" : "No", true);
  CreateStringProperty("DDR", HasBit(flags, kDdr) ? "Yes" : "No", true);
}

void Camera::CreateSerialAndVersionProperties() {
  pyxon::CameraHandle* handle = Handle();

  void* serialInterface = nullptr;
  if (handle->QueryInterface(pyxon::kSerialInterfaceId, &serialInterface) >= 0 &&
      serialInterface != nullptr) {
    auto* serial = static_cast<pyxon::SerialInterface*>(serialInterface);
    char text[kAuxiliaryTextSize] = {};
    if (serial->GetSerialNumber(text) >= 0) {
      CreateStringProperty("SerialNumber", BoundedText(text, sizeof text).c_str(), true);
    }
    serial->Release();
  }

  void* versionInterface = nullptr;
  if (handle->QueryInterface(pyxon::kVersionInterfaceId, &versionInterface) < 0 ||
      versionInterface == nullptr) {
    return;
  }
  auto* versions = static_cast<pyxon::VersionInterface*>(versionInterface);
  auto read = [](pyxon::Result (pyxon::VersionInterface::*get)(char*),
                 pyxon::VersionInterface* from) {
    char text[kAuxiliaryTextSize] = {};
    if ((from->*get)(text) < 0) return std::string();
    return BoundedText(text, sizeof text);
  };
  const std::string date = read(&pyxon::VersionInterface::GetProductionDate, versions);
  if (!date.empty()) {
    CreateStringProperty("ProductionDate", date.c_str(), true);
    if (date >= kVersionedProductionDate) {
      const std::string firmware = read(&pyxon::VersionInterface::GetFirmwareVersion, versions);
      if (!firmware.empty()) CreateStringProperty("Version(Firmware)", firmware.c_str(), true);
      const std::string hardware = read(&pyxon::VersionInterface::GetHardwareVersion, versions);
      if (!hardware.empty()) CreateStringProperty("Version(Hardware)", hardware.c_str(), true);
      const std::string fpga = read(&pyxon::VersionInterface::GetFpgaVersion, versions);
      if (!fpga.empty()) CreateStringProperty("Version(FPGA)", fpga.c_str(), true);
    }
  }
  versions->Release();
}

void Camera::SetUpDevice() {
  pyxon::CameraHandle* handle = Handle();
  if (!IsMonochrome()) handle->SetOption(pyxon::opt::kColourMode, 1);
  handle->Setup(1);
  uint32_t index = 0;
  handle->GetResolutionIndex(&index);
  resolutionIndex_ = index;
}

int Camera::Shutdown() {
  StopSequenceAcquisition();
  ReleaseCamera();
  return MM::Err::Ok;
}

void Camera::ReleaseCamera() {
  if (!wrapper_) {
    handle_ = nullptr;
    return;
  }
  // From here on no event reaches this device; an event being handled ends first.
  wrapper_->events->Detach(this);
  pyxon::CameraHandle* handle = wrapper_->handle;
  handle_ = nullptr;

  OpenCameraMap* map = Module().openCameras.get();
  if (map != nullptr) {
    for (auto entry = map->begin(); entry != map->end(); ++entry) {
      if (!entry->second || entry->second->handle != handle) continue;
      // Owners: the map and this device; nobody else uses the camera.
      if (entry->second.use_count() <= 2) {
        map->erase(entry);
        pyx::RecursiveLock delivery(wrapper_->deliveryLock);
        CloseCamera(handle);
      }
      break;
    }
  }
  wrapper_.reset();
}
