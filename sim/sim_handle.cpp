#include "sim/sim_handle.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <numeric>

#include "sim/behaviour.h"
#include "sim/simulator.h"

namespace pyxsim {
namespace {

using pyxon::kInvalidArgument;
using pyxon::kNotImplemented;
using pyxon::kOk;
using pyxon::kUnexpected;
using pyxon::Result;

constexpr int kPullPosition = 184;
constexpr int32_t kMaxTriggersPerCall = 1024;
constexpr auto kWhiteBalanceOnceDelay = std::chrono::milliseconds(150);

// The interfaces the cameras answer position 0 for, as the bytes the firmware
// compares, written as the text the vendor publishes them in.
struct InterfaceId {
  uint8_t bytes[16];
};

constexpr uint8_t HexDigit(char c) {
  return static_cast<uint8_t>(c >= 'a' ? c - 'a' + 10 : (c >= 'A' ? c - 'A' + 10 : c - '0'));
}

constexpr InterfaceId ParseInterfaceId(const char (&text)[33]) {
  InterfaceId id{};
  for (int i = 0; i < 16; ++i) {
    id.bytes[i] = static_cast<uint8_t>(HexDigit(text[2 * i]) << 4 | HexDigit(text[2 * i + 1]));
  }
  return id;
}

constexpr InterfaceId kSerialInterface = ParseInterfaceId("134b2de13f33ae4ebc890446d1fc634d");
constexpr InterfaceId kVersionInterface = ParseInterfaceId("c7b069fc4061e74fb385473e5ea87887");

bool InRange(int64_t v, int64_t lo, int64_t hi) {
  return v >= lo && v <= hi;
}

int64_t Ptr(const void* p) {
  return static_cast<int64_t>(reinterpret_cast<intptr_t>(p));
}

template <typename T, typename V>
Result Store(T* out, V value) {
  if (out == nullptr) return kInvalidArgument;
  *out = static_cast<T>(value);
  return kOk;
}

template <typename T>
void StoreIfSet(T* out, T value) {
  if (out != nullptr) *out = value;
}

Result SetChecked(int32_t& field, int64_t value, int64_t lo, int64_t hi) {
  if (!InRange(value, lo, hi)) return kInvalidArgument;
  field = static_cast<int32_t>(value);
  return kOk;
}

Result CopyText32(char* out, const char* text) {
  if (out == nullptr) return kInvalidArgument;
  std::memset(out, 0, 32);
  std::memcpy(out, text, std::min<size_t>(31, std::strlen(text)));
  return kOk;
}

}  // namespace

// ------------------------------------------------------- auxiliary interfaces

Result SerialPart::QueryInterface(const uint8_t* iid, void** out) {
  return owner_.QueryInterface(iid, out);
}

// A stable serial number per camera: the model prefix and a hash of the
// camera's identifier.
Result SerialPart::GetSerialNumber(char serial[32]) {
  if (!owner_.live()) return kHandleClosed;
  uint32_t hash = 2166136261u;
  for (char c : owner_.camera().id()) hash = (hash ^ static_cast<uint8_t>(c)) * 16777619u;
  char text[32];
  std::snprintf(text, sizeof(text), "%s-%08X", owner_.camera().profile().serialPrefix, hash);
  return CopyText32(serial, text);
}

Result VersionPart::QueryInterface(const uint8_t* iid, void** out) {
  return owner_.QueryInterface(iid, out);
}

Result VersionPart::GetFirmwareVersion(char text[32]) {
  if (!owner_.live()) return kHandleClosed;
  return CopyText32(text, owner_.camera().profile().firmware);
}

Result VersionPart::GetHardwareVersion(char text[32]) {
  if (!owner_.live()) return kHandleClosed;
  return CopyText32(text, owner_.camera().profile().hardware);
}

Result VersionPart::GetProductionDate(char text[32]) {
  if (!owner_.live()) return kHandleClosed;
  return CopyText32(text, owner_.camera().profile().productionDate);
}

Result VersionPart::GetFpgaVersion(char text[32]) {
  if (!owner_.live()) return kHandleClosed;
  return CopyText32(text, owner_.camera().profile().fpga);
}

namespace {

// A slow link makes every call take its round trip, with no lock held.
void SlowLinkLatency(int position) {
  if (CurrentBehaviour().slowLink.load(std::memory_order_relaxed)) {
    std::this_thread::sleep_for(std::chrono::microseconds(SlowLinkMicroseconds(position)));
  }
}

}  // namespace

// -------------------------------------------------------------- the handle

SimHandle::SimHandle(std::shared_ptr<SimCamera> camera, uint64_t session)
    : camera_(std::move(camera)), session_(session), serial_(*this), version_(*this) {}

template <typename Op>
Result SimHandle::Run(int position, std::initializer_list<int64_t> args, const char* text,
                      Op&& op) {
  Simulator& sim = Simulator::Instance();
  const Intercept intercept = sim.faults().Check(position);
  SlowLinkLatency(position);
  const bool scripted = intercept.kind == Intercept::Kind::kScript;
  Result result;
  if (!live()) {
    result = kHandleClosed;
  } else if (camera_->disconnected()) {
    result = kDisconnected;
  } else if (intercept.kind == Intercept::Kind::kFail || (scripted && intercept.value < 0)) {
    result = intercept.value;
  } else {
    try {
      result = op();
    } catch (...) {  // nothing may cross the library boundary
      result = kUnexpected;
    }
    if (scripted && position != kPullPosition) result = intercept.value;
  }
  sim.trace().Record(camera_->index(), position, args, text, result);
  return result;
}

template <typename Op>
Result SimHandle::Locked(Op&& op) {
  pyx::MutexLock lock(camera_->mu_);
  // Called as a member so that the analysis maps the lambda's REQUIRES(c.mu_)
  // onto the camera held here.
  return op.operator()(*camera_);
}

Result SimHandle::QueryInterface(const uint8_t* iid, void** out) {
  return Run(0, {0, 0}, nullptr, [&] {
    if (out == nullptr) return kInvalidArgument;
    *out = nullptr;
    if (iid == nullptr) return kInvalidArgument;
    if (std::memcmp(iid, kSerialInterface.bytes, 16) == 0) {
      if (!camera_->profile().hasSerial) return kNoInterface;
      *out = static_cast<pyxon::SerialInterface*>(&serial_);
      return kOk;
    }
    if (std::memcmp(iid, kVersionInterface.bytes, 16) == 0) {
      *out = static_cast<pyxon::VersionInterface*>(&version_);
      return kOk;
    }
    return kNoInterface;
  });
}

// ------------------------------------------------------ resolution and region

Result SimHandle::SetResolutionIndex(uint32_t index) {
  return Run(5, {index}, nullptr, [&] {
    return Locked([&](SimCamera& c) REQUIRES(c.mu_) {
      if (index >= c.profile_.record->resolutionCount) return kInvalidArgument;
      if (index == c.s_.resolution) return kOk;
      if (c.started_) return kUnexpected;  // the frame size would change under delivery
      c.s_.resolution = index;
      c.s_.roi = Roi{};  // a region belongs to the resolution it was set in
      return kOk;
    });
  });
}

Result SimHandle::GetResolutionIndex(uint32_t* index) {
  return Run(6, {0}, nullptr, [&] {
    return Locked([&](SimCamera& c) REQUIRES(c.mu_) { return Store(index, c.s_.resolution); });
  });
}

Result SimHandle::SetRoi(uint32_t x, uint32_t y, uint32_t width, uint32_t height) {
  return Run(80, {x, y, width, height}, nullptr, [&] {
    return Locked([&](SimCamera& c) REQUIRES(c.mu_) {
      Roi wanted;
      if (x != 0 || y != 0 || width != 0 || height != 0) {
        const pyxon::Resolution& res = c.profile_.record->resolutions[c.s_.resolution];
        // The sensor works on pairs of pixels.
        wanted = Roi{x & ~1u, y & ~1u, width & ~1u, height & ~1u};
        if (wanted.width < 16 || wanted.height < 16) return kInvalidArgument;
        if (static_cast<uint64_t>(wanted.x) + wanted.width > res.width ||
            static_cast<uint64_t>(wanted.y) + wanted.height > res.height) {
          return kInvalidArgument;
        }
      }
      const bool same = wanted.x == c.s_.roi.x && wanted.y == c.s_.roi.y &&
                        wanted.width == c.s_.roi.width && wanted.height == c.s_.roi.height;
      if (same) return kOk;
      if (c.started_) return kUnexpected;
      c.s_.roi = wanted;
      return kOk;
    });
  });
}

Result SimHandle::GetRoi(uint32_t* x, uint32_t* y, uint32_t* width, uint32_t* height) {
  return Run(81, {0, 0, 0, 0}, nullptr, [&] {
    return Locked([&](SimCamera& c) REQUIRES(c.mu_) {
      const pyxon::Resolution& res = c.profile_.record->resolutions[c.s_.resolution];
      const bool set = c.s_.roi.width != 0;
      StoreIfSet(x, set ? c.s_.roi.x : 0u);
      StoreIfSet(y, set ? c.s_.roi.y : 0u);
      StoreIfSet(width, set ? c.s_.roi.width : res.width);
      StoreIfSet(height, set ? c.s_.roi.height : res.height);
      return kOk;
    });
  });
}

Result SimHandle::GetResolutionRatio(uint32_t index, int32_t* numerator, int32_t* denominator) {
  return Run(86, {index, 0, 0}, nullptr, [&] {
    const pyxon::CameraModel& model = *camera_->profile().record;
    if (index >= model.resolutionCount) return kInvalidArgument;
    // Pixels of a smaller resolution cover proportionally more of the sensor.
    const uint32_t full = model.resolutions[0].width;
    const uint32_t here = std::max<uint32_t>(1, model.resolutions[index].width);
    const uint32_t divisor = std::gcd(full, here);
    StoreIfSet(numerator, static_cast<int32_t>(full / divisor));
    StoreIfSet(denominator, static_cast<int32_t>(here / divisor));
    return kOk;
  });
}

Result SimHandle::GetOutputSize(uint32_t* width, uint32_t* height) {
  return Run(134, {0, 0}, nullptr, [&] {
    return Locked([&](SimCamera& c) REQUIRES(c.mu_) {
      const Geometry g = c.GeometryLocked();
      StoreIfSet(width, g.width);
      StoreIfSet(height, g.height);
      return kOk;
    });
  });
}

Result SimHandle::GetRawFormat(uint32_t* fourcc, uint32_t* bits) {
  return Run(137, {0, 0}, nullptr, [&] {
    return Locked([&](SimCamera& c) REQUIRES(c.mu_) {
      StoreIfSet(fourcc, c.profile_.fourcc);
      StoreIfSet(bits, c.FormatBitsLocked());
      return kOk;
    });
  });
}

Result SimHandle::GetPixelFormatSupport(int32_t position, int32_t* out) {
  return Run(146, {position, 0}, nullptr, [&] {
    const std::vector<int32_t>& formats = camera_->profile().pixelFormats;
    if (position == -1) return Store(out, static_cast<int32_t>(formats.size()));
    if (position < 0 || static_cast<size_t>(position) >= formats.size()) return kInvalidArgument;
    return Store(out, formats[static_cast<size_t>(position)]);
  });
}

// ------------------------------------------------------ exposure and gain

Result SimHandle::GetAutoExposure(int32_t* enabled) {
  return Run(10, {0}, nullptr, [&] {
    return Locked([&](SimCamera& c) REQUIRES(c.mu_) { return Store(enabled, c.s_.autoExposure); });
  });
}

Result SimHandle::SetAutoExposure(int32_t enabled) {
  return Run(11, {enabled}, nullptr, [&] {
    return Locked([&](SimCamera& c) REQUIRES(c.mu_) {
      c.s_.autoExposure = enabled != 0 ? 1 : 0;
      c.lastAutoExposure_ = Clock::time_point();
      return kOk;
    });
  });
}

Result SimHandle::GetAutoExposureTarget(uint16_t* target) {
  return Run(12, {0}, nullptr, [&] {
    return Locked([&](SimCamera& c) REQUIRES(c.mu_) { return Store(target, c.s_.aeTarget); });
  });
}

Result SimHandle::SetAutoExposureTarget(uint16_t target) {
  return Run(13, {target}, nullptr, [&] {
    return Locked([&](SimCamera& c) REQUIRES(c.mu_) {
      if (!InRange(target, 16, 235)) return kInvalidArgument;
      c.s_.aeTarget = target;
      return kOk;
    });
  });
}

Result SimHandle::SetAutoExposureMax(uint32_t maxTime, uint16_t maxGain) {
  return Run(73, {maxTime, maxGain}, nullptr, [&] {
    return Locked([&](SimCamera& c) REQUIRES(c.mu_) {
      if (maxTime == 0) return kInvalidArgument;
      // A camera without gain control ignores the gain half.
      if (c.profile_.hasGain && !InRange(maxGain, c.profile_.gain.min, c.profile_.gain.max)) {
        return kInvalidArgument;
      }
      c.s_.aeMaxTimeMs = maxTime;
      if (c.profile_.hasGain) c.s_.aeMaxGain = maxGain;
      return kOk;
    });
  });
}

Result SimHandle::GetAutoExposureMax(uint32_t* maxTime, uint16_t* maxGain) {
  return Run(130, {0, 0}, nullptr, [&] {
    return Locked([&](SimCamera& c) REQUIRES(c.mu_) {
      StoreIfSet(maxTime, c.s_.aeMaxTimeMs);
      StoreIfSet(maxGain, c.s_.aeMaxGain);
      return kOk;
    });
  });
}

Result SimHandle::GetExposureTime(uint32_t* microseconds) {
  return Run(33, {0}, nullptr, [&] {
    return Locked([&](SimCamera& c)
                      REQUIRES(c.mu_) { return Store(microseconds, c.s_.exposureUs); });
  });
}

Result SimHandle::SetExposureTime(uint32_t microseconds) {
  return Run(34, {microseconds}, nullptr, [&] {
    return Locked([&](SimCamera& c) REQUIRES(c.mu_) {
      if (!InRange(microseconds, c.profile_.exposure.min, c.profile_.exposure.max)) {
        return kInvalidArgument;
      }
      c.s_.exposureUs = microseconds;
      c.workCv_.notify_all();  // the free-running period may change
      return kOk;
    });
  });
}

Result SimHandle::GetRealExposureTime(uint32_t* microseconds) {
  return Run(74, {0}, nullptr, [&] {
    return Locked([&](SimCamera& c)
                      REQUIRES(c.mu_) { return Store(microseconds, c.RealExposureUsLocked()); });
  });
}

Result SimHandle::GetExposureRange(uint32_t* min, uint32_t* max, uint32_t* def) {
  return Run(57, {0, 0, 0}, nullptr, [&] {
    const Range32& range = camera_->profile().exposure;
    StoreIfSet(min, range.min);
    StoreIfSet(max, range.max);
    StoreIfSet(def, range.def);
    return kOk;
  });
}

Result SimHandle::GetGain(uint16_t* gain) {
  return Run(35, {0}, nullptr, [&] {
    return Locked([&](SimCamera& c) REQUIRES(c.mu_) { return Store(gain, c.s_.gain); });
  });
}

Result SimHandle::SetGain(uint16_t gain) {
  return Run(36, {gain}, nullptr, [&] {
    return Locked([&](SimCamera& c) REQUIRES(c.mu_) {
      if (!c.profile_.hasGain) return kNotImplemented;
      if (!InRange(gain, c.profile_.gain.min, c.profile_.gain.max)) return kInvalidArgument;
      c.s_.gain = gain;
      return kOk;
    });
  });
}

Result SimHandle::GetGainRange(uint16_t* min, uint16_t* max, uint16_t* def) {
  return Run(58, {0, 0, 0}, nullptr, [&] {
    const Range16& range = camera_->profile().gain;
    StoreIfSet(min, range.min);
    StoreIfSet(max, range.max);
    StoreIfSet(def, range.def);
    return kOk;
  });
}

Result SimHandle::SetSpeed(uint16_t speed) {
  return Run(49, {speed}, nullptr, [&] {
    return Locked([&](SimCamera& c) REQUIRES(c.mu_) {
      if (speed > c.profile_.record->maxSpeed) return kInvalidArgument;
      c.s_.speed = speed;
      c.workCv_.notify_all();
      return kOk;
    });
  });
}

Result SimHandle::GetSpeed(uint16_t* speed) {
  return Run(50, {0}, nullptr, [&] {
    return Locked([&](SimCamera& c) REQUIRES(c.mu_) { return Store(speed, c.s_.speed); });
  });
}

Result SimHandle::SetPowerFrequency(int32_t mode) {
  return Run(52, {mode}, nullptr, [&] {
    return Locked([&](SimCamera& c)
                      REQUIRES(c.mu_) { return SetChecked(c.s_.powerFrequency, mode, 0, 2); });
  });
}

Result SimHandle::GetPowerFrequency(int32_t* mode) {
  return Run(53, {0}, nullptr, [&] {
    return Locked([&](SimCamera& c) REQUIRES(c.mu_) { return Store(mode, c.s_.powerFrequency); });
  });
}

// ------------------------------------------------------- picture controls

Result SimHandle::WhiteBalanceOnce(void* callback, void* context) {
  return Run(14, {Ptr(callback), Ptr(context)}, nullptr, [&] {
    return Locked([&](SimCamera& c) REQUIRES(c.mu_) {
      if (!c.profile_.colour) return kNotImplemented;
      // The gains settle a moment later; event 6 then announces them.
      c.whiteBalanceOncePending_ = true;
      c.whiteBalanceOnceDue_ = Clock::now() + kWhiteBalanceOnceDelay;
      c.whiteBalanceCallback_ = callback;
      c.whiteBalanceContext_ = context;
      c.workCv_.notify_all();
      return kOk;
    });
  });
}

Result SimHandle::SetWhiteBalanceGains(const int32_t gains[3]) {
  const int64_t r = gains != nullptr ? gains[0] : 0;
  const int64_t g = gains != nullptr ? gains[1] : 0;
  const int64_t b = gains != nullptr ? gains[2] : 0;
  return Run(25, {r, g, b}, nullptr, [&] {
    return Locked([&](SimCamera& c) REQUIRES(c.mu_) {
      if (!c.profile_.colour) return kNotImplemented;
      if (gains == nullptr) return kInvalidArgument;
      for (int i = 0; i < 3; ++i) {
        if (!InRange(gains[i], -127, 127)) return kInvalidArgument;
      }
      std::copy(gains, gains + 3, c.s_.wb);
      return kOk;
    });
  });
}

Result SimHandle::GetWhiteBalanceGains(int32_t gains[3]) {
  return Run(26, {0}, nullptr, [&] {
    return Locked([&](SimCamera& c) REQUIRES(c.mu_) {
      if (!c.profile_.colour) return kNotImplemented;
      if (gains == nullptr) return kInvalidArgument;
      std::copy(c.s_.wb, c.s_.wb + 3, gains);
      return kOk;
    });
  });
}

Result SimHandle::SetHue(int32_t hue) {
  return Run(27, {hue}, nullptr, [&] {
    return Locked([&](SimCamera& c) REQUIRES(c.mu_) {
      if (!c.profile_.hasHueSaturation) return kNotImplemented;
      return SetChecked(c.s_.hue, hue, -180, 180);
    });
  });
}

Result SimHandle::GetHue(int32_t* hue) {
  return Run(28, {0}, nullptr, [&] {
    return Locked([&](SimCamera& c) REQUIRES(c.mu_) {
      if (!c.profile_.hasHueSaturation) return kNotImplemented;
      return Store(hue, c.s_.hue);
    });
  });
}

Result SimHandle::SetSaturation(int32_t saturation) {
  return Run(29, {saturation}, nullptr, [&] {
    return Locked([&](SimCamera& c) REQUIRES(c.mu_) {
      if (!c.profile_.hasHueSaturation) return kNotImplemented;
      return SetChecked(c.s_.saturation, saturation, 0, 255);
    });
  });
}

Result SimHandle::GetSaturation(int32_t* saturation) {
  return Run(30, {0}, nullptr, [&] {
    return Locked([&](SimCamera& c) REQUIRES(c.mu_) {
      if (!c.profile_.hasHueSaturation) return kNotImplemented;
      return Store(saturation, c.s_.saturation);
    });
  });
}

Result SimHandle::SetBrightness(int32_t brightness) {
  return Run(31, {brightness}, nullptr, [&] {
    return Locked([&](SimCamera& c) REQUIRES(c.mu_) {
      return SetChecked(c.s_.brightness, brightness, -255, 255);
    });
  });
}

Result SimHandle::GetBrightness(int32_t* brightness) {
  return Run(32, {0}, nullptr, [&] {
    return Locked([&](SimCamera& c) REQUIRES(c.mu_) { return Store(brightness, c.s_.brightness); });
  });
}

Result SimHandle::GetContrast(int32_t* contrast) {
  return Run(39, {0}, nullptr, [&] {
    return Locked([&](SimCamera& c) REQUIRES(c.mu_) { return Store(contrast, c.s_.contrast); });
  });
}

Result SimHandle::SetContrast(int32_t contrast) {
  return Run(40, {contrast}, nullptr, [&] {
    return Locked([&](SimCamera& c)
                      REQUIRES(c.mu_) { return SetChecked(c.s_.contrast, contrast, -255, 255); });
  });
}

Result SimHandle::GetGamma(int32_t* gamma) {
  return Run(41, {0}, nullptr, [&] {
    return Locked([&](SimCamera& c) REQUIRES(c.mu_) { return Store(gamma, c.s_.gamma); });
  });
}

Result SimHandle::SetGamma(int32_t gamma) {
  return Run(42, {gamma}, nullptr, [&] {
    return Locked([&](SimCamera& c)
                      REQUIRES(c.mu_) { return SetChecked(c.s_.gamma, gamma, 20, 180); });
  });
}

Result SimHandle::GetVerticalFlip(int32_t* on) {
  return Run(45, {0}, nullptr, [&] {
    return Locked([&](SimCamera& c) REQUIRES(c.mu_) { return Store(on, c.s_.vflip); });
  });
}

Result SimHandle::SetVerticalFlip(int32_t on) {
  return Run(46, {on}, nullptr, [&] {
    return Locked([&](SimCamera& c) REQUIRES(c.mu_) {
      c.s_.vflip = on != 0 ? 1 : 0;
      return kOk;
    });
  });
}

Result SimHandle::GetHorizontalFlip(int32_t* on) {
  return Run(47, {0}, nullptr, [&] {
    return Locked([&](SimCamera& c) REQUIRES(c.mu_) { return Store(on, c.s_.hflip); });
  });
}

Result SimHandle::SetHorizontalFlip(int32_t on) {
  return Run(48, {on}, nullptr, [&] {
    return Locked([&](SimCamera& c) REQUIRES(c.mu_) {
      c.s_.hflip = on != 0 ? 1 : 0;
      return kOk;
    });
  });
}

Result SimHandle::SetSkipMode(int32_t skip) {
  return Run(54, {skip}, nullptr, [&] {
    return Locked([&](SimCamera& c) REQUIRES(c.mu_) {
      if (!c.profile_.hasSkip) return kNotImplemented;
      return SetChecked(c.s_.skip, skip, 0, 1);
    });
  });
}

Result SimHandle::GetSkipMode(int32_t* skip) {
  return Run(55, {0}, nullptr, [&] {
    return Locked([&](SimCamera& c) REQUIRES(c.mu_) {
      if (!c.profile_.hasSkip) return kNotImplemented;
      return Store(skip, c.s_.skip);
    });
  });
}

Result SimHandle::SetNegative(int32_t on) {
  return Run(116, {on}, nullptr, [&] {
    return Locked([&](SimCamera& c) REQUIRES(c.mu_) {
      c.s_.negative = on != 0 ? 1 : 0;
      return kOk;
    });
  });
}

Result SimHandle::GetNegative(int32_t* on) {
  return Run(117, {0}, nullptr, [&] {
    return Locked([&](SimCamera& c) REQUIRES(c.mu_) { return Store(on, c.s_.negative); });
  });
}

// -------------------------------------------------------- sensor and cooling

Result SimHandle::GetTemperature(int16_t* tenthsCelsius) {
  return Run(78, {0}, nullptr, [&] {
    return Locked([&](SimCamera& c) REQUIRES(c.mu_) {
      if ((c.profile_.record->flags & pyxon::cap::kTemperature) == 0) return kNotImplemented;
      c.UpdateTemperatureLocked(Clock::now());
      return Store(tenthsCelsius, static_cast<int16_t>(std::lround(c.temperature_)));
    });
  });
}

Result SimHandle::GetFanSpeed(uint16_t* speed) {
  return Run(82, {0}, nullptr, [&] {
    return Locked([&](SimCamera& c) REQUIRES(c.mu_) {
      if ((c.profile_.record->flags & pyxon::cap::kFan) == 0) return kNotImplemented;
      return Store(speed, c.s_.fan);
    });
  });
}

Result SimHandle::SetFanSpeed(uint16_t speed) {
  return Run(83, {speed}, nullptr, [&] {
    return Locked([&](SimCamera& c) REQUIRES(c.mu_) {
      if ((c.profile_.record->flags & pyxon::cap::kFan) == 0) return kNotImplemented;
      if (speed > c.profile_.record->maxFanSpeed) return kInvalidArgument;
      c.UpdateTemperatureLocked(Clock::now());
      c.s_.fan = speed;
      // Without the fan the cooler would overheat: the camera switches it off.
      if (speed == 0) {
        auto tec = c.s_.options.find(pyxon::opt::kTecOn);
        if (tec != c.s_.options.end()) tec->second.value = 0;
      }
      return kOk;
    });
  });
}

Result SimHandle::GetTecTarget(int32_t* tenthsCelsius) {
  return Run(87, {0}, nullptr, [&] {
    return Locked([&](SimCamera& c) REQUIRES(c.mu_) {
      if ((c.profile_.record->flags & pyxon::cap::kTec) == 0) return kNotImplemented;
      return Store(tenthsCelsius, c.s_.tecTarget);
    });
  });
}

Result SimHandle::SetTecTarget(int32_t tenthsCelsius) {
  return Run(88, {tenthsCelsius}, nullptr, [&] {
    return Locked([&](SimCamera& c) REQUIRES(c.mu_) {
      if ((c.profile_.record->flags & pyxon::cap::kTec) == 0) return kNotImplemented;
      const int32_t range = c.OptionOr(pyxon::opt::kTecTargetRange, PackHalves(-500, 400));
      const int32_t low = static_cast<int16_t>(static_cast<uint32_t>(range) & 0xFFFFu);
      const int32_t high = static_cast<int16_t>(static_cast<uint32_t>(range) >> 16);
      if (!InRange(tenthsCelsius, low, high)) return kInvalidArgument;
      c.UpdateTemperatureLocked(Clock::now());
      c.s_.tecTarget = tenthsCelsius;
      return kOk;
    });
  });
}

// ------------------------------------------------------------------ options

Result SimHandle::SetOption(uint32_t option, int32_t value) {
  return Run(93, {option, value}, nullptr, [&] {
    return Locked([&](SimCamera& c) REQUIRES(c.mu_) { return c.SetOptionLocked(option, value); });
  });
}

Result SimHandle::GetOption(uint32_t option, int32_t* value) {
  const int64_t preset = value != nullptr ? *value : 0;
  return Run(94, {option, preset}, nullptr, [&] {
    return Locked([&](SimCamera& c) REQUIRES(c.mu_) { return c.GetOptionLocked(option, value); });
  });
}

Result SimHandle::QueryNamedInt(const char* name) {
  return Run(189, {}, name, [&] {
    if (name == nullptr) return kInvalidArgument;
    return Locked([&](SimCamera& c) REQUIRES(c.mu_) {
      // An unknown name answers 0: "not supported".
      auto it = c.s_.named.find(name);
      return it == c.s_.named.end() ? 0 : it->second.value;
    });
  });
}

Result SimHandle::GetNamedValue(const char* name, int32_t* value) {
  return Run(195, {0}, name, [&] {
    if (name == nullptr || value == nullptr) return kInvalidArgument;
    return Locked([&](SimCamera& c) REQUIRES(c.mu_) {
      auto it = c.s_.named.find(name);
      if (it == c.s_.named.end()) return kNotImplemented;
      *value = it->second.value;
      return kOk;
    });
  });
}

Result SimHandle::SetNamedValue(const char* name, int32_t value) {
  return Run(196, {value}, name, [&] {
    if (name == nullptr) return kInvalidArgument;
    return Locked([&](SimCamera& c) REQUIRES(c.mu_) {
      auto it = c.s_.named.find(name);
      if (it == c.s_.named.end()) return kNotImplemented;
      if (!it->second.writable) return kAccessDenied;
      if (!InRange(value, it->second.min, it->second.max)) return kInvalidArgument;
      it->second.value = value;
      return kOk;
    });
  });
}

// ---------------------------------------------------------------------- I/O

Result SimHandle::IoControl(uint32_t line, uint32_t command, int32_t value, int32_t* out) {
  return Run(109, {line, command, value, 0}, nullptr, [&] {
    return Locked([&](SimCamera& c)
                      REQUIRES(c.mu_) { return IoControlLocked(c, line, command, value, out); });
  });
}

// Per-line commands address the line's own settings and check that the line can
// do what is asked (an input-only line has no output inverter); the trigger,
// counter value, strobe and user-output commands are camera-wide and accept any
// existing line.
Result SimHandle::IoControlLocked(SimCamera& c, uint32_t line, uint32_t command, int32_t value,
                                  int32_t* out) {
  using namespace pyxon::io;
  Settings& s = c.s_;
  if (s.lines.empty()) return kNotImplemented;
  if (line >= s.lines.size()) return kInvalidArgument;
  IoLine& l = s.lines[line];
  const bool input = (l.capabilities & 1) != 0;
  const bool output = (l.capabilities & 2) != 0;
  auto read = [&](int32_t field) { return Store(out, field); };
  auto write = [&](int32_t& field, int64_t lo, int64_t hi) {
    return SetChecked(field, value, lo, hi);
  };
  switch (command) {
    case kGetCapabilities:
      return read(l.capabilities);
    case kGetDirection:
      return read(l.direction);
    case kSetDirection:
      if (!InRange(value, 0, 1)) return kInvalidArgument;
      if ((value == 0 && !input) || (value == 1 && !output)) return kNotImplemented;
      l.direction = value;
      return kOk;
    case kGetOutputInverter:
      return output ? read(l.inverter) : kNotImplemented;
    case kSetOutputInverter:
      return output ? write(l.inverter, 0, 1) : kNotImplemented;
    case kGetInputActivation:
      return input ? read(l.activation) : kNotImplemented;
    case kSetInputActivation:
      return input ? write(l.activation, 0, 3) : kNotImplemented;
    case kGetDebouncerTime:
      return input ? read(l.debouncer) : kNotImplemented;
    case kSetDebouncerTime:
      return input ? write(l.debouncer, 0, 20000) : kNotImplemented;
    case kGetTriggerSource:
      return read(s.triggerSource);
    case kSetTriggerSource:
      return write(s.triggerSource, 0, 5);
    case kGetTriggerDelay:
      return read(l.delay);
    case kSetTriggerDelay:
      return write(l.delay, 0, 5000000);
    case kGetCounterSource:
      return read(l.counterSource);
    case kSetCounterSource:
      return write(l.counterSource, 0, 2);
    case kGetCounterValue:
      return read(s.counterValue);
    case kSetCounterValue:
      return write(s.counterValue, 1, 65535);
    case kResetCounter:
      s.counterCount = 0;
      return kOk;
    case kGetPwmSource:
      return read(l.pwmSource);
    case kSetPwmSource:
      return write(l.pwmSource, 0, 2);
    case kGetOutputMode:
      return output ? read(l.outputMode) : kNotImplemented;
    case kSetOutputMode:
      return output ? write(l.outputMode, 0, 5) : kNotImplemented;
    case kGetStrobeDelayMode:
      return read(s.strobeMode);
    case kSetStrobeDelayMode:
      return write(s.strobeMode, 0, 1);
    case kGetStrobeDelayTime:
      return read(s.strobeDelay);
    case kSetStrobeDelayTime:
      return write(s.strobeDelay, 0, 5000000);
    case kGetStrobeDuration:
      return read(s.strobeDuration);
    case kSetStrobeDuration:
      return write(s.strobeDuration, 0, 5000000);
    case kGetUserOutput:
      return read(s.userOutput);
    case kSetUserOutput:
      return write(s.userOutput, 0, INT32_MAX);
    default:
      return kNotImplemented;
  }
}

// --------------------------------------------------------------- acquisition

Result SimHandle::Setup(int32_t mode) {
  return Run(113, {mode}, nullptr, [&] {
    return Locked([&](SimCamera& c) REQUIRES(c.mu_) {
      c.s_.setupMode = mode;
      return kOk;
    });
  });
}

Result SimHandle::PrepareSoftwareTrigger() {
  return Run(115, {}, nullptr, [&] { return kOk; });
}

Result SimHandle::SoftwareTrigger(uint16_t count) {
  return Run(138, {count}, nullptr, [&] {
    const Result result = Locked([&](SimCamera& c) REQUIRES(c.mu_) {
      if (count == 0) return kInvalidArgument;
      if (!c.started_ || c.OptionOr(pyxon::opt::kTriggerMode, 0) != 1) return kUnexpected;
      // Triggers queue up; each frame takes its exposure (or the readout, when
      // longer) after the previous one, or the forced frame interval.
      const auto now = Clock::now();
      const auto period = std::chrono::microseconds(
          c.frameIntervalUs_ > 0 ? c.frameIntervalUs_
                                 : std::max<uint32_t>(c.s_.exposureUs, c.MinFramePeriodUsLocked()));
      const int32_t n = std::min<int32_t>(count, kMaxTriggersPerCall);
      for (int32_t i = 0; i < n && c.triggers_.size() < kMaxTriggersPerCall; ++i) {
        const auto start = c.triggers_.empty() ? now : std::max(now, c.triggers_.back());
        c.triggers_.push_back(start + period);
      }
      return kOk;
    });
    // Woken once mu_ is released, so that the worker does not wake into it.
    if (result == kOk) camera_->workCv_.notify_all();
    return result;
  });
}

Result SimHandle::StartPullWithCallback(void*, void*, void*, void*, void*, void*, void*,
                                        pyxon::EventCallback callback, void*, void* context) {
  return Run(158, {Ptr(reinterpret_cast<void*>(callback)), Ptr(context)}, nullptr, [&] {
    return Locked([&](SimCamera& c) REQUIRES(c.mu_) {
      if (c.started_) return kUnexpected;
      const auto now = Clock::now();
      c.started_ = true;
      c.callback_ = callback;
      c.context_ = context;
      c.lastPulled_ = c.newest_;  // nothing from before the start is pullable
      c.nextFree_ = now + std::chrono::microseconds(c.FramePeriodUsLocked());
      c.nextWhiteBalance_ =
          now + std::chrono::milliseconds(c.OptionOr(pyxon::opt::kWhiteBalanceInterval, 0));
      c.workCv_.notify_all();
      return kOk;
    });
  });
}

// Stop waits for callbacks in flight, so that the caller may free their
// context afterwards; a caller that holds a lock such a callback needs
// deadlocks until the wait limit, as with a real library.
Result SimHandle::Stop(int32_t mode) {
  return Run(159, {mode}, nullptr, [&] {
    camera_->StopDelivery();
    return kOk;
  });
}

Result SimHandle::Close() {
  // The worker owns this object; keep it alive until Close has returned.
  std::shared_ptr<SimHandle> self = shared_from_this();
  Simulator& sim = Simulator::Instance();
  const Intercept intercept = sim.faults().Check(160);
  SlowLinkLatency(160);
  Result result = kOk;
  if (!live()) {
    result = kHandleClosed;
  } else if (intercept.kind == Intercept::Kind::kFail ||
             (intercept.kind == Intercept::Kind::kScript && intercept.value < 0)) {
    result = intercept.value;
  } else {
    RetiredWorkers retired = camera_->Close(session_);
    sim.Retire(std::move(retired.frames));
    sim.Retire(std::move(retired.values));
    if (intercept.kind == Intercept::Kind::kScript) result = intercept.value;
  }
  sim.trace().Record(camera_->index(), 160, {}, nullptr, result);
  return result;
}

Result SimHandle::GetFrameStatistics(uint32_t* frames, uint32_t* intervalMs, uint32_t* total,
                                     int32_t reserved1, int32_t reserved2) {
  return Run(169, {0, 0, 0, reserved1, reserved2}, nullptr, [&] {
    return Locked([&](SimCamera& c) REQUIRES(c.mu_) {
      const auto now = Clock::now();
      while (!c.recent_.empty() && now - c.recent_.front() > std::chrono::seconds(1)) {
        c.recent_.pop_front();
      }
      uint32_t count = 0;
      uint32_t interval = 0;
      if (c.recent_.size() >= 2) {
        count = static_cast<uint32_t>(c.recent_.size() - 1);
        interval = static_cast<uint32_t>(std::max<int64_t>(
            1, std::chrono::duration_cast<std::chrono::milliseconds>(c.recent_.back() -
                                                                     c.recent_.front())
                   .count()));
      }
      StoreIfSet(frames, count);
      StoreIfSet(intervalMs, interval);
      StoreIfSet(total, static_cast<uint32_t>(c.delivered_));
      return kOk;
    });
  });
}

// Writes the newest frame that has not been pulled yet. bits chooses the layout
// (8 or 16 grey, 24 or 32 BGR(A) bytes, 48 or 64 BGR(A) 16-bit words; 0 takes
// it from option 12); rowPitch -1 or 0 packs the rows. waitMode > 0 waits up to
// that many milliseconds for a frame; 0 answers 0x8000000A at once when none is
// ready. The pixels are copied under the render lock only, so handle calls from
// other threads are not held up by a large copy.
Result SimHandle::PullImage(int32_t waitMode, void* destination, int32_t bits, int32_t rowPitch,
                            void* frameInfo) {
  return Run(kPullPosition, {waitMode, 0, bits, rowPitch, 0}, nullptr, [&]() -> Result {
    SimCamera& c = *camera_;
    if (destination == nullptr) return kInvalidArgument;
    if (bits == 0) {
      pyx::MutexLock lock(c.mu_);
      static constexpr int32_t kLayoutBits[] = {0, 64, 32, 8, 16};
      const int32_t format = c.OptionOr(pyxon::opt::kOutputFormat, 3);
      bits = format >= 1 && format <= 4 ? kLayoutBits[format] : 8;
    }
    const uint32_t bpp = BytesPerPixel(static_cast<uint32_t>(bits));
    if (bpp == 0 || rowPitch < -1) return kInvalidArgument;

    RenderParams params;
    uint64_t number = 0;
    bool vflip = false;
    Clock::time_point stamp;
    {
      pyx::UniqueLock lock(c.mu_);
      const Geometry g = c.GeometryLocked();
      if (rowPitch > 0 && static_cast<uint64_t>(rowPitch) < static_cast<uint64_t>(g.width) * bpp) {
        return kInvalidArgument;
      }
      auto ready = [&]() REQUIRES(c.mu_) { return c.newest_ != 0 && c.newest_ != c.lastPulled_; };
      // A free-running sensor's frames follow its clock, not the worker's
      // timer: a frame that is due has been exposed, and the pull takes it
      // now. Its image event is left to the worker's next round (at most
      // tens of microseconds away); waking the worker for it would cost a
      // system call per frame at high frame rates.
      if (!ready()) c.MakeDueFrameLocked(Clock::now(), false);
      if (!ready()) {
        const bool wakeWorker = c.AskForNextFrameLocked();
        if (waitMode <= 0) {
          lock.unlock();  // the worker is not to wake into a held lock
          if (wakeWorker) c.workCv_.notify_all();
          return pyxon::kPending;
        }
        if (wakeWorker) c.workCv_.notify_all();
        const auto deadline = Clock::now() + std::chrono::milliseconds(waitMode);
        while (!ready() && live() && !c.disconnected()) {
          if (c.frameCv_.wait_until(lock, deadline) == std::cv_status::timeout) break;
        }
        if (!live()) return kHandleClosed;
        if (c.disconnected()) return kDisconnected;
        if (!ready()) return pyxon::kPending;
      }
      number = c.newest_;
      c.lastPulled_ = c.newest_;
      stamp = c.newestTime_;
      const int32_t rotation = c.OptionOr(pyxon::opt::kRotate, 0);
      const bool halfTurn = rotation == 180;
      params.width = g.width;
      params.height = g.height;
      params.bits = static_cast<uint32_t>(bits);
      params.formatBits = c.FormatBitsLocked();
      params.colour = c.profile_.colour;
      params.signal = static_cast<uint32_t>(std::min(1.0e9, c.SignalLocked() * 65536.0));
      std::copy(c.s_.wb, c.s_.wb + 3, params.wb);
      params.brightness = c.s_.brightness;
      params.hflip = (c.s_.hflip != 0) != halfTurn;
      params.negative = c.s_.negative != 0;
      vflip = (c.s_.vflip != 0) != halfTurn;
    }
    {
      pyx::MutexLock lock(c.renderMu_);
      c.renderer_.Write(params, number, vflip, static_cast<uint8_t*>(destination),
                        rowPitch > 0 ? static_cast<size_t>(rowPitch) : 0);
    }
    if (frameInfo != nullptr) {
      PyxsimFrameInfo info{};
      info.width = params.width;
      info.height = params.height;
      info.bits = params.bits;
      info.frameNumber = number;
      info.timestampUs = static_cast<uint64_t>(
          std::chrono::duration_cast<std::chrono::microseconds>(stamp.time_since_epoch()).count());
      std::memcpy(frameInfo, &info, sizeof(info));
    }
    return kOk;
  });
}

}  // namespace pyxsim
