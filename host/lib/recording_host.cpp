// The recording HostCallback (pyxhost::RecordingHost).
#include <algorithm>
#include <cstdio>
#include <cstring>

#include "host/lib/host.h"

namespace pyxhost {

namespace {

uint64_t ReadLittleEndianWord(const unsigned char* bytes) {
  uint64_t word = 0;
  for (int i = 7; i >= 0; --i) word = (word << 8) | bytes[i];
  return word;
}

std::string FormatDouble(double value) {
  char text[64];
  std::snprintf(text, sizeof text, "%g", value);
  return text;
}

}  // namespace

void RecordingHost::noteCallerLocked(const MM::Device* caller) {
  if (std::find(callers_.begin(), callers_.end(), caller) == callers_.end()) {
    callers_.push_back(caller);
  }
}

void RecordingHost::recordLocked(std::string event) {
  events_.push_back(std::move(event));
}

int RecordingHost::LogMessage(const MM::Device* caller, const char* text, bool /*debugOnly*/) {
  std::string message = text != nullptr ? text : "";
  {
    std::lock_guard<std::mutex> lock(mutex_);
    noteCallerLocked(caller);
    logs_.push_back(message);
    recordLocked("log:" + message);
  }
  changed_.notify_all();
  return 0;
}

int RecordingHost::OnPropertyChanged(const MM::Device* caller, const char* name,
                                     const char* value) {
  std::string propertyName = name != nullptr ? name : "";
  std::string propertyValue = value != nullptr ? value : "";
  {
    std::lock_guard<std::mutex> lock(mutex_);
    noteCallerLocked(caller);
    recordLocked("prop:" + propertyName + "=" + propertyValue);
    propertyChanges_.emplace_back(std::move(propertyName), std::move(propertyValue));
  }
  changed_.notify_all();
  return 0;
}

int RecordingHost::OnExposureChanged(const MM::Device* caller, double milliseconds) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    noteCallerLocked(caller);
    exposureChanges_.push_back(milliseconds);
    recordLocked("exposure:" + FormatDouble(milliseconds));
  }
  changed_.notify_all();
  return 0;
}

int RecordingHost::AcquisitionFinished(const MM::Device* caller, int status) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    noteCallerLocked(caller);
    finishedStatuses_.push_back(status);
    recordLocked("finished");
  }
  changed_.notify_all();
  return 0;
}

int RecordingHost::PrepareForAcquisition(const MM::Device* caller) {
  int result;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    noteCallerLocked(caller);
    ++prepareCount_;
    recordLocked("prepare");
    result = prepareResult_;
  }
  changed_.notify_all();
  return result;
}

int RecordingHost::InsertImage(const MM::Device* caller, const unsigned char* pixels,
                               unsigned width, unsigned height, unsigned bytesPerPixel,
                               const char* metadata, bool process) {
  std::function<int(const HostImage&)> hook;
  bool copy;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    noteCallerLocked(caller);
    ++insertCount_;
    recordLocked("insert");
    if (ring_.size() + reserved_ >= capacity_) {
      ++rejectedCount_;
      changed_.notify_all();
      return kHostBufferOverflow;
    }
    ++reserved_;
    hook = insertHook_;
    copy = copyPixels_;
  }

  // The copy runs outside the lock: the device's buffer is valid for the whole
  // call, and a slow copy must not block other threads' callbacks.
  HostImage image;
  image.width = width;
  image.height = height;
  image.bytesPerPixel = bytesPerPixel;
  image.metadata = metadata != nullptr ? metadata : "";
  image.process = process;
  image.received = std::chrono::steady_clock::now();
  image.byteCount = static_cast<size_t>(width) * height * bytesPerPixel;
  if (pixels != nullptr) {
    if (image.byteCount >= 8) {
      image.headWord = ReadLittleEndianWord(pixels);
      image.tailWord = ReadLittleEndianWord(pixels + image.byteCount - 8);
    }
    if (copy) image.pixels.assign(pixels, pixels + image.byteCount);
  }

  const int hookResult = hook ? hook(image) : 0;

  {
    std::lock_guard<std::mutex> lock(mutex_);
    --reserved_;
    if (hookResult == 0) {
      ++acceptedCount_;
      ring_.push_back(std::move(image));
    }
  }
  changed_.notify_all();
  return hookResult;
}

void RecordingHost::ClearImageBuffer(const MM::Device* caller) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    noteCallerLocked(caller);
    ++clearCount_;
    recordLocked("clear");
    ring_.clear();
  }
  changed_.notify_all();
}

void RecordingHost::setPrepareResult(int result) {
  std::lock_guard<std::mutex> lock(mutex_);
  prepareResult_ = result;
}

void RecordingHost::setRingCapacity(size_t capacity) {
  std::lock_guard<std::mutex> lock(mutex_);
  capacity_ = std::max<size_t>(capacity, 1);
}

size_t RecordingHost::ringCapacity() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return capacity_;
}

void RecordingHost::setInsertHook(std::function<int(const HostImage&)> hook) {
  std::lock_guard<std::mutex> lock(mutex_);
  insertHook_ = std::move(hook);
}

void RecordingHost::setCopyPixels(bool copy) {
  std::lock_guard<std::mutex> lock(mutex_);
  copyPixels_ = copy;
}

std::vector<std::string> RecordingHost::logs() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return logs_;
}

std::vector<std::pair<std::string, std::string>> RecordingHost::propertyChanges() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return propertyChanges_;
}

std::vector<std::string> RecordingHost::propertyChanges(const std::string& name) const {
  std::lock_guard<std::mutex> lock(mutex_);
  std::vector<std::string> values;
  for (const auto& change : propertyChanges_) {
    if (change.first == name) values.push_back(change.second);
  }
  return values;
}

std::vector<double> RecordingHost::exposureChanges() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return exposureChanges_;
}

size_t RecordingHost::finishedCount() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return finishedStatuses_.size();
}

std::vector<int> RecordingHost::finishedStatuses() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return finishedStatuses_;
}

size_t RecordingHost::prepareCount() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return prepareCount_;
}

size_t RecordingHost::clearCount() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return clearCount_;
}

size_t RecordingHost::insertCount() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return insertCount_;
}

size_t RecordingHost::acceptedCount() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return acceptedCount_;
}

size_t RecordingHost::rejectedCount() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return rejectedCount_;
}

std::vector<std::string> RecordingHost::events() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return events_;
}

std::vector<const MM::Device*> RecordingHost::callers() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return callers_;
}

size_t RecordingHost::imageCount() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return ring_.size();
}

std::vector<HostImage> RecordingHost::takeImages() {
  std::lock_guard<std::mutex> lock(mutex_);
  std::vector<HostImage> images(std::make_move_iterator(ring_.begin()),
                                std::make_move_iterator(ring_.end()));
  ring_.clear();
  return images;
}

void RecordingHost::reset() {
  std::lock_guard<std::mutex> lock(mutex_);
  logs_.clear();
  propertyChanges_.clear();
  exposureChanges_.clear();
  finishedStatuses_.clear();
  prepareCount_ = 0;
  clearCount_ = 0;
  insertCount_ = 0;
  acceptedCount_ = 0;
  rejectedCount_ = 0;
  events_.clear();
  callers_.clear();
  ring_.clear();
}

template <typename Predicate>
bool RecordingHost::waitLocked(std::unique_lock<std::mutex>& lock,
                               std::chrono::milliseconds timeout, Predicate done) {
  return changed_.wait_for(lock, timeout, done);
}

bool RecordingHost::waitForFinished(std::chrono::milliseconds timeout, size_t count) {
  std::unique_lock<std::mutex> lock(mutex_);
  return waitLocked(lock, timeout, [&] { return finishedStatuses_.size() >= count; });
}

bool RecordingHost::waitForImages(size_t n, std::chrono::milliseconds timeout) {
  std::unique_lock<std::mutex> lock(mutex_);
  return waitLocked(lock, timeout, [&] { return ring_.size() >= n; });
}

bool RecordingHost::waitForAccepted(size_t n, std::chrono::milliseconds timeout) {
  std::unique_lock<std::mutex> lock(mutex_);
  return waitLocked(lock, timeout, [&] { return acceptedCount_ >= n; });
}

bool RecordingHost::waitForPropertyChange(const std::string& name,
                                          std::chrono::milliseconds timeout) {
  std::unique_lock<std::mutex> lock(mutex_);
  return waitLocked(lock, timeout, [&] {
    return std::any_of(propertyChanges_.begin(), propertyChanges_.end(),
                       [&](const auto& change) { return change.first == name; });
  });
}

bool RecordingHost::waitForPropertyChange(const std::string& name, const std::string& value,
                                          std::chrono::milliseconds timeout) {
  std::unique_lock<std::mutex> lock(mutex_);
  return waitLocked(lock, timeout, [&] {
    return std::any_of(propertyChanges_.begin(), propertyChanges_.end(), [&](const auto& change) {
      return change.first == name && change.second == value;
    });
  });
}

bool RecordingHost::waitForExposureChanges(size_t n, std::chrono::milliseconds timeout) {
  std::unique_lock<std::mutex> lock(mutex_);
  return waitLocked(lock, timeout, [&] { return exposureChanges_.size() >= n; });
}

}  // namespace pyxhost
