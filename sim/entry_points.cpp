// The C entry points of the camera library, resolved by name with dlsym.
#include <exception>

#include "sim/simulator.h"
#include "vendor/pyxon_api.h"

#define PYXON_EXPORT extern "C" __attribute__((visibility("default")))

namespace {

constexpr uint16_t kDefaultAutoExposureGain = 320;  // maximum gain hint, x10 by the caller

}  // namespace

PYXON_EXPORT const char* DllDeroName() {
  return "PyxonCam";
}

PYXON_EXPORT const char* DllCompany() {
  return "Pyxon";
}

PYXON_EXPORT const char* DllVersion() {
  return "55.31112.20260401";
}

PYXON_EXPORT void DllAppName(const char* name) {
  try {
    pyxsim::Simulator::Instance().SetAppName(name);
  } catch (const std::exception&) {
  }
}

PYXON_EXPORT int32_t DllEnumCamera(pyxon::CameraEntry list[pyxon::kMaxCameras]) {
  try {
    return pyxsim::Simulator::Instance().Enumerate(list);
  } catch (const std::exception&) {
    return 0;
  }
}

// The simulated cameras are all attached locally: there is no network
// discovery to switch on.
PYXON_EXPORT int32_t DllGigeEnable(void*, void*) {
  return pyxon::kNotImplemented;
}

PYXON_EXPORT int32_t DllGetDefAE(int32_t which, uint16_t* value) {
  if (which != 0 || value == nullptr) return pyxon::kInvalidArgument;
  *value = kDefaultAutoExposureGain;
  return pyxon::kOk;
}

// Open text "@<id>;ini=<path>": null for an unknown identifier, a camera that
// is already open, or while opening is made to fail.
PYXON_EXPORT pyxon::CameraHandle* DllOpen(const char* openText) {
  try {
    return pyxsim::Simulator::Instance().Open(openText);
  } catch (const std::exception&) {
    return nullptr;
  }
}
