// Fan-out of the vendor library's event callback to the devices that share one
// opened camera.
//
// The vendor library keeps a single event callback and context per opened
// camera: the pair given with the last start of delivery. Several Camera
// devices may use one opened camera and any of them may restart delivery, so
// the registered context must not be one device: it is the hub of the shared
// HWrapper, which forwards each event to every attached device
// (OnCameraEvent with that device as context).
//
// The library may still deliver an event it had begun when delivery was
// stopped, even after the camera was closed. The context handed to it is
// therefore not the hub's address but a token that is looked up in a
// module-wide registry: an event for a hub that no longer exists finds nothing
// and is dropped, and a hub being dispatched to stays alive until the dispatch
// ends.
//
// Threads: Dispatch runs on the vendor library's event thread; Attach and
// Detach on the host's thread (delivery restarts, Shutdown).
//
// Locks: the registry lock and the hub's `mutex_` are leaves: they are never
// held while a device handles an event, so a device may take its property lock
// or image-ready lock in its handler. Detach waits until no event is being
// handled by the detached device; its caller must not hold a lock that the
// device's event handling takes (the property lock or the image-ready lock).
// After Detach returns the hub never touches that device again.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "framework/sync.h"

class Camera;

class CameraEventHub {
 public:
  // A new hub, registered under a fresh token.
  static std::shared_ptr<CameraEventHub> Create();
  ~CameraEventHub();  // unregisters the token
  CameraEventHub(const CameraEventHub&) = delete;
  CameraEventHub& operator=(const CameraEventHub&) = delete;

  // The callback registered with the vendor library, and the context to give it.
  static void OnVendorEvent(int32_t code, void* context);
  void* Context() const { return reinterpret_cast<void*>(token_); }

  // Adds the device once; attaching an attached device does nothing.
  void Attach(Camera* camera) EXCLUDES(mutex_);
  // Removes the device and waits until no event is being handled by it.
  // Detaching a device that is not attached does nothing.
  void Detach(Camera* camera) EXCLUDES(mutex_);
  bool IsAttached(const Camera* camera) const EXCLUDES(mutex_);

  // Forwards one event to every attached device, in order of attachment.
  void Dispatch(int32_t code) EXCLUDES(mutex_);

 private:
  explicit CameraEventHub(uintptr_t token) : token_(token) {}

  struct Listener {
    Camera* camera;
    int inFlight = 0;  // events being handled by this device; the hub's mutex_
  };

  using ListenerList = std::vector<std::shared_ptr<Listener>>;

  const uintptr_t token_;
  mutable pyx::Mutex mutex_;
  pyx::CondVar idle_;  // a listener's inFlight dropped to 0
  // Copy on write: Attach and Detach replace the list, so that Dispatch (once
  // per frame) shares the current one instead of copying it. Never null.
  std::shared_ptr<const ListenerList> listeners_ GUARDED_BY(mutex_) =
      std::make_shared<const ListenerList>();
};
