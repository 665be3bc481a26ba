// The geometry and processing properties in the order the camera creates
// them, across the families, and the option-backed handler shapes that most
// of those families share.

#include <string>

#include "camera/Camera.h"
#include "camera/conversions.h"
#include "camera/family_support.h"

using camera::EntryAt;
using camera::IndexOf;
using camera::OptionRead;
using camera::ReadOption;
using camera::WithoutCamera;

// The creation order is what the camera's vendor-call sequence at start-up
// follows; keep it when adding a property.
void Camera::CreateProcessingProperties() {
  CreateBinSkipProperty();            // "Mode"
  CreatePowerFrequencyProperty();     // "PowerFrequency"
  CreateFlipProperties();             // "FlipHorizontal", "FlipVertical"
  CreateBinningProperties();          // "Binning", "BinningMethod"
  CreateConversionGainProperty();     // "ConversionGain"
  CreateCoolingProperties();          // "Temperature" ... "Correlated Double Sampling"
  CreateDenoiseSharpeningNegative();  // "Denoise", "Sharpening", "Negative"
  CreateReadoutProperties();          // "GlobalResetMode" ... "FactorySettings"
  CreateRotateProperty();             // "Rotate"
  CreateToneDefectHdrProperties();    // "ToneMapping" ... "HDR:Threshold"
  CreateMechanicalShutterProperty();  // "MechanicalShutter"
  CreateAntiShutterEffectProperty();  // "AntiShutterEffect"
}

// ---- option-backed handler shapes ----------------------------------------------------

int32_t Camera::IntegerValue(const MM::PropertyBase* property) {
  long value = 0;
  property->Get(value);
  return camera::SaturateIntCast<int32_t>(value);
}

// An integer option: read with preset 0, written as is.
int Camera::IntegerOption(MM::PropertyBase* property, MM::ActionKind kind, uint32_t option) {
  pyxon::CameraHandle* const handle = Handle();
  if (!handle) return WithoutCamera(kind);
  if (kind == MM::BeforeRead) {
    property->Set(static_cast<long>(ReadOption(handle, option, 0).value));
  } else if (kind == MM::AfterWrite) {
    handle->SetOption(option, IntegerValue(property));
  }
  return MM::Err::Ok;
}

// An on/off option: "ON" for any non-zero value (preset 0); written as the
// position in the on/off list.
int Camera::OnOffOption(MM::PropertyBase* property, MM::ActionKind kind, uint32_t option) {
  pyxon::CameraHandle* const handle = Handle();
  if (!handle) return WithoutCamera(kind);
  if (kind == MM::BeforeRead) {
    property->Set(camera::OnOffText(ReadOption(handle, option, 0).value));
    return MM::Err::Ok;
  }
  return ListOption(property, kind, option, onOff_);
}

// An option holding a position of `list`: shown only when the camera answers
// with a position inside the list, written as the position of the value.
int Camera::ListOption(MM::PropertyBase* property, MM::ActionKind kind, uint32_t option,
                       const TextList& list) {
  pyxon::CameraHandle* const handle = Handle();
  if (!handle) return WithoutCamera(kind);
  if (kind == MM::BeforeRead) {
    const OptionRead position = ReadOption(handle, option, 0);
    if (position.ok) {
      if (const std::string* name = EntryAt(list, position.value)) property->Set(name->c_str());
    }
  } else if (kind == MM::AfterWrite) {
    std::string value;
    property->Get(value);
    const int index = IndexOf(list, value);
    if (index >= 0) handle->SetOption(option, index);
  }
  return MM::Err::Ok;
}

// Creates an on/off property for an option the camera answers; nothing when
// the probing read fails.
void Camera::CreateOnOffOptionProperty(const char* name, uint32_t option, Handler handler) {
  const OptionRead probe = ReadOption(Handle(), option, 0);
  if (!probe.ok) return;
  CreateStringProperty(name, camera::OnOffText(probe.value), false,
                       new MM::Action<Camera>(this, handler));
  SetAllowedValues(name, onOff_);
}
