// Host stand-in: what the instrument-control host does with a device module,
// reduced to what tests, benchmarks and the command-line tool need.
//
// - `Module` loads a device module (vuzezod_dal_*.so) by path and calls its nine
//   exported C functions, as the host does.
// - `RecordingHost` is a `HostCallback` that records every call a device makes
//   (logs, property and exposure changes, acquisition start and end, images) and
//   keeps inserted images in a bounded ring, like the host's image buffer.
// - `Camera` is a small typed convenience layer over an `MM::Camera*`.
//
// Typical use:
//
//   std::string error;
//   auto module = pyxhost::Module::Load(pyxhost::DefaultModulePath(), &error);
//   module->InitializeModuleData();
//   auto device = module->Create(module->ListDevices().at(0).name);
//   pyxhost::RecordingHost host;
//   device->SetCallback(&host);
//   device->Initialize();
//   pyxhost::Camera camera(pyxhost::AsCamera(device.get()));
//   camera.SetProperty("Exposure", "10");
//   ...
//   device->Shutdown();
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "framework/mm_device.h"

namespace pyxhost {

// Path of the module built with this tree: PYXON_BUILD_LIB_DIR "/vuzezod_dal_Pyxon.so".
std::string DefaultModulePath();

// Directory of the build's libraries (PYXON_BUILD_LIB_DIR).
std::string BuildLibraryDirectory();

// One device as the module lists it.
struct DeviceInfo {
  std::string name;
  int type = 0;
  std::string description;
};

// Devices the module creates; the deleter hands them back through DeleteDevice.
// The Module that created a device must outlive it.
using DevicePtr = std::unique_ptr<MM::Device, std::function<void(MM::Device*)>>;

// A loaded device module and its nine exported functions.
//
// The module stays loaded for the rest of the process once loaded, as with the
// host: destroying a Module object never unloads the shared object, because
// devices, threads and the vendor library it loaded may still refer to its code.
// Loading the same path twice therefore yields the same module-wide state; tests
// that need a fresh module load it in a child process.
//
// Not thread-safe beyond what the module itself allows: the host calls the
// module functions from one thread.
class Module {
 public:
  // Loads the module at `path` (dlopen RTLD_NOW | RTLD_LOCAL) and resolves all
  // nine exports. On failure returns null and, when `error` is not null, stores
  // the reason (the loader's text, or "missing export NAME").
  static std::unique_ptr<Module> Load(const std::string& path, std::string* error);

  Module(const Module&) = delete;
  Module& operator=(const Module&) = delete;
  ~Module() = default;

  // The exports, called as the host calls them.
  void InitializeModuleData();
  unsigned GetNumberOfDevices();
  bool GetDeviceName(unsigned index, char* name, unsigned length);
  bool GetDeviceType(const char* name, int* type);
  bool GetDeviceDescription(const char* name, char* description, int length);
  MM::Device* CreateDevice(const char* name);
  void DeleteDevice(MM::Device* device);
  long GetModuleVersion();
  long GetDeviceInterfaceVersion();

  // Every registered device with its type and description (host-sized buffers).
  std::vector<DeviceInfo> ListDevices();

  // CreateDevice wrapped so that the device is deleted through DeleteDevice.
  // Null when the module returns null.
  DevicePtr Create(const std::string& name);

  const std::string& path() const { return path_; }
  // The loader handle, for dlsym of further symbols.
  void* handle() const { return handle_; }

 private:
  Module() = default;

  using InitializeModuleDataFn = void (*)();
  using GetNumberOfDevicesFn = unsigned (*)();
  using GetDeviceNameFn = bool (*)(unsigned, char*, unsigned);
  using GetDeviceTypeFn = bool (*)(const char*, int*);
  using GetDeviceDescriptionFn = bool (*)(const char*, char*, int);
  using CreateDeviceFn = MM::Device* (*)(const char*);
  using DeleteDeviceFn = void (*)(MM::Device*);
  using VersionFn = long (*)();

  std::string path_;
  void* handle_ = nullptr;
  InitializeModuleDataFn initializeModuleData_ = nullptr;
  GetNumberOfDevicesFn getNumberOfDevices_ = nullptr;
  GetDeviceNameFn getDeviceName_ = nullptr;
  GetDeviceTypeFn getDeviceType_ = nullptr;
  GetDeviceDescriptionFn getDeviceDescription_ = nullptr;
  CreateDeviceFn createDevice_ = nullptr;
  DeleteDeviceFn deleteDevice_ = nullptr;
  VersionFn getModuleVersion_ = nullptr;
  VersionFn getDeviceInterfaceVersion_ = nullptr;
};

// The host treats a device of type 2 as a camera; the camera interface extends
// the device interface by single inheritance, so the pointer converts as is.
inline MM::Camera* AsCamera(MM::Device* device) {
  return static_cast<MM::Camera*>(device);
}

// One image handed to the host by InsertImage (callback position 28).
struct HostImage {
  std::vector<uint8_t> pixels;  // empty when pixel copying is off or pixels were null
  unsigned width = 0;
  unsigned height = 0;
  unsigned bytesPerPixel = 0;
  std::string metadata;  // the serialised metadata text ("" for null)
  std::chrono::steady_clock::time_point received;
  // Taken from the device's buffer even when pixels are not copied: its size
  // (width * height * bytesPerPixel) and its first and last 8 bytes read as
  // little-endian words (0 when the buffer is shorter than 8 bytes or null).
  size_t byteCount = 0;
  uint64_t headWord = 0;
  uint64_t tailWord = 0;
  bool process = false;  // the flag the device passed
};

// Result InsertImage answers when the ring is full.
constexpr int kHostBufferOverflow = 22;

// A HostCallback that records everything, for assertions.
//
// Thread safety: every callback and accessor takes the one mutex `mutex_`; the
// insert hook runs without it (so that it may call accessors). Devices call the
// callbacks from the host thread, the sequence thread and the vendor's event
// thread; tests read from their own thread. Accessors return copies.
//
// Event log (`events()`), one entry per callback, in call order:
//   position 2  -> "log:<text>"
//   position 15 -> "prop:<name>=<value>"
//   position 18 -> "exposure:<milliseconds, %g>"
//   position 23 -> "finished"
//   position 24 -> "prepare"
//   position 28 -> "insert" (every call, accepted or not)
//   position 29 -> "clear"
class RecordingHost : public HostCallback {
 public:
  RecordingHost() = default;
  ~RecordingHost() override = default;

  // --- HostCallback, positions 2, 15, 18, 23, 24, 28, 29 ---
  int LogMessage(const MM::Device* caller, const char* text, bool debugOnly) override;
  int OnPropertyChanged(const MM::Device* caller, const char* name, const char* value) override;
  int OnExposureChanged(const MM::Device* caller, double milliseconds) override;
  int AcquisitionFinished(const MM::Device* caller, int status) override;
  // Answers the value set by setPrepareResult (0 by default).
  int PrepareForAcquisition(const MM::Device* caller) override;
  // Answers 22 without copying when the ring is full; otherwise the insert
  // hook's answer when a hook is set and answers non-zero (the image is then not
  // kept); otherwise 0 and the image is kept.
  int InsertImage(const MM::Device* caller, const unsigned char* pixels, unsigned width,
                  unsigned height, unsigned bytesPerPixel, const char* metadata,
                  bool process) override;
  // Empties the ring.
  void ClearImageBuffer(const MM::Device* caller) override;

  // --- Configuration ---
  void setPrepareResult(int result);
  // Capacity of the image ring (default 64, at least 1). Images beyond a smaller
  // new capacity stay until taken or cleared.
  void setRingCapacity(size_t capacity);
  size_t ringCapacity() const;
  // Called for every insert that fits in the ring, before the image is kept.
  // A non-zero answer is returned to the device and the image is dropped.
  void setInsertHook(std::function<int(const HostImage&)> hook);
  // Copy pixel bytes into HostImage::pixels (default true). Off for benchmarks.
  void setCopyPixels(bool copy);

  // --- Records ---
  std::vector<std::string> logs() const;
  std::vector<std::pair<std::string, std::string>> propertyChanges() const;
  // The values reported for one property, in order.
  std::vector<std::string> propertyChanges(const std::string& name) const;
  std::vector<double> exposureChanges() const;
  size_t finishedCount() const;
  std::vector<int> finishedStatuses() const;
  size_t prepareCount() const;
  size_t clearCount() const;
  size_t insertCount() const;    // every InsertImage call
  size_t acceptedCount() const;  // inserts answered 0 and kept
  size_t rejectedCount() const;  // inserts answered 22 (ring full)
  std::vector<std::string> events() const;
  // Every device that called back (distinct, in order of first call).
  std::vector<const MM::Device*> callers() const;

  // Images held by the ring now; takeImages empties the ring.
  size_t imageCount() const;
  std::vector<HostImage> takeImages();

  // Forgets every record and image (configuration is kept).
  void reset();

  // --- Waiting (timeouts are hang guards; each returns whether it happened) ---
  // Until AcquisitionFinished has been called at least `count` times.
  bool waitForFinished(std::chrono::milliseconds timeout, size_t count = 1);
  // Until the ring holds at least n images.
  bool waitForImages(size_t n, std::chrono::milliseconds timeout);
  // Until at least n inserts have been accepted in total.
  bool waitForAccepted(size_t n, std::chrono::milliseconds timeout);
  // Until a change of property `name` has been reported (any value, or `value`).
  bool waitForPropertyChange(const std::string& name, std::chrono::milliseconds timeout);
  bool waitForPropertyChange(const std::string& name, const std::string& value,
                             std::chrono::milliseconds timeout);
  // Until at least n exposure changes have been reported.
  bool waitForExposureChanges(size_t n, std::chrono::milliseconds timeout);

 private:
  void noteCallerLocked(const MM::Device* caller);
  void recordLocked(std::string event);
  template <typename Predicate>
  bool waitLocked(std::unique_lock<std::mutex>& lock, std::chrono::milliseconds timeout,
                  Predicate done);

  mutable std::mutex mutex_;
  std::condition_variable changed_;  // notified after every recorded callback
  int prepareResult_ = 0;
  size_t capacity_ = 64;
  bool copyPixels_ = true;
  std::function<int(const HostImage&)> insertHook_;
  std::vector<std::string> logs_;
  std::vector<std::pair<std::string, std::string>> propertyChanges_;
  std::vector<double> exposureChanges_;
  std::vector<int> finishedStatuses_;
  size_t prepareCount_ = 0;
  size_t clearCount_ = 0;
  size_t insertCount_ = 0;
  size_t acceptedCount_ = 0;
  size_t rejectedCount_ = 0;
  // Inserts admitted to the ring but still running the hook outside the lock:
  // they hold a place so the ring never exceeds its capacity.
  size_t reserved_ = 0;
  std::vector<std::string> events_;
  std::vector<const MM::Device*> callers_;
  std::deque<HostImage> ring_;
};

// Typed access to a camera device through the host's slots.
// Borrows the device; the caller keeps it alive.
class Camera {
 public:
  explicit Camera(MM::Camera* camera) : camera_(camera) {}

  MM::Camera* get() const { return camera_; }

  // Property value text; on failure "" and the error code in *error.
  std::string GetProperty(const std::string& name, int* error = nullptr) const;
  int SetProperty(const std::string& name, const std::string& value);
  bool HasProperty(const std::string& name) const;
  bool IsReadOnly(const std::string& name) const;
  // MM::PropertyType as int (0 when unknown).
  int PropertyType(const std::string& name) const;
  // {lower, upper} when the property has limits.
  bool Limits(const std::string& name, double* lower, double* upper) const;
  std::vector<std::string> PropertyNames() const;
  std::vector<std::string> AllowedValues(const std::string& name) const;
  std::string ErrorText(int code) const;
  std::string Name() const;
  std::string Description() const;

 private:
  MM::Camera* camera_;
};

}  // namespace pyxhost
