// Module-wide state: the vendor library, its texts and entry points, the
// registered devices and the map of opened cameras.
//
// One instance per loaded module (Module()), created empty at load time and
// destroyed at unload. Discovery (InitializeModuleData) fills it once; cameras
// read the texts and entry points and maintain `openCameras`.
//
// Threads: nothing here is locked. The host calls the module exports from one
// thread and serialises device initialisation and shutdown, the only other
// users; the texts and entry points are never changed after discovery.
#pragma once

#include <memory>

#include "module/device_registry.h"
#include "module/open_camera_map.h"
#include "vendor/pyxon_api.h"

struct ModuleState {
  ModuleState() = default;
  ModuleState(const ModuleState&) = delete;
  ModuleState& operator=(const ModuleState&) = delete;
  // Closes the log descriptor. The vendor library stays loaded and open
  // cameras stay open: their closing belongs to the devices' shutdown.
  ~ModuleState();

  void* library = nullptr;  // dlopen handle of the vendor library; non-null: discovery is done
  DllEnumCameraFn enumCamera = nullptr;
  DllGetDefAEFn getDefaultAutoExposure = nullptr;  // may stay null
  const char* deviceName = nullptr;                // DllDeroName text, owned by the library
  const char* company = nullptr;                   // DllCompany text, owned by the library
  const char* sdkVersion = nullptr;                // DllVersion text, owned by the library
  std::unique_ptr<OpenCameraMap> openCameras;      // null until discovery completed
  int logFd = -1;                                  // the truncated "dero.log", or -1
  DeviceRegistry registry;
};

// The one module-wide instance.
ModuleState& Module();

// Enumerates the attached cameras into `list`, which has room for
// pyxon::kMaxCameras records. Returns the count bounded to 0..kMaxCameras:
// a negative count from the library means no camera, a larger one is cut to
// the records the list can hold. 0 without a library.
int EnumerateCameras(pyxon::CameraEntry* list);
