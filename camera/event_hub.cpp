#include "camera/event_hub.h"

#include <algorithm>
#include <unordered_map>

#include "camera/Camera.h"

namespace {

// Token -> hub. Never destroyed: the vendor library's thread may deliver a
// late event while the module's statics are being torn down.
struct HubRegistry {
  pyx::Mutex mutex;
  uintptr_t lastToken GUARDED_BY(mutex) = 0;
  std::unordered_map<uintptr_t, std::weak_ptr<CameraEventHub>> hubs GUARDED_BY(mutex);
};

HubRegistry& Registry() {
  static HubRegistry* registry = new HubRegistry;
  return *registry;
}

}  // namespace

std::shared_ptr<CameraEventHub> CameraEventHub::Create() {
  HubRegistry& registry = Registry();
  pyx::MutexLock lock(registry.mutex);
  std::shared_ptr<CameraEventHub> hub(new CameraEventHub(++registry.lastToken));
  registry.hubs[hub->token_] = hub;
  return hub;
}

CameraEventHub::~CameraEventHub() {
  HubRegistry& registry = Registry();
  pyx::MutexLock lock(registry.mutex);
  registry.hubs.erase(token_);
}

void CameraEventHub::OnVendorEvent(int32_t code, void* context) {
  std::shared_ptr<CameraEventHub> hub;
  {
    HubRegistry& registry = Registry();
    pyx::MutexLock lock(registry.mutex);
    auto found = registry.hubs.find(reinterpret_cast<uintptr_t>(context));
    if (found != registry.hubs.end()) hub = found->second.lock();
  }
  if (hub) hub->Dispatch(code);
}

void CameraEventHub::Attach(Camera* camera) {
  pyx::MutexLock lock(mutex_);
  for (const auto& listener : *listeners_) {
    if (listener->camera == camera) return;
  }
  auto listener = std::make_shared<Listener>();
  listener->camera = camera;
  auto next = std::make_shared<ListenerList>(*listeners_);
  next->push_back(std::move(listener));
  listeners_ = std::move(next);
}

void CameraEventHub::Detach(Camera* camera) {
  pyx::UniqueLock lock(mutex_);
  auto found = std::find_if(listeners_->begin(), listeners_->end(),
                            [camera](const auto& listener) { return listener->camera == camera; });
  if (found == listeners_->end()) return;
  std::shared_ptr<Listener> detached = *found;
  auto next = std::make_shared<ListenerList>();
  for (const auto& listener : *listeners_) {
    if (listener != detached) next->push_back(listener);
  }
  listeners_ = std::move(next);
  // Events dispatched from now on no longer see the device; wait only for the
  // ones that already picked it up.
  while (detached->inFlight != 0) idle_.wait(lock);
}

bool CameraEventHub::IsAttached(const Camera* camera) const {
  pyx::MutexLock lock(mutex_);
  return std::any_of(listeners_->begin(), listeners_->end(),
                     [camera](const auto& listener) { return listener->camera == camera; });
}

void CameraEventHub::Dispatch(int32_t code) {
  std::shared_ptr<const ListenerList> targets;
  {
    pyx::MutexLock lock(mutex_);
    targets = listeners_;
    for (const auto& listener : *targets) ++listener->inFlight;
  }
  for (const auto& listener : *targets) {
    OnCameraEvent(code, listener->camera);
    pyx::MutexLock lock(mutex_);
    if (--listener->inFlight == 0) idle_.notify_all();
  }
}
