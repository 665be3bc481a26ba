// A scripted camera on the camera base, a recording host and raw table calls.
#pragma once

#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "framework/camera_base.h"
#include "tests/common/raw_slot.h"

namespace fwtest {

using testcommon::RawSlot;
using testcommon::Slot;

// Records every call in order ("log:...", "prop:Name=Value", "exposure:..",
// "prepare", "insert", "clear", "finished:status"). Thread-safe.
class FakeHost : public HostCallback {
 public:
  int LogMessage(const MM::Device*, const char* text, bool debugOnly) override {
    std::function<void(const std::string&)> hook;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      events_.push_back("log:" + std::string(text));
      if (debugOnly) events_.push_back("debug-flag-set");
      hook = logHook_;
    }
    if (hook) hook(text);
    return 0;
  }
  int OnPropertyChanged(const MM::Device*, const char* name, const char* value) override {
    Record("prop:" + std::string(name) + "=" + value);
    return 0;
  }
  int OnExposureChanged(const MM::Device*, double milliseconds) override {
    Record("exposure:" + std::to_string(milliseconds));
    return 0;
  }
  int AcquisitionFinished(const MM::Device*, int status) override {
    std::lock_guard<std::mutex> lock(mutex_);
    events_.push_back("finished:" + std::to_string(status));
    ++finished_;
    changed_.notify_all();
    return 0;
  }
  int PrepareForAcquisition(const MM::Device*) override {
    std::lock_guard<std::mutex> lock(mutex_);
    events_.push_back("prepare");
    return prepareResult_;
  }
  int InsertImage(const MM::Device*, const unsigned char* pixels, unsigned width, unsigned height,
                  unsigned bytesPerPixel, const char* metadata, bool process) override {
    std::function<int()> hook;
    int result = 0;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      events_.push_back("insert");
      inserts_.push_back({pixels, width, height, bytesPerPixel, metadata, process});
      if (!insertResults_.empty()) {
        result = insertResults_.front();
        insertResults_.pop_front();
      }
      hook = insertHook_;
      changed_.notify_all();
    }
    if (hook) result = hook();
    return result;
  }
  void ClearImageBuffer(const MM::Device*) override { Record("clear"); }

  struct Insert {
    const unsigned char* pixels;
    unsigned width, height, bytesPerPixel;
    std::string metadata;
    bool process;
  };

  void SetPrepareResult(int result) {
    std::lock_guard<std::mutex> lock(mutex_);
    prepareResult_ = result;
  }
  void ScriptInsertResults(std::deque<int> results) {
    std::lock_guard<std::mutex> lock(mutex_);
    insertResults_ = std::move(results);
  }
  // Runs on the caller's thread without the host's lock; its result replaces
  // the insert's.
  void SetInsertHook(std::function<int()> hook) {
    std::lock_guard<std::mutex> lock(mutex_);
    insertHook_ = std::move(hook);
  }
  void SetLogHook(std::function<void(const std::string&)> hook) {
    std::lock_guard<std::mutex> lock(mutex_);
    logHook_ = std::move(hook);
  }
  std::vector<std::string> Events() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return events_;
  }
  std::vector<Insert> Inserts() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return inserts_;
  }
  size_t InsertCount() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return inserts_.size();
  }
  void ClearEvents() {
    std::lock_guard<std::mutex> lock(mutex_);
    events_.clear();
    inserts_.clear();
  }
  // Hang guard only: generous timeout.
  bool WaitFinished(int count, std::chrono::seconds timeout = std::chrono::seconds(20)) {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, timeout, [&] { return finished_ >= count; });
  }
  bool WaitInserts(size_t count, std::chrono::seconds timeout = std::chrono::seconds(20)) {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, timeout, [&] { return inserts_.size() >= count; });
  }
  int Finished() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return finished_;
  }

 private:
  void Record(std::string event) {
    std::lock_guard<std::mutex> lock(mutex_);
    events_.push_back(std::move(event));
  }

  mutable std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<std::string> events_;
  std::vector<Insert> inserts_;
  std::deque<int> insertResults_;
  std::function<int()> insertHook_;
  std::function<void(const std::string&)> logHook_;
  int prepareResult_ = 0;
  int finished_ = 0;
};

// A camera with fixed stub geometry and a scripted snap.
class TestCamera : public CCameraBase<TestCamera> {
 public:
  static constexpr unsigned kWidth = 8, kHeight = 3, kBytesPerPixel = 2;

  explicit TestCamera(int* destroyed = nullptr) : destroyed_(destroyed) {
    SetReportedName("TestDevice");
  }
  ~TestCamera() override {
    StopSequenceAcquisition();
    if (destroyed_) ++*destroyed_;
  }

  // Services made reachable for the tests.
  using CCameraBase::GetImageBuffer;
  using CCameraBase::IsSequenceStopRequested;
  using CCameraBase::JoinSequenceThread;
  using CDeviceBase::CreateFloatProperty;
  using CDeviceBase::CreateIntegerProperty;
  using CDeviceBase::CreateProperty;
  using CDeviceBase::CreateStringProperty;
  using CDeviceBase::GetCallback;
  using CDeviceBase::GetPropertyValue;
  using CDeviceBase::OnPropertyChanged;
  using CDeviceBase::RefreshAllProperties;
  using CDeviceBase::RefreshProperty;
  using CDeviceBase::SetAllowedValues;
  using CDeviceBase::SetErrorText;
  using CDeviceBase::SetPropertyLimits;
  using CDeviceBase::SetPropertyValue;

  int Initialize() override { return 7035; }
  int Shutdown() override { return 7036; }

  // Each snap takes the next scripted result (0 when the script is empty),
  // then runs the hook if one is set.
  int SnapImage() override {
    std::function<int()> hook;
    int result = 0;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      ++snaps_;
      if (!snapResults_.empty()) {
        result = snapResults_.front();
        snapResults_.pop_front();
      }
      hook = snapHook_;
    }
    if (hook) {
      int hooked = hook();
      if (result == 0) result = hooked;
    }
    return result;
  }
  const unsigned char* GetImageBuffer() override { return pixels_; }
  unsigned GetNumberOfComponents() const override { return 1; }
  long GetImageBufferSize() const override { return kWidth * kHeight * kBytesPerPixel; }
  unsigned GetImageWidth() const override { return kWidth; }
  unsigned GetImageHeight() const override { return kHeight; }
  unsigned GetImageBytesPerPixel() const override { return kBytesPerPixel; }
  unsigned GetBitDepth() const override { return 12; }
  double GetPixelSizeUm() const override { return 3.45; }
  int GetBinning() const override { return binning_; }
  int SetBinning(int factor) override {
    binning_ = factor;
    return 0;
  }
  void SetExposure(double milliseconds) override { exposure_ = milliseconds; }
  double GetExposure() const override { return exposure_; }
  int SetROI(unsigned x, unsigned y, unsigned width, unsigned height) override {
    roi_[0] = x;
    roi_[1] = y;
    roi_[2] = width;
    roi_[3] = height;
    return 0;
  }
  int GetROI(unsigned& x, unsigned& y, unsigned& width, unsigned& height) override {
    x = roi_[0];
    y = roi_[1];
    width = roi_[2];
    height = roi_[3];
    return 0;
  }
  int ClearROI() override {
    roi_[0] = roi_[1] = 0;
    roi_[2] = kWidth;
    roi_[3] = kHeight;
    return 0;
  }

  void ScriptSnapResults(std::deque<int> results) {
    std::lock_guard<std::mutex> lock(mutex_);
    snapResults_ = std::move(results);
  }
  void SetSnapHook(std::function<int()> hook) {
    std::lock_guard<std::mutex> lock(mutex_);
    snapHook_ = std::move(hook);
  }
  int Snaps() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return snaps_;
  }
  const unsigned char* Pixels() const { return pixels_; }

 private:
  int* destroyed_;
  mutable std::mutex mutex_;
  std::deque<int> snapResults_;
  std::function<int()> snapHook_;
  int snaps_ = 0;
  unsigned char pixels_[kWidth * kHeight * kBytesPerPixel] = {};
  int binning_ = 4;
  double exposure_ = 10.0;
  unsigned roi_[4] = {0, 0, kWidth, kHeight};
};

}  // namespace fwtest
