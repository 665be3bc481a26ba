// What every camera device shares: the transpose properties, the camera's
// metadata tags, the camera slots 46 to 94 that have a generic answer, and
// the sequence thread that runs snap + insert in a loop.
//
// The concrete camera T supplies Initialize/Shutdown (35, 36), snap and the
// image buffer and geometry slots (44, 45, 48, 52 to 64). It may override
// start and stop (70, 72); its versions use the protected services below.
// A camera that overrides one overload of GetImageBuffer or
// StartSequenceAcquisition should bring the other into scope with a
// using-declaration (clang warns about hidden virtuals).
//
// Threads:
//   - host thread(s): every slot, start and stop;
//   - the sequence thread (owned by this class): ThreadRun (87) -> the
//     camera's SnapImage (44) and InsertImage (88), then at the end
//     OnThreadExiting (92). It calls the host's positions 2, 23, 28 and 29
//     holding no framework lock.
//
// Locks (in addition to the device base's, see device_base.h):
//   - control lock (recursive): serialises start, join and teardown of the
//     sequence thread; held while the host's prepare (position 24) runs and
//     while joining. Never taken on the sequence thread.
//   - stop lock (recursive, inside the thread object): the stop flag only.
//     It may be taken while any other lock is held (the camera's image-ready
//     lock, the control lock, the property lock); nothing else is taken or
//     called while it is held, except creating the thread.
//   - tag lock (plain, leaf): the camera's own tag set.
// Order: property lock -> control lock -> stop lock; tag lock and text lock
// are leaves. Do not start, stop or join while holding the property lock if
// the camera's snap takes the property lock on the sequence thread.
//
// Lifetime: the most-derived camera must stop and join the sequence thread in
// its own destructor (its snap runs on that thread); this base joins again as
// a last resort.
#pragma once

#include <pthread.h>

#include <atomic>
#include <climits>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "framework/device_base.h"
#include "framework/device_thread.h"
#include "framework/metadata.h"
#include "framework/sync.h"

template <class T>
class CCameraBase : public CDeviceBase<MM::Camera, T> {
 public:
  using DeviceBase = CDeviceBase<MM::Camera, T>;
  using MM::Camera::GetImageBuffer;

  class BaseSequenceThread;

  // ---- camera slots with a generic answer ----------------------------------
  // 46: the image buffer when there is one channel, else null.
  const unsigned char* GetImageBuffer(unsigned /*channel*/) override {
    return GetNumberOfChannels() == 1 ? GetImageBuffer() : nullptr;
  }
  const unsigned int* GetImageBufferAsRGB32() override { return nullptr; }  // 47
  // 49: "Grayscale" for component 0, else 23.
  int GetComponentName(unsigned component, char* name) override {
    if (component != 0) return MM::Err::InvalidChannel;
    CopyToHostBuffer(name, "Grayscale");
    return MM::Err::Ok;
  }
  int GetNumberOfChannels() const override { return 1; }           // 50
  int GetChannelName(unsigned /*channel*/, char* name) override {  // 51
    CopyToHostBuffer(name, "");
    return MM::Err::Ok;
  }
  bool SupportsMultiROI() override { return false; }                                // 65
  bool IsMultiROISet() override { return false; }                                   // 66
  int GetMultiROICount(unsigned&) override { return MM::Err::UnsupportedCommand; }  // 67
  int SetMultiROI(const unsigned*, const unsigned*, const unsigned*, const unsigned*,
                  unsigned) override {  // 68
    return MM::Err::UnsupportedCommand;
  }
  int GetMultiROI(unsigned*, unsigned*, unsigned*, unsigned*, unsigned*) override {  // 69
    return MM::Err::UnsupportedCommand;
  }

  // 70: the start protocol alone; see StartSequenceThread().
  int StartSequenceAcquisition(long numImages, double intervalMs, bool stopOnOverflow) override {
    return StartSequenceThread(numImages, intervalMs, stopOnOverflow);
  }
  // 71: slot 70 with the largest count and stop-on-overflow false.
  int StartSequenceAcquisition(double intervalMs) override {
    return StartSequenceAcquisition(LONG_MAX, intervalMs, false);
  }
  // 72: requests the stop and joins; always 0. From the sequence thread
  // itself it only requests the stop.
  int StopSequenceAcquisition() override {
    if (IsCapturing()) RequestSequenceStop();
    JoinSequenceThread();
    return MM::Err::Ok;
  }
  int PrepareSequenceAcquisition() override { return MM::Err::Ok; }  // 73
  // 74: true while the thread's stop flag is clear.
  bool IsCapturing() override { return !thread_->IsStopRequested(); }

  // 75: the serialised tag set, at most 1023 characters and a zero.
  void GetTags(char* serialized) override {
    std::string text;
    {
      TagLock lock(tagLock_);
      text = tags_.Serialize();
    }
    CopyToHostBuffer(serialized, text);
  }
  void AddTag(const char* key, const char* deviceLabel, const char* value) override {  // 76
    TagLock lock(tagLock_);
    tags_.PutTag(key, deviceLabel, value);
  }
  void RemoveTag(const char* key) override {  // 77
    TagLock lock(tagLock_);
    tags_.RemoveTag(key);
  }
  int GetTextReport(char* text) override {  // 78
    CopyToHostBuffer(text, "");
    return MM::Err::Ok;
  }
  int IsExposureSequenceable(bool&) const override { return MM::Err::UnsupportedCommand; }  // 79
  int GetExposureSequenceMaxLength(long&) const override {                                  // 80
    return MM::Err::UnsupportedCommand;
  }
  int StartExposureSequence() override { return MM::Err::UnsupportedCommand; }        // 81
  int StopExposureSequence() override { return MM::Err::UnsupportedCommand; }         // 82
  int ClearExposureSequence() override { return MM::Err::UnsupportedCommand; }        // 83
  int AddToExposureSequence(double) override { return MM::Err::UnsupportedCommand; }  // 84
  std::vector<std::string> GetTagKeys() override {                                    // 85
    TagLock lock(tagLock_);
    return tags_.GetKeys();
  }
  // 86: throws MetadataKeyError for an unknown key (the host expects it).
  std::string GetTagValue(const char* key) override {
    TagLock lock(tagLock_);
    return tags_.GetValue(key);
  }

  // ---- slots added by the camera base --------------------------------------
  // 87: snap (44), then insert (88). Runs on the sequence thread.
  virtual int ThreadRun() {
    int result = this->SnapImage();
    if (result != MM::Err::Ok) return result;
    return InsertImage();
  }
  // 88: hands the image to the host with the metadata "Camera" = label.
  // On 22 (host buffer full) and stop-on-overflow false: clear the host
  // buffer and insert once more. 13 without a callback.
  virtual int InsertImage();
  virtual double GetIntervalMs() const { return thread_->GetIntervalMs(); }    // 89
  virtual long GetImageCounter() const { return thread_->GetImageCounter(); }  // 90
  virtual long GetNumberOfImages() const { return thread_->GetLength(); }      // 91
  // 92: logs "Sequence thread exiting" and reports the end (position 23,
  // status 0). Runs on the sequence thread.
  virtual void OnThreadExiting();
  virtual bool IsStopOnOverflow() const { return stopOnOverflow_.load(); }    // 93
  virtual void SetStopOnOverflow(bool stop) { stopOnOverflow_.store(stop); }  // 94

 protected:
  using TagLock = pyx::MutexLock;
  using ControlLock = pyx::RecursiveLock;

  CCameraBase();
  ~CCameraBase() override;

  // The start protocol: 30 while capturing or when called on the sequence
  // thread; 13 without a callback; joins a thread that ended by itself (so
  // its end report comes before this start); the host's prepare (position
  // 24, a non-zero answer is returned unchanged); stores stop-on-overflow
  // and the counters, then starts the thread: 0, or 1 when the thread could
  // not be created (the stop flag stays set).
  int StartSequenceThread(long numImages, double intervalMs, bool stopOnOverflow);
  // Sets the stop flag under the stop lock. Safe from any thread.
  void RequestSequenceStop() { thread_->RequestStop(); }
  // Joins the sequence thread when one was started and not joined yet (also
  // one that ended by itself). Does nothing on the sequence thread itself.
  void JoinSequenceThread();
  bool IsSequenceStopRequested() { return thread_->IsStopRequested(); }
  bool IsSequenceThread() const { return thread_->IsCurrentThread(); }

 private:
  // The serialised set of one tag, "Camera" = label, handed with each image.
  static std::string ImageMetadataText(const char* label);

  std::atomic<bool> stopOnOverflow_{false};
  MetadataSet tags_ GUARDED_BY(tagLock_);
  // The last image metadata text and its label; sequence thread only.
  std::string sequenceTextLabel_;
  std::string sequenceText_;
  std::unique_ptr<BaseSequenceThread> thread_;
  pyx::RecursiveMutex controlLock_;
  pyx::Mutex tagLock_;
};

// Runs the camera's run step until the count is reached, a step fails or a
// stop is requested; then sets the stop flag and calls OnThreadExiting.
template <class T>
class CCameraBase<T>::BaseSequenceThread : public MMDeviceThreadBase {
 public:
  explicit BaseSequenceThread(CCameraBase* camera) : camera_(camera) {}
  ~BaseSequenceThread() override = default;

  int svc() override;

  // Stores the count and interval, clears the stop flag and starts the
  // thread, all under the stop lock. 0, or 1 with the stop flag set again.
  int Start(long numImages, double intervalMs);
  void RequestStop() {
    StopLock lock(stopLock_);
    stop_ = true;
  }
  bool IsStopRequested() {
    StopLock lock(stopLock_);
    return stop_;
  }
  double GetIntervalMs() const { return intervalMs_.load(); }
  long GetLength() const { return numImages_.load(); }
  long GetImageCounter() const { return imageCounter_.load(); }

 private:
  using StopLock = pyx::RecursiveLock;

  // Counts the finished step; true when it was the last one. Safe for every
  // count, the most negative included.
  bool CountStepAndCheckDone();
  void LogNoThrow(const char* text) noexcept;

  std::atomic<double> intervalMs_{100.0};
  std::atomic<long> numImages_{1};
  std::atomic<long> imageCounter_{0};
  bool stop_ GUARDED_BY(stopLock_) = true;  // true = no sequence runs
  CCameraBase* camera_;
  pyx::RecursiveMutex stopLock_;
};

// ---- CCameraBase ------------------------------------------------------------

template <class T>
CCameraBase<T>::CCameraBase() {
  static const char* const kTransposeNames[] = {"TransposeXY", "TransposeMirrorX",
                                                "TransposeMirrorY", "TransposeCorrection"};
  for (const char* name : kTransposeNames) {
    this->CreateProperty(name, "0", MM::Integer, false, nullptr, false);
    this->SetAllowedValues(name, {"0", "1"});
  }
  thread_ = std::make_unique<BaseSequenceThread>(this);
}

template <class T>
CCameraBase<T>::~CCameraBase() {
  if (thread_->IsCurrentThread()) {
    // Torn down from inside the host's end report: the thread cannot join
    // itself, and touches nothing of this object after that report returns.
    thread_->RequestStop();
    thread_->detach();
  } else {
    ControlLock lock(controlLock_);
    thread_->RequestStop();
    thread_->wait();
  }
}

template <class T>
int CCameraBase<T>::StartSequenceThread(long numImages, double intervalMs, bool stopOnOverflow) {
  // Checked before the control lock: a host thread may hold it while joining us.
  if (thread_->IsCurrentThread()) return MM::Err::CameraBusy;
  ControlLock lock(controlLock_);
  if (IsCapturing()) return MM::Err::CameraBusy;
  HostCallback* callback = this->GetCallback();
  if (!callback) return MM::Err::NoCallback;
  thread_->wait();
  int prepared = callback->PrepareForAcquisition(this);
  if (prepared != MM::Err::Ok) return prepared;
  stopOnOverflow_.store(stopOnOverflow);
  return thread_->Start(numImages, intervalMs);
}

template <class T>
void CCameraBase<T>::JoinSequenceThread() {
  if (thread_->IsCurrentThread()) return;
  ControlLock lock(controlLock_);
  thread_->wait();
}

template <class T>
int CCameraBase<T>::InsertImage() {
  HostCallback* callback = this->GetCallback();
  if (!callback) return MM::Err::NoCallback;
  char label[MM::kMaxHostText] = {};
  this->GetLabel(label);
  // The sequence thread keeps the text from image to image and builds it
  // again only when the label changes, so that streaming allocates nothing.
  std::string fresh;
  const std::string* text = &fresh;
  if (thread_->IsCurrentThread()) {
    if (sequenceTextLabel_ != label) {
      sequenceText_ = ImageMetadataText(label);
      sequenceTextLabel_ = label;
    }
    text = &sequenceText_;
  } else {
    fresh = ImageMetadataText(label);
  }
  int result = callback->InsertImage(this, this->GetImageBuffer(), this->GetImageWidth(),
                                     this->GetImageHeight(), this->GetImageBytesPerPixel(),
                                     text->c_str(), true);
  if (!stopOnOverflow_.load() && result == MM::Err::BufferOverflow) {
    callback->ClearImageBuffer(this);
    result = callback->InsertImage(this, this->GetImageBuffer(), this->GetImageWidth(),
                                   this->GetImageHeight(), this->GetImageBytesPerPixel(),
                                   text->c_str(), true);
  }
  return result;
}

template <class T>
std::string CCameraBase<T>::ImageMetadataText(const char* label) {
  MetadataSet metadata;
  metadata.PutTag("Camera", "_", label);
  return metadata.Serialize();
}

template <class T>
void CCameraBase<T>::OnThreadExiting() {
  try {
    if (HostCallback* callback = this->GetCallback()) {
      callback->LogMessage(this, "Sequence thread exiting", false);
      callback->AcquisitionFinished(this, 0);
    }
  } catch (...) {
    try {
      this->LogMessage("Exception in the OnThreadExiting function.");
    } catch (...) {
    }
  }
}

// ---- BaseSequenceThread -------------------------------------------------------

template <class T>
int CCameraBase<T>::BaseSequenceThread::Start(long numImages, double intervalMs) {
  StopLock lock(stopLock_);
  numImages_.store(numImages);
  stop_ = false;
  imageCounter_.store(0);
  intervalMs_.store(intervalMs);
  if (activate() != 0) {
    stop_ = true;
    return MM::Err::Unknown;
  }
  return MM::Err::Ok;
}

template <class T>
bool CCameraBase<T>::BaseSequenceThread::CountStepAndCheckDone() {
  long previous = imageCounter_.load();
  imageCounter_.store(previous + 1);
  long length = numImages_.load();
  // A count of 1 or less means one image; `length - 1` is then never formed.
  return length <= 1 || previous >= length - 1;
}

template <class T>
void CCameraBase<T>::BaseSequenceThread::LogNoThrow(const char* text) noexcept {
  try {
    camera_->LogMessage(text);
  } catch (...) {
  }
}

template <class T>
int CCameraBase<T>::BaseSequenceThread::svc() {
  int result = MM::Err::Unknown;
  try {
    for (;;) {
      result = camera_->ThreadRun();
      if (result != MM::Err::Ok) break;
      if (IsStopRequested()) {
        result = MM::Err::Ok;
        break;
      }
      if (CountStepAndCheckDone()) {
        result = MM::Err::Ok;
        break;
      }
    }
    if (IsStopRequested()) camera_->LogMessage("SeqAcquisition interrupted by the user\n");
  } catch (...) {
    LogNoThrow("Exception in the thread function.");
  }
  RequestStop();
  camera_->OnThreadExiting();
  return result;
}
