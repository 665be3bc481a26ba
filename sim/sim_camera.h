// One simulated camera: its settings, its open session and the worker thread
// that makes frames and delivers events while the camera is open.
//
// Ownership: the Simulator's attached list holds a shared reference; an open
// session's handle (SimHandle) holds another, so a camera that is detached while
// open keeps working until Close. The worker thread holds the session's handle.
//
// Threads: any thread may call the public functions and the handle (host,
// adapter sequence thread, adapter callbacks on the camera's threads). Open
// starts the worker (frames, timers, image and explicit events) and, when the
// value-event thread is on, a second thread that delivers events 1 and 6, as
// real libraries do. Stop and Close wait (bounded) for callbacks in flight
// but never join the threads: a callback may outlive the wait, blocked on a
// lock the closing thread holds. The Simulator joins retired threads later.
//
// Locks (order: mu_ before nothing; renderMu_ is never taken with mu_ held),
// annotated for Clang's thread-safety analysis:
// - mu_ guards every field below that is not atomic or const, including the
//   settings; the worker holds it except while it runs a callback.
// - renderMu_ guards the renderer (pulls copy pixels under it, without mu_).
// Callbacks are invoked with no simulator lock held, so the adapter may call
// back into the handle from inside them.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "framework/sync.h"
#include "sim/catalogue.h"
#include "sim/frame_renderer.h"
#include "vendor/pyxon_api.h"

namespace pyxsim {

class SimHandle;

using Clock = std::chrono::steady_clock;

// Failure codes beyond those of the vendor header.
constexpr pyxon::Result kAccessDenied = static_cast<pyxon::Result>(0x80070005u);
constexpr pyxon::Result kHandleClosed = static_cast<pyxon::Result>(0x80070006u);
constexpr pyxon::Result kDisconnected = static_cast<pyxon::Result>(0x8007001Fu);
constexpr pyxon::Result kNoInterface = static_cast<pyxon::Result>(0x80004002u);

struct Roi {
  uint32_t x = 0, y = 0, width = 0, height = 0;  // width 0: no region
};

struct IoLine {
  int32_t capabilities = 0;  // bit 0 input, bit 1 output
  int32_t direction = 0;     // 0 input, 1 output
  int32_t inverter = 1;      // 0 inverted, 1 not inverted
  int32_t activation = 0;
  int32_t debouncer = 0;
  int32_t delay = 0;
  int32_t counterSource = 0;
  int32_t pwmSource = 0;
  int32_t outputMode = 0;
};

struct OptionSlot {
  int32_t value;
  int32_t min;
  int32_t max;
  Access access;
  Computed computed;
};

struct NamedSlot {
  int32_t value;
  bool writable;
  int32_t min;
  int32_t max;
};

// Everything a factory reset restores.
struct Settings {
  uint32_t exposureUs = 10000;
  uint16_t gain = 100;
  int32_t autoExposure = 0;
  uint16_t aeTarget = 120;
  uint32_t aeMaxTimeMs = 350;
  uint16_t aeMaxGain = 500;
  int32_t wb[3] = {0, 0, 0};
  int32_t hue = 0, saturation = 128, brightness = 0, contrast = 0, gamma = 100;
  int32_t vflip = 0, hflip = 0, skip = 0, negative = 0;
  int32_t powerFrequency = 1;  // 0 60 Hz, 1 50 Hz, 2 DC
  uint16_t speed = 0;
  uint16_t fan = 0;
  int32_t tecTarget = 0;
  uint32_t resolution = 0;
  Roi roi;
  int32_t setupMode = 0;
  std::map<uint32_t, OptionSlot> options;
  std::map<std::string, NamedSlot> named;
  std::vector<int32_t> lanes;
  std::vector<IoLine> lines;
  int32_t triggerSource = 0, counterValue = 1, counterCount = 0;
  int32_t strobeMode = 0, strobeDelay = 0, strobeDuration = 0, userOutput = 0;

  static Settings Defaults(const ModelProfile& profile);
};

// Size of the delivered image and what limits its rate.
struct Geometry {
  uint32_t width = 0, height = 0;          // output, after binning and rotation
  uint32_t areaWidth = 0, areaHeight = 0;  // sensor area read, in resolution pixels
  uint32_t factor = 1;
};

// A thread handed back by Close, to be joined once it has ended.
struct RetiredWorker {
  std::thread thread;
  std::shared_ptr<std::atomic<bool>> exited;
};

// The threads of one ended session.
struct RetiredWorkers {
  RetiredWorker frames;
  RetiredWorker values;
};

class SimCamera : public std::enable_shared_from_this<SimCamera> {
 public:
  SimCamera(const ModelProfile& profile, std::string displayName, std::string id);
  ~SimCamera();
  SimCamera(const SimCamera&) = delete;
  SimCamera& operator=(const SimCamera&) = delete;

  const ModelProfile& profile() const { return profile_; }
  const std::string& displayName() const { return displayName_; }
  const std::string& id() const { return id_; }
  int index() const { return index_.load(std::memory_order_relaxed); }
  void setIndex(int index) { index_.store(index, std::memory_order_relaxed); }

  // Opens a session and starts the worker; null when the camera is open.
  pyxon::CameraHandle* Open(const std::string& iniPath) EXCLUDES(mu_);
  // Ends the session if it is the current one and waits for callbacks in
  // flight (see StopDelivery); the threads are handed back without being
  // joined (empty when nothing was running).
  RetiredWorkers Close(uint64_t session) EXCLUDES(mu_);
  RetiredWorkers ForceClose() EXCLUDES(mu_);  // never waits
  // Position 159: ends delivery, then waits until no callback of this camera
  // is in flight, at most the stop-wait limit; at once from inside a callback
  // on one of this camera's threads.
  void StopDelivery() EXCLUDES(mu_);
  bool IsSession(uint64_t session) const {
    return session != 0 && session_.load(std::memory_order_acquire) == session;
  }
  bool disconnected() const { return disconnected_.load(std::memory_order_acquire); }

  // Control interface (sim_control.h).
  void ResetFromControl() EXCLUDES(mu_);
  int ForceOption(uint32_t option, int32_t value) EXCLUDES(mu_);
  int RemoveOption(uint32_t option) EXCLUDES(mu_);
  int PeekOption(uint32_t option, int32_t* value) EXCLUDES(mu_);
  int SetNamedForced(const std::string& name, int32_t value) EXCLUDES(mu_);
  int GetNamedValue(const std::string& name, int32_t* value) EXCLUDES(mu_);
  int GetState(const std::string& key, int64_t* value) EXCLUDES(mu_);
  int SetState(const std::string& key, int64_t value) EXCLUDES(mu_);
  int SetLanes(const int32_t* values, int n, int current) EXCLUDES(mu_);
  void FireEvent(int32_t code) EXCLUDES(mu_);
  int FlushEvents() EXCLUDES(mu_);
  void HardwarePulse() EXCLUDES(mu_);
  void SetFrameSource(int mode) EXCLUDES(mu_);
  void SetFrameIntervalUs(uint32_t microseconds) EXCLUDES(mu_);
  void SetDropPercent(int percent) EXCLUDES(mu_);
  void Disconnect() EXCLUDES(mu_);
  uint64_t FramesGenerated() EXCLUDES(mu_);
  bool IsOpen();
  int OpenCount() EXCLUDES(mu_);
  bool IsDelivering() EXCLUDES(mu_);
  int CallbacksInFlight() EXCLUDES(mu_);
  int StopWaitExpiries() EXCLUDES(mu_);
  std::string IniPath() EXCLUDES(mu_);

 private:
  friend class SimHandle;

  struct Event {
    int32_t code;
    uint64_t sequence;           // ordinal in its queue
    bool explicitEvent;          // fired through the control interface
    void* whiteBalanceCallback;  // completion callback of WhiteBalanceOnce
    void* whiteBalanceContext;
    int32_t gains[3];
  };

  // Events of one delivering thread, in order. A flush waits until `done`
  // reaches what was `queued` when it began.
  struct EventQueue {
    std::deque<Event> events;
    uint64_t queued = 0;  // ordinals handed out
    uint64_t done = 0;    // highest ordinal delivered or dropped
    void Drop() {
      events.clear();
      done = queued;
    }
  };

  static bool IsImageEvent(const Event& event);
  static bool IsValueEvent(const Event& event);

  // Everything below with a Locked suffix requires mu_.
  void RunWorker(uint64_t session, std::shared_ptr<SimHandle> keepAlive) EXCLUDES(mu_);
  void RunValueEvents(uint64_t session, std::shared_ptr<SimHandle> keepAlive) EXCLUDES(mu_);
  void AdvanceLocked(Clock::time_point now) REQUIRES(mu_);
  Clock::time_point NextWakeLocked(Clock::time_point now) const REQUIRES(mu_);
  void DeliverOneLocked(EventQueue& queue) REQUIRES(mu_);
  void PushEventLocked(Event event, bool wakeWorker) REQUIRES(mu_);
  void WaitForCallbacksLocked(pyx::UniqueLock& lock) REQUIRES(mu_);
  void ProduceFrameLocked(Clock::time_point now, bool wakeWorker = true) REQUIRES(mu_);
  // Makes the free-running frame that is due by the clock, if any.
  bool MakeDueFrameLocked(Clock::time_point now, bool wakeWorker = true) REQUIRES(mu_);
  // A pull found nothing new: the next free-running frame is to be made and
  // announced when due. True when the worker must be woken to learn that.
  bool AskForNextFrameLocked() REQUIRES(mu_);
  void AutoExposureStepLocked(Clock::time_point now) REQUIRES(mu_);
  void QueueEventLocked(int32_t code, bool explicitEvent, bool wakeWorker = true) REQUIRES(mu_);
  bool FreeRunningLocked() const REQUIRES(mu_);
  RetiredWorkers EndSessionLocked() REQUIRES(mu_);

  pyxon::Result SetOptionLocked(uint32_t option, int32_t value) REQUIRES(mu_);
  pyxon::Result GetOptionLocked(uint32_t option, int32_t* value) REQUIRES(mu_);
  void AfterOptionChangeLocked(uint32_t option, int32_t previous) REQUIRES(mu_);
  int32_t OptionOr(uint32_t option, int32_t fallback) const REQUIRES(mu_);
  void FactoryResetLocked() REQUIRES(mu_);

  Geometry GeometryLocked() const REQUIRES(mu_);
  uint32_t FormatBitsLocked() const REQUIRES(mu_);
  uint32_t MinFramePeriodUsLocked() const REQUIRES(mu_);  // readout and link limit
  uint32_t MaxFrameRateTenthsLocked() const REQUIRES(mu_);
  uint32_t FramePeriodUsLocked() const REQUIRES(mu_);  // free-running period
  uint32_t ReadoutUsLocked() const REQUIRES(mu_);
  double SignalLocked() const REQUIRES(mu_);  // 1.0 = nominal brightness
  void UpdateTemperatureLocked(Clock::time_point now) REQUIRES(mu_);
  int32_t TecDriveLocked() REQUIRES(mu_);
  uint32_t RealExposureUsLocked() const REQUIRES(mu_);

  const ModelProfile& profile_;
  const std::string displayName_;
  const std::string id_;
  std::atomic<int> index_{-1};
  std::atomic<uint64_t> session_{0};  // 0 when closed; written under mu_
  std::atomic<bool> disconnected_{false};

  mutable pyx::Mutex mu_;
  pyx::CondVar workCv_;   // wakes the worker
  pyx::CondVar frameCv_;  // waiting pulls
  pyx::CondVar flushCv_;  // waiting flushes
  pyx::CondVar valueCv_;  // wakes the value-event thread
  pyx::CondVar idleCv_;   // the last callback in flight returned

  Settings s_ GUARDED_BY(mu_);
  std::string iniPath_ GUARDED_BY(mu_);
  int openCount_ GUARDED_BY(mu_) = 0;
  uint64_t sessionCounter_ GUARDED_BY(mu_) = 0;
  std::thread worker_ GUARDED_BY(mu_);
  std::shared_ptr<std::atomic<bool>> workerExited_ GUARDED_BY(mu_);
  std::thread valueWorker_ GUARDED_BY(mu_);
  std::shared_ptr<std::atomic<bool>> valueExited_ GUARDED_BY(mu_);
  // This session delivers events 1 and 6 on valueWorker_.
  bool valueThreadOn_ GUARDED_BY(mu_) = false;

  bool started_ GUARDED_BY(mu_) = false;
  pyxon::EventCallback callback_ GUARDED_BY(mu_) = nullptr;
  void* context_ GUARDED_BY(mu_) = nullptr;
  int inFlight_ GUARDED_BY(mu_) = 0;  // on every thread of this camera, retired ones included
  int stopWaitExpiries_ GUARDED_BY(mu_) = 0;

  uint64_t generated_ GUARDED_BY(mu_) = 0;  // frame numbers used since open
  uint64_t delivered_ GUARDED_BY(mu_) = 0;  // frames published since open
  uint64_t newest_ GUARDED_BY(mu_) = 0;     // newest published frame, 0 = none
  uint64_t lastPulled_ GUARDED_BY(mu_) = 0;
  Clock::time_point newestTime_ GUARDED_BY(mu_);
  std::deque<Clock::time_point> recent_ GUARDED_BY(mu_);  // publication times, last second
  std::deque<Clock::time_point> triggers_ GUARDED_BY(mu_);
  Clock::time_point nextFree_ GUARDED_BY(mu_);
  Clock::time_point workerFrameNotBefore_ GUARDED_BY(mu_);  // see kWorkerFrameGap
  Clock::time_point nextWhiteBalance_ GUARDED_BY(mu_);
  bool whiteBalanceOncePending_ GUARDED_BY(mu_) = false;
  Clock::time_point whiteBalanceOnceDue_ GUARDED_BY(mu_);
  void* whiteBalanceCallback_ GUARDED_BY(mu_) = nullptr;
  void* whiteBalanceContext_ GUARDED_BY(mu_) = nullptr;
  uint32_t whiteBalanceRounds_ GUARDED_BY(mu_) = 0;
  Clock::time_point lastAutoExposure_ GUARDED_BY(mu_);

  EventQueue frameEvents_ GUARDED_BY(mu_);        // delivered by the worker
  EventQueue valueEvents_ GUARDED_BY(mu_);        // delivered by the value-event thread
  size_t queuedImageEvents_ GUARDED_BY(mu_) = 0;  // image events in frameEvents_ (at most one)

  int frameSource_ GUARDED_BY(mu_) = 0;
  uint32_t frameIntervalUs_ GUARDED_BY(mu_) = 0;
  int dropPercent_ GUARDED_BY(mu_) = 0;

  double temperature_ GUARDED_BY(mu_) = 0;  // tenths of a degree
  Clock::time_point temperatureAt_ GUARDED_BY(mu_);

  pyx::Mutex renderMu_;
  FrameRenderer renderer_ GUARDED_BY(renderMu_);
};

}  // namespace pyxsim
