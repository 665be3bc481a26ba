// Sensor, cooling and readout properties: power consumption, temperature, fan
// and cooler (TEC) with their coupling, TEC target and drive level, heater,
// low noise, correlated double sampling, global reset, low power, readout
// mode, lanes, anti-blooming, voltage bias, the factory-settings reload and
// the mechanical shutter.
//
// Creation is gated by capability flags or by a probing option read, so a
// camera shows only what it supports. Read handlers that cannot trust a preset
// ("Temperature", "TECPower", "ReadoutMode", "Lane") keep the property
// unchanged when the camera does not answer.
//
// Threads: handlers run on the host's calling thread under the device's
// property lock. Only the factory-settings reload takes the pull lock (inside
// ReconfigureDelivery).

#include <algorithm>
#include <string>

#include "camera/Camera.h"
#include "camera/conversions.h"
#include "camera/family_support.h"

using camera::ClampedEntry;
using camera::DecimalText;
using camera::IndexOf;
using camera::OptionRead;
using camera::ReadOption;
using camera::WithoutCamera;

namespace {

constexpr int32_t kTecTargetRangePreset = 0x0190FE0C;  // -50.0 to 40.0 degrees
constexpr double kTecTargetFallbackLow = -50.0;
constexpr double kTecTargetFallbackHigh = 40.0;

// Fan and heater levels are listed one text per level. Real cameras have a
// handful; the bound keeps a nonsensical maximum from building a huge list.
constexpr int64_t kMaxListedLevels = 1000;
// Lane settings are addressed by an index in the low 24 bits of the query.
constexpr int32_t kMaxLaneSettings = 256;

camera::TextList LevelList(const std::string& off, int64_t maximum) {
  camera::TextList list = {off};
  const int64_t last = std::min(maximum, kMaxListedLevels);
  for (int64_t level = 1; level <= last; ++level) {
    list.push_back(DecimalText(static_cast<long>(level)));
  }
  return list;
}

std::string LevelText(int64_t level) {
  return level == 0 ? "OFF" : DecimalText(static_cast<long>(level));
}

// Drive level in percent of the maximum; 64-bit so that no drive value can
// overflow the product.
int64_t DrivePercent(int32_t drive, int32_t maximum) {
  return static_cast<int64_t>(drive) * 100 / maximum;
}

}  // namespace

// ---- creation -------------------------------------------------------------------

void Camera::CreatePowerConsumptionProperty() {
  pyxon::CameraHandle* const handle = Handle();
  const OptionRead power = ReadOption(handle, pyxon::opt::kPowerConsumption, 0);
  if (!power.ok) return;
  CreateStringProperty("PowerConsumption(mw)", DecimalText(power.value).c_str(), true);
}

void Camera::CreateCoolingProperties() {
  pyxon::CameraHandle* const handle = Handle();
  const uint64_t flags = Capabilities();
  if ((flags & pyxon::cap::kTemperature) != 0) {
    int16_t temperature = 0;
    handle->GetTemperature(&temperature);
    CreateFloatProperty("Temperature", temperature / 10.0, true,
                        new MM::Action<Camera>(this, &Camera::OnTemperature));
  }
  if ((flags & pyxon::cap::kFan) != 0) {
    uint16_t speed = 0;
    handle->GetFanSpeed(&speed);
    CreateStringProperty("Fan", LevelText(speed).c_str(), false,
                         new MM::Action<Camera>(this, &Camera::OnFan));
    SetAllowedValues("Fan", LevelList(onOff_[0], Model()->maxFanSpeed));
  }
  if ((flags & pyxon::cap::kTec) != 0) CreateTecProperties();
  if ((flags & pyxon::cap::kHeater) != 0) {
    const int32_t level = ReadOption(handle, pyxon::opt::kHeater, 0).value;
    const int32_t maximum = ReadOption(handle, pyxon::opt::kHeaterMax, 0).value;
    CreateStringProperty("Heat", LevelText(level).c_str(), false,
                         new MM::Action<Camera>(this, &Camera::OnHeat));
    SetAllowedValues("Heat", LevelList(onOff_[0], maximum));
  }
  if ((flags & pyxon::cap::kLowNoise) != 0) {
    const int32_t on = ReadOption(handle, pyxon::opt::kLowNoise, 0).value;
    CreateStringProperty("LowNoise", camera::OnOffText(on), false,
                         new MM::Action<Camera>(this, &Camera::OnLowNoise));
    SetAllowedValues("LowNoise", onOff_);
  }
  const OptionRead cds = ReadOption(handle, pyxon::opt::kCds, 0);
  if (cds.ok) {
    CreateIntegerProperty("Correlated Double Sampling", cds.value,
                          new MM::Action<Camera>(this, &Camera::OnCorrelatedDoubleSampling));
    SetPropertyLimits("Correlated Double Sampling", 0, handle->QueryNamedInt("maxCDS"));
  }
}

void Camera::CreateTecProperties() {
  pyxon::CameraHandle* const handle = Handle();
  const int32_t on = ReadOption(handle, pyxon::opt::kTecOn, 1).value;
  CreateStringProperty("TEC", camera::OnOffText(on), false,
                       new MM::Action<Camera>(this, &Camera::OnTec));
  SetAllowedValues("TEC", onOff_);

  int32_t target = 100;
  handle->GetTecTarget(&target);
  CreateFloatProperty("TECTarget", target / 10.0, false,
                      new MM::Action<Camera>(this, &Camera::OnTecTarget));
  const OptionRead range = ReadOption(handle, pyxon::opt::kTecTargetRange, kTecTargetRangePreset);
  if (range.ok) {
    SetPropertyLimits("TECTarget", static_cast<int16_t>(camera::LowHalf(range.value)) / 10.0,
                      static_cast<int16_t>(camera::HighHalf(range.value)) / 10.0);
  } else {
    SetPropertyLimits("TECTarget", kTecTargetFallbackLow, kTecTargetFallbackHigh);
  }

  const OptionRead maximum = ReadOption(handle, pyxon::opt::kTecDriveMax, 0);
  if (!maximum.ok || maximum.value <= 0) return;
  const OptionRead drive = ReadOption(handle, pyxon::opt::kTecDrive, 0);
  if (!drive.ok || drive.value < 0) return;
  CreateFloatProperty("TECPower", static_cast<double>(DrivePercent(drive.value, maximum.value)),
                      true, new MM::Action<Camera>(this, &Camera::OnTecPower));
}

void Camera::CreateReadoutProperties() {
  pyxon::CameraHandle* const handle = Handle();
  CreateOnOffOptionProperty("GlobalResetMode", pyxon::opt::kGlobalReset,
                            &Camera::OnGlobalResetMode);
  CreateOnOffOptionProperty("LowPowerConsumption", pyxon::opt::kLowPower,
                            &Camera::OnLowPowerConsumption);

  const OptionRead readout = ReadOption(handle, pyxon::opt::kReadoutMode, 0);
  if (readout.ok) {
    readoutModes_ = {"IWR (Integrate While Read)", "ITR (Integrate Then Read)"};
    CreateStringProperty("ReadoutMode", readoutModes_[readout.value != 0 ? 1 : 0].c_str(), false,
                         new MM::Action<Camera>(this, &Camera::OnReadoutMode));
    SetAllowedValues("ReadoutMode", readoutModes_);
  }

  CreateLaneProperty();

  const OptionRead bloomingMax = ReadOption(handle, pyxon::opt::kAntiBloomingMax, 0);
  const OptionRead blooming = ReadOption(handle, pyxon::opt::kAntiBlooming, 0);
  if (bloomingMax.ok && bloomingMax.value > 1 && blooming.ok) {
    CreateIntegerProperty("AntiBlooming", blooming.value,
                          new MM::Action<Camera>(this, &Camera::OnAntiBlooming));
    SetPropertyLimits("AntiBlooming", 0, bloomingMax.value);
  }

  const OptionRead biasRange = ReadOption(handle, pyxon::opt::kVoltageBiasRange, 0);
  const OptionRead bias = ReadOption(handle, pyxon::opt::kVoltageBias, 0);
  if (biasRange.ok && bias.ok) {
    CreateFloatProperty("VoltageBias", bias.value, false,
                        new MM::Action<Camera>(this, &Camera::OnVoltageBias));
    SetPropertyLimits("VoltageBias", camera::LowHalf(biasRange.value),
                      camera::HighHalf(biasRange.value));
  }

  CreateStringProperty("FactorySettings", "Load", false,
                       new MM::Action<Camera>(this, &Camera::OnFactorySettings));
  SetAllowedValues("FactorySettings", {"Load"});
}

// The lane option answers three questions, chosen by the value its output
// holds before the read: how many settings, the value of setting i, and the
// index of the current setting.
void Camera::CreateLaneProperty() {
  pyxon::CameraHandle* const handle = Handle();
  const OptionRead count = ReadOption(handle, pyxon::opt::kLane, pyxon::kLaneCountQuery);
  if (!count.ok || count.value <= 1) return;
  const OptionRead current = ReadOption(handle, pyxon::opt::kLane, 0);
  if (!current.ok) return;
  const int32_t settings = std::min(count.value, kMaxLaneSettings);
  lanes_.clear();
  for (int32_t i = 0; i < settings; ++i) {
    lanes_.push_back(
        DecimalText(ReadOption(handle, pyxon::opt::kLane, pyxon::kLaneValueQuery + i).value));
  }
  CreateStringProperty("Lane", ClampedEntry(lanes_, current.value).c_str(), false,
                       new MM::Action<Camera>(this, &Camera::OnLane));
  SetAllowedValues("Lane", lanes_);
}

void Camera::CreateMechanicalShutterProperty() {
  pyxon::CameraHandle* const handle = Handle();
  const OptionRead shutter = ReadOption(handle, pyxon::opt::kMechanicalShutter, 0);
  if (!shutter.ok) return;
  shutterStates_ = {"Open", "Close"};
  CreateStringProperty("MechanicalShutter", shutterStates_[shutter.value != 0 ? 1 : 0].c_str(),
                       false, new MM::Action<Camera>(this, &Camera::OnMechanicalShutter));
  SetAllowedValues("MechanicalShutter", shutterStates_);
}

// ---- temperature, fan, cooler, heater ----------------------------------------------------

int Camera::OnTemperature(MM::PropertyBase* property, MM::ActionKind kind) {
  pyxon::CameraHandle* const handle = Handle();
  if (!handle) return WithoutCamera(kind);
  if (kind == MM::BeforeRead) {
    int16_t temperature = 0;
    if (handle->GetTemperature(&temperature) >= 0) property->Set(temperature / 10.0);
  }
  return MM::Err::Ok;
}

int Camera::OnFan(MM::PropertyBase* property, MM::ActionKind kind) {
  pyxon::CameraHandle* const handle = Handle();
  if (!handle) return WithoutCamera(kind);
  if (kind == MM::BeforeRead) {
    uint16_t speed = 0;
    handle->GetFanSpeed(&speed);
    property->Set(LevelText(speed).c_str());
  } else if (kind == MM::AfterWrite) {
    std::string value;
    property->Get(value);
    if (value == onOff_[0]) {
      handle->SetFanSpeed(0);
      // The camera may switch the cooler off without its fan.
      OnPropertyChanged("TEC");
    } else {
      handle->SetFanSpeed(static_cast<uint16_t>(camera::ParseDecimal(value)));
    }
  }
  return MM::Err::Ok;
}

int Camera::OnTec(MM::PropertyBase* property, MM::ActionKind kind) {
  pyxon::CameraHandle* const handle = Handle();
  if (!handle) return WithoutCamera(kind);
  if (kind == MM::BeforeRead) {
    property->Set(camera::OnOffText(ReadOption(handle, pyxon::opt::kTecOn, 0).value));
  } else if (kind == MM::AfterWrite) {
    std::string value;
    property->Get(value);
    const int index = IndexOf(onOff_, value);
    if (index < 0) return MM::Err::Ok;
    handle->SetOption(pyxon::opt::kTecOn, index);
    // The camera may start its fan together with the cooler.
    if (index == 1) OnPropertyChanged("Fan");
  }
  return MM::Err::Ok;
}

int Camera::OnTecTarget(MM::PropertyBase* property, MM::ActionKind kind) {
  pyxon::CameraHandle* const handle = Handle();
  if (!handle) return WithoutCamera(kind);
  if (kind == MM::BeforeRead) {
    int32_t target = 0;
    handle->GetTecTarget(&target);
    property->Set(target / 10.0);
  } else if (kind == MM::AfterWrite) {
    double degrees = 0.0;
    property->Get(degrees);
    handle->SetTecTarget(camera::ScaledTruncation<int32_t>(degrees, 10.0));
  }
  return MM::Err::Ok;
}

int Camera::OnTecPower(MM::PropertyBase* property, MM::ActionKind kind) {
  pyxon::CameraHandle* const handle = Handle();
  if (!handle) return WithoutCamera(kind);
  if (kind != MM::BeforeRead) return MM::Err::Ok;
  const OptionRead maximum = ReadOption(handle, pyxon::opt::kTecDriveMax, 0);
  const OptionRead drive = ReadOption(handle, pyxon::opt::kTecDrive, 0);
  if (maximum.ok && drive.ok && maximum.value > 0 && drive.value >= 0) {
    property->Set(drive.value * 100.0 / maximum.value);
  }
  return MM::Err::Ok;
}

int Camera::OnHeat(MM::PropertyBase* property, MM::ActionKind kind) {
  pyxon::CameraHandle* const handle = Handle();
  if (!handle) return WithoutCamera(kind);
  if (kind == MM::BeforeRead) {
    property->Set(LevelText(ReadOption(handle, pyxon::opt::kHeater, 0).value).c_str());
  } else if (kind == MM::AfterWrite) {
    std::string value;
    property->Get(value);
    const long level = value == onOff_[0] ? 0 : camera::ParseDecimal(value);
    handle->SetOption(pyxon::opt::kHeater, camera::SaturateIntCast<int32_t>(level));
  }
  return MM::Err::Ok;
}

// ---- readout switches and settings ----------------------------------------------------

int Camera::OnLowNoise(MM::PropertyBase* property, MM::ActionKind kind) {
  return OnOffOption(property, kind, pyxon::opt::kLowNoise);
}
int Camera::OnCorrelatedDoubleSampling(MM::PropertyBase* property, MM::ActionKind kind) {
  return IntegerOption(property, kind, pyxon::opt::kCds);
}
int Camera::OnGlobalResetMode(MM::PropertyBase* property, MM::ActionKind kind) {
  return OnOffOption(property, kind, pyxon::opt::kGlobalReset);
}
int Camera::OnLowPowerConsumption(MM::PropertyBase* property, MM::ActionKind kind) {
  return OnOffOption(property, kind, pyxon::opt::kLowPower);
}
int Camera::OnReadoutMode(MM::PropertyBase* property, MM::ActionKind kind) {
  return ListOption(property, kind, pyxon::opt::kReadoutMode, readoutModes_);
}
int Camera::OnLane(MM::PropertyBase* property, MM::ActionKind kind) {
  return ListOption(property, kind, pyxon::opt::kLane, lanes_);
}
int Camera::OnMechanicalShutter(MM::PropertyBase* property, MM::ActionKind kind) {
  pyxon::CameraHandle* const handle = Handle();
  if (!handle) return WithoutCamera(kind);
  if (kind == MM::BeforeRead) {
    const int32_t closed = ReadOption(handle, pyxon::opt::kMechanicalShutter, 0).value;
    property->Set(shutterStates_[closed != 0 ? 1 : 0].c_str());
    return MM::Err::Ok;
  }
  return ListOption(property, kind, pyxon::opt::kMechanicalShutter, shutterStates_);
}

int Camera::OnAntiBlooming(MM::PropertyBase* property, MM::ActionKind kind) {
  pyxon::CameraHandle* const handle = Handle();
  if (!handle) return WithoutCamera(kind);
  if (kind == MM::AfterWrite) {
    // The camera expects its default to be asked for before a new value.
    int32_t value = handle->QueryNamedInt("defAntiBlooming");
    value = IntegerValue(property);
    handle->SetOption(pyxon::opt::kAntiBlooming, value);
    return MM::Err::Ok;
  }
  return IntegerOption(property, kind, pyxon::opt::kAntiBlooming);
}

int Camera::OnVoltageBias(MM::PropertyBase* property, MM::ActionKind kind) {
  pyxon::CameraHandle* const handle = Handle();
  if (!handle) return WithoutCamera(kind);
  if (kind == MM::BeforeRead) {
    property->Set(static_cast<double>(ReadOption(handle, pyxon::opt::kVoltageBias, 0).value));
  } else if (kind == MM::AfterWrite) {
    double value = 0.0;
    property->Get(value);
    handle->SetOption(pyxon::opt::kVoltageBias, camera::ScaledTruncation<int32_t>(value, 1.0));
  }
  return MM::Err::Ok;
}

// ---- factory settings ---------------------------------------------------------------

// Any accepted value reloads the camera's factory settings: delivery is
// restarted around the reload (the geometry may change with it), the
// resolution index, the exposure limits and every property are read again.
int Camera::OnFactorySettings(MM::PropertyBase* property, MM::ActionKind kind) {
  pyxon::CameraHandle* const handle = Handle();
  if (!handle) return WithoutCamera(kind);
  if (kind == MM::BeforeRead) {
    property->Set("Click");
    return MM::Err::Ok;
  }
  if (kind != MM::AfterWrite) return MM::Err::Ok;
  if (IsCapturing()) return MM::Err::CameraBusy;
  const int result = ReconfigureDelivery([&] {
    handle->SetOption(pyxon::opt::kFactoryReset, 0);
    // The reload may select another resolution; follow the camera, as at
    // initialisation, so that "Resolution" and region mirroring stay true.
    uint32_t index = resolutionIndex_;
    if (handle->GetResolutionIndex(&index) >= 0) resolutionIndex_ = index;
  });
  if (result != MM::Err::Ok) return result;
  RefreshExposureLimits();
  RefreshAllProperties();
  return MM::Err::Ok;
}
