// Loading the module and opening a camera the way the host does.
//
// Ownership: a ModuleSession owns the simulator client and the loaded module;
// a CameraSession borrows the ModuleSession (which must outlive it) and owns
// its device and the RecordingHost the device calls back into. Everything runs
// on the tool's main thread except the device's own threads, which call only
// into the RecordingHost.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "host/lib/host.h"

namespace pyxsim {
class Client;
}

namespace pyxtool {

struct ModuleOptions {
  std::string modulePath;   // --module; empty: beside the executable, else the build's
  std::string model;        // --model: attach only this simulated model
  bool everyModel = false;  // attach one camera of every simulated model
};

// The module path the tool uses when none is given: ../lib/vuzezod_dal_Pyxon.so
// relative to the executable when that file exists (an installed tool), else the
// module of the build tree.
std::string DefaultModulePathForTool();

class ModuleSession {
 public:
  // Loads the module and lets it discover its cameras. Throws ToolError:
  // kExitNoModule for a missing module, an unloadable one or a module without
  // camera library; kExitUsage for an unknown model.
  explicit ModuleSession(const ModuleOptions& options);
  ~ModuleSession();
  ModuleSession(const ModuleSession&) = delete;
  ModuleSession& operator=(const ModuleSession&) = delete;

  const std::string& modulePath() const { return modulePath_; }
  pyxhost::Module& module() { return *module_; }
  const std::vector<pyxhost::DeviceInfo>& devices() const { return devices_; }
  // The device name for --camera: the first device when `requested` is empty.
  // Throws ToolError (kExitUsage) naming the devices on offer.
  std::string chooseCamera(const std::string& requested) const;
  // The simulator beside the module, or null when the camera library there is
  // not the simulated one.
  pyxsim::Client* simulator() { return simulator_.get(); }
  // The simulator's index of a device: its position in the device list.
  int simulatorIndex(const std::string& deviceName) const;

 private:
  void attachModels(const ModuleOptions& options);
  [[noreturn]] void failWithoutDevices() const;

  std::string modulePath_;
  std::string libraryPath_;  // the camera library expected beside the module
  std::unique_ptr<pyxsim::Client> simulator_;
  std::unique_ptr<pyxhost::Module> module_;
  std::vector<pyxhost::DeviceInfo> devices_;
};

class CameraSession {
 public:
  // Creates and initialises the device. Throws ToolError (kExitFailure) with
  // the device's own error text when initialisation fails.
  CameraSession(ModuleSession& module, const std::string& deviceName);
  // Stops any acquisition, shuts the device down and deletes it.
  ~CameraSession();
  CameraSession(const CameraSession&) = delete;
  CameraSession& operator=(const CameraSession&) = delete;

  const std::string& name() const { return name_; }
  MM::Camera* device() const { return camera_.get(); }
  pyxhost::Camera& access() { return camera_; }
  pyxhost::RecordingHost& host() { return host_; }

  // Property value as the device reports it. Throws ToolError with the device's
  // error text.
  std::string get(const std::string& property);
  // Sets a property and returns the value the device reports afterwards.
  // Read-only properties are refused here (the device would silently ignore
  // the write). Throws ToolError with the device's error text on a refusal.
  std::string set(const std::string& property, const std::string& value);
  // Applies "NAME=VALUE" assignments in order.
  void applySettings(const std::vector<std::string>& assignments);

 private:
  std::string unknownPropertyHint(const std::string& property);

  std::string name_;
  pyxhost::RecordingHost host_;  // declared before the device: outlives it
  pyxhost::DevicePtr device_;
  pyxhost::Camera camera_{nullptr};
};

// The device's text for an error code. The device writes it into a host
// buffer of MM::kMaxHostText bytes; a text that filled the buffer was cut, and
// says so.
std::string DeviceErrorText(pyxhost::Camera& camera, int code);

// Splits "NAME=VALUE" at the first '='. Throws ToolError (kExitUsage).
std::pair<std::string, std::string> SplitAssignment(const std::string& assignment);

}  // namespace pyxtool
