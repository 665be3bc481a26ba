// The camera a command works on, set up from the common options.
#include <algorithm>
#include <cstdio>

#include "host/tool/commands.h"
#include "host/tool/text_safety.h"
#include "host/tool/tool_error.h"
#include "sim/sim_client.h"

namespace pyxtool {

CameraContext::CameraContext(const CommonOptions& options)
    : verbose_(options.verbose), settings_(options.settings), module_(options.module) {
  if (verbose_) std::fprintf(stderr, "pyxon: module %s\n", module_.modulePath().c_str());
  const std::string name = module_.chooseCamera(options.camera);
  if (options.simDropPercent >= 0 || options.simFrameIntervalUs > 0) {
    pyxsim::Client* simulator = module_.simulator();
    if (simulator == nullptr) {
      throw ToolError(kExitUsage, "--sim-* options need the simulated camera library");
    }
    const int index = module_.simulatorIndex(name);
    if (options.simDropPercent >= 0) simulator->set_drop_percent(index, options.simDropPercent);
    if (options.simFrameIntervalUs > 0)
      simulator->set_frame_interval_us(index, options.simFrameIntervalUs);
  }
  camera_ = std::make_unique<CameraSession>(module_, name);
  camera_->applySettings(options.settings);
}

CameraContext::~CameraContext() {
  if (verbose_ && camera_ != nullptr) {
    for (const std::string& line : camera_->host().logs())
      std::fprintf(stderr, "[%s] %s\n", ValidUtf8(camera_->name()).c_str(),
                   ValidUtf8(line).c_str());
  }
}

void CameraContext::preferFreeRunning() {
  static const std::string kTriggerSource = "IO:Trigger Source";
  static const std::string kSoftware = "Software Trigger";
  pyxhost::Camera& access = camera_->access();
  if (!access.HasProperty(kTriggerSource)) return;
  const std::string source = camera_->get(kTriggerSource);
  if (source == kSoftware) return;
  for (const std::string& assignment : settings_) {
    if (assignment.rfind(kTriggerSource + "=", 0) == 0) {
      std::fprintf(stderr, "pyxon: %s waits for hardware triggers on %s (Ctrl-C stops)\n",
                   ValidUtf8(camera_->name()).c_str(), ValidUtf8(source).c_str());
      return;
    }
  }
  const std::vector<std::string> allowed = access.AllowedValues(kTriggerSource);
  if (std::find(allowed.begin(), allowed.end(), kSoftware) == allowed.end()) return;
  camera_->set(kTriggerSource, kSoftware);
  std::fprintf(stderr,
               "pyxon: note: %s's trigger source was the hardware input \"%s\"; running free "
               "instead (choose a source with --set \"%s=...\" to wait for triggers)\n",
               ValidUtf8(camera_->name()).c_str(), ValidUtf8(source).c_str(),
               kTriggerSource.c_str());
}

std::optional<uint64_t> StampOf(const pyxhost::HostImage& image) {
  uint64_t number = 0;
  if (!image.pixels.empty()) {
    if (pyxsim_read_stamp(image.pixels.data(), image.pixels.size(), &number)) return number;
    return std::nullopt;
  }
  // Pixels not copied: the host kept the first and last words of the frame.
  if (image.byteCount >= 16 && image.headWord == image.tailWord) return image.headWord;
  return std::nullopt;
}

std::string ToolVersion() {
#ifdef PYXON_TOOL_VERSION
  return std::string("pyxon ") + PYXON_TOOL_VERSION;
#else
  return "pyxon";
#endif
}

}  // namespace pyxtool
