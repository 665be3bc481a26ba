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
  const int result = StartSequenceThread(numImages, intervalMs, stopOnOverflow);
  if (result != MM::Err::Ok) return result;
  // The thread already runs; its first snap waits until the first frame arrives.
  SelectSequenceTriggerMode(handle);
  return MM::Err::Ok;
}

void Camera::SelectSequenceTriggerMode(pyxon::CameraHandle* handle) {
  triggerSourceIndex_ = -1;
  if (Model()->ioLineCount != 0) {
    std::string source;
    if (StoredValue("IO:Trigger Source", source)) {
      triggerSourceIndex_ = camera::IndexOf(triggerSources_, source);
    }
  }
  if (!IsHardwareSource(triggerSourceIndex_)) {
    handle->SetOption(pyxon::opt::kTriggerMode, 0);
    sequenceFreeRunning_ = true;
    return;
  }
  handle->SetOption(pyxon::opt::kTriggerMode, 1);
  camera::WriteIo(handle, 0, pyxon::io::kSetTriggerSource, triggerSourceIndex_);
}

int Camera::StopSequenceAcquisition() {
  if (IsSequenceThread()) {
    // A run step cannot join its own thread: only ask it to end.
    RequestSequenceStop();
    WakeImageWaiters();
    return MM::Err::Ok;
  }
  // Back to the triggered idle state. The sequence may have been started
  // free-running and the trigger source changed since; what it started in decides.
  // A device that started nothing leaves a camera it shares alone: another
  // device may be acquiring with it (owners: the map and every device).
  pyxon::CameraHandle* handle = Handle();
  const bool sharedWithOthers = wrapper_ && wrapper_.use_count() > 2;
  if (handle != nullptr &&
      (sequenceFreeRunning_ || (!IsHardwareSource(triggerSourceIndex_) && !sharedWithOthers))) {
    handle->SetOption(pyxon::opt::kTriggerMode, 1);
  }
  sequenceFreeRunning_ = false;

  if (IsCapturing()) RequestSequenceStop();
  // A snap waiting for a frame checks the stop request under the image-ready
  // lock before it waits, so this wake-up cannot be lost.
  WakeImageWaiters();
  JoinSequenceThread();
  WakeImageWaiters();
  return MM::Err::Ok;
}
