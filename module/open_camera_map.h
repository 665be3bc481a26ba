// The module-wide map of opened cameras.
//
// Several devices may use one physical camera: the first device to initialise
// opens it and enters it here under the camera's identifier; later devices take
// a share of the same HWrapper. The map and each device hold shared ownership;
// the last device to shut the camera down closes it and removes the entry.
//
// Destroying an HWrapper never closes the camera: when the module is unloaded
// with cameras still open, the map is destroyed and the cameras stay as they are.
//
// Threads: the map is not locked. The host serialises device initialisation and
// shutdown, which are the only places that add or remove entries.
#pragma once

#include <atomic>
#include <map>
#include <memory>
#include <string>

#include "camera/event_hub.h"
#include "framework/sync.h"
#include "vendor/pyxon_api.h"

// One opened camera of the vendor library.
struct HWrapper {
  pyxon::CameraHandle* handle = nullptr;
  // Behind the context registered with the camera's event callback: forwards
  // events to every device using the camera (camera/event_hub.h).
  std::shared_ptr<CameraEventHub> events = CameraEventHub::Create();
  // Serialises pulls against delivery restarts and geometry changes across all
  // devices using the camera; taken after a device's own pull lock.
  pyx::RecursiveMutex deliveryLock;
  // The devices whose sequence runs on this camera, each with whether it lets
  // the camera run free: a restart of delivery by any device must leave a
  // free-running camera free-running.
  std::map<const void*, bool> sequences GUARDED_BY(deliveryLock);
  // Threads inside a vendor call that may wait until no event callback of
  // this camera runs (start, stop, close). While there is one, event handlers
  // must not wait for a lock that such a thread may hold.
  std::atomic<int> callsAwaitingEvents{0};
};

// Camera identifier (CameraEntry::id) -> the shared opened camera.
using OpenCameraMap = std::map<std::string, std::shared_ptr<HWrapper>>;
