// Trigger and I/O properties of cameras with an I/O connector: the trigger
// source used by sequences, the line selector and the per-line settings that
// follow it, the counter, PWM, strobe and user output, and the frame
// statistics text "Line Select:" that every camera has.
//
// Every I/O setting goes through IoControl(line, command, value, out). Reads
// pass value 0 and an output preset to 0; writes pass a null output. Per-line
// settings address the line selected by "IO:Line Select"; global ones (trigger
// source, counter value, strobe, user output) address line 0. A value list's
// position is the value passed to the camera.
//
// The trigger source only takes effect when a sequence starts (acquisition.cpp
// reads "IO:Trigger Source" then); writing it here selects it on the camera at
// once without changing the trigger mode.
//
// Threads: handlers run on the host's calling thread under the device's
// property lock; they take no lock of the Camera.

#include <string>

#include <boost/format.hpp>

#include "camera/Camera.h"
#include "camera/family_support.h"

using camera::ClampedEntry;
using camera::EntryAt;
using camera::IndexOf;
using camera::OptionRead;
using camera::ReadIo;
using camera::WithoutCamera;
using camera::WriteIo;

namespace {

constexpr int32_t kNoLine = -1;
constexpr int32_t kGlobalLine = 0;
constexpr int32_t kCanBeInput = 0x1;
constexpr int32_t kCanBeOutput = 0x2;
constexpr uint32_t kLinesWithSecondGpio = 3;  // a line count above this adds "GPIO1"
constexpr double kLongestDelay = 5000000;
constexpr double kLongestDebounce = 20000;

// Properties that show a setting of the selected line, re-read after another
// line is selected. Counter and PWM source follow at their next read.
const char* const kLineSettings[] = {
    "IO:GPIO Mode",         "IO:Format",          "IO:Input Activation", "IO:Debouncer Time",
    "IO:Trigger Delay",     "IO:Output Inverter", "IO:Output Mode",      "IO:Strobe Delay Mode",
    "IO:Strobe Delay Time", "IO:Strobe Duration", "IO:User Value"};

bool CanChangeDirection(int32_t capabilities) {
  return (capabilities & (kCanBeInput | kCanBeOutput)) == (kCanBeInput | kCanBeOutput);
}

}  // namespace

// ---- creation -------------------------------------------------------------------

void Camera::CreateTriggerIoProperties() {
  pyxon::CameraHandle* const handle = Handle();
  ioLines_ = {"Isolated input", "Isolated output", "GPIO0"};
  if (Model()->ioLineCount > kLinesWithSecondGpio) ioLines_.push_back("GPIO1");
  gpioModes_ = {"Input", "Output"};
  outputInverters_ = {"Yes", "No"};
  inputActivations_ = {"Rising edge", "Falling edge", "High level", "Low level"};
  counterSources_ = {"Isolated input", "GPIO0", "GPIO1"};
  pwmSources_ = {"Isolated input", "GPIO0", "GPIO1"};
  outputModes_ = {"Frame Trigger Wait", "Exposure Active", "Strobe",
                  "User Output",        "Counter Output",  "Timer Output"};
  strobeDelayModes_ = {"pre-delay", "delay"};

  CreateIoList("IO:Trigger Source", triggerSources_, triggerSources_[0], &Camera::OnTriggerSource);
  CreateIoList("IO:Line Select", ioLines_, ioLines_[0], &Camera::OnLineSelect);
  CreateIoList("IO:GPIO Mode", gpioModes_, gpioModes_[0], &Camera::OnGpioMode);
  // The other settings start from what line 0 reports; the results are not
  // examined (the preset stands).
  auto initial = [&](const TextList& list, uint32_t command) {
    return ClampedEntry(list, ReadIo(handle, kGlobalLine, command).value);
  };
  CreateIoList("IO:Output Inverter", outputInverters_,
               initial(outputInverters_, pyxon::io::kGetOutputInverter), &Camera::OnOutputInverter);
  CreateIoList("IO:Input Activation", inputActivations_,
               initial(inputActivations_, pyxon::io::kGetInputActivation),
               &Camera::OnInputActivation);
  CreateIoList("IO:Counter Source", counterSources_,
               initial(counterSources_, pyxon::io::kGetCounterSource), &Camera::OnCounterSource);
  CreateIoList("IO:PWM Source", pwmSources_, initial(pwmSources_, pyxon::io::kGetPwmSource),
               &Camera::OnPwmSource);
  CreateIoList("IO:Output Mode", outputModes_, initial(outputModes_, pyxon::io::kGetOutputMode),
               &Camera::OnOutputMode);
  CreateIoList("IO:Strobe Delay Mode", strobeDelayModes_,
               initial(strobeDelayModes_, pyxon::io::kGetStrobeDelayMode),
               &Camera::OnStrobeDelayMode);

  CreateIoInteger("IO:Strobe Delay Time", pyxon::io::kGetStrobeDelayTime, 0, 0, kLongestDelay,
                  &Camera::OnStrobeDelayTime);
  CreateIoInteger("IO:Strobe Duration", pyxon::io::kGetStrobeDuration, 0, 0, kLongestDelay,
                  &Camera::OnStrobeDuration);
  CreateIoInteger("IO:User Value", pyxon::io::kGetUserOutput, 0, 0, kLongestDelay,
                  &Camera::OnUserValue);
  CreateIoInteger("IO:Counter Value", pyxon::io::kGetCounterValue, 1, 1, 65535,
                  &Camera::OnCounterValue);
  CreateIoInteger("IO:Debouncer Time", pyxon::io::kGetDebouncerTime, 0, 0, kLongestDebounce,
                  &Camera::OnDebouncerTime);
  CreateIoInteger("IO:Trigger Delay", pyxon::io::kGetTriggerDelay, 0, 0, kLongestDelay,
                  &Camera::OnTriggerDelay);

  CreateStringProperty("IO:Format", "Opto-coupled", true);
  CreateIoList("IO:Counter Reset", {"Reset"}, "Reset", &Camera::OnCounterReset);
}

void Camera::CreateIoList(const char* name, const TextList& list, const std::string& value,
                          Handler handler) {
  CreateStringProperty(name, value.c_str(), false, new MM::Action<Camera>(this, handler));
  SetAllowedValues(name, list);
}

void Camera::CreateIoInteger(const char* name, uint32_t readCommand, int32_t preset, double lower,
                             double upper, Handler handler) {
  const int32_t value = ReadIo(Handle(), kGlobalLine, readCommand, preset).value;
  CreateIntegerProperty(name, value, new MM::Action<Camera>(this, handler));
  SetPropertyLimits(name, lower, upper);
}

void Camera::CreateLineStatisticsProperty() {
  CreateStringProperty("Line Select:", FrameStatisticsText(Handle()).c_str(), true,
                       new MM::Action<Camera>(this, &Camera::OnLineStatistics));
}

// ---- the selected line ----------------------------------------------------------------

// Position of the current "IO:Line Select" value in the line list; -1 when it
// cannot be read or is not a line.
int32_t Camera::SelectedLine() {
  std::string line;
  if (GetPropertyValue("IO:Line Select", line) != MM::Err::Ok) return kNoLine;
  return IndexOf(ioLines_, line);
}

int Camera::OnLineSelect(MM::PropertyBase*, MM::ActionKind kind) {
  pyxon::CameraHandle* const handle = Handle();
  if (!handle) return WithoutCamera(kind);
  if (kind != MM::AfterWrite || SelectedLine() == kNoLine) return MM::Err::Ok;
  for (const char* name : kLineSettings) RefreshProperty(name);
  return MM::Err::Ok;
}

// ---- trigger source -------------------------------------------------------------------

int Camera::OnTriggerSource(MM::PropertyBase* property, MM::ActionKind kind) {
  pyxon::CameraHandle* const handle = Handle();
  if (!handle) return WithoutCamera(kind);
  if (kind == MM::BeforeRead) {
    const OptionRead source = ReadIo(handle, kGlobalLine, pyxon::io::kGetTriggerSource);
    if (source.ok) {
      if (const std::string* name = EntryAt(triggerSources_, source.value)) {
        property->Set(name->c_str());
      }
    }
  } else if (kind == MM::AfterWrite) {
    std::string value;
    property->Get(value);
    const int index = IndexOf(triggerSources_, value);
    if (index < 0) return MM::Err::Ok;
    triggerSourceIndex_ = index;
    WriteIo(handle, kGlobalLine, pyxon::io::kSetTriggerSource, index);
  }
  return MM::Err::Ok;
}

// ---- GPIO direction -------------------------------------------------------------------

// A line that can be both input and output shows its direction; a line fixed
// to one shows that one. A failed capability query shows "Output".
int Camera::OnGpioMode(MM::PropertyBase* property, MM::ActionKind kind) {
  pyxon::CameraHandle* const handle = Handle();
  if (!handle) return WithoutCamera(kind);
  if (kind == MM::BeforeRead) {
    const int32_t line = SelectedLine();
    const int32_t capabilities = ReadIo(handle, line, pyxon::io::kGetCapabilities).value;
    if (CanChangeDirection(capabilities)) {
      const int32_t direction = ReadIo(handle, line, pyxon::io::kGetDirection).value;
      if (const std::string* name = EntryAt(gpioModes_, direction)) property->Set(name->c_str());
    } else {
      property->Set(gpioModes_[(capabilities & kCanBeInput) != 0 ? 0 : 1].c_str());
    }
    return MM::Err::Ok;
  }
  if (kind != MM::AfterWrite) return MM::Err::Ok;
  const int32_t line = SelectedLine();
  if (line == kNoLine) return MM::Err::Ok;
  std::string value;
  property->Get(value);
  const int direction = IndexOf(gpioModes_, value);
  if (direction < 0) return MM::Err::Ok;
  // A line that cannot change direction silently keeps it.
  const OptionRead capabilities = ReadIo(handle, line, pyxon::io::kGetCapabilities);
  if (capabilities.ok && CanChangeDirection(capabilities.value)) {
    WriteIo(handle, line, pyxon::io::kSetDirection, direction);
  }
  return MM::Err::Ok;
}

// ---- list settings ----------------------------------------------------------------------

// A list setting of one line: read with `readCommand` (shown only when the
// camera answers with a position of the list), written as the position with
// `writeCommand`. Nothing happens while no line is selected.
int Camera::IoListSetting(MM::PropertyBase* property, MM::ActionKind kind, const TextList& list,
                          uint32_t readCommand, uint32_t writeCommand, bool perLine) {
  pyxon::CameraHandle* const handle = Handle();
  if (!handle) return WithoutCamera(kind);
  if (kind != MM::BeforeRead && kind != MM::AfterWrite) return MM::Err::Ok;
  const int32_t selected = SelectedLine();
  if (selected == kNoLine) return MM::Err::Ok;
  const int32_t line = perLine ? selected : kGlobalLine;
  if (kind == MM::BeforeRead) {
    const OptionRead setting = ReadIo(handle, line, readCommand);
    if (setting.ok) {
      if (const std::string* name = EntryAt(list, setting.value)) property->Set(name->c_str());
    }
    return MM::Err::Ok;
  }
  std::string value;
  property->Get(value);
  const int index = IndexOf(list, value);
  if (index >= 0) WriteIo(handle, line, writeCommand, index);
  return MM::Err::Ok;
}

int Camera::OnOutputInverter(MM::PropertyBase* property, MM::ActionKind kind) {
  return IoListSetting(property, kind, outputInverters_, pyxon::io::kGetOutputInverter,
                       pyxon::io::kSetOutputInverter, true);
}
int Camera::OnInputActivation(MM::PropertyBase* property, MM::ActionKind kind) {
  return IoListSetting(property, kind, inputActivations_, pyxon::io::kGetInputActivation,
                       pyxon::io::kSetInputActivation, true);
}
int Camera::OnCounterSource(MM::PropertyBase* property, MM::ActionKind kind) {
  return IoListSetting(property, kind, counterSources_, pyxon::io::kGetCounterSource,
                       pyxon::io::kSetCounterSource, true);
}
int Camera::OnPwmSource(MM::PropertyBase* property, MM::ActionKind kind) {
  return IoListSetting(property, kind, pwmSources_, pyxon::io::kGetPwmSource,
                       pyxon::io::kSetPwmSource, true);
}
int Camera::OnOutputMode(MM::PropertyBase* property, MM::ActionKind kind) {
  return IoListSetting(property, kind, outputModes_, pyxon::io::kGetOutputMode,
                       pyxon::io::kSetOutputMode, true);
}
int Camera::OnStrobeDelayMode(MM::PropertyBase* property, MM::ActionKind kind) {
  return IoListSetting(property, kind, strobeDelayModes_, pyxon::io::kGetStrobeDelayMode,
                       pyxon::io::kSetStrobeDelayMode, false);
}

// ---- numeric settings ---------------------------------------------------------------------

int Camera::IoNumberSetting(MM::PropertyBase* property, MM::ActionKind kind, uint32_t readCommand,
                            uint32_t writeCommand, IoAddressing addressing) {
  pyxon::CameraHandle* const handle = Handle();
  if (!handle) return WithoutCamera(kind);
  if (kind != MM::BeforeRead && kind != MM::AfterWrite) return MM::Err::Ok;
  int32_t line = kGlobalLine;
  if (addressing != IoAddressing::kGlobal) {
    const int32_t selected = SelectedLine();
    const bool readsAnyway =
        addressing == IoAddressing::kSelectedReadAlways && kind == MM::BeforeRead;
    if (selected == kNoLine && !readsAnyway) return MM::Err::Ok;
    if (addressing != IoAddressing::kGlobalNeedsLine) line = selected;
  }
  if (kind == MM::BeforeRead) {
    const OptionRead setting = ReadIo(handle, line, readCommand);
    if (setting.ok) property->Set(static_cast<long>(setting.value));
  } else {
    WriteIo(handle, line, writeCommand, IntegerValue(property));
  }
  return MM::Err::Ok;
}

int Camera::OnStrobeDelayTime(MM::PropertyBase* property, MM::ActionKind kind) {
  return IoNumberSetting(property, kind, pyxon::io::kGetStrobeDelayTime,
                         pyxon::io::kSetStrobeDelayTime, IoAddressing::kGlobalNeedsLine);
}
int Camera::OnStrobeDuration(MM::PropertyBase* property, MM::ActionKind kind) {
  return IoNumberSetting(property, kind, pyxon::io::kGetStrobeDuration,
                         pyxon::io::kSetStrobeDuration, IoAddressing::kGlobalNeedsLine);
}
int Camera::OnUserValue(MM::PropertyBase* property, MM::ActionKind kind) {
  return IoNumberSetting(property, kind, pyxon::io::kGetUserOutput, pyxon::io::kSetUserOutput,
                         IoAddressing::kGlobal);
}
int Camera::OnCounterValue(MM::PropertyBase* property, MM::ActionKind kind) {
  return IoNumberSetting(property, kind, pyxon::io::kGetCounterValue, pyxon::io::kSetCounterValue,
                         IoAddressing::kGlobal);
}
int Camera::OnDebouncerTime(MM::PropertyBase* property, MM::ActionKind kind) {
  return IoNumberSetting(property, kind, pyxon::io::kGetDebouncerTime, pyxon::io::kSetDebouncerTime,
                         IoAddressing::kSelected);
}
int Camera::OnTriggerDelay(MM::PropertyBase* property, MM::ActionKind kind) {
  return IoNumberSetting(property, kind, pyxon::io::kGetTriggerDelay, pyxon::io::kSetTriggerDelay,
                         IoAddressing::kSelectedReadAlways);
}

// ---- counter reset, statistics --------------------------------------------------------

int Camera::OnCounterReset(MM::PropertyBase* property, MM::ActionKind kind) {
  pyxon::CameraHandle* const handle = Handle();
  if (!handle) return WithoutCamera(kind);
  if (kind == MM::BeforeRead) {
    property->Set("Reset");
  } else if (kind == MM::AfterWrite) {
    WriteIo(handle, kGlobalLine, pyxon::io::kResetCounter, 0);
  }
  return MM::Err::Ok;
}

// "25.0, 1200": the frame rate of the camera's last statistics interval and
// the total frame count; only the count while no interval has passed.
std::string Camera::FrameStatisticsText(pyxon::CameraHandle* handle) {
  uint32_t frames = 0;
  uint32_t intervalMs = 0;
  uint32_t total = 0;
  if (handle) handle->GetFrameStatistics(&frames, &intervalMs, &total, 0, 0);
  if (intervalMs == 0) return camera::UnsignedText(total);
  return (boost::format("%.1f, %u") % (1000.0 * frames / intervalMs) % total).str();
}

int Camera::OnLineStatistics(MM::PropertyBase* property, MM::ActionKind kind) {
  pyxon::CameraHandle* const handle = Handle();
  if (!handle) return WithoutCamera(kind);
  if (kind == MM::BeforeRead) property->Set(FrameStatisticsText(handle).c_str());
  return MM::Err::Ok;
}
