// Property names and values through the host's slots of an initialised
// camera (the simulated "PX-FULL", which has every property). Each input is a
// short script of reads and writes; after every write the property must still
// read, and its value must be one the property allows (a member of its list,
// a finite number within its limits). Nothing may crash, hang, leak or touch
// undefined behaviour.
#include <fuzzer/FuzzedDataProvider.h>
#include <stdlib.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "framework/mm_device.h"
#include "host/lib/host.h"
#include "tests/common/raw_slot.h"

namespace {

using testcommon::Slot;

void Check(bool condition, const char* what, const std::string& name, const std::string& value) {
  if (condition) return;
  std::fprintf(stderr, "%s: property \"%s\", value \"%s\"\n", what, name.c_str(), value.c_str());
  std::abort();
}

struct PropertyInfo {
  std::string name;
  int type = 0;
  bool readOnly = false;
  bool hasLimits = false;
  double lower = 0.0;
  double upper = 0.0;
  std::vector<std::string> allowed;
};

struct Session {
  std::string home;
  std::unique_ptr<pyxhost::Module> module;
  pyxhost::RecordingHost host;
  MM::Camera* camera = nullptr;
  std::vector<PropertyInfo> properties;
};

Session& TheSession() {
  static Session* session = [] {
    auto* s = new Session;
    std::string pattern = std::filesystem::temp_directory_path().string() + "/property-fuzz-XXXXXX";
    if (mkdtemp(pattern.data()) == nullptr) std::abort();
    s->home = pattern;
    setenv("HOME", s->home.c_str(), 1);
    std::string error;
    s->module = pyxhost::Module::Load(pyxhost::DefaultModulePath(), &error);
    if (!s->module) {
      std::fprintf(stderr, "cannot load the module: %s\n", error.c_str());
      std::abort();
    }
    s->module->InitializeModuleData();
    s->host.setCopyPixels(false);
    MM::Device* device = s->module->CreateDevice("PX-FULL");
    s->camera = pyxhost::AsCamera(device);
    Slot<void(HostCallback*)>(s->camera, 39, &s->host);
    if (Slot<int()>(s->camera, 35) != 0) std::abort();
    char buffer[MM::kMaxHostText];
    for (unsigned i = 0; Slot<bool(unsigned, char*)>(s->camera, 6, i, buffer); ++i) {
      PropertyInfo info;
      info.name = buffer;
      const char* name = info.name.c_str();
      Slot<int(const char*, int&)>(s->camera, 12, name, info.type);
      Slot<int(const char*, bool&)>(s->camera, 7, name, info.readOnly);
      Slot<int(const char*, bool&)>(s->camera, 9, name, info.hasLimits);
      Slot<int(const char*, double&)>(s->camera, 10, name, info.lower);
      Slot<int(const char*, double&)>(s->camera, 11, name, info.upper);
      const unsigned count = Slot<unsigned(const char*)>(s->camera, 13, name);
      for (unsigned v = 0; v < count; ++v) {
        if (Slot<bool(const char*, unsigned, char*)>(s->camera, 14, name, v, buffer)) {
          info.allowed.emplace_back(buffer);
        }
      }
      s->properties.push_back(info);
    }
    return s;
  }();
  return *session;
}

struct CleanUpAtExit {
  ~CleanUpAtExit() {
    std::error_code ignored;
    if (!TheSession().home.empty()) std::filesystem::remove_all(TheSession().home, ignored);
  }
};

std::string Read(MM::Camera* camera, const std::string& name, int* error) {
  char buffer[MM::kMaxHostText] = {};
  *error = Slot<int(const char*, char*)>(camera, 3, name.c_str(), buffer);
  Check(std::memchr(buffer, '\0', sizeof buffer) != nullptr, "unterminated text", name, "");
  return buffer;
}

// The value a property shows must be one that it allows. Limits are read
// again, since some follow other settings. "FrameRate" shows the camera's
// setting, whose maximum follows the exposure, while its limits are renewed
// only by changes of resolution, pixel format and bandwidth: its value may
// stand outside them for a while.
void CheckShownValue(MM::Camera* camera, PropertyInfo info, const std::string& value) {
  if (info.name == "FrameRate") info.hasLimits = false;
  const char* name = info.name.c_str();
  if (info.hasLimits) Slot<int(const char*, bool&)>(camera, 9, name, info.hasLimits);
  Slot<int(const char*, double&)>(camera, 10, name, info.lower);
  Slot<int(const char*, double&)>(camera, 11, name, info.upper);
  // An action property reads a value other than the one that starts it.
  if (info.name == "FactorySettings" && value == "Click") return;
  if (!info.allowed.empty() && !info.readOnly) {
    bool member = false;
    for (const std::string& entry : info.allowed) member = member || entry == value;
    Check(member, "value outside the allowed list", info.name, value);
  }
  if (info.type == MM::Integer || info.type == MM::Float) {
    char* end = nullptr;
    const double number = std::strtod(value.c_str(), &end);
    Check(end != value.c_str() && std::isfinite(number), "not a finite number", info.name, value);
    if (info.hasLimits && !info.readOnly) {
      const double slack = info.type == MM::Float ? 1e-4 : 0.0;
      Check(number >= info.lower - slack && number <= info.upper + slack, "outside the limits",
            info.name, value);
    }
  }
}

std::string NumberNear(FuzzedDataProvider& data, const PropertyInfo& info) {
  const double base = data.ConsumeBool() ? info.lower : info.upper;
  const double offsets[] = {0.0, 1e-5, -1e-5, 1e-4, -1e-4, 0.5, -0.5, 1.0, -1.0, 1e9, -1e9};
  const double value = base + offsets[data.ConsumeIntegralInRange<size_t>(0, 10)];
  char text[64];
  std::snprintf(text, sizeof text, data.ConsumeBool() ? "%.17g" : "%.4f", value);
  return text;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  static CleanUpAtExit cleanUp;
  TheSession();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* bytes, size_t size) {
  Session& s = TheSession();
  MM::Camera* camera = s.camera;
  FuzzedDataProvider data(bytes, size);
  for (int step = 0; step < 8 && data.remaining_bytes() > 0; ++step) {
    const PropertyInfo& info =
        s.properties[data.ConsumeIntegralInRange<size_t>(0, s.properties.size() - 1)];
    const int op = data.ConsumeIntegralInRange<int>(0, 5);
    std::string name = info.name;
    std::string value;
    switch (op) {
      case 0:
        value = data.ConsumeRandomLengthString(300);
        break;
      case 1:
        if (info.allowed.empty()) continue;
        value = info.allowed[data.ConsumeIntegralInRange<size_t>(0, info.allowed.size() - 1)];
        break;
      case 2:
        if (!info.hasLimits) continue;
        value = NumberNear(data, info);
        break;
      case 3:  // a name of any bytes
        name = data.ConsumeRandomLengthString(64);
        value = data.ConsumeRandomLengthString(64);
        break;
      case 4: {  // the queries by name, with any name
        name = data.ConsumeBool() ? info.name : data.ConsumeRandomLengthString(64);
        bool flag = false;
        double limit = 0.0;
        int type = 0;
        long length = 0;
        char buffer[MM::kMaxHostText];
        const char* n = name.c_str();
        Slot<bool(const char*)>(camera, 5, n);
        Slot<int(const char*, bool&)>(camera, 7, n, flag);
        Slot<int(const char*, bool&)>(camera, 8, n, flag);
        Slot<int(const char*, bool&)>(camera, 9, n, flag);
        Slot<int(const char*, double&)>(camera, 10, n, limit);
        Slot<int(const char*, double&)>(camera, 11, n, limit);
        Slot<int(const char*, int&)>(camera, 12, n, type);
        Slot<unsigned(const char*)>(camera, 13, n);
        Slot<bool(const char*, unsigned, char*)>(camera, 14, n, data.ConsumeIntegral<unsigned>(),
                                                 buffer);
        Check(Slot<int(const char*, bool&)>(camera, 15, n, flag) != 0 || !flag, "sequenceable",
              name, "");
        Slot<int(const char*, long&)>(camera, 16, n, length);
        Slot<int(const char*)>(camera, 17 + data.ConsumeIntegralInRange<int>(0, 2), n);
        Slot<int(const char*, const char*)>(camera, 20, n, "1");
        Slot<int(const char*)>(camera, 21, n);
        Slot<bool(int, char*)>(camera, 22, data.ConsumeIntegral<int>(), buffer);
        Check(std::memchr(buffer, '\0', sizeof buffer) != nullptr, "unterminated error text", name,
              "");
        continue;
      }
      default: {  // a read
        int error = 0;
        const std::string shown = Read(camera, name, &error);
        Check(error == 0, "read of an existing property failed", name, shown);
        CheckShownValue(camera, info, shown);
        continue;
      }
    }
    const int result = Slot<int(const char*, const char*)>(camera, 4, name.c_str(), value.c_str());
    char text[MM::kMaxHostText];
    Slot<bool(int, char*)>(camera, 22, result, text);
    if (name != info.name) {
      // Only a name that happens to exist may be accepted.
      if (Slot<bool(const char*)>(camera, 5, name.c_str())) continue;
      Check(result == 2, "unknown name not refused with 2", name, value);
      continue;
    }
    Check(result == 0 || result == 3, "unexpected write result", name, value);
    if (op == 1 ||
        (op == 2 && std::strtod(value.c_str(), nullptr) >= info.lower &&
         std::strtod(value.c_str(), nullptr) <= info.upper && info.type == MM::Integer)) {
      // Allowed values and in-range integers are accepted.
      Check(result == 0 || info.readOnly, "valid value refused", name, value);
    }
    int error = 0;
    const std::string shown = Read(camera, name, &error);
    Check(error == 0, "read after a write failed", name, shown);
    CheckShownValue(camera, info, shown);
  }
  return 0;
}
