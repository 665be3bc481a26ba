#include "module/discovery.h"

#include <dirent.h>
#include <dlfcn.h>
#include <limits.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <vector>

#include "framework/mm_device.h"

namespace {

// An address inside the module's own static data, for asking the dynamic
// linker which file the module was loaded from.
const char kSelfAnchor = 0;

// Entry types that can name a loadable library: regular file (8), symbolic
// link (10) and socket (12) all carry this bit; unknown (0) never does.
constexpr unsigned char kLoadableEntryTypeBit = 8;

char AsciiLower(char c) {
  return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

bool EqualsIgnoringAsciiCase(const char* a, const std::string& b) {
  size_t i = 0;
  for (; a[i] != '\0' && i < b.size(); ++i) {
    if (AsciiLower(a[i]) != AsciiLower(b[i])) return false;
  }
  return a[i] == '\0' && i == b.size();
}

// The canonical path of the file the module was loaded from; "" when unknown.
std::string CanonicalModulePath() {
  Dl_info info{};
  if (dladdr(&kSelfAnchor, &info) == 0 || info.dli_fname == nullptr) return "";
  char resolved[PATH_MAX];
  if (realpath(info.dli_fname, resolved) == nullptr) return "";
  return resolved;
}

template <typename Fn>
Fn Resolve(void* library, const char* name) {
  return reinterpret_cast<Fn>(dlsym(library, name));
}

// Sleeps the whole duration even when signals interrupt the sleep.
void SleepFully(unsigned seconds) {
  timespec remaining{static_cast<time_t>(seconds), 0};
  while (nanosleep(&remaining, &remaining) != 0 && errno == EINTR) {
  }
}

// The display name of an entry: the library does not always terminate it
// within its 64 bytes.
std::string DisplayName(const pyxon::CameraEntry& entry) {
  return std::string(entry.displayName, strnlen(entry.displayName, sizeof entry.displayName));
}

// Loads the library at `path` and keeps its handle, entry points and texts in
// `state`. A library that cannot enumerate cameras is given back and treated as
// not found, so a later InitializeModuleData searches again.
void LoadVendorLibrary(ModuleState& state, const std::string& path) {
  void* library = dlopen(path.c_str(), kVendorLibraryOpenFlags);
  if (library == nullptr) return;
  const auto enumCamera = Resolve<DllEnumCameraFn>(library, "DllEnumCamera");
  if (enumCamera == nullptr) {
    dlclose(library);
    return;
  }
  const auto deroName = Resolve<DllDeroNameFn>(library, "DllDeroName");
  const auto company = Resolve<DllCompanyFn>(library, "DllCompany");
  const auto version = Resolve<DllVersionFn>(library, "DllVersion");
  const auto appName = Resolve<DllAppNameFn>(library, "DllAppName");

  state.library = library;
  state.enumCamera = enumCamera;
  state.getDefaultAutoExposure = Resolve<DllGetDefAEFn>(library, "DllGetDefAE");
  // The library expects this order: application name first, then the texts.
  if (appName != nullptr) appName(kApplicationName);
  if (deroName != nullptr) state.deviceName = deroName();
  if (company != nullptr) state.company = company();
  if (version != nullptr) state.sdkVersion = version();
}

// Registers one device per attached camera, or one device named after the
// library when none is attached (the host then still offers the camera type).
void RegisterCameras(ModuleState& state) {
  std::vector<pyxon::CameraEntry> list(pyxon::kMaxCameras);
  int count = EnumerateCameras(list.data());
  if (count == 0) {
    // GigE cameras answer only after GigE discovery is enabled, and need a
    // moment to do so.
    const auto gigeEnable = Resolve<DllGigeEnableFn>(state.library, "DllGigeEnable");
    if (gigeEnable != nullptr && gigeEnable(nullptr, nullptr) == 0) {
      SleepFully(kGigeSettleSeconds);
      list.assign(pyxon::kMaxCameras, pyxon::CameraEntry{});
      count = EnumerateCameras(list.data());
    }
  }
  if (count == 0) {
    state.registry.Register(state.deviceName, MM::kCameraDeviceType, state.company);
    return;
  }
  for (int i = 0; i < count; ++i) {
    state.registry.Register(DisplayName(list[i]).c_str(), MM::kCameraDeviceType, state.company);
  }
}

}  // namespace

bool SplitModulePath(const std::string& canonicalPath, std::string* directory,
                     std::string* wantedName) {
  const size_t slash = canonicalPath.rfind('/');
  if (slash == std::string::npos) return false;
  const std::string fileName = canonicalPath.substr(slash + 1);
  const size_t prefixLength = sizeof kModuleFilePrefix - 1;
  if (fileName.compare(0, prefixLength, kModuleFilePrefix) != 0) return false;
  *directory = slash == 0 ? std::string("/") : canonicalPath.substr(0, slash);
  *wantedName = "lib" + fileName.substr(prefixLength);
  return true;
}

std::string FindInDirectory(const std::string& directory, const std::string& wantedName) {
  DIR* dir = opendir(directory.c_str());
  if (dir == nullptr) return "";
  std::string found;
  while (const dirent* entry = readdir(dir)) {
    if ((entry->d_type & kLoadableEntryTypeBit) != 0 &&
        EqualsIgnoringAsciiCase(entry->d_name, wantedName)) {
      found = directory + "/" + entry->d_name;
      break;
    }
  }
  closedir(dir);
  return found;
}

std::string FindVendorLibrary(const std::string& directory, const std::string& wantedName) {
  std::string found = FindInDirectory(directory, wantedName);
  if (!found.empty()) return found;
  const size_t so = wantedName.find(".so");
  if (so == std::string::npos || so + 3 >= wantedName.size() || wantedName[so + 3] != '.') {
    return "";
  }
  return FindInDirectory(directory, wantedName.substr(0, so + 3));
}

void RunDiscovery(ModuleState& state) {
  OpenModuleLog(state);

  std::string directory;
  std::string wantedName;
  if (SplitModulePath(CanonicalModulePath(), &directory, &wantedName)) {
    const std::string path = FindVendorLibrary(directory, wantedName);
    if (!path.empty()) LoadVendorLibrary(state, path);
  }
  // Failed loads and lookups leave their text for dlerror(); the host's own
  // next dlerror() must not see ours.
  dlerror();

  if (state.library == nullptr || state.deviceName == nullptr || state.company == nullptr) return;
  RegisterCameras(state);
  state.openCameras = std::make_unique<OpenCameraMap>();
}
