#include "sim/sim_camera.h"

#include <sys/prctl.h>

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstdlib>
#include <exception>
#include <functional>

#include "sim/behaviour.h"
#include "sim/sim_handle.h"

namespace pyxsim {
namespace {

using std::chrono::microseconds;
using std::chrono::milliseconds;

constexpr double kWarmSensor = 300.0;  // tenths of a degree without cooling
constexpr double kThermalTimeConstantS = 2.0;
constexpr size_t kMaxPendingTriggers = 1024;
constexpr size_t kMaxRecentFrames = 10000;
constexpr auto kAutoExposureMinGap = milliseconds(50);
constexpr auto kFlushTimeout = std::chrono::seconds(5);
// While nobody waits for a frame, the worker makes a free-running frame at
// most this often. A faster sensor still delivers every frame at its own
// period to whoever pulls (the pull takes a due frame itself), and a pull that
// finds nothing new has the next frame announced as soon as it is due; making
// and announcing frames that nobody asked for at every microsecond would take
// a core of the host's machine, which a camera's electronics do not.
constexpr auto kWorkerFrameGap = microseconds(50);
// The worker's timers fire this late at most (the system's default for a
// thread is 50 us, longer than the frame period of a small region).
constexpr unsigned long kWorkerTimerSlackNs = 1000;
constexpr int32_t kAwbGains[3] = {15, 0, -14};  // what the warm illuminant needs
constexpr double kMeanReflectance = 0.42;       // average of the test scene

// The camera whose worker or value-event thread this is: calls from its
// callbacks must not wait for callbacks of that camera to end.
thread_local const void* tlsOwnThreadOf = nullptr;

bool InRange(int64_t v, int64_t lo, int64_t hi) {
  return v >= lo && v <= hi;
}

uint32_t UnsignedHalf(int32_t packed, bool high) {
  const uint32_t word = static_cast<uint32_t>(packed);
  return high ? word >> 16 : word & 0xFFFFu;
}

}  // namespace

Settings Settings::Defaults(const ModelProfile& profile) {
  Settings s;
  s.exposureUs = profile.exposure.def;
  s.gain = profile.gain.def;
  s.speed = profile.defaultSpeed;
  s.fan = profile.defaultFan;
  s.tecTarget = profile.defaultTecTarget;
  for (const OptionDef& def : profile.options) {
    s.options[def.id] = OptionSlot{def.value, def.min, def.max, def.access, def.computed};
  }
  if (!profile.lanes.empty()) {
    s.lanes = profile.lanes;
    s.options[pyxon::opt::kLane] =
        OptionSlot{profile.defaultLane, 0, static_cast<int32_t>(profile.lanes.size()) - 1,
                   Access::kReadWrite, Computed::kNo};
  }
  for (const NamedDef& def : profile.named) {
    s.named[def.name] = NamedSlot{def.value, def.writable, def.min, def.max};
  }
  // Line 0 is the opto-isolated input, line 1 the opto-isolated output, the
  // others are general-purpose lines that can go either way.
  for (uint32_t i = 0; i < profile.record->ioLineCount; ++i) {
    IoLine line;
    line.capabilities = i == 0 ? 1 : (i == 1 ? 2 : 3);
    line.direction = i == 1 ? 1 : 0;
    s.lines.push_back(line);
  }
  return s;
}

SimCamera::SimCamera(const ModelProfile& profile, std::string displayName, std::string id)
    : profile_(profile),
      displayName_(std::move(displayName)),
      id_(std::move(id)),
      s_(Settings::Defaults(profile)),
      temperature_(kWarmSensor),
      temperatureAt_(Clock::now()) {}

SimCamera::~SimCamera() {
  // Close hands the threads out; a running one owns a reference to this
  // camera, so nothing should be left here.
  if (worker_.joinable()) worker_.detach();
  if (valueWorker_.joinable()) valueWorker_.detach();
}

// ------------------------------------------------------------------ sessions

pyxon::CameraHandle* SimCamera::Open(const std::string& iniPath) {
  pyx::MutexLock lock(mu_);
  if (session_.load() != 0) return nullptr;
  const uint64_t session = sessionCounter_ + 1;

  // Start the worker first: if that fails nothing is committed. It waits for
  // mu_, so it sees the session only once everything below is in place.
  auto handle = std::make_shared<SimHandle>(shared_from_this(), session);
  SimHandle* raw = handle.get();
  auto exited = std::make_shared<std::atomic<bool>>(false);
  std::shared_ptr<SimHandle> valueHandle = handle;
  worker_ = std::thread([this, session, handle = std::move(handle), exited]() mutable {
    RunWorker(session, std::move(handle));
    exited->store(true);
  });
  workerExited_ = exited;
  // Without a second thread the session still works, with every event on the
  // worker.
  valueThreadOn_ = false;
  if (CurrentBehaviour().valueEventsThread.load()) {
    try {
      auto valueExited = std::make_shared<std::atomic<bool>>(false);
      valueWorker_ =
          std::thread([this, session, handle = std::move(valueHandle), valueExited]() mutable {
            RunValueEvents(session, std::move(handle));
            valueExited->store(true);
          });
      valueExited_ = valueExited;
      valueThreadOn_ = true;
    } catch (const std::exception&) {
    }
  }

  sessionCounter_ = session;
  session_.store(session, std::memory_order_release);
  iniPath_ = iniPath;
  ++openCount_;
  started_ = false;
  callback_ = nullptr;
  context_ = nullptr;
  generated_ = delivered_ = newest_ = lastPulled_ = 0;
  recent_.clear();
  triggers_.clear();
  frameEvents_.Drop();
  valueEvents_.Drop();
  queuedImageEvents_ = 0;
  whiteBalanceOncePending_ = false;
  return raw;
}

RetiredWorkers SimCamera::EndSessionLocked() {
  session_.store(0, std::memory_order_release);
  started_ = false;
  callback_ = nullptr;
  context_ = nullptr;
  triggers_.clear();
  frameEvents_.Drop();
  valueEvents_.Drop();
  queuedImageEvents_ = 0;
  whiteBalanceOncePending_ = false;
  workCv_.notify_all();
  valueCv_.notify_all();
  frameCv_.notify_all();
  flushCv_.notify_all();
  RetiredWorkers retired{{std::move(worker_), std::move(workerExited_)},
                         {std::move(valueWorker_), std::move(valueExited_)}};
  worker_ = std::thread();
  valueWorker_ = std::thread();
  valueThreadOn_ = false;
  return retired;
}

// A callback that calls 159 or 160 on its own camera's thread would wait for
// itself; careful libraries answer at once there, and so do we. Elsewhere the
// caller learns that no callback runs any more once we return, unless the
// limit ran out (counted, so that a test can tell a wait that gave up from
// one that did not happen).
void SimCamera::WaitForCallbacksLocked(pyx::UniqueLock& lock) {
  Behaviour& behaviour = CurrentBehaviour();
  if (!behaviour.stopWaitsForCallbacks.load() || tlsOwnThreadOf == this) return;
  const auto deadline = Clock::now() + milliseconds(behaviour.stopWaitLimitMs.load());
  while (inFlight_ > 0) {
    if (idleCv_.wait_until(lock, deadline) == std::cv_status::timeout && inFlight_ > 0) {
      ++stopWaitExpiries_;
      behaviour.stopWaitExpiries.fetch_add(1);
      return;
    }
  }
}

void SimCamera::StopDelivery() {
  pyx::UniqueLock lock(mu_);
  started_ = false;
  callback_ = nullptr;
  context_ = nullptr;
  triggers_.clear();
  lastPulled_ = newest_;  // an unpulled frame is discarded
  frameCv_.notify_all();
  workCv_.notify_all();
  WaitForCallbacksLocked(lock);
}

RetiredWorkers SimCamera::Close(uint64_t session) {
  pyx::UniqueLock lock(mu_);
  if (session == 0 || session_.load() != session) return {};
  RetiredWorkers retired = EndSessionLocked();
  WaitForCallbacksLocked(lock);
  return retired;
}

RetiredWorkers SimCamera::ForceClose() {
  pyx::MutexLock lock(mu_);
  if (session_.load() == 0) return {};
  return EndSessionLocked();
}

// -------------------------------------------------------------------- worker

// The worker makes the frames that are due, then delivers queued events one at
// a time with mu_ released around the callback. It ends when its session ends;
// the handle reference it drops last may destroy the handle and this camera,
// so nothing touches `this` after it.
void SimCamera::RunWorker(uint64_t session, std::shared_ptr<SimHandle> keepAlive) {
  prctl(PR_SET_TIMERSLACK, kWorkerTimerSlackNs, 0, 0, 0);
  tlsOwnThreadOf = this;
  {
    pyx::UniqueLock lock(mu_);
    while (session_.load() == session) {
      const auto now = Clock::now();
      AdvanceLocked(now);
      if (!frameEvents_.events.empty()) {
        DeliverOneLocked(frameEvents_);
        continue;
      }
      workCv_.wait_until(lock, NextWakeLocked(now));
    }
  }
  keepAlive.reset();
}

// Delivers what the worker decided: the values change on the camera's
// timers, and their events reach the adapter concurrently with the frames'.
void SimCamera::RunValueEvents(uint64_t session, std::shared_ptr<SimHandle> keepAlive) {
  tlsOwnThreadOf = this;
  {
    pyx::UniqueLock lock(mu_);
    while (session_.load() == session) {
      if (!valueEvents_.events.empty()) {
        DeliverOneLocked(valueEvents_);
        continue;
      }
      valueCv_.wait(lock);
    }
  }
  keepAlive.reset();
}

bool SimCamera::FreeRunningLocked() const {
  return started_ && frameSource_ == 0 && !disconnected_.load() &&
         OptionOr(pyxon::opt::kTriggerMode, 0) == 0;
}

void SimCamera::AdvanceLocked(Clock::time_point now) {
  if (now >= workerFrameNotBefore_ && MakeDueFrameLocked(now)) {
    workerFrameNotBefore_ = now + kWorkerFrameGap;
  }
  while (!triggers_.empty() && triggers_.front() <= now) {
    triggers_.pop_front();
    if (frameSource_ == 0) ProduceFrameLocked(now);
  }
  if (whiteBalanceOncePending_ && whiteBalanceOnceDue_ <= now) {
    whiteBalanceOncePending_ = false;
    std::copy(std::begin(kAwbGains), std::end(kAwbGains), s_.wb);
    if (whiteBalanceCallback_ != nullptr) {
      Event done{pyxon::kEventWhiteBalance, 0, false, whiteBalanceCallback_,
                 whiteBalanceContext_,      {}};
      std::copy(std::begin(s_.wb), std::end(s_.wb), done.gains);
      PushEventLocked(done, true);
    }
    QueueEventLocked(pyxon::kEventWhiteBalance, false);
  }
  const int32_t interval = OptionOr(pyxon::opt::kWhiteBalanceInterval, 0);
  if (started_ && profile_.colour && interval > 0 && nextWhiteBalance_ <= now) {
    // Continuous white balance settles around the illuminant's gains.
    ++whiteBalanceRounds_;
    s_.wb[0] = kAwbGains[0] + static_cast<int32_t>(whiteBalanceRounds_ % 3) - 1;
    s_.wb[1] = kAwbGains[1];
    s_.wb[2] = kAwbGains[2];
    QueueEventLocked(pyxon::kEventWhiteBalance, false);
    nextWhiteBalance_ = now + milliseconds(interval);
  }
}

Clock::time_point SimCamera::NextWakeLocked(Clock::time_point now) const {
  auto wake = now + milliseconds(500);
  if (FreeRunningLocked()) wake = std::min(wake, std::max(nextFree_, workerFrameNotBefore_));
  if (!triggers_.empty()) wake = std::min(wake, triggers_.front());
  if (whiteBalanceOncePending_) wake = std::min(wake, whiteBalanceOnceDue_);
  if (started_ && profile_.colour && OptionOr(pyxon::opt::kWhiteBalanceInterval, 0) > 0) {
    wake = std::min(wake, nextWhiteBalance_);
  }
  return wake;
}

// The callback runs with mu_ released; the caller's lock object still
// believes it holds mu_, which is true again by the time it looks.
void SimCamera::DeliverOneLocked(EventQueue& queue) {
  const Event event = queue.events.front();
  queue.events.pop_front();
  if (IsImageEvent(event)) --queuedImageEvents_;
  if (event.whiteBalanceCallback != nullptr) {
    using Done = void (*)(const int32_t*, void*);
    const Done done = reinterpret_cast<Done>(event.whiteBalanceCallback);
    ++inFlight_;
    mu_.unlock();
    try {
      done(event.gains, event.whiteBalanceContext);
    } catch (...) {  // a callback must not end the worker
    }
    mu_.lock();
    if (--inFlight_ == 0) idleCv_.notify_all();
  } else if (started_ && callback_ != nullptr && (event.explicitEvent || frameSource_ == 0)) {
    const pyxon::EventCallback callback = callback_;
    void* context = context_;
    ++inFlight_;
    mu_.unlock();
    try {
      callback(event.code, context);
    } catch (...) {  // a callback must not end the worker
    }
    mu_.lock();
    if (--inFlight_ == 0) idleCv_.notify_all();
  }
  // The session may have ended meanwhile and dropped the queue.
  queue.done = std::max(queue.done, event.sequence);
  flushCv_.notify_all();
}

bool SimCamera::IsImageEvent(const Event& event) {
  return event.code == pyxon::kEventImage && !event.explicitEvent &&
         event.whiteBalanceCallback == nullptr;
}

bool SimCamera::IsValueEvent(const Event& event) {
  return !event.explicitEvent &&
         (event.code == pyxon::kEventExposure || event.code == pyxon::kEventWhiteBalance);
}

void SimCamera::PushEventLocked(Event event, bool wakeWorker) {
  if (valueThreadOn_ && IsValueEvent(event)) {
    event.sequence = ++valueEvents_.queued;
    valueEvents_.events.push_back(event);
    valueCv_.notify_all();
    return;
  }
  event.sequence = ++frameEvents_.queued;
  frameEvents_.events.push_back(event);
  if (wakeWorker) workCv_.notify_all();
}

void SimCamera::QueueEventLocked(int32_t code, bool explicitEvent, bool wakeWorker) {
  const Event event{code, 0, explicitEvent, nullptr, nullptr, {}};
  // "A frame is ready" is said once: frames made while the announcement of an
  // earlier one waits are covered by it, since a pull takes the newest frame.
  if (IsImageEvent(event)) {
    if (queuedImageEvents_ > 0) return;
    ++queuedImageEvents_;
  }
  PushEventLocked(event, wakeWorker);
}

bool SimCamera::AskForNextFrameLocked() {
  if (!FreeRunningLocked() || workerFrameNotBefore_ <= nextFree_) return false;
  workerFrameNotBefore_ = nextFree_;
  return true;
}

bool SimCamera::MakeDueFrameLocked(Clock::time_point now, bool wakeWorker) {
  if (!FreeRunningLocked() || nextFree_ > now) return false;
  ProduceFrameLocked(now, wakeWorker);
  const auto period = microseconds(FramePeriodUsLocked());
  nextFree_ += period;
  if (nextFree_ <= now) nextFree_ = now + period;  // fell behind: do not burst
  return true;
}

void SimCamera::ProduceFrameLocked(Clock::time_point now, bool wakeWorker) {
  ++generated_;
  // Drops are spread evenly: of the first n frame numbers, n x percent / 100
  // (rounded down) are dropped.
  if (dropPercent_ > 0 &&
      generated_ * dropPercent_ / 100 != (generated_ - 1) * dropPercent_ / 100) {
    return;
  }
  newest_ = generated_;
  newestTime_ = now;
  ++delivered_;
  recent_.push_back(now);
  while (recent_.size() > kMaxRecentFrames ||
         (recent_.size() > 1 && now - recent_.front() > std::chrono::seconds(1))) {
    recent_.pop_front();
  }
  frameCv_.notify_all();
  QueueEventLocked(pyxon::kEventImage, false, wakeWorker);
  AutoExposureStepLocked(now);
}

// The camera's own auto-exposure: moves exposure and gain part of the way
// towards the target brightness, within the auto-exposure maxima and following
// the policy (option 16), and announces each change with event 1.
void SimCamera::AutoExposureStepLocked(Clock::time_point now) {
  if (s_.autoExposure == 0 || now - lastAutoExposure_ < kAutoExposureMinGap) return;
  lastAutoExposure_ = now;
  const double level = std::min(255.0, 255.0 * kMeanReflectance * SignalLocked());
  const double target = s_.aeTarget;
  if (std::fabs(level - target) <= target * 0.06) return;
  const double ratio = std::sqrt(level >= 250.0 ? 0.25 : target / std::max(level, 1.0));

  const double minExposure = profile_.exposure.min;
  const double maxExposure =
      std::min<double>(profile_.exposure.max, static_cast<double>(s_.aeMaxTimeMs) * 1000.0);
  const double minGain = profile_.gain.min;
  const double maxGain =
      std::max<double>(minGain, std::min<double>(profile_.gain.max, s_.aeMaxGain));
  int32_t policy = profile_.hasGain ? OptionOr(pyxon::opt::kAutoExposurePolicy, 1) : 0;
  double exposure = s_.exposureUs;
  double gain = s_.gain;
  auto clampExposure = [&](double v) { return std::min(maxExposure, std::max(minExposure, v)); };
  auto clampGain = [&](double v) { return std::min(maxGain, std::max(minGain, v)); };
  double remaining = ratio;
  auto moveExposure = [&] {
    const double wanted = exposure * remaining;
    const double got = clampExposure(wanted);
    remaining = wanted / std::max(got, 1.0);
    exposure = got;
  };
  auto moveGain = [&] {
    const double wanted = gain * remaining;
    const double got = clampGain(wanted);
    remaining = wanted / std::max(got, 1.0);
    gain = got;
  };
  switch (policy) {
    case 0:  // exposure only
      moveExposure();
      break;
    case 2:  // gain only
      moveGain();
      break;
    case 3:  // gain preferred
      if (ratio > 1) {
        moveGain();
        moveExposure();
      } else {
        moveExposure();
        moveGain();
      }
      break;
    default:  // exposure preferred
      if (ratio > 1) {
        moveExposure();
        moveGain();
      } else {
        moveGain();
        moveExposure();
      }
      break;
  }
  // Under mains light the exposure snaps to whole flicker periods.
  const double flicker = s_.powerFrequency == 0 ? 8333.0 : (s_.powerFrequency == 1 ? 10000.0 : 0);
  if (flicker > 0 && exposure >= flicker)
    exposure = clampExposure(std::floor(exposure / flicker) * flicker);
  const uint32_t newExposure = static_cast<uint32_t>(exposure);
  const uint16_t newGain = static_cast<uint16_t>(gain);
  if (newExposure == s_.exposureUs && newGain == s_.gain) return;
  s_.exposureUs = newExposure;
  s_.gain = newGain;
  QueueEventLocked(pyxon::kEventExposure, false);
}

// ------------------------------------------------------------------ geometry

Geometry SimCamera::GeometryLocked() const {
  const pyxon::CameraModel& model = *profile_.record;
  const uint32_t index = std::min(s_.resolution, model.resolutionCount - 1);
  const pyxon::Resolution& res = model.resolutions[index];
  Geometry g;
  g.areaWidth = s_.roi.width != 0 ? s_.roi.width : res.width;
  g.areaHeight = s_.roi.width != 0 ? s_.roi.height : res.height;
  g.factor = std::max<uint32_t>(1, static_cast<uint32_t>(OptionOr(pyxon::opt::kBinning, 1)) & 0x0F);
  g.width = std::max<uint32_t>(2, (g.areaWidth / g.factor) & ~1u);
  g.height = std::max<uint32_t>(2, (g.areaHeight / g.factor) & ~1u);
  const int32_t rotation = OptionOr(pyxon::opt::kRotate, 0);
  if (rotation == 90 || rotation == 270) std::swap(g.width, g.height);
  return g;
}

uint32_t SimCamera::FormatBitsLocked() const {
  return PixelFormatBits(OptionOr(pyxon::opt::kPixelFormat, 0));
}

uint32_t SimCamera::ReadoutUsLocked() const {
  const pyxon::CameraModel& model = *profile_.record;
  const uint32_t index = std::min(s_.resolution, model.resolutionCount - 1);
  const uint64_t fullHeight = model.resolutions[0].height;
  const uint64_t resHeight = model.resolutions[index].height;
  const Geometry g = GeometryLocked();
  const uint64_t sensorRows = g.areaHeight * fullHeight / std::max<uint64_t>(1, resHeight);
  return static_cast<uint32_t>(profile_.fullReadoutUs * sensorRows /
                               std::max<uint64_t>(1, fullHeight));
}

uint32_t SimCamera::MinFramePeriodUsLocked() const {
  const Geometry g = GeometryLocked();
  const uint64_t bytes =
      static_cast<uint64_t>(g.width) * g.height * (FormatBitsLocked() > 8 ? 2 : 1);
  const int32_t bandwidth = std::min(100, std::max(1, OptionOr(pyxon::opt::kBandwidth, 100)));
  const uint64_t rate = std::max<uint64_t>(1, profile_.linkBytesPerSecond * bandwidth / 100);
  const uint64_t linkUs = bytes * 1000000 / rate;
  uint64_t period = std::max<uint64_t>({ReadoutUsLocked(), linkUs, 100});
  const pyxon::CameraModel& model = *profile_.record;
  if ((model.flags & pyxon::cap::kFrameRateControl) == 0 && model.maxSpeed > 0) {
    period = period * (model.maxSpeed + 1) / (std::min<uint32_t>(s_.speed, model.maxSpeed) + 1);
  }
  return static_cast<uint32_t>(std::min<uint64_t>(period, UINT32_MAX));
}

uint32_t SimCamera::MaxFrameRateTenthsLocked() const {
  const uint64_t period = std::max<uint64_t>(MinFramePeriodUsLocked(), s_.exposureUs);
  return static_cast<uint32_t>(std::max<uint64_t>(1, 10000000 / std::max<uint64_t>(1, period)));
}

uint32_t SimCamera::FramePeriodUsLocked() const {
  if (frameIntervalUs_ > 0) return frameIntervalUs_;
  uint64_t period = std::max<uint64_t>(MinFramePeriodUsLocked(), s_.exposureUs);
  if ((profile_.record->flags & pyxon::cap::kFrameRateControl) != 0) {
    const int64_t maxRate = MaxFrameRateTenthsLocked();
    const int64_t rate = std::max<int64_t>(
        1, std::min<int64_t>(OptionOr(pyxon::opt::kFrameRate, static_cast<int32_t>(maxRate)),
                             maxRate));
    period = std::max<uint64_t>(period, 10000000 / static_cast<uint64_t>(rate));
  }
  return static_cast<uint32_t>(std::min<uint64_t>(period, UINT32_MAX));
}

double SimCamera::SignalLocked() const {
  const int32_t binning = OptionOr(pyxon::opt::kBinning, 1);
  const double factor = std::max(1, binning & 0x0F);
  const bool adds = s_.skip == 0 && (binning & 0x80) == 0;
  return s_.exposureUs / 10000.0 * s_.gain / 100.0 * (adds ? factor * factor : 1.0);
}

uint32_t SimCamera::RealExposureUsLocked() const {
  // The sensor exposes whole rows: round to the line time.
  const uint32_t line = std::max<uint32_t>(
      1, profile_.fullReadoutUs / std::max<uint32_t>(1, profile_.record->resolutions[0].height));
  const uint64_t rows = (static_cast<uint64_t>(s_.exposureUs) + line / 2) / line;
  return static_cast<uint32_t>(
      std::max<uint64_t>(line, std::min<uint64_t>(rows * line, UINT32_MAX)));
}

// --------------------------------------------------------------- temperature

// The sensor relaxes exponentially towards its target: warm without cooling,
// the TEC target while the cooler runs (limited by how far the cooler can pull
// below the warm sensor, much less with the fan off).
void SimCamera::UpdateTemperatureLocked(Clock::time_point now) {
  const double dt = std::chrono::duration<double>(now - temperatureAt_).count();
  temperatureAt_ = now;
  double target = kWarmSensor;
  const uint64_t flags = profile_.record->flags;
  if ((flags & pyxon::cap::kTec) != 0 && OptionOr(pyxon::opt::kTecOn, 0) != 0) {
    const double reach = profile_.maxCoolingDelta * (s_.fan > 0 ? 1.0 : 0.3);
    target = std::max<double>(s_.tecTarget, kWarmSensor - reach);
  }
  temperature_ += (target - temperature_) * (1.0 - std::exp(-dt / kThermalTimeConstantS));
}

int32_t SimCamera::TecDriveLocked() {
  UpdateTemperatureLocked(Clock::now());
  if (OptionOr(pyxon::opt::kTecOn, 0) == 0 || profile_.maxCoolingDelta <= 0) return 0;
  const int32_t maxDrive = OptionOr(pyxon::opt::kTecDriveMax, 255);
  const double load = (kWarmSensor - temperature_) / profile_.maxCoolingDelta + 0.05;
  return static_cast<int32_t>(std::lround(maxDrive * std::min(1.0, std::max(0.0, load))));
}

// ------------------------------------------------------------------- options

int32_t SimCamera::OptionOr(uint32_t option, int32_t fallback) const {
  auto it = s_.options.find(option);
  return it == s_.options.end() ? fallback : it->second.value;
}

void SimCamera::FactoryResetLocked() {
  s_ = Settings::Defaults(profile_);
  triggers_.clear();
  whiteBalanceOncePending_ = false;
  workCv_.notify_all();
}

pyxon::Result SimCamera::GetOptionLocked(uint32_t option, int32_t* value) {
  if (value == nullptr) return pyxon::kInvalidArgument;
  auto it = s_.options.find(option);
  if (it == s_.options.end()) return pyxon::kNotImplemented;
  const OptionSlot& slot = it->second;
  if (slot.access == Access::kWriteOnly) return kAccessDenied;
  if (option == pyxon::opt::kLane && !s_.lanes.empty()) {
    // The preset in the output variable chooses what is read.
    const int32_t preset = *value;
    if (preset == pyxon::kLaneCountQuery) {
      *value = static_cast<int32_t>(s_.lanes.size());
      return pyxon::kOk;
    }
    if ((static_cast<uint32_t>(preset) & 0xFF000000u) ==
        static_cast<uint32_t>(pyxon::kLaneValueQuery)) {
      const uint32_t i = static_cast<uint32_t>(preset) & 0x00FFFFFFu;
      if (i >= s_.lanes.size()) return pyxon::kInvalidArgument;
      *value = s_.lanes[i];
      return pyxon::kOk;
    }
  }
  switch (slot.computed) {
    case Computed::kTecDrive:
      *value = TecDriveLocked();
      break;
    case Computed::kMaxFrameRate:
      *value = static_cast<int32_t>(std::min<uint32_t>(MaxFrameRateTenthsLocked(), INT32_MAX));
      break;
    case Computed::kNo:
      *value = slot.value;
      break;
  }
  return pyxon::kOk;
}

pyxon::Result SimCamera::SetOptionLocked(uint32_t option, int32_t value) {
  using namespace pyxon::opt;
  auto it = s_.options.find(option);
  if (it == s_.options.end()) return pyxon::kNotImplemented;
  OptionSlot& slot = it->second;
  if (slot.access == Access::kReadOnly) return kAccessDenied;
  const int32_t previous = slot.value;
  switch (option) {
    case kFactoryReset:
      if (started_) return pyxon::kUnexpected;
      FactoryResetLocked();
      return pyxon::kOk;
    case kBinning: {
      const int32_t factor = value & 0x0F;
      if ((value & ~0x8F) != 0 || factor < 1 || factor > 8) return pyxon::kInvalidArgument;
      if (started_ && factor != (previous & 0x0F)) return pyxon::kUnexpected;
      break;
    }
    case kRotate: {
      if (value != 0 && value != 90 && value != 180 && value != 270) {
        return pyxon::kInvalidArgument;
      }
      const bool swapsNow = value == 90 || value == 270;
      const bool swappedBefore = previous == 90 || previous == 270;
      if (started_ && swapsNow != swappedBefore) return pyxon::kUnexpected;
      break;
    }
    case kPixelFormat:
      if (std::find(profile_.pixelFormats.begin(), profile_.pixelFormats.end(), value) ==
          profile_.pixelFormats.end()) {
        return pyxon::kInvalidArgument;
      }
      if (started_ && value != previous) return pyxon::kUnexpected;
      break;
    case kSharpening:
      // Strength in the low 16 bits; bit 17 marks an explicit setting.
      if ((value & ~0x2FFFF) != 0 || (value & 0xFFFF) > 500) return pyxon::kInvalidArgument;
      break;
    case kDynamicDefect:
      if (UnsignedHalf(value, true) > 100 || UnsignedHalf(value, false) > 100) {
        return pyxon::kInvalidArgument;
      }
      break;
    case kHdrKB:
      if (!InRange(UnsignedHalf(value, true), 1, 25500)) return pyxon::kInvalidArgument;
      break;
    case kWhiteBalanceInterval:
      if (value != 0 && !InRange(value, 100, 600000)) return pyxon::kInvalidArgument;
      break;
    case kVoltageBias: {
      const int32_t range = OptionOr(kVoltageBiasRange, PackHalves(0, 0xFFFF));
      if (!InRange(value, UnsignedHalf(range, false), UnsignedHalf(range, true))) {
        return pyxon::kInvalidArgument;
      }
      break;
    }
    case kAntiBlooming:
      if (!InRange(value, 0, OptionOr(kAntiBloomingMax, slot.max))) return pyxon::kInvalidArgument;
      break;
    case kHeater:
      if (!InRange(value, 0, OptionOr(kHeaterMax, slot.max))) return pyxon::kInvalidArgument;
      break;
    default:
      if (!InRange(value, slot.min, slot.max)) return pyxon::kInvalidArgument;
      break;
  }
  slot.value = value;
  AfterOptionChangeLocked(option, previous);
  return pyxon::kOk;
}

void SimCamera::AfterOptionChangeLocked(uint32_t option, int32_t previous) {
  using namespace pyxon::opt;
  const auto now = Clock::now();
  const int32_t value = OptionOr(option, 0);
  switch (option) {
    case kTriggerMode:
      if (value != previous) triggers_.clear();
      if (value == 0) nextFree_ = now + microseconds(FramePeriodUsLocked());
      break;
    case kWhiteBalanceInterval:
      nextWhiteBalance_ = now + milliseconds(value);
      if (value > 0) {
        auto named = s_.named.find("AwbInterval");
        if (named != s_.named.end()) named->second.value = value;
      }
      break;
    case kTecOn:
      UpdateTemperatureLocked(now);
      // The cooler cannot run without air: switching it on starts the fan.
      if (value != 0 && s_.fan == 0 && (profile_.record->flags & pyxon::cap::kFan) != 0) s_.fan = 1;
      break;
    default:
      break;
  }
  workCv_.notify_all();
}

// ---------------------------------------------------------- control interface

void SimCamera::ResetFromControl() {
  pyx::MutexLock lock(mu_);
  Settings fresh = Settings::Defaults(profile_);
  if (session_.load() != 0) {
    // Keep what sizes the frames of an open session.
    fresh.resolution = s_.resolution;
    fresh.roi = s_.roi;
    for (uint32_t option : {pyxon::opt::kTriggerMode, pyxon::opt::kOutputFormat,
                            pyxon::opt::kBinning, pyxon::opt::kRotate, pyxon::opt::kPixelFormat}) {
      auto kept = s_.options.find(option);
      auto target = fresh.options.find(option);
      if (kept != s_.options.end() && target != fresh.options.end()) {
        target->second.value = kept->second.value;
      }
    }
  }
  s_ = std::move(fresh);
  frameSource_ = 0;
  frameIntervalUs_ = 0;
  dropPercent_ = 0;
  disconnected_.store(false);
  openCount_ = 0;
  stopWaitExpiries_ = 0;
  temperature_ = kWarmSensor;
  temperatureAt_ = Clock::now();
  whiteBalanceOncePending_ = false;
  nextFree_ = Clock::now() + microseconds(FramePeriodUsLocked());
  workCv_.notify_all();
}

int SimCamera::ForceOption(uint32_t option, int32_t value) {
  pyx::MutexLock lock(mu_);
  auto it = s_.options.find(option);
  int32_t previous = value;
  if (it == s_.options.end()) {
    s_.options[option] = OptionSlot{value, INT32_MIN, INT32_MAX, Access::kReadWrite, Computed::kNo};
  } else {
    previous = it->second.value;
    it->second.value = value;
    it->second.computed = Computed::kNo;
  }
  AfterOptionChangeLocked(option, previous);
  return 0;
}

int SimCamera::RemoveOption(uint32_t option) {
  pyx::MutexLock lock(mu_);
  return s_.options.erase(option) > 0 ? 0 : -1;
}

int SimCamera::PeekOption(uint32_t option, int32_t* value) {
  pyx::MutexLock lock(mu_);
  if (value == nullptr) return -1;
  int32_t read = 0;
  if (GetOptionLocked(option, &read) < 0) return -1;
  *value = read;
  return 0;
}

int SimCamera::SetNamedForced(const std::string& name, int32_t value) {
  pyx::MutexLock lock(mu_);
  auto it = s_.named.find(name);
  if (it == s_.named.end()) {
    s_.named[name] = NamedSlot{value, true, INT32_MIN, INT32_MAX};
  } else {
    it->second.value = value;
    it->second.min = std::min(it->second.min, value);
    it->second.max = std::max(it->second.max, value);
  }
  return 0;
}

int SimCamera::GetNamedValue(const std::string& name, int32_t* value) {
  pyx::MutexLock lock(mu_);
  auto it = s_.named.find(name);
  if (it == s_.named.end() || value == nullptr) return -1;
  *value = it->second.value;
  return 0;
}

namespace {

// A state key: read and write one field of the camera.
struct StateField {
  std::function<int64_t()> get;
  std::function<void(int64_t)> set;
};

template <typename T>
StateField FieldOf(T& field) {
  return {[&field] { return static_cast<int64_t>(field); },
          [&field](int64_t v) { field = static_cast<T>(v); }};
}

bool LineField(const std::string& key, std::vector<IoLine>& lines, StateField* out) {
  if (key.compare(0, 4, "line") != 0) return false;
  const size_t dot = key.find('.');
  if (dot == std::string::npos || dot == 4) return false;
  const std::string number = key.substr(4, dot - 4);
  if (number.size() > 3 || number.find_first_not_of("0123456789") != std::string::npos) {
    return false;
  }
  const size_t index = static_cast<size_t>(std::atoi(number.c_str()));
  if (index >= lines.size()) return false;
  IoLine& line = lines[index];
  const std::string name = key.substr(dot + 1);
  const std::map<std::string, int32_t*> fields = {
      {"capabilities", &line.capabilities},   {"direction", &line.direction},
      {"inverter", &line.inverter},           {"activation", &line.activation},
      {"debouncer", &line.debouncer},         {"delay", &line.delay},
      {"countersource", &line.counterSource}, {"pwmsource", &line.pwmSource},
      {"outputmode", &line.outputMode}};
  auto it = fields.find(name);
  if (it == fields.end()) return false;
  *out = FieldOf(*it->second);
  return true;
}

bool FindStateField(Settings& s, const std::string& key, StateField* out) {
  const std::map<std::string, StateField> fields = {{"exposure", FieldOf(s.exposureUs)},
                                                    {"gain", FieldOf(s.gain)},
                                                    {"autoexposure", FieldOf(s.autoExposure)},
                                                    {"aetarget", FieldOf(s.aeTarget)},
                                                    {"aemaxtime", FieldOf(s.aeMaxTimeMs)},
                                                    {"aemaxgain", FieldOf(s.aeMaxGain)},
                                                    {"wb.r", FieldOf(s.wb[0])},
                                                    {"wb.g", FieldOf(s.wb[1])},
                                                    {"wb.b", FieldOf(s.wb[2])},
                                                    {"hue", FieldOf(s.hue)},
                                                    {"saturation", FieldOf(s.saturation)},
                                                    {"brightness", FieldOf(s.brightness)},
                                                    {"contrast", FieldOf(s.contrast)},
                                                    {"gamma", FieldOf(s.gamma)},
                                                    {"vflip", FieldOf(s.vflip)},
                                                    {"hflip", FieldOf(s.hflip)},
                                                    {"speed", FieldOf(s.speed)},
                                                    {"powerfrequency", FieldOf(s.powerFrequency)},
                                                    {"skip", FieldOf(s.skip)},
                                                    {"negative", FieldOf(s.negative)},
                                                    {"fan", FieldOf(s.fan)},
                                                    {"tectarget", FieldOf(s.tecTarget)},
                                                    {"resolution", FieldOf(s.resolution)},
                                                    {"roi.x", FieldOf(s.roi.x)},
                                                    {"roi.y", FieldOf(s.roi.y)},
                                                    {"roi.w", FieldOf(s.roi.width)},
                                                    {"roi.h", FieldOf(s.roi.height)},
                                                    {"setup", FieldOf(s.setupMode)},
                                                    {"triggersource", FieldOf(s.triggerSource)},
                                                    {"counter", FieldOf(s.counterCount)},
                                                    {"countervalue", FieldOf(s.counterValue)},
                                                    {"strobe.mode", FieldOf(s.strobeMode)},
                                                    {"strobe.delay", FieldOf(s.strobeDelay)},
                                                    {"strobe.duration", FieldOf(s.strobeDuration)},
                                                    {"useroutput", FieldOf(s.userOutput)}};
  auto it = fields.find(key);
  if (it != fields.end()) {
    *out = it->second;
    return true;
  }
  return LineField(key, s.lines, out);
}

}  // namespace

int SimCamera::GetState(const std::string& key, int64_t* value) {
  if (value == nullptr) return -1;
  pyx::MutexLock lock(mu_);
  if (key == "temperature") {
    UpdateTemperatureLocked(Clock::now());
    *value = std::lround(temperature_);
    return 0;
  }
  StateField field;
  if (!FindStateField(s_, key, &field)) return -1;
  *value = field.get();
  return 0;
}

int SimCamera::SetState(const std::string& key, int64_t value) {
  pyx::MutexLock lock(mu_);
  if (key == "temperature") {
    temperature_ = static_cast<double>(value);
    temperatureAt_ = Clock::now();
    return 0;
  }
  StateField field;
  if (!FindStateField(s_, key, &field)) return -1;
  field.set(value);
  workCv_.notify_all();
  return 0;
}

int SimCamera::SetLanes(const int32_t* values, int n, int current) {
  if (values == nullptr || n < 1 || n > 16 || current < 0 || current >= n) return -1;
  pyx::MutexLock lock(mu_);
  s_.lanes.assign(values, values + n);
  s_.options[pyxon::opt::kLane] = OptionSlot{current, 0, n - 1, Access::kReadWrite, Computed::kNo};
  return 0;
}

void SimCamera::FireEvent(int32_t code) {
  pyx::MutexLock lock(mu_);
  if (session_.load() == 0) return;
  QueueEventLocked(code, true);
}

int SimCamera::FlushEvents() {
  pyx::UniqueLock lock(mu_);
  if (tlsOwnThreadOf == this) return -1;  // would wait for itself
  const uint64_t frames = frameEvents_.queued;
  const uint64_t values = valueEvents_.queued;
  const auto deadline = Clock::now() + kFlushTimeout;
  while (frameEvents_.done < frames || valueEvents_.done < values) {
    if (flushCv_.wait_until(lock, deadline) == std::cv_status::timeout) {
      return frameEvents_.done >= frames && valueEvents_.done >= values ? 0 : -1;
    }
  }
  return 0;
}

void SimCamera::HardwarePulse() {
  pyx::MutexLock lock(mu_);
  if (session_.load() == 0 || disconnected_.load()) return;
  ++s_.counterCount;
  if (!started_ || OptionOr(pyxon::opt::kTriggerMode, 0) != 1) return;
  if (s_.triggerSource < 0 || s_.triggerSource > 4) return;  // software source
  if (triggers_.size() >= kMaxPendingTriggers) return;
  const auto now = Clock::now();
  const auto start = triggers_.empty() ? now : std::max(now, triggers_.back());
  const auto period = std::max<uint32_t>(s_.exposureUs, MinFramePeriodUsLocked());
  triggers_.push_back(start + microseconds(period));
  workCv_.notify_all();
}

void SimCamera::SetFrameSource(int mode) {
  if (mode != 0 && mode != 1) return;
  pyx::MutexLock lock(mu_);
  frameSource_ = mode;
  nextFree_ = Clock::now() + microseconds(FramePeriodUsLocked());
  workCv_.notify_all();
}

void SimCamera::SetFrameIntervalUs(uint32_t microsecondsValue) {
  pyx::MutexLock lock(mu_);
  frameIntervalUs_ = microsecondsValue;
  nextFree_ = Clock::now() + microseconds(FramePeriodUsLocked());
  workCv_.notify_all();
}

void SimCamera::SetDropPercent(int percent) {
  pyx::MutexLock lock(mu_);
  dropPercent_ = std::min(100, std::max(0, percent));
}

void SimCamera::Disconnect() {
  pyx::MutexLock lock(mu_);
  if (disconnected_.exchange(true)) return;
  triggers_.clear();
  if (session_.load() != 0) QueueEventLocked(pyxon::kEventDisconnected, true);
  frameCv_.notify_all();
}

uint64_t SimCamera::FramesGenerated() {
  pyx::MutexLock lock(mu_);
  return generated_;
}

bool SimCamera::IsOpen() {
  return session_.load() != 0;
}

int SimCamera::OpenCount() {
  pyx::MutexLock lock(mu_);
  return openCount_;
}

bool SimCamera::IsDelivering() {
  pyx::MutexLock lock(mu_);
  return session_.load() != 0 && started_;
}

int SimCamera::CallbacksInFlight() {
  pyx::MutexLock lock(mu_);
  return inFlight_;
}

int SimCamera::StopWaitExpiries() {
  pyx::MutexLock lock(mu_);
  return stopWaitExpiries_;
}

std::string SimCamera::IniPath() {
  pyx::MutexLock lock(mu_);
  return iniPath_;
}

}  // namespace pyxsim
