#include "module/discovery.h"

#include <dirent.h>
#include <dlfcn.h>
#include <elf.h>
#include <fcntl.h>
#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <vector>

#include "framework/mm_device.h"

namespace {

#if defined(__x86_64__)
constexpr Elf64_Half kThisMachine = EM_X86_64;
#elif defined(__aarch64__)
constexpr Elf64_Half kThisMachine = EM_AARCH64;
#else
#error "the machine type of loadable libraries is not known for this architecture"
#endif

// Reads exactly `size` bytes at `offset`; false on a short read or an error.
bool ReadAt(int fd, void* buffer, size_t size, off_t offset) {
  auto* bytes = static_cast<char*>(buffer);
  while (size > 0) {
    const ssize_t got = pread(fd, bytes, size, offset);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) return false;
    bytes += got;
    size -= static_cast<size_t>(got);
    offset += got;
  }
  return true;
}

// True when [offset, offset + length) lies inside a file of `fileSize` bytes.
bool InsideFile(uint64_t offset, uint64_t length, uint64_t fileSize) {
  return offset <= fileSize && length <= fileSize - offset;
}

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
  // The loader maps a cut file's segments beyond its end and then faults on
  // them, taking the whole host down.
  if (!IsCompleteSharedObject(path)) return;
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

bool IsCompleteSharedObject(const std::string& path) {
  // Non-blocking, so that a link to a pipe cannot stall the search.
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) return false;
  bool complete = false;
  struct stat info {};
  Elf64_Ehdr header{};
  if (fstat(fd, &info) == 0 && S_ISREG(info.st_mode) && ReadAt(fd, &header, sizeof header, 0)) {
    const auto fileSize = static_cast<uint64_t>(info.st_size);
    complete = std::memcmp(header.e_ident, ELFMAG, SELFMAG) == 0 &&
               header.e_ident[EI_CLASS] == ELFCLASS64 && header.e_ident[EI_DATA] == ELFDATA2LSB &&
               header.e_type == ET_DYN && header.e_machine == kThisMachine &&
               header.e_phentsize == sizeof(Elf64_Phdr) && header.e_phnum > 0 &&
               InsideFile(header.e_phoff, uint64_t{header.e_phnum} * sizeof(Elf64_Phdr), fileSize);
    for (Elf64_Half i = 0; complete && i < header.e_phnum; ++i) {
      Elf64_Phdr segment{};
      complete =
          ReadAt(fd, &segment, sizeof segment,
                 static_cast<off_t>(header.e_phoff + uint64_t{i} * sizeof segment)) &&
          (segment.p_type != PT_LOAD || InsideFile(segment.p_offset, segment.p_filesz, fileSize));
    }
  }
  close(fd);
  return complete;
}

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
