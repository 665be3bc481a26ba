// A small stand-in for the vendor camera library, built in several variants so
// that module discovery can be driven through every branch:
//
//   FAKE_NO_ENUM          DllEnumCamera is missing
//   FAKE_NO_COMPANY       DllCompany is missing
//   FAKE_SET=<n>          which cameras DllEnumCamera reports (see below)
//   FAKE_GIGE=<result>    DllGigeEnable exists and answers <result>
//   FAKE_GIGE_FINDS       after DllGigeEnable, the list holds two GigE cameras
//
// Each variant records the calls it receives; the tests read them through
// fake_calls() after the module has loaded the library.
#include <dlfcn.h>

#include <cstdint>
#include <cstdio>
#include <cstring>

#include "vendor/pyxon_api.h"

#define FAKE_SET_THREE 0
#define FAKE_SET_ZERO 1
#define FAKE_SET_DUPLICATES 2
#define FAKE_SET_MANY 3
#define FAKE_SET_NEGATIVE 4
#define FAKE_SET_UNTERMINATED 5

#ifndef FAKE_SET
#define FAKE_SET FAKE_SET_THREE
#endif

#define FAKE_EXPORT extern "C" __attribute__((visibility("default")))

namespace {

char g_calls[4096];
[[maybe_unused]] bool g_gigeEnabled = false;

const pyxon::CameraModel kModel = {"FAKE-1", 0, 0, 1, 0, 0, 0, 2.4f, 2.4f, {{640, 480}}};

void Record(const char* call) {
  const size_t used = std::strlen(g_calls);
  std::snprintf(g_calls + used, sizeof g_calls - used, "%s%s", used == 0 ? "" : ",", call);
}

[[maybe_unused]] void Fill(pyxon::CameraEntry* entry, const char* name, const char* id) {
  std::snprintf(entry->displayName, sizeof entry->displayName, "%s", name);
  std::snprintf(entry->id, sizeof entry->id, "%s", id);
  entry->model = &kModel;
}

[[maybe_unused]] int32_t FillList(pyxon::CameraEntry* list) {
  (void)list;
#if defined(FAKE_GIGE_FINDS)
  if (g_gigeEnabled) {
    Fill(&list[0], "GigE 1", "G1");
    Fill(&list[1], "GigE 2", "G2");
    return 2;
  }
#endif
#if FAKE_SET == FAKE_SET_THREE
  Fill(&list[0], "Cam A", "ID-A");
  Fill(&list[1], "Cam B", "ID-B");
  Fill(&list[2], "Cam C", "ID-C");
  return 3;
#elif FAKE_SET == FAKE_SET_ZERO
  return 0;
#elif FAKE_SET == FAKE_SET_DUPLICATES
  Fill(&list[0], "Alpha", "ID-1");
  Fill(&list[1], "Beta", "ID-2");
  Fill(&list[2], "Alpha", "ID-3");
  return 3;
#elif FAKE_SET == FAKE_SET_MANY
  // Reports more cameras than the list can hold; writes only what fits.
  for (unsigned i = 0; i < pyxon::kMaxCameras; ++i) {
    char name[16];
    std::snprintf(name, sizeof name, "Cam %03u", i);
    Fill(&list[i], name, name);
  }
  return 200;
#elif FAKE_SET == FAKE_SET_NEGATIVE
  Fill(&list[0], "Ghost", "ID-G");
  return -5;
#elif FAKE_SET == FAKE_SET_UNTERMINATED
  // Names that fill their 64 bytes with no terminator; the identifier follows
  // directly, so reading on would run into it.
  std::memset(list[0].displayName, 'N', sizeof list[0].displayName);
  std::memset(list[0].id, 'I', sizeof list[0].id);
  list[0].model = &kModel;
  Fill(&list[1], "Short", "ID-S");
  return 2;
#endif
}

}  // namespace

// Exported by the test program as well: with deep binding, the library's own
// call to it reaches this copy; without, the program's.
FAKE_EXPORT __attribute__((noinline)) const char* pyxon_probe_owner() {
  return "vendor";
}

FAKE_EXPORT const char* fake_calls() {
  return g_calls;
}

FAKE_EXPORT const char* fake_probe_owner_seen() {
  return pyxon_probe_owner();
}

FAKE_EXPORT const char* DllDeroName() {
  Record("DeroName");
  return "FakeCam";
}

#ifndef FAKE_NO_COMPANY
FAKE_EXPORT const char* DllCompany() {
  Record("Company");
  return "FakeCo";
}
#endif

FAKE_EXPORT const char* DllVersion() {
  Record("Version");
  return "9.8.7";
}

FAKE_EXPORT void DllAppName(const char* name) {
  char call[96];
  std::snprintf(call, sizeof call, "AppName(%s)", name != nullptr ? name : "null");
  Record(call);
}

#ifndef FAKE_NO_ENUM
FAKE_EXPORT int32_t DllEnumCamera(pyxon::CameraEntry list[pyxon::kMaxCameras]) {
  Record("Enum");
  return FillList(list);
}
#endif

#ifdef FAKE_GIGE
FAKE_EXPORT int32_t DllGigeEnable(void* callback, void* context) {
  Record(callback == nullptr && context == nullptr ? "GigeEnable(null,null)" : "GigeEnable(args)");
  g_gigeEnabled = true;
  return FAKE_GIGE;
}
#endif

FAKE_EXPORT int32_t DllGetDefAE(int32_t, uint16_t* value) {
  if (value != nullptr) *value = 120;
  return 0;
}
