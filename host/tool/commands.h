// The tool's commands. Each returns the process exit code or throws ToolError.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "host/tool/session.h"

namespace pyxtool {

// Options every command understands.
struct CommonOptions {
  ModuleOptions module;
  std::string camera;                 // --camera: device name; empty: the first
  std::vector<std::string> settings;  // --set NAME=VALUE, applied in order after initialisation
  bool verbose = false;               // print the device's log messages
  int simDropPercent = -1;            // --sim-drop: simulator drops this share of frames
  unsigned simFrameIntervalUs = 0;    // --sim-frame-interval: simulator frame pacing
};

// The module loaded, the camera chosen, initialised and configured from the
// common options. Owns both sessions (the camera one is destroyed first).
class CameraContext {
 public:
  explicit CameraContext(const CommonOptions& options);
  ~CameraContext();
  CameraContext(const CameraContext&) = delete;
  CameraContext& operator=(const CameraContext&) = delete;

  ModuleSession& module() { return module_; }
  CameraSession& camera() { return *camera_; }
  MM::Camera& device() { return *camera_->device(); }
  pyxhost::RecordingHost& host() { return camera_->host(); }
  // Frames carry simulator stamps only when the camera library is the simulator.
  bool framesCarryStamps() { return module_.simulator() != nullptr; }
  // The device's error text for a result code.
  std::string errorText(int code) { return DeviceErrorText(camera_->access(), code); }

  // Before a sequence: a camera whose trigger source is a hardware input would
  // wait for pulses that may never come. Unless the user chose the source with
  // --set, switch it to the software trigger (free-running sequences) and say
  // so on stderr; when the user chose a hardware source, say that the camera
  // waits for it.
  void preferFreeRunning();

 private:
  bool verbose_;
  std::vector<std::string> settings_;
  ModuleSession module_;
  std::unique_ptr<CameraSession> camera_;
};

// The simulator's frame number of an image the host received, when readable.
std::optional<uint64_t> StampOf(const pyxhost::HostImage& image);

int RunDevices(const CommonOptions& options, bool json);
int RunProps(const CommonOptions& options, bool json);
int RunGet(const CommonOptions& options, const std::vector<std::string>& names);
int RunSet(const CommonOptions& options, const std::vector<std::string>& assignments);
int RunReference(const CommonOptions& options, bool markdown);

struct SnapOptions {
  std::string output;
  std::string preview;
  unsigned previewSize = 1024;
};
int RunSnap(const CommonOptions& options, const SnapOptions& snap);

struct RecordOptions {
  uint64_t count = 0;
  std::string output;
  std::string metadata;
  bool bigTiff = false;
  bool stopOnOverflow = false;
  bool quiet = false;
  unsigned hostBufferFrames = 0;  // 0: sized by the tool
};
int RunRecord(const CommonOptions& options, const RecordOptions& record);

struct LiveOptions {
  double seconds = 5;  // 0: until Ctrl-C
  bool quiet = false;
};
int RunLive(const CommonOptions& options, const LiveOptions& live);

// Text of the tool's version, "pyxon <project version>".
std::string ToolVersion();

}  // namespace pyxtool
