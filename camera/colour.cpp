// Colour and image-processing properties: white balance (mode, interval, the
// gain triple), hue, saturation, brightness, contrast, gamma, mains power
// frequency, conversion gain, denoise, sharpening, negative image, tone
// mapping, dynamic defect correction, the HDR merge parameters and the
// anti-shutter effect.
//
// Every handler translates between the property and one or two vendor calls;
// nothing is cached in the Camera except the fixed value lists. Vendor results
// are not examined: a failed read shows the preset, a failed write still
// succeeds (the property keeps the host's value until it is read again).
//
// Threads: handlers run on the host's calling thread under the device's
// property lock; none takes a lock of the Camera.

#include <string>

#include "camera/Camera.h"
#include "camera/conversions.h"
#include "camera/family_support.h"

using camera::ClampedEntry;
using camera::IndexOf;
using camera::OptionRead;
using camera::ReadOption;
using camera::WithoutCamera;

namespace {

constexpr int kWhiteBalanceOnce = 0;
constexpr int kWhiteBalanceContinuous = 1;
constexpr int kWhiteBalanceOff = 2;

constexpr int32_t kDynamicDefectPreset = 0x005A005A;  // 0.9 for both thresholds
constexpr int32_t kSharpeningStrengthMask = 0xFFFF;
constexpr int32_t kSharpeningEnableBit = 0x20000;

const camera::TextList kPowerFrequencies = {"60HZ", "50HZ", "DC"};
const camera::TextList kToneMappings = {"OFF", "Polynomial", "Logarithmic"};

// Vendor value of a three-way setting named by `names`: the first two names map
// to 0 and 1, anything else to 2.
int32_t ThreeWayValue(const camera::TextList& names, const std::string& text) {
  if (text == names[0]) return 0;
  if (text == names[1]) return 1;
  return 2;
}

// Name of a three-way vendor value: 0 and 1 name themselves, anything else the
// third entry.
const std::string& ThreeWayName(const camera::TextList& names, int32_t value) {
  if (value == 0) return names[0];
  if (value == 1) return names[1];
  return names[2];
}

int32_t ClampToThreeWay(int32_t value) {
  return value < 0 ? 0 : (value > 2 ? 2 : value);
}

const char* const kGainNames[3] = {"WhiteBalanceRGain", "WhiteBalanceGGain", "WhiteBalanceBGain"};

}  // namespace

// ---- creation -------------------------------------------------------------------

void Camera::CreateColourProperties() {
  pyxon::CameraHandle* const handle = Handle();
  if (!IsMonochrome()) {
    const int mode = CurrentWhiteBalanceMode(handle);
    CreateStringProperty("AutoWhiteBalance", whiteBalanceModes_[mode].c_str(), false,
                         new MM::Action<Camera>(this, &Camera::OnAutoWhiteBalance));
    SetAllowedValues("AutoWhiteBalance", whiteBalanceModes_);

    int32_t interval = 1000;
    if (mode == kWhiteBalanceContinuous) {
      interval = ReadOption(handle, pyxon::opt::kWhiteBalanceInterval, 1000).value;
    } else {
      handle->GetNamedValue("AwbInterval", &interval);
    }
    CreateIntegerProperty("AutoWhiteBalanceInterval", interval,
                          new MM::Action<Camera>(this, &Camera::OnAutoWhiteBalanceInterval));
    SetPropertyLimits("AutoWhiteBalanceInterval", 100, 600000);

    int32_t gains[3] = {0, 0, 0};
    handle->GetWhiteBalanceGains(gains);
    CreateIntegerProperty(kGainNames[0], gains[0],
                          new MM::Action<Camera>(this, &Camera::OnWhiteBalanceRedGain));
    SetPropertyLimits(kGainNames[0], -127, 127);
    CreateIntegerProperty(kGainNames[1], gains[1],
                          new MM::Action<Camera>(this, &Camera::OnWhiteBalanceGreenGain));
    SetPropertyLimits(kGainNames[1], -127, 127);
    CreateIntegerProperty(kGainNames[2], gains[2],
                          new MM::Action<Camera>(this, &Camera::OnWhiteBalanceBlueGain));
    SetPropertyLimits(kGainNames[2], -127, 127);

    int32_t hue = 0;
    handle->GetHue(&hue);
    CreateIntegerProperty("Hue", hue, new MM::Action<Camera>(this, &Camera::OnHue));
    SetPropertyLimits("Hue", -180, 180);
    int32_t saturation = 128;
    handle->GetSaturation(&saturation);
    CreateIntegerProperty("Saturation", saturation,
                          new MM::Action<Camera>(this, &Camera::OnSaturation));
    SetPropertyLimits("Saturation", 0, 255);
    int32_t brightness = 0;
    handle->GetBrightness(&brightness);
    CreateIntegerProperty("Brightness", brightness,
                          new MM::Action<Camera>(this, &Camera::OnBrightness));
    SetPropertyLimits("Brightness", -255, 255);
  }

  int32_t contrast = 0;
  handle->GetContrast(&contrast);
  CreateIntegerProperty("Contrast", contrast, new MM::Action<Camera>(this, &Camera::OnContrast));
  SetPropertyLimits("Contrast", -255, 255);
  int32_t gamma = 100;
  handle->GetGamma(&gamma);
  CreateIntegerProperty("Gamma", gamma, new MM::Action<Camera>(this, &Camera::OnGamma));
  SetPropertyLimits("Gamma", 20, 180);
}

void Camera::CreatePowerFrequencyProperty() {
  pyxon::CameraHandle* const handle = Handle();
  int32_t mode = 2;
  handle->GetPowerFrequency(&mode);
  CreateStringProperty("PowerFrequency",
                       ThreeWayName(kPowerFrequencies, ClampToThreeWay(mode)).c_str(), false,
                       new MM::Action<Camera>(this, &Camera::OnPowerFrequency));
  SetAllowedValues("PowerFrequency", kPowerFrequencies);
}

void Camera::CreateConversionGainProperty() {
  pyxon::CameraHandle* const handle = Handle();
  const uint64_t flags = Capabilities();
  if ((flags & pyxon::cap::kConversionGain) == 0) return;
  conversionGains_ = {"LCG"};
  if (HasThreeLevelConversionGain()) {
    conversionGains_.push_back("MCG");
    conversionGains_.push_back("HCG");
  } else {
    conversionGains_.push_back("HCG");
    if ((flags & pyxon::cap::kConversionGainHdr) != 0) conversionGains_.push_back("HDR");
  }
  int32_t value = ReadOption(handle, pyxon::opt::kConversionGain, 0).value;
  if (value < 0) value = 0;
  // Three-level cameras number low, high, medium; the list reads low, medium, high.
  if (HasThreeLevelConversionGain() && (value == 1 || value == 2)) value = 3 - value;
  CreateStringProperty("ConversionGain", ClampedEntry(conversionGains_, value).c_str(), false,
                       new MM::Action<Camera>(this, &Camera::OnConversionGain));
  SetAllowedValues("ConversionGain", conversionGains_);
}

void Camera::CreateDenoiseSharpeningNegative() {
  pyxon::CameraHandle* const handle = Handle();
  const OptionRead denoise = ReadOption(handle, pyxon::opt::kDenoise, 0);
  if (denoise.ok) {
    CreateIntegerProperty("Denoise", denoise.value,
                          new MM::Action<Camera>(this, &Camera::OnDenoise));
    SetPropertyLimits("Denoise", 0, 100);
  }
  const OptionRead sharpening = ReadOption(handle, pyxon::opt::kSharpening, 0);
  if (sharpening.ok) {
    CreateIntegerProperty("Sharpening", sharpening.value & kSharpeningStrengthMask,
                          new MM::Action<Camera>(this, &Camera::OnSharpening));
    SetPropertyLimits("Sharpening", 0, 500);
  }
  int32_t negative = 0;
  handle->GetNegative(&negative);
  CreateStringProperty("Negative", camera::OnOffText(negative), false,
                       new MM::Action<Camera>(this, &Camera::OnNegative));
  SetAllowedValues("Negative", onOff_);
}

void Camera::CreateToneDefectHdrProperties() {
  pyxon::CameraHandle* const handle = Handle();
  if (!IsMonochrome()) {
    const OptionRead tone = ReadOption(handle, pyxon::opt::kToneMapping, 0);
    if (tone.ok) {
      CreateStringProperty("ToneMapping",
                           ThreeWayName(kToneMappings, ClampToThreeWay(tone.value)).c_str(), false,
                           new MM::Action<Camera>(this, &Camera::OnToneMapping));
      SetAllowedValues("ToneMapping", kToneMappings);
    }
  }
  const OptionRead defect = ReadOption(handle, pyxon::opt::kDynamicDefect, kDynamicDefectPreset);
  if (defect.ok) {
    CreateFloatProperty("DynamicDefect:Dead", camera::HighHalf(defect.value) / 100.0, false,
                        new MM::Action<Camera>(this, &Camera::OnDynamicDefectDead));
    SetPropertyLimits("DynamicDefect:Dead", 0, 1);
    CreateFloatProperty("DynamicDefect:Hot", camera::LowHalf(defect.value) / 100.0, false,
                        new MM::Action<Camera>(this, &Camera::OnDynamicDefectHot));
    SetPropertyLimits("DynamicDefect:Hot", 0, 1);
  }
  const OptionRead hdr = ReadOption(handle, pyxon::opt::kHdrKB, 0);
  if (hdr.ok) {
    CreateIntegerProperty("HDR:K", camera::HighHalf(hdr.value),
                          new MM::Action<Camera>(this, &Camera::OnHdrK));
    SetPropertyLimits("HDR:K", 1, 25500);
    CreateIntegerProperty("HDR:B", camera::LowHalf(hdr.value),
                          new MM::Action<Camera>(this, &Camera::OnHdrB));
    SetPropertyLimits("HDR:B", 0, 65535);
  }
  const OptionRead threshold = ReadOption(handle, pyxon::opt::kHdrThreshold, 0);
  if (threshold.ok) {
    CreateIntegerProperty("HDR:Threshold", threshold.value,
                          new MM::Action<Camera>(this, &Camera::OnHdrThreshold));
    SetPropertyLimits("HDR:Threshold", 0, 4094);
  }
}

void Camera::CreateAntiShutterEffectProperty() {
  pyxon::CameraHandle* const handle = Handle();
  const OptionRead effect = ReadOption(handle, pyxon::opt::kAntiShutterEffect, 0);
  if (!effect.ok) return;
  CreateStringProperty("AntiShutterEffect", camera::OnOffText(effect.value), false,
                       new MM::Action<Camera>(this, &Camera::OnAntiShutterEffect));
  SetAllowedValues("AntiShutterEffect", onOff_);
}

// ---- white balance ------------------------------------------------------------------

// Continuous while option 108 holds an interval; otherwise "Off" while the
// camera's "AwbOff" mark is set, else "Once". The mark is the only place the
// camera keeps "Off" apart from "Once", so the writes below set it for "Off"
// and clear it for "Once": each mode then reads back as written.
int Camera::CurrentWhiteBalanceMode(pyxon::CameraHandle* handle) {
  if (ReadOption(handle, pyxon::opt::kWhiteBalanceInterval, 0).value != 0) {
    return kWhiteBalanceContinuous;
  }
  int32_t off = 0;
  handle->GetNamedValue("AwbOff", &off);
  return off != 0 ? kWhiteBalanceOff : kWhiteBalanceOnce;
}

int Camera::OnAutoWhiteBalance(MM::PropertyBase* property, MM::ActionKind kind) {
  pyxon::CameraHandle* const handle = Handle();
  if (!handle) return WithoutCamera(kind);
  if (kind == MM::BeforeRead) {
    property->Set(whiteBalanceModes_[CurrentWhiteBalanceMode(handle)].c_str());
    return MM::Err::Ok;
  }
  if (kind != MM::AfterWrite) return MM::Err::Ok;
  std::string value;
  property->Get(value);
  switch (IndexOf(whiteBalanceModes_, value)) {
    case kWhiteBalanceOnce:
      handle->SetOption(pyxon::opt::kWhiteBalanceInterval, 0);
      handle->WhiteBalanceOnce(nullptr, nullptr);
      handle->SetNamedValue("AwbOff", 0);
      break;
    case kWhiteBalanceOff: {
      handle->SetOption(pyxon::opt::kWhiteBalanceInterval, 0);
      const int32_t neutral[3] = {0, 0, 0};
      handle->SetWhiteBalanceGains(neutral);
      handle->SetNamedValue("AwbOff", 1);
      for (const char* name : kGainNames) OnPropertyChanged(name);
      break;
    }
    default: {  // "Continuous"
      std::string interval;
      if (GetPropertyValue("AutoWhiteBalanceInterval", interval) != MM::Err::Ok) break;
      handle->SetOption(pyxon::opt::kWhiteBalanceInterval,
                        camera::SaturateIntCast<int32_t>(camera::ParseDecimal(interval)));
      handle->SetNamedValue("AwbOff", 1);
      break;
    }
  }
  return MM::Err::Ok;
}

int Camera::OnAutoWhiteBalanceInterval(MM::PropertyBase* property, MM::ActionKind kind) {
  pyxon::CameraHandle* const handle = Handle();
  if (!handle) return WithoutCamera(kind);
  if (kind == MM::BeforeRead) {
    int32_t interval = 1000;
    handle->GetNamedValue("AwbInterval", &interval);
    property->Set(static_cast<long>(interval));
  } else if (kind == MM::AfterWrite) {
    handle->SetNamedValue("AwbInterval", IntegerValue(property));
  }
  return MM::Err::Ok;
}

// Each gain owns one element of the triple; a write keeps the other two at
// their current device values.
int Camera::WhiteBalanceGain(MM::PropertyBase* property, MM::ActionKind kind, int element) {
  pyxon::CameraHandle* const handle = Handle();
  if (!handle) return WithoutCamera(kind);
  if (kind != MM::BeforeRead && kind != MM::AfterWrite) return MM::Err::Ok;
  int32_t gains[3] = {0, 0, 0};
  handle->GetWhiteBalanceGains(gains);
  if (kind == MM::BeforeRead) {
    property->Set(static_cast<long>(gains[element]));
  } else {
    gains[element] = IntegerValue(property);
    handle->SetWhiteBalanceGains(gains);
  }
  return MM::Err::Ok;
}

int Camera::OnWhiteBalanceRedGain(MM::PropertyBase* property, MM::ActionKind kind) {
  return WhiteBalanceGain(property, kind, 0);
}
int Camera::OnWhiteBalanceGreenGain(MM::PropertyBase* property, MM::ActionKind kind) {
  return WhiteBalanceGain(property, kind, 1);
}
int Camera::OnWhiteBalanceBlueGain(MM::PropertyBase* property, MM::ActionKind kind) {
  return WhiteBalanceGain(property, kind, 2);
}

// ---- plain integer adjustments ------------------------------------------------------

// Reads through `get` (output preset to `preset`) or writes through `set`.
int Camera::IntegerAdjustment(MM::PropertyBase* property, MM::ActionKind kind,
                              pyxon::Result (pyxon::CameraHandle::*get)(int32_t*),
                              pyxon::Result (pyxon::CameraHandle::*set)(int32_t), int32_t preset) {
  pyxon::CameraHandle* const handle = Handle();
  if (!handle) return WithoutCamera(kind);
  if (kind == MM::BeforeRead) {
    int32_t value = preset;
    (handle->*get)(&value);
    property->Set(static_cast<long>(value));
  } else if (kind == MM::AfterWrite) {
    (handle->*set)(IntegerValue(property));
  }
  return MM::Err::Ok;
}

int Camera::OnHue(MM::PropertyBase* property, MM::ActionKind kind) {
  return IntegerAdjustment(property, kind, &pyxon::CameraHandle::GetHue,
                           &pyxon::CameraHandle::SetHue, 0);
}
int Camera::OnSaturation(MM::PropertyBase* property, MM::ActionKind kind) {
  return IntegerAdjustment(property, kind, &pyxon::CameraHandle::GetSaturation,
                           &pyxon::CameraHandle::SetSaturation, 128);
}
int Camera::OnBrightness(MM::PropertyBase* property, MM::ActionKind kind) {
  return IntegerAdjustment(property, kind, &pyxon::CameraHandle::GetBrightness,
                           &pyxon::CameraHandle::SetBrightness, 0);
}
int Camera::OnContrast(MM::PropertyBase* property, MM::ActionKind kind) {
  return IntegerAdjustment(property, kind, &pyxon::CameraHandle::GetContrast,
                           &pyxon::CameraHandle::SetContrast, 0);
}
int Camera::OnGamma(MM::PropertyBase* property, MM::ActionKind kind) {
  return IntegerAdjustment(property, kind, &pyxon::CameraHandle::GetGamma,
                           &pyxon::CameraHandle::SetGamma, 100);
}

// ---- power frequency, conversion gain -------------------------------------------------

int Camera::OnPowerFrequency(MM::PropertyBase* property, MM::ActionKind kind) {
  pyxon::CameraHandle* const handle = Handle();
  if (!handle) return WithoutCamera(kind);
  if (kind == MM::BeforeRead) {
    int32_t mode = 2;
    handle->GetPowerFrequency(&mode);
    property->Set(ThreeWayName(kPowerFrequencies, mode).c_str());
  } else if (kind == MM::AfterWrite) {
    std::string value;
    property->Get(value);
    handle->SetPowerFrequency(ThreeWayValue(kPowerFrequencies, value));
    // The exposure the camera can realise depends on the mains frequency.
    OnPropertyChanged("RealExposure");
  }
  return MM::Err::Ok;
}

bool Camera::HasThreeLevelConversionGain() const {
  return (Capabilities() & pyxon::cap::kConversionGain3) != 0;
}

int Camera::OnConversionGain(MM::PropertyBase* property, MM::ActionKind kind) {
  pyxon::CameraHandle* const handle = Handle();
  if (!handle) return WithoutCamera(kind);
  if (kind == MM::BeforeRead) {
    const int32_t value = ReadOption(handle, pyxon::opt::kConversionGain, 0).value;
    std::string name = value == 0                      ? "LCG"
                       : value == 1                    ? "HCG"
                       : HasThreeLevelConversionGain() ? "MCG"
                                                       : "HDR";
    // A setting the model does not list (HDR on a model without it) shows as
    // the last listed one rather than as a value the host cannot set back.
    if (IndexOf(conversionGains_, name) < 0) name = ClampedEntry(conversionGains_, INT32_MAX);
    property->Set(name.c_str());
  } else if (kind == MM::AfterWrite) {
    std::string value;
    property->Get(value);
    handle->SetOption(pyxon::opt::kConversionGain, value == "LCG" ? 0 : value == "HCG" ? 1 : 2);
  }
  return MM::Err::Ok;
}

// ---- denoise, sharpening, negative ------------------------------------------------------

int Camera::OnDenoise(MM::PropertyBase* property, MM::ActionKind kind) {
  return IntegerOption(property, kind, pyxon::opt::kDenoise);
}

int Camera::OnSharpening(MM::PropertyBase* property, MM::ActionKind kind) {
  pyxon::CameraHandle* const handle = Handle();
  if (!handle) return WithoutCamera(kind);
  if (kind == MM::BeforeRead) {
    const int32_t value = ReadOption(handle, pyxon::opt::kSharpening, 0).value;
    property->Set(static_cast<long>(value & kSharpeningStrengthMask));
  } else if (kind == MM::AfterWrite) {
    // The camera applies a strength only together with the enable bit.
    handle->SetOption(pyxon::opt::kSharpening, IntegerValue(property) | kSharpeningEnableBit);
  }
  return MM::Err::Ok;
}

int Camera::OnNegative(MM::PropertyBase* property, MM::ActionKind kind) {
  pyxon::CameraHandle* const handle = Handle();
  if (!handle) return WithoutCamera(kind);
  if (kind == MM::BeforeRead) {
    int32_t on = 0;
    handle->GetNegative(&on);
    property->Set(camera::OnOffText(on));
  } else if (kind == MM::AfterWrite) {
    std::string value;
    property->Get(value);
    const int index = IndexOf(onOff_, value);
    if (index >= 0) handle->SetNegative(index);
  }
  return MM::Err::Ok;
}

// ---- tone mapping, defect correction, HDR ---------------------------------------------

int Camera::OnToneMapping(MM::PropertyBase* property, MM::ActionKind kind) {
  pyxon::CameraHandle* const handle = Handle();
  if (!handle) return WithoutCamera(kind);
  if (kind == MM::BeforeRead) {
    const int32_t value = ReadOption(handle, pyxon::opt::kToneMapping, 0).value;
    property->Set(ThreeWayName(kToneMappings, value).c_str());
  } else if (kind == MM::AfterWrite) {
    std::string value;
    property->Get(value);
    handle->SetOption(pyxon::opt::kToneMapping, ThreeWayValue(kToneMappings, value));
  }
  return MM::Err::Ok;
}

// One 16-bit half of a packed option word. The thresholds of option 86 are
// hundredths on the camera (0.9 is stored as 90); the HDR values of option 87
// are plain numbers.
int Camera::PackedHalf(MM::PropertyBase* property, MM::ActionKind kind, uint32_t option,
                       bool highHalf) {
  pyxon::CameraHandle* const handle = Handle();
  if (!handle) return WithoutCamera(kind);
  const bool hundredths = option == pyxon::opt::kDynamicDefect;
  const int32_t preset = hundredths ? kDynamicDefectPreset : 0;
  if (kind == MM::BeforeRead) {
    const int32_t word = ReadOption(handle, option, preset).value;
    const uint16_t half = highHalf ? camera::HighHalf(word) : camera::LowHalf(word);
    if (hundredths) {
      property->Set(half / 100.0);
    } else {
      property->Set(static_cast<long>(half));
    }
    return MM::Err::Ok;
  }
  if (kind != MM::AfterWrite) return MM::Err::Ok;
  uint16_t half = 0;
  if (hundredths) {
    double value = 0.0;
    property->Get(value);
    half = static_cast<uint16_t>(camera::ScaledTruncation<int32_t>(value, 100.0));
  } else {
    long value = 0;
    property->Get(value);
    half = camera::SaturateIntCast<uint16_t>(value);
  }
  const int32_t word = ReadOption(handle, option, preset).value;
  handle->SetOption(option,
                    highHalf ? camera::WithHighHalf(word, half) : camera::WithLowHalf(word, half));
  return MM::Err::Ok;
}

int Camera::OnDynamicDefectDead(MM::PropertyBase* property, MM::ActionKind kind) {
  return PackedHalf(property, kind, pyxon::opt::kDynamicDefect, true);
}
int Camera::OnDynamicDefectHot(MM::PropertyBase* property, MM::ActionKind kind) {
  return PackedHalf(property, kind, pyxon::opt::kDynamicDefect, false);
}
int Camera::OnHdrK(MM::PropertyBase* property, MM::ActionKind kind) {
  return PackedHalf(property, kind, pyxon::opt::kHdrKB, true);
}
int Camera::OnHdrB(MM::PropertyBase* property, MM::ActionKind kind) {
  return PackedHalf(property, kind, pyxon::opt::kHdrKB, false);
}
int Camera::OnHdrThreshold(MM::PropertyBase* property, MM::ActionKind kind) {
  return IntegerOption(property, kind, pyxon::opt::kHdrThreshold);
}

int Camera::OnAntiShutterEffect(MM::PropertyBase* property, MM::ActionKind kind) {
  return OnOffOption(property, kind, pyxon::opt::kAntiShutterEffect);
}
