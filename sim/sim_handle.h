// The camera object that DllOpen hands out: every CameraHandle position the
// adapter calls, mapped onto the SimCamera of the session.
//
// Every call is traced and passes the fault table first (sim_control.h). After
// Close, calls answer 0x80070006 instead of touching the camera; the object
// itself lives until the session's worker has ended, so a callback that was in
// flight when Close ran may still call into it safely. Calls after that are a
// use after free, as with a real library.
#pragma once

#include <initializer_list>
#include <memory>

#include "sim/sim_camera.h"
#include "vendor/pyxon_api.h"

namespace pyxsim {

class SimHandle;

class SerialPart final : public pyxon::SerialInterface {
 public:
  explicit SerialPart(SimHandle& owner) : owner_(owner) {}
  pyxon::Result QueryInterface(const uint8_t* iid, void** out) override;
  uint32_t AddRef() override { return 2; }
  uint32_t Release() override { return 1; }
  pyxon::Result GetSerialNumber(char serial[32]) override;

 private:
  SimHandle& owner_;
};

class VersionPart final : public pyxon::VersionInterface {
 public:
  explicit VersionPart(SimHandle& owner) : owner_(owner) {}
  pyxon::Result QueryInterface(const uint8_t* iid, void** out) override;
  uint32_t AddRef() override { return 2; }
  uint32_t Release() override { return 1; }
  pyxon::Result GetFirmwareVersion(char text[32]) override;
  pyxon::Result GetHardwareVersion(char text[32]) override;
  pyxon::Result GetProductionDate(char text[32]) override;
  pyxon::Result GetFpgaVersion(char text[32]) override;

 private:
  SimHandle& owner_;
};

class SimHandle final : public pyxon::CameraHandle, public std::enable_shared_from_this<SimHandle> {
 public:
  SimHandle(std::shared_ptr<SimCamera> camera, uint64_t session);
  ~SimHandle() = default;
  SimHandle(const SimHandle&) = delete;
  SimHandle& operator=(const SimHandle&) = delete;

  SimCamera& camera() const { return *camera_; }
  bool live() const { return camera_->IsSession(session_); }

  pyxon::Result QueryInterface(const uint8_t* iid, void** out) override;
  pyxon::Result SetResolutionIndex(uint32_t index) override;
  pyxon::Result GetResolutionIndex(uint32_t* index) override;
  pyxon::Result GetAutoExposure(int32_t* enabled) override;
  pyxon::Result SetAutoExposure(int32_t enabled) override;
  pyxon::Result GetAutoExposureTarget(uint16_t* target) override;
  pyxon::Result SetAutoExposureTarget(uint16_t target) override;
  pyxon::Result WhiteBalanceOnce(void* callback, void* context) override;
  pyxon::Result SetWhiteBalanceGains(const int32_t gains[3]) override;
  pyxon::Result GetWhiteBalanceGains(int32_t gains[3]) override;
  pyxon::Result SetHue(int32_t hue) override;
  pyxon::Result GetHue(int32_t* hue) override;
  pyxon::Result SetSaturation(int32_t saturation) override;
  pyxon::Result GetSaturation(int32_t* saturation) override;
  pyxon::Result SetBrightness(int32_t brightness) override;
  pyxon::Result GetBrightness(int32_t* brightness) override;
  pyxon::Result GetExposureTime(uint32_t* microseconds) override;
  pyxon::Result SetExposureTime(uint32_t microseconds) override;
  pyxon::Result GetGain(uint16_t* gain) override;
  pyxon::Result SetGain(uint16_t gain) override;
  pyxon::Result GetContrast(int32_t* contrast) override;
  pyxon::Result SetContrast(int32_t contrast) override;
  pyxon::Result GetGamma(int32_t* gamma) override;
  pyxon::Result SetGamma(int32_t gamma) override;
  pyxon::Result GetVerticalFlip(int32_t* on) override;
  pyxon::Result SetVerticalFlip(int32_t on) override;
  pyxon::Result GetHorizontalFlip(int32_t* on) override;
  pyxon::Result SetHorizontalFlip(int32_t on) override;
  pyxon::Result SetSpeed(uint16_t speed) override;
  pyxon::Result GetSpeed(uint16_t* speed) override;
  pyxon::Result SetPowerFrequency(int32_t mode) override;
  pyxon::Result GetPowerFrequency(int32_t* mode) override;
  pyxon::Result SetSkipMode(int32_t skip) override;
  pyxon::Result GetSkipMode(int32_t* skip) override;
  pyxon::Result GetExposureRange(uint32_t* min, uint32_t* max, uint32_t* def) override;
  pyxon::Result GetGainRange(uint16_t* min, uint16_t* max, uint16_t* def) override;
  pyxon::Result SetAutoExposureMax(uint32_t maxTime, uint16_t maxGain) override;
  pyxon::Result GetRealExposureTime(uint32_t* microseconds) override;
  pyxon::Result GetTemperature(int16_t* tenthsCelsius) override;
  pyxon::Result SetRoi(uint32_t x, uint32_t y, uint32_t width, uint32_t height) override;
  pyxon::Result GetRoi(uint32_t* x, uint32_t* y, uint32_t* width, uint32_t* height) override;
  pyxon::Result GetFanSpeed(uint16_t* speed) override;
  pyxon::Result SetFanSpeed(uint16_t speed) override;
  pyxon::Result GetResolutionRatio(uint32_t index, int32_t* numerator,
                                   int32_t* denominator) override;
  pyxon::Result GetTecTarget(int32_t* tenthsCelsius) override;
  pyxon::Result SetTecTarget(int32_t tenthsCelsius) override;
  pyxon::Result SetOption(uint32_t option, int32_t value) override;
  pyxon::Result GetOption(uint32_t option, int32_t* value) override;
  pyxon::Result IoControl(uint32_t line, uint32_t command, int32_t value, int32_t* out) override;
  pyxon::Result Setup(int32_t mode) override;
  pyxon::Result PrepareSoftwareTrigger() override;
  pyxon::Result SetNegative(int32_t on) override;
  pyxon::Result GetNegative(int32_t* on) override;
  pyxon::Result GetAutoExposureMax(uint32_t* maxTime, uint16_t* maxGain) override;
  pyxon::Result GetOutputSize(uint32_t* width, uint32_t* height) override;
  pyxon::Result GetRawFormat(uint32_t* fourcc, uint32_t* bits) override;
  pyxon::Result SoftwareTrigger(uint16_t count) override;
  pyxon::Result GetPixelFormatSupport(int32_t position, int32_t* out) override;
  pyxon::Result StartPullWithCallback(void* a1, void* a2, void* a3, void* a4, void* a5, void* a6,
                                      void* a7, pyxon::EventCallback callback, void* a9,
                                      void* context) override;
  pyxon::Result Stop(int32_t mode) override;
  pyxon::Result Close() override;
  pyxon::Result GetFrameStatistics(uint32_t* frames, uint32_t* intervalMs, uint32_t* total,
                                   int32_t reserved1, int32_t reserved2) override;
  pyxon::Result PullImage(int32_t waitMode, void* destination, int32_t bits, int32_t rowPitch,
                          void* frameInfo) override;
  pyxon::Result QueryNamedInt(const char* name) override;
  pyxon::Result GetNamedValue(const char* name, int32_t* value) override;
  pyxon::Result SetNamedValue(const char* name, int32_t value) override;

 private:
  friend class SerialPart;
  friend class VersionPart;

  // Traces the call, applies injected faults and runs op when none intercepts.
  template <typename Op>
  pyxon::Result Run(int position, std::initializer_list<int64_t> args, const char* text, Op&& op);
  // Runs op(camera) under the camera lock.
  // op is a lambda annotated REQUIRES(c.mu_) for its camera parameter c.
  template <typename Op>
  pyxon::Result Locked(Op&& op) EXCLUDES(camera_->mu_);

  pyxon::Result IoControlLocked(SimCamera& c, uint32_t line, uint32_t command, int32_t value,
                                int32_t* out) REQUIRES(c.mu_);

  std::shared_ptr<SimCamera> camera_;
  const uint64_t session_;
  SerialPart serial_;
  VersionPart version_;
};

}  // namespace pyxsim
