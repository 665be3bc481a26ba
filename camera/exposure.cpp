// Exposure, gain, auto-exposure and the frame-rate or speed control.
//
// The host speaks milliseconds (double), the camera unsigned 32-bit
// microseconds. Every change of the exposure, by the host or by the camera's
// auto-exposure (event 1), is reported to the host (callback position 18) and
// through property-change reports for "Exposure" and "RealExposure".
#include <algorithm>
#include <cstdio>
#include <limits>
#include <string>

#include "camera/Camera.h"
#include "camera/conversions.h"
#include "camera/family_support.h"
#include "module/module_state.h"

namespace {

constexpr int32_t kPeakPercentMin = 1;
constexpr int32_t kPeakPercentMax = 99;
// Partners written with an auto-exposure maximum when the other property is missing.
constexpr long kDefaultAeMaxTime = 350;
constexpr long kDefaultAeMaxGain = 500;
constexpr uint32_t kAeMaxTimePreset = 350000;
constexpr uint16_t kAeMaxGainPreset = 500;
constexpr uint16_t kDefaultAutoExposurePreset = 500;
constexpr uint16_t kMaxGainWithoutDefault = 5000;

bool IsPeakPercent(int32_t value) {
  return value >= kPeakPercentMin && value <= kPeakPercentMax;
}

long StoredLong(const std::string& text) {
  return camera::ParseDecimal(text);
}

}  // namespace

// ---- host slots 60 and 61 --------------------------------------------------------------

double Camera::GetExposure() const {
  pyxon::CameraHandle* handle = Handle();
  if (handle == nullptr) return lastExposureMs_.load();
  uint32_t microseconds = 0;
  handle->GetExposureTime(&microseconds);
  const double milliseconds = camera::MicrosecondsToMilliseconds(microseconds);
  lastExposureMs_.store(milliseconds);
  return milliseconds;
}

void Camera::SetExposure(double milliseconds) {
  pyxon::CameraHandle* handle = Handle();
  if (handle == nullptr) return;
  // NaN, negative values and values beyond 32-bit microseconds cannot be sent.
  uint32_t requested = 0;
  if (!camera::MillisecondsToMicroseconds(milliseconds, &requested)) return;
  uint32_t current = 0;
  handle->GetExposureTime(&current);
  if (current == requested) return;
  handle->SetExposureTime(requested);
  ReportExposure(GetExposure());
  OnPropertyChanged("Exposure");
  OnPropertyChanged("RealExposure");
}

void Camera::ReportExposure(double milliseconds) {
  if (HostCallback* callback = GetCallback()) callback->OnExposureChanged(this, milliseconds);
}

void Camera::RefreshExposureLimits() {
  pyxon::CameraHandle* handle = Handle();
  if (handle == nullptr) return;
  if (Capabilities() & pyxon::cap::kFrameRateControl) {
    const int32_t maximum = camera::ReadOption(handle, pyxon::opt::kMaxFrameRate, 0).value;
    SetPropertyLimits("FrameRate", 0.1, maximum / 10.0);
  }
  uint32_t minimum = 0, maximum = 0, fallback = 0;
  handle->GetExposureRange(&minimum, &maximum, &fallback);
  SetPropertyLimits("Exposure", camera::MicrosecondsToMilliseconds(minimum),
                    camera::MicrosecondsToMilliseconds(maximum));
  OnPropertyChanged("Exposure");
  ReportExposure(GetExposure());
  OnPropertyChanged("RealExposure");
}

uint16_t Camera::DerivedMaximumGain() const {
  const DllGetDefAEFn getDefault = Module().getDefaultAutoExposure;
  if (getDefault == nullptr) return kMaxGainWithoutDefault;
  uint16_t value = kDefaultAutoExposurePreset;
  if (getDefault(0, &value) < 0) return kMaxGainWithoutDefault;
  // Ten times the default, saturated to the 16 bits the camera takes.
  return camera::SaturateIntCast<uint16_t>(uint32_t{value} * 10u);
}

// ---- creation ------------------------------------------------------------------------

void Camera::CreateExposureProperties() {
  pyxon::CameraHandle* handle = Handle();

  CreateBoundProperty("AutoExposure", "ON", MM::String, false, &Camera::OnAutoExposure);
  SetAllowedValues("AutoExposure", onOff_);

  uint16_t target = 120;
  handle->GetAutoExposureTarget(&target);
  CreateIntegerProperty("AutoExposureTarget", target,
                        new MM::Action<Camera>(this, &Camera::OnAutoExposureTarget));
  SetPropertyLimits("AutoExposureTarget", 16, 220);

  const bool supportsGain = handle->QueryNamedInt("issupportgain") != 0;
  if (supportsGain) {
    const int32_t policy = camera::ReadOption(handle, pyxon::opt::kAutoExposurePolicy, 1).value;
    const std::string* text = camera::EntryAt(aePolicies_, policy);
    CreateBoundProperty("AutoExposure Policy", (text ? *text : aePolicies_[1]).c_str(), MM::String,
                        false, &Camera::OnAutoExposurePolicy);
    SetAllowedValues("AutoExposure Policy", aePolicies_);
  } else {
    CreateStringProperty("AutoExposure Policy", aePolicies_[0].c_str(), true);
  }

  CreateAutoExposureMaximaProperties(handle, supportsGain);

  const int32_t peak = camera::ReadOption(handle, pyxon::opt::kAutoExposurePeak, 0).value;
  CreateBoundProperty("AutoExposure Peak Mode", IsPeakPercent(peak) ? "ON" : "OFF", MM::String,
                      false, &Camera::OnAutoExposurePeakMode);
  SetAllowedValues("AutoExposure Peak Mode", onOff_);
  CreateIntegerProperty("AutoExposure Percent", IsPeakPercent(peak) ? peak : kPeakPercentMin,
                        new MM::Action<Camera>(this, &Camera::OnAutoExposurePercent));
  SetPropertyLimits("AutoExposure Percent", kPeakPercentMin, kPeakPercentMax);

  uint32_t exposure = 0;
  handle->GetExposureTime(&exposure);
  CreateFloatProperty("Exposure", camera::MicrosecondsToMilliseconds(exposure), false,
                      new MM::Action<Camera>(this, &Camera::OnExposure));
  uint32_t minimum = 0, maximum = 0, fallback = 0;
  handle->GetExposureRange(&minimum, &maximum, &fallback);
  SetPropertyLimits("Exposure", camera::MicrosecondsToMilliseconds(minimum),
                    camera::MicrosecondsToMilliseconds(maximum));

  if (supportsGain) CreateGainProperty(handle);

  uint32_t real = 0;
  handle->GetRealExposureTime(&real);
  CreateFloatProperty("RealExposure", camera::MicrosecondsToMilliseconds(real), true,
                      new MM::Action<Camera>(this, &Camera::OnRealExposure));
}

void Camera::CreateAutoExposureMaximaProperties(pyxon::CameraHandle* handle, bool supportsGain) {
  uint32_t maxTime = kDefaultAeMaxTime;
  uint16_t maxGain = kDefaultAeMaxGain;
  handle->GetAutoExposureMax(&maxTime, &maxGain);
  CreateIntegerProperty("AutoExposure Maximum Exposure Time", static_cast<long>(maxTime),
                        new MM::Action<Camera>(this, &Camera::OnAutoExposureMaxTime));
  SetPropertyLimits("AutoExposure Maximum Exposure Time", 10, 5000);
  if (!supportsGain) return;
  CreateIntegerProperty("AutoExposure Maximum Gain", maxGain,
                        new MM::Action<Camera>(this, &Camera::OnAutoExposureMaxGain));
  SetPropertyLimits("AutoExposure Maximum Gain", 100, DerivedMaximumGain());
}

void Camera::CreateGainProperty(pyxon::CameraHandle* handle) {
  uint16_t minimum = 0, maximum = 0, fallback = 0;
  handle->GetGainRange(&minimum, &maximum, &fallback);
  uint16_t gain = 100;
  handle->GetGain(&gain);
  CreateIntegerProperty("Gain", gain, new MM::Action<Camera>(this, &Camera::OnGain));
  SetPropertyLimits("Gain", minimum, maximum);
}

void Camera::CreateFrameRateProperties() {
  pyxon::CameraHandle* handle = Handle();
  const pyxon::CameraModel* model = Model();
  if (Capabilities() & pyxon::cap::kFrameRateControl) {
    if (handle->QueryNamedInt("supportbandwidth") != 0) {
      const int32_t bandwidth = camera::ReadOption(handle, pyxon::opt::kBandwidth, 100).value;
      CreateIntegerProperty("Bandwidth", bandwidth,
                            new MM::Action<Camera>(this, &Camera::OnBandwidth));
      SetPropertyLimits("Bandwidth", 1, 100);
    }
    const int32_t rate = camera::ReadOption(handle, pyxon::opt::kFrameRate, 0).value;
    CreateFloatProperty("FrameRate", rate / 10.0, false,
                        new MM::Action<Camera>(this, &Camera::OnFrameRate));
    const int32_t maximum = camera::ReadOption(handle, pyxon::opt::kMaxFrameRate, 0).value;
    SetPropertyLimits("FrameRate", 0.1, maximum / 10.0);
    return;
  }
  uint16_t speed = 0;
  handle->GetSpeed(&speed);
  CreateBoundProperty("Speed", camera::DecimalText(speed).c_str(), MM::String, false,
                      &Camera::OnSpeed);
  // Speeds are 16-bit at the camera: a larger maximum is not a real level.
  const uint32_t highest =
      std::min<uint32_t>(model->maxSpeed, std::numeric_limits<uint16_t>::max());
  std::vector<std::string> speeds;
  for (uint32_t level = 0; level <= highest; ++level) speeds.push_back(camera::UnsignedText(level));
  SetAllowedValues("Speed", speeds);
}

// ---- handlers ------------------------------------------------------------------------
// Without a camera a read keeps the stored value and a write answers 35.

int Camera::OnAutoExposure(MM::PropertyBase* property, MM::ActionKind kind) {
  pyxon::CameraHandle* handle = Handle();
  if (handle == nullptr) return camera::WithoutCamera(kind);
  if (kind == MM::BeforeRead) {
    int32_t enabled = 1;
    handle->GetAutoExposure(&enabled);
    property->Set(camera::OnOffText(enabled));
  } else if (kind == MM::AfterWrite) {
    std::string value;
    property->Get(value);
    const int index = camera::IndexOf(onOff_, value);
    if (index >= 0) handle->SetAutoExposure(index);
  }
  return MM::Err::Ok;
}

int Camera::OnAutoExposureTarget(MM::PropertyBase* property, MM::ActionKind kind) {
  pyxon::CameraHandle* handle = Handle();
  if (handle == nullptr) return camera::WithoutCamera(kind);
  if (kind == MM::BeforeRead) {
    uint16_t target = 120;
    handle->GetAutoExposureTarget(&target);
    property->Set(static_cast<long>(target));
  } else if (kind == MM::AfterWrite) {
    long target = 0;
    property->Get(target);
    handle->SetAutoExposureTarget(camera::SaturateIntCast<uint16_t>(target));
  }
  return MM::Err::Ok;
}

int Camera::OnAutoExposurePolicy(MM::PropertyBase* property, MM::ActionKind kind) {
  pyxon::CameraHandle* handle = Handle();
  if (handle == nullptr) return camera::WithoutCamera(kind);
  if (kind == MM::BeforeRead) {
    const camera::OptionRead policy =
        camera::ReadOption(handle, pyxon::opt::kAutoExposurePolicy, 1);
    const std::string* text = camera::EntryAt(aePolicies_, policy.value);
    if (policy.ok && text != nullptr) property->Set(text->c_str());
  } else if (kind == MM::AfterWrite) {
    std::string value;
    property->Get(value);
    const int index = camera::IndexOf(aePolicies_, value);
    if (index >= 0) handle->SetOption(pyxon::opt::kAutoExposurePolicy, index);
  }
  return MM::Err::Ok;
}

// The two maxima are written together; the partner is the value the other
// property holds, or a fixed value when the camera has no such property.
int Camera::OnAutoExposureMaxTime(MM::PropertyBase* property, MM::ActionKind kind) {
  pyxon::CameraHandle* handle = Handle();
  if (handle == nullptr) return camera::WithoutCamera(kind);
  if (kind == MM::BeforeRead) {
    uint32_t maxTime = kAeMaxTimePreset;
    handle->GetAutoExposureMax(&maxTime, nullptr);
    property->Set(static_cast<long>(maxTime));
  } else if (kind == MM::AfterWrite) {
    long maxTime = 0;
    property->Get(maxTime);
    std::string partner;
    const long maxGain = StoredPropertyValue("AutoExposure Maximum Gain", partner)
                             ? StoredLong(partner)
                             : kDefaultAeMaxGain;
    handle->SetAutoExposureMax(camera::SaturateIntCast<uint32_t>(maxTime),
                               camera::SaturateIntCast<uint16_t>(maxGain));
  }
  return MM::Err::Ok;
}

int Camera::OnAutoExposureMaxGain(MM::PropertyBase* property, MM::ActionKind kind) {
  pyxon::CameraHandle* handle = Handle();
  if (handle == nullptr) return camera::WithoutCamera(kind);
  if (kind == MM::BeforeRead) {
    uint16_t maxGain = kAeMaxGainPreset;
    handle->GetAutoExposureMax(nullptr, &maxGain);
    property->Set(static_cast<long>(maxGain));
  } else if (kind == MM::AfterWrite) {
    long maxGain = 0;
    property->Get(maxGain);
    std::string partner;
    const long maxTime = StoredPropertyValue("AutoExposure Maximum Exposure Time", partner)
                             ? StoredLong(partner)
                             : kDefaultAeMaxTime;
    handle->SetAutoExposureMax(camera::SaturateIntCast<uint32_t>(maxTime),
                               camera::SaturateIntCast<uint16_t>(maxGain));
  }
  return MM::Err::Ok;
}

// Peak mode and percent share option 74: 0 is off, 1 to 99 on with that percentage.
int Camera::OnAutoExposurePeakMode(MM::PropertyBase* property, MM::ActionKind kind) {
  pyxon::CameraHandle* handle = Handle();
  if (handle == nullptr) return camera::WithoutCamera(kind);
  if (kind == MM::BeforeRead) {
    const int32_t peak = camera::ReadOption(handle, pyxon::opt::kAutoExposurePeak, 0).value;
    property->Set(IsPeakPercent(peak) ? "ON" : "OFF");
  } else if (kind == MM::AfterWrite) {
    std::string value;
    property->Get(value);
    if (value == onOff_[0]) {
      handle->SetOption(pyxon::opt::kAutoExposurePeak, 0);
    } else if (value == onOff_[1]) {
      std::string percent;
      const long stored = StoredPropertyValue("AutoExposure Percent", percent) ? StoredLong(percent)
                                                                               : kPeakPercentMin;
      handle->SetOption(pyxon::opt::kAutoExposurePeak, camera::SaturateIntCast<int32_t>(stored));
    }
  }
  return MM::Err::Ok;
}

int Camera::OnAutoExposurePercent(MM::PropertyBase* property, MM::ActionKind kind) {
  pyxon::CameraHandle* handle = Handle();
  if (handle == nullptr) return camera::WithoutCamera(kind);
  if (kind == MM::BeforeRead) {
    const int32_t peak = camera::ReadOption(handle, pyxon::opt::kAutoExposurePeak, 1).value;
    property->Set(static_cast<long>(IsPeakPercent(peak) ? peak : kPeakPercentMin));
  } else if (kind == MM::AfterWrite) {
    std::string mode;
    if (!StoredPropertyValue("AutoExposure Peak Mode", mode) || mode != onOff_[1])
      return MM::Err::Ok;
    long percent = kPeakPercentMin;
    property->Get(percent);
    handle->SetOption(pyxon::opt::kAutoExposurePeak, camera::SaturateIntCast<int32_t>(percent));
  }
  return MM::Err::Ok;
}

int Camera::OnExposure(MM::PropertyBase* property, MM::ActionKind kind) {
  if (Handle() == nullptr) return camera::WithoutCamera(kind);
  if (kind == MM::BeforeRead) {
    const double milliseconds = GetExposure();
    property->Set(milliseconds);
    ReportExposure(milliseconds);
    OnPropertyChanged("RealExposure");
  } else if (kind == MM::AfterWrite) {
    double milliseconds = 1.0;
    property->Get(milliseconds);
    SetExposure(milliseconds);
  }
  return MM::Err::Ok;
}

int Camera::OnGain(MM::PropertyBase* property, MM::ActionKind kind) {
  pyxon::CameraHandle* handle = Handle();
  if (handle == nullptr) return camera::WithoutCamera(kind);
  if (kind == MM::BeforeRead) {
    uint16_t gain = 100;
    handle->GetGain(&gain);
    property->Set(static_cast<long>(gain));
  } else if (kind == MM::AfterWrite) {
    long gain = 0;
    property->Get(gain);
    handle->SetGain(camera::SaturateIntCast<uint16_t>(gain));
  }
  return MM::Err::Ok;
}

int Camera::OnRealExposure(MM::PropertyBase* property, MM::ActionKind kind) {
  pyxon::CameraHandle* handle = Handle();
  if (handle == nullptr) return camera::WithoutCamera(kind);
  if (kind == MM::BeforeRead) {
    uint32_t microseconds = 0;
    handle->GetRealExposureTime(&microseconds);
    property->Set(camera::MicrosecondsToMilliseconds(microseconds));
  }
  return MM::Err::Ok;
}

int Camera::OnBandwidth(MM::PropertyBase* property, MM::ActionKind kind) {
  pyxon::CameraHandle* handle = Handle();
  if (handle == nullptr) return camera::WithoutCamera(kind);
  if (kind == MM::BeforeRead) {
    property->Set(static_cast<long>(camera::ReadOption(handle, pyxon::opt::kBandwidth, 0).value));
  } else if (kind == MM::AfterWrite) {
    long bandwidth = 0;
    property->Get(bandwidth);
    handle->SetOption(pyxon::opt::kBandwidth, camera::SaturateIntCast<int32_t>(bandwidth));
    RefreshExposureLimits();
  }
  return MM::Err::Ok;
}

int Camera::OnFrameRate(MM::PropertyBase* property, MM::ActionKind kind) {
  pyxon::CameraHandle* handle = Handle();
  if (handle == nullptr) return camera::WithoutCamera(kind);
  if (kind == MM::BeforeRead) {
    property->Set(camera::ReadOption(handle, pyxon::opt::kFrameRate, 0).value / 10.0);
  } else if (kind == MM::AfterWrite) {
    double rate = 0.0;
    property->Get(rate);
    handle->SetOption(pyxon::opt::kFrameRate,
                      camera::SaturateCast<int32_t>(camera::TruncateScaled(rate * 10.0)));
  }
  return MM::Err::Ok;
}

int Camera::OnSpeed(MM::PropertyBase* property, MM::ActionKind kind) {
  pyxon::CameraHandle* handle = Handle();
  if (handle == nullptr) return camera::WithoutCamera(kind);
  if (kind == MM::BeforeRead) {
    uint16_t speed = 0;
    handle->GetSpeed(&speed);
    property->Set(camera::DecimalText(speed).c_str());
  } else if (kind == MM::AfterWrite) {
    std::string value;
    property->Get(value);
    handle->SetSpeed(camera::SaturateIntCast<uint16_t>(camera::ParseDecimal(value)));
  }
  return MM::Err::Ok;
}
