// The image path: snap, the image buffer and its geometry, the output format,
// delivery restarts and the vendor's events.
#include <chrono>
#include <cstdio>
#include <new>

#include "camera/Camera.h"
#include "camera/family_support.h"
#include "camera/image_format.h"

namespace {

using Clock = std::chrono::steady_clock;

// PullFrame's answer when the buffer cannot hold the camera's current output:
// nothing was pulled. Not a retry code.
constexpr pyxon::Result kNoBuffer = static_cast<pyxon::Result>(0x80000001u);

// What events 1 and 6 tell the host, one bit each, in the order in which it
// is told: the exposure report (host callback position 18), then the
// notifications.
struct PendingNotification {
  unsigned bit;
  const char* property;  // null: the exposure report
};
constexpr PendingNotification kPendingNotifications[] = {
    {1u << 0, nullptr},
    {1u << 1, "Exposure"},
    {1u << 2, "Gain"},
    {1u << 3, "RealExposure"},
    {1u << 4, "WhiteBalanceRGain"},
    {1u << 5, "WhiteBalanceGGain"},
    {1u << 6, "WhiteBalanceBGain"},
};
constexpr unsigned kExposureEventNotifications = 0x0F;
constexpr unsigned kWhiteBalanceEventNotifications = 0x70;

// Counts a thread into a vendor call of the camera that may wait for the
// library's event thread.
class AwaitingEvents {
 public:
  explicit AwaitingEvents(HWrapper& wrapper) : wrapper_(wrapper) {
    wrapper_.callsAwaitingEvents.fetch_add(1);
  }
  ~AwaitingEvents() { wrapper_.callsAwaitingEvents.fetch_sub(1); }
  AwaitingEvents(const AwaitingEvents&) = delete;
  AwaitingEvents& operator=(const AwaitingEvents&) = delete;

 private:
  HWrapper& wrapper_;
};

}  // namespace

// ---- vendor events ----------------------------------------------------------------

void OnCameraEvent(int32_t code, void* context) {
  if (context == nullptr) return;
  try {
    static_cast<Camera*>(context)->HandleCameraEvent(code);
  } catch (...) {
    // Nothing may unwind into the vendor library's thread.
  }
}

void Camera::HandleCameraEvent(int32_t code) {
  switch (code) {
    case pyxon::kEventImage:
      MarkImageReady();
      break;
    case pyxon::kEventExposure:
      if (Handle() == nullptr) return;
      pendingNotifications_.fetch_or(kExposureEventNotifications);
      break;
    case pyxon::kEventWhiteBalance:
      pendingNotifications_.fetch_or(kWhiteBalanceEventNotifications);
      break;
    default:
      break;
  }
  DeliverPendingNotifications(true);
}

bool Camera::CallAwaitsEvents() const {
  return wrapper_ && wrapper_->callsAwaitingEvents.load() != 0;
}

void Camera::DeliverPendingNotifications(bool fromEventThread) {
  if (pendingNotifications_.load() == 0) return;
  auto mayWait = [this, fromEventThread] { return !fromEventThread || !CallAwaitsEvents(); };
  for (const PendingNotification& item : kPendingNotifications) {
    // Claimed before it is delivered, so that two threads never both deliver it.
    if ((pendingNotifications_.fetch_and(~item.bit) & item.bit) == 0) continue;
    if (item.property == nullptr) {
      pyxon::CameraHandle* handle = Handle();
      if (handle == nullptr) continue;
      uint32_t microseconds = 0;
      handle->GetExposureTime(&microseconds);
      const double milliseconds = camera::MicrosecondsToMilliseconds(microseconds);
      lastExposureMs_.store(milliseconds);
      ReportExposure(milliseconds);
      continue;
    }
    if (NotifyPropertyChangedWhile(item.property, mayWait) == Notified::kGaveUp) {
      pendingNotifications_.fetch_or(item.bit);
      return;
    }
  }
}

void Camera::MarkImageReady() {
  {
    pyx::MutexLock lock(imageReadyLock_);
    imageReady_ = true;
  }
  imageReadySignal_.notify_all();
}

void Camera::WakeImageWaiters() {
  // Under the lock, so that a snap that has checked the stop request but not
  // yet started waiting cannot miss the wake-up.
  pyx::MutexLock lock(imageReadyLock_);
  imageReadySignal_.notify_all();
}

// ---- calls that may wait for the event thread ----------------------------------------

void Camera::StopDelivery(pyxon::CameraHandle* handle) {
  AwaitingEvents section(*wrapper_);
  handle->Stop(0);
}

void Camera::StartDelivery(pyxon::CameraHandle* handle) {
  AwaitingEvents section(*wrapper_);
  handle->StartPullWithCallback(nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
                                &CameraEventHub::OnVendorEvent, nullptr,
                                wrapper_->events->Context());
}

void Camera::CloseCamera(pyxon::CameraHandle* handle) {
  AwaitingEvents section(*wrapper_);
  handle->Close();
}

// ---- buffer and output format ----------------------------------------------------------

bool Camera::ResizeImageBuffer() {
  pyxon::CameraHandle* handle = Handle();
  if (handle == nullptr) return false;
  uint32_t width = 0;
  uint32_t height = 0;
  handle->GetOutputSize(&width, &height);
  const int32_t format = camera::ReadOption(handle, pyxon::opt::kPixelFormat, 0).value;

  pyx::RecursiveLock pull(pullLock_);
  const uint32_t bytesPerPixel =
      camera::LayoutFor(IsMonochrome(), camera::IsWideFormat(format)).bytesPerPixel;
  const uint64_t needed = camera::ImageBytes(width, height, bytesPerPixel);
  if (needed == 0 && width != 0 && height != 0) return false;  // beyond what the host can take
  if (needed > image_.capacity) {
    auto* pixels = new (std::nothrow) unsigned char[needed];
    if (pixels == nullptr) return false;
    delete[] image_.pixels.exchange(pixels);
    image_.capacity = needed;
  }
  image_.width.store(width);
  image_.height.store(height);
  image_.bytesPerPixel.store(bytesPerPixel);
  return needed != 0;
}

void Camera::SelectOutputFormat() {
  pyxon::CameraHandle* handle = Handle();
  if (handle == nullptr) return;
  const int32_t format = camera::ReadOption(handle, pyxon::opt::kPixelFormat, 0).value;
  const camera::OutputLayout layout =
      camera::LayoutFor(IsMonochrome(), camera::IsWideFormat(format));
  handle->SetOption(pyxon::opt::kOutputFormat, layout.outputFormat);
}

int Camera::ReconfigureDelivery(const std::function<void()>& change) {
  pyxon::CameraHandle* handle = Handle();
  if (handle == nullptr || !wrapper_) return MM::Err::NoCommunication;
  int result = MM::Err::Ok;
  {
    pyx::RecursiveLock pull(pullLock_);
    pyx::RecursiveLock delivery(wrapper_->deliveryLock);
    // A geometry or format change would change the frames of a sequence that
    // another device runs on this camera.
    if (change && OtherDeviceAcquiring()) return MM::Err::CameraBusy;
    StopDelivery(handle);
    if (change) change();
    if (!ResizeImageBuffer()) result = MM::Err::Unknown;
    handle->SetOption(pyxon::opt::kTriggerMode, 1);
    wrapper_->events->Attach(this);
    StartDelivery(handle);
    // The restart left the camera triggered, which would starve a free-running
    // sequence of frames; it is put back before the locks are released, so that
    // the sequence's next pull already sees it.
    if (AnySequenceFreeRunning()) handle->SetOption(pyxon::opt::kTriggerMode, 0);
  }
  DeliverPendingNotifications(false);
  return result;
}

bool Camera::BufferFitsOutput() {
  if (Handle() == nullptr || !wrapper_) return false;
  pyx::RecursiveLock pull(pullLock_);
  pyx::RecursiveLock delivery(wrapper_->deliveryLock);
  return ResizeImageBuffer();
}

pyxon::Result Camera::PullFrame() {
  pyxon::CameraHandle* handle = Handle();
  if (handle == nullptr || !wrapper_) return kNoBuffer;
  pyx::RecursiveLock pull(pullLock_);
  pyx::RecursiveLock delivery(wrapper_->deliveryLock);
  // Another device sharing the camera may have changed its geometry or format
  // since this buffer was sized: size it for what the camera delivers now.
  if (!ResizeImageBuffer()) return kNoBuffer;
  unsigned char* pixels = image_.pixels.load();
  const uint32_t bytesPerPixel = image_.bytesPerPixel.load();
  if (pixels == nullptr) return kNoBuffer;
  const pyxon::Result result =
      handle->PullImage(0, pixels, static_cast<int32_t>(bytesPerPixel * 8), -1, nullptr);
  if (result >= 0) frameCounter_.fetch_add(1);
  return result;
}

// ---- snap ------------------------------------------------------------------------------

int Camera::SnapImage() {
  pyxon::CameraHandle* handle = Handle();
  if (handle == nullptr) return MM::Err::Unknown;
  // The sequence thread always waits for delivered frames: a stop requested
  // just before its run step must end it at once, not start a triggered snap
  // with its seconds-long deadline.
  if (!IsSequenceStopRequested() || IsSequenceThread()) return SnapDelivered();
  return SnapTriggered(handle);
}

// No sequence runs: trigger one frame, wait for its event, pull it.
int Camera::SnapTriggered(pyxon::CameraHandle* handle) {
  if (!BufferFitsOutput()) return MM::Err::Unknown;  // no frame could be pulled: do not wait
  {
    pyx::MutexLock lock(imageReadyLock_);
    imageReady_ = false;  // a frame announced before the trigger is not ours
  }
  handle->PrepareSoftwareTrigger();
  handle->SoftwareTrigger(1);
  uint32_t exposure = 0;
  handle->GetExposureTime(&exposure);
  const Clock::time_point deadline =
      Clock::now() + std::chrono::milliseconds(camera::SnapWaitMilliseconds(exposure));

  for (;;) {
    {
      pyx::UniqueLock lock(imageReadyLock_);
      if (imageReady_) {
        imageReady_ = false;
      } else {
        // A flag set during this wait stays set for the next pass.
        while (!imageReady_ && Clock::now() < deadline) {
          imageReadySignal_.wait_until(lock, deadline);
        }
      }
    }
    const pyxon::Result result = PullFrame();
    if (result >= 0) return MM::Err::Ok;
    if (!pyxon::IsPullRetry(result) || Clock::now() >= deadline) return MM::Err::Unknown;
  }
}

// A sequence runs: wait for the next frame the camera delivers by itself. Ends
// with a frame, a hard pull failure or the stop request.
int Camera::SnapDelivered(const std::function<int()>& whilePulled) {
  for (;;) {
    pyxon::Result result = 0;
    {
      pyx::RecursiveLock pull(pullLock_);
      result = PullFrame();
      if (result >= 0) return whilePulled ? whilePulled() : MM::Err::Ok;
    }
    // Never wait holding the pull lock.
    if (!pyxon::IsPullRetry(result)) return MM::Err::Unknown;
    if (IsSequenceStopRequested()) return MM::Err::Unknown;
    {
      pyx::UniqueLock lock(imageReadyLock_);
      // Stop sets its request before it takes this lock to wake us, so checking
      // here, under the lock, cannot miss it.
      if (IsSequenceStopRequested()) return MM::Err::Unknown;
      if (imageReady_) {
        imageReady_ = false;
      } else {
        imageReadySignal_.wait(lock);
      }
    }
    if (IsSequenceStopRequested()) return MM::Err::Unknown;
  }
}

int Camera::ThreadRun() {
  // The host may call the run step through the table itself.
  if (!IsSequenceThread()) {
    const int snapped = SnapImage();
    return snapped != MM::Err::Ok ? snapped : InsertImage();
  }
  if (Handle() == nullptr) return MM::Err::Unknown;
  // The pull lock is held from the successful pull to the end of the insert:
  // a geometry change on the host's thread in between would leave the host a
  // frame described by the new geometry.
  return SnapDelivered([this] { return InsertImage(); });
}

int Camera::InsertImage() {
  // The host copies the buffer during this call; a region or format change on
  // the host's thread must not replace it meanwhile.
  pyx::RecursiveLock pull(pullLock_);
  return CCameraBase<Camera>::InsertImage();
}

void Camera::OnThreadExiting() {
  // A host snap waiting in mode B for a frame of this sequence would wait for
  // ever once a hardware-triggered sequence has ended by itself.
  WakeImageWaiters();
  LeaveSequence(stopFromSequenceThread_.exchange(false));
  CCameraBase<Camera>::OnThreadExiting();
}

// ---- buffer accessors ------------------------------------------------------------------

const unsigned char* Camera::GetImageBuffer() {
  return image_.pixels.load();
}

unsigned Camera::GetNumberOfComponents() const {
  return IsMonochrome() ? 1 : 4;
}

long Camera::GetImageBufferSize() const {
  return static_cast<long>(
      camera::ImageBytes(image_.width.load(), image_.height.load(), image_.bytesPerPixel.load()));
}

unsigned Camera::GetImageWidth() const {
  return image_.width.load();
}
unsigned Camera::GetImageHeight() const {
  return image_.height.load();
}
unsigned Camera::GetImageBytesPerPixel() const {
  return image_.bytesPerPixel.load();
}

unsigned Camera::GetBitDepth() const {
  pyxon::CameraHandle* handle = Handle();
  if (handle == nullptr) return lastBitDepth_.load();
  uint32_t bits = 8;
  handle->GetRawFormat(nullptr, &bits);
  lastBitDepth_.store(bits);
  return bits;
}

int Camera::GetBinning() const {
  pyxon::CameraHandle* handle = Handle();
  if (handle == nullptr) return lastBinning_.load();
  const int binning = camera::ReadOption(handle, pyxon::opt::kBinning, 0).value & 0x0F;
  lastBinning_.store(binning);
  return binning;
}

// ---- pixel size and frame counter --------------------------------------------------------

double Camera::CurrentPixelSize() const {
  pyxon::CameraHandle* handle = Handle();
  const pyxon::CameraModel* model = Model();
  if (handle == nullptr || model == nullptr) return lastPixelSizeUm_.load();
  int32_t numerator = 1;
  int32_t denominator = 1;
  handle->GetResolutionRatio(resolutionIndex_, &numerator, &denominator);
  if (denominator == 0) denominator = 1;
  const float size =
      static_cast<float>(numerator) * model->pixelSizeX / static_cast<float>(denominator);
  lastPixelSizeUm_.store(size);
  return size;
}

double Camera::GetPixelSizeUm() const {
  return CurrentPixelSize();
}

void Camera::CreatePixelSizeProperty() {
  CreateFloatProperty("PixelSize(um)", CurrentPixelSize(), true,
                      new MM::Action<Camera>(this, &Camera::OnPixelSize));
}

int Camera::OnPixelSize(MM::PropertyBase* property, MM::ActionKind kind) {
  if (kind == MM::BeforeRead && Handle() != nullptr) property->Set(CurrentPixelSize());
  return MM::Err::Ok;
}

void Camera::CreateStatSnapProperty() {
  CreateBoundProperty("StatSnap", "0", MM::String, true, &Camera::OnStatSnap);
}

int Camera::OnStatSnap(MM::PropertyBase* property, MM::ActionKind kind) {
  if (kind == MM::BeforeRead) {
    char text[16];
    std::snprintf(text, sizeof text, "%u", frameCounter_.load());
    property->Set(text);
  }
  return MM::Err::Ok;
}
