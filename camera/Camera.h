// The camera device: one vendor camera exposed to the host as an MM::Camera.
//
// Sources, one per concern:
//   lifecycle.cpp      construction, Initialize, Shutdown, identity properties
//   image_path.cpp     snap, image buffer, output format, delivery, vendor events
//   exposure.cpp       exposure, gain, auto-exposure, frame rate / speed
//   acquisition.cpp    sequence start / stop, trigger mode
//   the property families (geometry, colour, sensor, trigger and I/O) in their
//   own sources; their declarations live in the "Property families" block.
//
// Threads that enter a Camera:
//   - the host's thread: every slot, property reads and writes, snaps, start
//     and stop, Initialize and Shutdown;
//   - the camera base's sequence thread: ThreadRun -> SnapImage (mode B) and
//     InsertImage;
//   - the vendor library's event thread: OnCameraEvent, through the event hub
//     of the shared HWrapper (camera/event_hub.h).
//
// Locks, in the only order in which they may be nested (this is the one place
// that states it; the annotations of framework/sync.h let Clang check the
// parts it can see):
//   1. property lock (framework, recursive): the property map; handlers run
//      under it.
//   2. pull lock (`pullLock_`, recursive): the image buffer and its geometry;
//      every pull, buffer resize and delivery stop/restart. The sequence
//      thread's run step holds it from a successful pull to the end of the
//      host's insert, so the host never reads a buffer that is being replaced
//      or a frame described by a newer geometry. It is never held while
//      waiting for a frame.
//   3. delivery lock of the shared HWrapper (recursive): the same spans as the
//      pull lock, across every device that uses the opened camera, and the
//      camera's list of running sequences.
//   4. image-ready lock (`imageReadyLock_`, plain): the image-ready flag.
//   5. stop lock (framework, inside the sequence thread): may be taken while
//      the image-ready lock is held.
// Never take a lock of a lower number while holding one of a higher number.
// In particular nothing that holds the pull lock or the image-ready lock may
// take the property lock, and the host's insert callback (called under the
// pull lock) must not call property operations of this device.
// The text, tag and event-hub locks are leaves and may be taken anywhere.
//
// Waiting for the vendor's event thread: many libraries return from start
// (158), stop (159) and close (160) of delivery only once no event callback
// runs. Those calls are made only inside an AwaitingEvents section, holding
// neither the image-ready lock nor a hub lock, but possibly the property lock
// (a "Binning" write restarts delivery from its handler). So the event thread
// never blocks on the property lock: events 1 and 6 queue their notifications
// (`pendingNotifications_`) and deliver them while trying the lock every 0.1 ms;
// while any thread of the camera is inside such a section they stop
// trying and leave the rest queued. The queue is delivered by the next event,
// or by the host's thread when its own restart ends. Event 4 takes only the
// image-ready lock.
// Shutdown detaches the device from the hub (waiting for an event in flight)
// while holding none of these locks.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "framework/camera_base.h"
#include "framework/sync.h"
#include "module/open_camera_map.h"
#include "vendor/pyxon_api.h"

// The vendor event callback as the device sees it: `context` is the Camera.
// Null context: nothing. Never throws.
void OnCameraEvent(int32_t code, void* context);

class Camera : public CCameraBase<Camera> {
 public:
  explicit Camera(const char* deviceName);
  ~Camera() override;

  // ---- MM::Device ------------------------------------------------------------
  int Initialize() override;  // 35
  int Shutdown() override;    // 36

  // ---- MM::Camera: image path ----------------------------------------------------
  int SnapImage() override;                         // 44
  const unsigned char* GetImageBuffer() override;   // 45
  using CCameraBase<Camera>::GetImageBuffer;        // 46
  unsigned GetNumberOfComponents() const override;  // 48
  long GetImageBufferSize() const override;         // 52
  unsigned GetImageWidth() const override;          // 53
  unsigned GetImageHeight() const override;         // 54
  unsigned GetImageBytesPerPixel() const override;  // 55
  unsigned GetBitDepth() const override;            // 56
  double GetPixelSizeUm() const override;           // 57
  int GetBinning() const override;                  // 58
  int SetBinning(int factor) override;              // 59 geometry family
  void SetExposure(double milliseconds) override;   // 60
  double GetExposure() const override;              // 61
  int SetROI(unsigned x, unsigned y, unsigned width, unsigned height) override;      // 62 geometry
  int GetROI(unsigned& x, unsigned& y, unsigned& width, unsigned& height) override;  // 63 geometry
  int ClearROI() override;                                                           // 64 geometry

  // ---- MM::Camera: sequence acquisition -------------------------------------------
  int StartSequenceAcquisition(long numImages, double intervalMs,
                               bool stopOnOverflow) override;  // 70
  using CCameraBase<Camera>::StartSequenceAcquisition;         // 71
  int StopSequenceAcquisition() override;                      // 72
  int ThreadRun() override;                                    // 87
  int InsertImage() override;                                  // 88
  void OnThreadExiting() override;                             // 92

 private:
  friend void OnCameraEvent(int32_t code, void* context);

  using Handler = int (Camera::*)(MM::PropertyBase*, MM::ActionKind);
  using TextList = std::vector<std::string>;

  // The image buffer record. The pixel array only grows. Writers hold the pull
  // lock; the host's accessors (slots 45, 52 to 55) read without a lock, hence
  // the atomics.
  struct ImageBuffer {
    std::atomic<unsigned char*> pixels{nullptr};
    uint64_t capacity = 0;  // bytes of `pixels`; the camera's pull lock
    std::atomic<uint32_t> width{0};
    std::atomic<uint32_t> height{0};
    std::atomic<uint32_t> bytesPerPixel{0};
  };

  // ---- lifecycle (lifecycle.cpp) ----------------------------------------------------
  pyxon::CameraHandle* Handle() const { return handle_; }
  const pyxon::CameraModel* Model() const { return entry_.model; }
  uint64_t Capabilities() const { return entry_.model != nullptr ? entry_.model->flags : 0; }
  bool IsMonochrome() const { return (Capabilities() & pyxon::cap::kMono) != 0; }
  // Opens the selected camera or shares it; 0 or 35.
  int OpenOrShareCamera();
  void CreateIdentityProperties();
  void CreateSensorAndInterfaceProperties();
  void CreateSerialAndVersionProperties();
  void SetUpDevice();
  void ReleaseCamera() EXCLUDES(pullLock_, imageReadyLock_);
  // Creates a property bound to a handler (the framework owns the action).
  int CreateBoundProperty(const char* name, const char* value, MM::PropertyType type, bool readOnly,
                          Handler handler);

  // ---- image path (image_path.cpp) ----------------------------------------------------
  // Sizes the buffer for the camera's current output. Caller holds no lock or
  // the pull lock. False when the output cannot be held (no size, a size beyond
  // kMaxImageBytes, or a failed allocation); the buffer and geometry then stay
  // as they were, except that a zero size is stored.
  bool ResizeImageBuffer() EXCLUDES(imageReadyLock_);
  void SelectOutputFormat();
  // Stops delivery, applies `change`, resizes the buffer, sets triggered mode
  // and restarts delivery with the event hub, all under the pull lock and the
  // shared camera's delivery lock; a camera on which another device's
  // free-running sequence runs is put back into free-running mode before the
  // locks are released. 35 without a camera; 30 for a change while another
  // device's sequence runs on the camera; 1 when the buffer cannot hold the
  // new output (delivery is restarted all the same); else 0. Never called with
  // the pull lock held: it delivers queued notifications at the end.
  int ReconfigureDelivery(const std::function<void()>& change = {})
      EXCLUDES(pullLock_, imageReadyLock_);
  // Sizes the buffer for the current output under the pull and delivery locks;
  // false when no frame could be pulled into it.
  bool BufferFitsOutput() EXCLUDES(imageReadyLock_);
  // One pull into the buffer (pull lock and delivery lock held inside): the
  // vendor result, or kNoBuffer when the buffer cannot hold the current output.
  pyxon::Result PullFrame() EXCLUDES(imageReadyLock_);
  int SnapTriggered(pyxon::CameraHandle* handle) EXCLUDES(pullLock_, imageReadyLock_);
  // Mode B. `whilePulled`, when given, runs after a successful pull with the
  // pull lock still held (the sequence thread's insert); its result is returned.
  int SnapDelivered(const std::function<int()>& whilePulled = {})
      EXCLUDES(pullLock_, imageReadyLock_);
  void HandleCameraEvent(int32_t code) EXCLUDES(pullLock_, imageReadyLock_);
  void MarkImageReady() EXCLUDES(imageReadyLock_);
  void WakeImageWaiters() EXCLUDES(imageReadyLock_);
  // Delivers the queued notifications of events 1 and 6, in event order. On
  // the event thread (`fromEventThread`) it gives up, leaving the rest queued,
  // when the property lock is held across a call that waits for that thread.
  void DeliverPendingNotifications(bool fromEventThread) EXCLUDES(pullLock_, imageReadyLock_);
  // True while a thread is inside a vendor call of this camera that may wait
  // for the event thread.
  bool CallAwaitsEvents() const;
  // The calls that may wait for the event thread; see the lock notes above.
  void StopDelivery(pyxon::CameraHandle* handle) EXCLUDES(imageReadyLock_);
  void StartDelivery(pyxon::CameraHandle* handle) EXCLUDES(imageReadyLock_);
  void CloseCamera(pyxon::CameraHandle* handle) EXCLUDES(pullLock_, imageReadyLock_);
  double CurrentPixelSize() const;
  void CreatePixelSizeProperty();
  void CreateStatSnapProperty();
  int OnPixelSize(MM::PropertyBase* property, MM::ActionKind kind);
  int OnStatSnap(MM::PropertyBase* property, MM::ActionKind kind);

  // ---- exposure (exposure.cpp) --------------------------------------------------------
  void CreateExposureProperties();
  void CreateAutoExposureMaximaProperties(pyxon::CameraHandle* handle, bool supportsGain);
  void CreateGainProperty(pyxon::CameraHandle* handle);
  void CreateFrameRateProperties();
  // Reads the frame-rate and exposure limits again and tells the host the exposure.
  void RefreshExposureLimits();
  // Host callback position 18, when a callback is set.
  void ReportExposure(double milliseconds);
  uint16_t DerivedMaximumGain() const;
  int OnAutoExposure(MM::PropertyBase* property, MM::ActionKind kind);
  int OnAutoExposureTarget(MM::PropertyBase* property, MM::ActionKind kind);
  int OnAutoExposurePolicy(MM::PropertyBase* property, MM::ActionKind kind);
  int OnAutoExposureMaxTime(MM::PropertyBase* property, MM::ActionKind kind);
  int OnAutoExposureMaxGain(MM::PropertyBase* property, MM::ActionKind kind);
  int OnAutoExposurePeakMode(MM::PropertyBase* property, MM::ActionKind kind);
  int OnAutoExposurePercent(MM::PropertyBase* property, MM::ActionKind kind);
  int OnExposure(MM::PropertyBase* property, MM::ActionKind kind);
  int OnGain(MM::PropertyBase* property, MM::ActionKind kind);
  int OnRealExposure(MM::PropertyBase* property, MM::ActionKind kind);
  int OnBandwidth(MM::PropertyBase* property, MM::ActionKind kind);
  int OnFrameRate(MM::PropertyBase* property, MM::ActionKind kind);
  int OnSpeed(MM::PropertyBase* property, MM::ActionKind kind);

  // ---- acquisition (acquisition.cpp) ----------------------------------------------------
  // The trigger source a sequence started now would use; -1 for none.
  int32_t SequenceTriggerSource();
  // Switches the camera to the sequence's delivery mode and enters the
  // sequence in the camera's list; under the delivery lock.
  void SelectSequenceTriggerMode(pyxon::CameraHandle* handle, int32_t source);
  // Removes this device's sequence from the camera's list and, when `restore`,
  // puts the camera back into triggered mode unless another device's
  // free-running sequence still runs on it.
  void LeaveSequence(bool restore);
  // Whether a sequence of another device runs on the camera, and whether any
  // sequence on it runs free. Delivery lock held by the caller.
  bool OtherDeviceAcquiring() const REQUIRES(wrapper_->deliveryLock);
  bool AnySequenceFreeRunning() const REQUIRES(wrapper_->deliveryLock);

  // ---- creation hooks of the property families, called by Initialize in this
  // order; implemented by the family sources --------------------------------------------
  void CreatePowerConsumptionProperty();  // "PowerConsumption(mw)"
  void CreateResolutionProperty();        // "Resolution"
  void CreatePixelTypeProperty();         // "PixelType"
  // Colour group (colour models), then "Contrast" and "Gamma".
  void CreateColourProperties();
  // Bin/skip "Mode" ... "AntiShutterEffect", in creation order.
  void CreateProcessingProperties();
  void CreateTriggerIoProperties();     // "IO:" properties; called when the model has I/O lines
  void CreateLineStatisticsProperty();  // "Line Select:"

  // ==== Property families (owned by the family sources: geometry, colour,
  // ==== sensor, trigger and I/O). Add their declarations here. ==========================

  // Shared handler shapes (processing_order.cpp). Handlers make no vendor call
  // without a camera: a read keeps the value (0), a write answers 35.
  static int32_t IntegerValue(const MM::PropertyBase* property);  // saturated to 32 bits
  int IntegerOption(MM::PropertyBase* property, MM::ActionKind kind, uint32_t option);
  int OnOffOption(MM::PropertyBase* property, MM::ActionKind kind, uint32_t option);
  int ListOption(MM::PropertyBase* property, MM::ActionKind kind, uint32_t option,
                 const TextList& list);
  void CreateOnOffOptionProperty(const char* name, uint32_t option, Handler handler);

  // Geometry (geometry.cpp): resolution, pixel type, bin/skip, flips, binning,
  // rotation, region. Busy refusals (30) while a sequence runs.
  uint32_t ResolutionCount() const;                    // bounded by the table's capacity
  const pyxon::Resolution* CurrentResolution() const;  // null for an index outside the table
  static std::string CurrentPixelTypeName(pyxon::CameraHandle* handle);
  void CreateBinSkipProperty();
  void CreateFlipProperties();
  void CreateBinningProperties();
  void CreateRotateProperty();
  int OnResolution(MM::PropertyBase* property, MM::ActionKind kind);
  int OnPixelType(MM::PropertyBase* property, MM::ActionKind kind);
  int OnBinSkipMode(MM::PropertyBase* property, MM::ActionKind kind);
  int OnFlipHorizontal(MM::PropertyBase* property, MM::ActionKind kind);
  int OnFlipVertical(MM::PropertyBase* property, MM::ActionKind kind);
  int OnBinning(MM::PropertyBase* property, MM::ActionKind kind);
  int OnBinningMethod(MM::PropertyBase* property, MM::ActionKind kind);
  int OnRotate(MM::PropertyBase* property, MM::ActionKind kind);

  // Colour and image processing (colour.cpp).
  void CreatePowerFrequencyProperty();
  void CreateConversionGainProperty();
  void CreateDenoiseSharpeningNegative();
  void CreateToneDefectHdrProperties();
  void CreateAntiShutterEffectProperty();
  static int CurrentWhiteBalanceMode(pyxon::CameraHandle* handle);  // position in the mode list
  bool HasThreeLevelConversionGain() const;
  int WhiteBalanceGain(MM::PropertyBase* property, MM::ActionKind kind, int element);
  int IntegerAdjustment(MM::PropertyBase* property, MM::ActionKind kind,
                        pyxon::Result (pyxon::CameraHandle::*get)(int32_t*),
                        pyxon::Result (pyxon::CameraHandle::*set)(int32_t), int32_t preset);
  int PackedHalf(MM::PropertyBase* property, MM::ActionKind kind, uint32_t option, bool highHalf);
  int OnAutoWhiteBalance(MM::PropertyBase* property, MM::ActionKind kind);
  int OnAutoWhiteBalanceInterval(MM::PropertyBase* property, MM::ActionKind kind);
  int OnWhiteBalanceRedGain(MM::PropertyBase* property, MM::ActionKind kind);
  int OnWhiteBalanceGreenGain(MM::PropertyBase* property, MM::ActionKind kind);
  int OnWhiteBalanceBlueGain(MM::PropertyBase* property, MM::ActionKind kind);
  int OnHue(MM::PropertyBase* property, MM::ActionKind kind);
  int OnSaturation(MM::PropertyBase* property, MM::ActionKind kind);
  int OnBrightness(MM::PropertyBase* property, MM::ActionKind kind);
  int OnContrast(MM::PropertyBase* property, MM::ActionKind kind);
  int OnGamma(MM::PropertyBase* property, MM::ActionKind kind);
  int OnPowerFrequency(MM::PropertyBase* property, MM::ActionKind kind);
  int OnConversionGain(MM::PropertyBase* property, MM::ActionKind kind);
  int OnDenoise(MM::PropertyBase* property, MM::ActionKind kind);
  int OnSharpening(MM::PropertyBase* property, MM::ActionKind kind);
  int OnNegative(MM::PropertyBase* property, MM::ActionKind kind);
  int OnToneMapping(MM::PropertyBase* property, MM::ActionKind kind);
  int OnDynamicDefectDead(MM::PropertyBase* property, MM::ActionKind kind);
  int OnDynamicDefectHot(MM::PropertyBase* property, MM::ActionKind kind);
  int OnHdrK(MM::PropertyBase* property, MM::ActionKind kind);
  int OnHdrB(MM::PropertyBase* property, MM::ActionKind kind);
  int OnHdrThreshold(MM::PropertyBase* property, MM::ActionKind kind);
  int OnAntiShutterEffect(MM::PropertyBase* property, MM::ActionKind kind);

  // Sensor, cooling and readout (sensor.cpp).
  void CreateCoolingProperties();  // "Temperature" ... "Correlated Double Sampling"
  void CreateTecProperties();
  void CreateReadoutProperties();  // "GlobalResetMode" ... "FactorySettings"
  void CreateLaneProperty();
  void CreateMechanicalShutterProperty();
  int OnTemperature(MM::PropertyBase* property, MM::ActionKind kind);
  int OnFan(MM::PropertyBase* property, MM::ActionKind kind);
  int OnTec(MM::PropertyBase* property, MM::ActionKind kind);
  int OnTecTarget(MM::PropertyBase* property, MM::ActionKind kind);
  int OnTecPower(MM::PropertyBase* property, MM::ActionKind kind);
  int OnHeat(MM::PropertyBase* property, MM::ActionKind kind);
  int OnLowNoise(MM::PropertyBase* property, MM::ActionKind kind);
  int OnCorrelatedDoubleSampling(MM::PropertyBase* property, MM::ActionKind kind);
  int OnGlobalResetMode(MM::PropertyBase* property, MM::ActionKind kind);
  int OnLowPowerConsumption(MM::PropertyBase* property, MM::ActionKind kind);
  int OnReadoutMode(MM::PropertyBase* property, MM::ActionKind kind);
  int OnLane(MM::PropertyBase* property, MM::ActionKind kind);
  int OnAntiBlooming(MM::PropertyBase* property, MM::ActionKind kind);
  int OnVoltageBias(MM::PropertyBase* property, MM::ActionKind kind);
  int OnFactorySettings(MM::PropertyBase* property, MM::ActionKind kind);
  int OnMechanicalShutter(MM::PropertyBase* property, MM::ActionKind kind);

  // Trigger and I/O (trigger_io.cpp).
  enum class IoAddressing {
    kGlobal,             // line 0, whatever is selected
    kGlobalNeedsLine,    // line 0, but only while a line is selected
    kSelected,           // the selected line; nothing while none is
    kSelectedReadAlways  // as kSelected, but reads pass the selection on even when it is -1
  };
  void CreateIoList(const char* name, const TextList& list, const std::string& value,
                    Handler handler);
  void CreateIoInteger(const char* name, uint32_t readCommand, int32_t preset, double lower,
                       double upper, Handler handler);
  int32_t SelectedLine();  // position of "IO:Line Select" in ioLines_, -1 when unknown
  int IoListSetting(MM::PropertyBase* property, MM::ActionKind kind, const TextList& list,
                    uint32_t readCommand, uint32_t writeCommand, bool perLine);
  int IoNumberSetting(MM::PropertyBase* property, MM::ActionKind kind, uint32_t readCommand,
                      uint32_t writeCommand, IoAddressing addressing);
  static std::string FrameStatisticsText(pyxon::CameraHandle* handle);
  int OnTriggerSource(MM::PropertyBase* property, MM::ActionKind kind);
  int OnLineSelect(MM::PropertyBase* property, MM::ActionKind kind);
  int OnGpioMode(MM::PropertyBase* property, MM::ActionKind kind);
  int OnOutputInverter(MM::PropertyBase* property, MM::ActionKind kind);
  int OnInputActivation(MM::PropertyBase* property, MM::ActionKind kind);
  int OnCounterSource(MM::PropertyBase* property, MM::ActionKind kind);
  int OnPwmSource(MM::PropertyBase* property, MM::ActionKind kind);
  int OnOutputMode(MM::PropertyBase* property, MM::ActionKind kind);
  int OnStrobeDelayMode(MM::PropertyBase* property, MM::ActionKind kind);
  int OnStrobeDelayTime(MM::PropertyBase* property, MM::ActionKind kind);
  int OnStrobeDuration(MM::PropertyBase* property, MM::ActionKind kind);
  int OnUserValue(MM::PropertyBase* property, MM::ActionKind kind);
  int OnCounterValue(MM::PropertyBase* property, MM::ActionKind kind);
  int OnDebouncerTime(MM::PropertyBase* property, MM::ActionKind kind);
  int OnTriggerDelay(MM::PropertyBase* property, MM::ActionKind kind);
  int OnCounterReset(MM::PropertyBase* property, MM::ActionKind kind);
  int OnLineStatistics(MM::PropertyBase* property, MM::ActionKind kind);

  // Value lists of the families, filled at creation (host thread, Initialize);
  // a position is the value passed to the camera.
  TextList pixelTypes_;        // names of the formats the camera offers, camera order
  TextList conversionGains_;   // "LCG", then "MCG", "HCG" or "HCG" [, "HDR"]
  TextList readoutModes_;      // "IWR (Integrate While Read)", "ITR (Integrate Then Read)"
  TextList lanes_;             // decimal text of each lane setting
  TextList shutterStates_;     // "Open", "Close"
  TextList ioLines_;           // "Isolated input", "Isolated output", "GPIO0" [, "GPIO1"]
  TextList gpioModes_;         // "Input", "Output"
  TextList outputInverters_;   // "Yes", "No"
  TextList inputActivations_;  // rising, falling edge, high, low level
  TextList counterSources_;    // "Isolated input", "GPIO0", "GPIO1"
  TextList pwmSources_;        // "Isolated input", "GPIO0", "GPIO1"
  TextList outputModes_;       // "Frame Trigger Wait" ... "Timer Output"
  TextList strobeDelayModes_;  // "pre-delay", "delay"

  // ==== end of Property families =========================================================

  // ---- state ------------------------------------------------------------------------
  std::string deviceName_;
  // Null before Initialize and after Shutdown. Written only on the host's
  // thread while no other thread uses the device: the sequence thread is
  // started after and joined before, and the event hub attaches after and
  // detaches (waiting for an event in flight) before it changes.
  pyxon::CameraHandle* handle_ = nullptr;
  std::shared_ptr<HWrapper> wrapper_;  // host thread only (Initialize, Shutdown)
  pyxon::CameraEntry entry_{};         // the selected camera; model may be null before Initialize
  bool binningAverage_ = false;        // binning adds (false) or averages (true)
  uint32_t resolutionIndex_ = 0;       // row of the model's resolution table
  int32_t triggerSourceIndex_ = -1;    // position in triggerSources_, -1 none
  // The running (or last, until stopped) sequence switched the camera to
  // free-running delivery: stop restores triggered mode. Written by start and
  // stop on the host's thread and by the sequence thread as it ends.
  std::atomic<bool> sequenceFreeRunning_{false};
  // The host asked the sequence thread to stop from inside its run step (its
  // insert): triggered mode is restored as that thread ends.
  std::atomic<bool> stopFromSequenceThread_{false};

  ImageBuffer image_;
  std::atomic<uint32_t> frameCounter_{0};  // successful pulls, never reset
  pyx::RecursiveMutex pullLock_;
  pyx::Mutex imageReadyLock_;
  pyx::CondVar imageReadySignal_;  // waits use the monotonic clock
  bool imageReady_ GUARDED_BY(imageReadyLock_) = false;
  // Notifications of events 1 and 6 not yet delivered: bits of
  // kPendingNotifications (image_path.cpp), in delivery order.
  std::atomic<unsigned> pendingNotifications_{0};

  // Last values read from the camera, answered by the slots once it is closed.
  mutable std::atomic<double> lastExposureMs_{0.0};
  mutable std::atomic<unsigned> lastBitDepth_{8};
  mutable std::atomic<double> lastPixelSizeUm_{0.0};
  mutable std::atomic<int> lastBinning_{1};

  // Value lists; a position is the value passed to the vendor library.
  TextList onOff_;              // "OFF", "ON"
  TextList aePolicies_;         // auto-exposure policies
  TextList whiteBalanceModes_;  // "Once", "Continuous", "Off"
  TextList triggerSources_;     // hardware sources 0..4, then "Software Trigger"
};
