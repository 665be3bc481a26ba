#include "module/module_state.h"

#include <unistd.h>

ModuleState::~ModuleState() {
  if (logFd >= 0) close(logFd);
}

ModuleState& Module() {
  static ModuleState state;
  return state;
}

int EnumerateCameras(pyxon::CameraEntry* list) {
  ModuleState& state = Module();
  if (state.enumCamera == nullptr || list == nullptr) return 0;
  const int32_t count = state.enumCamera(list);
  if (count < 0) return 0;
  if (count > static_cast<int32_t>(pyxon::kMaxCameras)) return static_cast<int>(pyxon::kMaxCameras);
  return count;
}
