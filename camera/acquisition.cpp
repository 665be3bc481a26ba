// Sequence acquisition: start and stop around the camera base's sequence
// thread, switching the camera between triggered and free-running delivery.
//
// Idle, the camera is in triggered mode (option 11 = 1) and a snap triggers
// its own frame. A sequence either lets the camera run free (option 11 = 0:
// no I/O lines, "Software Trigger" or no readable trigger source) or keeps
// triggered mode with a hardware source selected (IoControl command 14). The
// sequence thread's snap waits for the frames the camera delivers.
#include <string>

#include "camera/Camera.h"
#include "camera/family_support.h"

namespace {

constexpr uint32_t kLastHardwareSource = 4;  // positions 0..4 are hardware trigger sources

bool IsHardwareSource(int32_t index) {
  return static_cast<uint32_t>(index) <= kLastHardwareSource;
}

}  // namespace

int Camera::StartSequenceAcquisition(long numImages, double intervalMs, bool stopOnOverflow) {
  pyxon::CameraHandle* handle = Handle();
  if (handle == nullptr) return MM::Err::NoCommunication;
  if (IsCapturing()) return MM::Err::CameraBusy;
  const int32_t source = SequenceTriggerSource();
  {
    // Another device's sequence on this camera in the other delivery mode
    // would lose its frames (or get frames it did not trigger).
    pyx::RecursiveLock delivery(wrapper_->deliveryLock);
    for (const auto& [device, freeRunning] : wrapper_->sequences) {
      if (device != this && freeRunning != !IsHardwareSource(source)) return MM::Err::CameraBusy;
    }
  }
  const int result = StartSequenceThread(numImages, intervalMs, stopOnOverflow);
  if (result != MM::Err::Ok) return result;
  // The thread already runs; its first snap waits until the first frame arrives.
  SelectSequenceTriggerMode(handle, source);
  return MM::Err::Ok;
}

int32_t Camera::SequenceTriggerSource() {
  if (Model()->ioLineCount == 0) return -1;
  std::string source;
  if (!StoredPropertyValue("IO:Trigger Source", source)) return -1;
  return camera::IndexOf(triggerSources_, source);
}

void Camera::SelectSequenceTriggerMode(pyxon::CameraHandle* handle, int32_t source) {
  triggerSourceIndex_ = source;
  const bool freeRunning = !IsHardwareSource(source);
  pyx::RecursiveLock delivery(wrapper_->deliveryLock);
  wrapper_->sequences[this] = freeRunning;
  if (freeRunning) {
    handle->SetOption(pyxon::opt::kTriggerMode, 0);
    sequenceFreeRunning_.store(true);
    return;
  }
  handle->SetOption(pyxon::opt::kTriggerMode, 1);
  camera::WriteIo(handle, 0, pyxon::io::kSetTriggerSource, source);
}

void Camera::LeaveSequence(bool restore) {
  if (!wrapper_) return;
  pyx::RecursiveLock delivery(wrapper_->deliveryLock);
  wrapper_->sequences.erase(this);
  if (!restore || !sequenceFreeRunning_.exchange(false)) return;
  pyxon::CameraHandle* handle = Handle();
  if (handle != nullptr && !AnySequenceFreeRunning()) {
    handle->SetOption(pyxon::opt::kTriggerMode, 1);
  }
}

bool Camera::OtherDeviceAcquiring() const {
  for (const auto& entry : wrapper_->sequences) {
    if (entry.first != this) return true;
  }
  return false;
}

bool Camera::AnySequenceFreeRunning() const {
  for (const auto& entry : wrapper_->sequences) {
    if (entry.second) return true;
  }
  return false;
}

int Camera::StopSequenceAcquisition() {
  if (IsSequenceThread()) {
    // A run step cannot join its own thread: only ask it to end; the thread
    // restores triggered mode as it ends.
    if (IsCapturing()) stopFromSequenceThread_.store(true);
    RequestSequenceStop();
    WakeImageWaiters();
    return MM::Err::Ok;
  }
  // Back to the triggered idle state. The sequence may have been started
  // free-running and the trigger source changed since; what it started in decides.
  // A device that started nothing leaves a camera it shares alone: another
  // device may be acquiring with it (owners: the map and every device).
  const bool sharedWithOthers = wrapper_ && wrapper_.use_count() > 2;
  if (sequenceFreeRunning_.load() || sharedWithOthers || IsHardwareSource(triggerSourceIndex_)) {
    LeaveSequence(true);
  } else if (pyxon::CameraHandle* handle = Handle()) {
    LeaveSequence(false);
    handle->SetOption(pyxon::opt::kTriggerMode, 1);
  }

  if (IsCapturing()) RequestSequenceStop();
  // A snap waiting for a frame checks the stop request under the image-ready
  // lock before it waits, so this wake-up cannot be lost.
  WakeImageWaiters();
  JoinSequenceThread();
  WakeImageWaiters();
  return MM::Err::Ok;
}
