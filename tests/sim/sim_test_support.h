// Shared fixture of the simulator tests: loads libPyxon.so, binds its entry
// points, resets the simulator, and calls handle operations by raw table
// position as the adapter does.
#pragma once

#include <dlfcn.h>
#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "sim/sim_client.h"
#include "sim/sim_control.h"
#include "vendor/pyxon_api.h"

namespace simtest {

using pyxon::CameraEntry;
using pyxon::CameraHandle;

// Calls operation `position` of the camera object through its table, with the
// declared argument types (the object pointer goes first, as for any member).
template <typename R, typename... Args>
R CallSlot(CameraHandle* handle, int position, Args... args) {
  using Fn = R (*)(CameraHandle*, Args...);
  void** table = *reinterpret_cast<void***>(handle);
  Fn fn;
  std::memcpy(&fn, &table[position], sizeof(fn));
  return fn(handle, args...);
}

// Records the events delivered to the registered callback. A test may end
// while its camera still delivers (the simulator's worker can be mid-callback
// when Stop and Close return), so a log that has gone out of scope is
// forgotten, and its destructor waits for a callback that is inside it.
class EventLog {
 public:
  EventLog() {
    std::lock_guard<std::mutex> lock(LiveMutex());
    Live().insert(this);
  }
  ~EventLog() {
    std::lock_guard<std::mutex> lock(LiveMutex());
    Live().erase(this);
  }
  EventLog(const EventLog&) = delete;
  EventLog& operator=(const EventLog&) = delete;

  static void Callback(int32_t event, void* context) {
    std::lock_guard<std::mutex> lock(LiveMutex());
    auto* log = static_cast<EventLog*>(context);
    if (Live().count(log) != 0) log->Add(event);
  }
  void Add(int32_t event) {
    std::lock_guard<std::mutex> lock(mu_);
    events_.push_back(event);
    threads_.push_back(std::this_thread::get_id());
    cv_.notify_all();
  }
  size_t Count(int32_t event) {
    std::lock_guard<std::mutex> lock(mu_);
    size_t n = 0;
    for (int32_t e : events_) n += e == event ? 1 : 0;
    return n;
  }
  // Waits (hang guard of seconds) until `n` events of that code arrived.
  bool WaitFor(int32_t event, size_t n, std::chrono::milliseconds limit = std::chrono::seconds(5)) {
    std::unique_lock<std::mutex> lock(mu_);
    return cv_.wait_for(lock, limit, [&] {
      size_t seen = 0;
      for (int32_t e : events_) seen += e == event ? 1 : 0;
      return seen >= n;
    });
  }
  std::vector<std::thread::id> Threads() {
    std::lock_guard<std::mutex> lock(mu_);
    return threads_;
  }
  // The distinct threads that delivered events of that code.
  std::set<std::thread::id> ThreadsOf(int32_t event) {
    std::lock_guard<std::mutex> lock(mu_);
    std::set<std::thread::id> threads;
    for (size_t i = 0; i < events_.size(); ++i) {
      if (events_[i] == event) threads.insert(threads_[i]);
    }
    return threads;
  }

 private:
  static std::mutex& LiveMutex() {
    static std::mutex mutex;
    return mutex;
  }
  static std::set<const EventLog*>& Live() {
    static std::set<const EventLog*> live;
    return live;
  }

  std::mutex mu_;
  std::condition_variable cv_;
  std::vector<int32_t> events_;
  std::vector<std::thread::id> threads_;
};

struct Library {
  Library() {
    handle = dlopen(PYXON_SIM_LIBRARY, RTLD_NOW | RTLD_LOCAL);
    if (handle == nullptr) return;
    deroName = Bind<DllDeroNameFn>("DllDeroName");
    company = Bind<DllCompanyFn>("DllCompany");
    version = Bind<DllVersionFn>("DllVersion");
    appName = Bind<DllAppNameFn>("DllAppName");
    enumCamera = Bind<DllEnumCameraFn>("DllEnumCamera");
    gigeEnable = Bind<DllGigeEnableFn>("DllGigeEnable");
    getDefAE = Bind<DllGetDefAEFn>("DllGetDefAE");
    open = Bind<DllOpenFn>("DllOpen");
  }
  template <typename Fn>
  Fn Bind(const char* name) {
    return reinterpret_cast<Fn>(dlsym(handle, name));
  }
  bool ok() const {
    return handle != nullptr && deroName && company && version && appName && enumCamera &&
           gigeEnable && getDefAE && open;
  }

  void* handle = nullptr;
  DllDeroNameFn deroName = nullptr;
  DllCompanyFn company = nullptr;
  DllVersionFn version = nullptr;
  DllAppNameFn appName = nullptr;
  DllEnumCameraFn enumCamera = nullptr;
  DllGigeEnableFn gigeEnable = nullptr;
  DllGetDefAEFn getDefAE = nullptr;
  DllOpenFn open = nullptr;
};

// Loaded once per process and kept (unloading would end the simulator).
inline Library& Lib() {
  static Library library;
  return library;
}

class SimTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(Lib().ok()) << dlerror();
    ASSERT_TRUE(sim.ok()) << sim.error();
    sim.reset();
  }
  void TearDown() override {
    for (CameraHandle* handle : opened_) CallSlot<int32_t>(handle, 160);
    opened_.clear();
    sim.reset();
  }

  // Opens the attached camera `index`; null when the library refuses.
  CameraHandle* Open(int index, const std::string& ini = "/tmp/sim-test.ini") {
    CameraEntry list[pyxon::kMaxCameras] = {};
    const int n = Lib().enumCamera(list);
    if (index >= n) return nullptr;
    const std::string text =
        "@" + std::string(list[index].id, strnlen(list[index].id, 64)) + ";ini=" + ini;
    CameraHandle* handle = Lib().open(text.c_str());
    if (handle != nullptr) opened_.push_back(handle);
    return handle;
  }
  void Close(CameraHandle* handle) {
    for (auto it = opened_.begin(); it != opened_.end(); ++it) {
      if (*it == handle) {
        opened_.erase(it);
        break;
      }
    }
    EXPECT_EQ(CallSlot<int32_t>(handle, 160), 0);
  }
  // Starts delivery with the event log as context, in triggered mode.
  void StartTriggered(CameraHandle* handle, EventLog& log) {
    ASSERT_EQ(CallSlot<int32_t>(handle, 93, pyxon::opt::kTriggerMode, int32_t{1}), 0);
    ASSERT_EQ(StartDelivery(handle, log), 0);
  }
  int32_t StartDelivery(CameraHandle* handle, EventLog& log) {
    void* z = nullptr;
    return CallSlot<int32_t>(handle, 158, z, z, z, z, z, z, z, &EventLog::Callback, z,
                             static_cast<void*>(&log));
  }
  int32_t Pull(CameraHandle* handle, std::vector<uint8_t>& buffer, int32_t bits) {
    return CallSlot<int32_t>(handle, 184, int32_t{0}, static_cast<void*>(buffer.data()), bits,
                             int32_t{-1}, static_cast<void*>(nullptr));
  }
  std::pair<uint32_t, uint32_t> OutputSize(CameraHandle* handle) {
    uint32_t w = 0, h = 0;
    CallSlot<int32_t>(handle, 134, &w, &h);
    return {w, h};
  }
  int32_t Option(CameraHandle* handle, uint32_t id, int32_t preset = 0) {
    int32_t value = preset;
    const int32_t r = CallSlot<int32_t>(handle, 94, id, &value);
    return r < 0 ? r : value;
  }

  pyxsim::Client sim{PYXON_SIM_LIBRARY};

 private:
  std::vector<CameraHandle*> opened_;
};

// The version interface's identifier as the cameras store it (position 0).
constexpr uint8_t kVersionInterface[16] = {0xc7, 0xb0, 0x69, 0xfc, 0x40, 0x61, 0xe7, 0x4f,
                                           0xb3, 0x85, 0x47, 0x3e, 0x5e, 0xa8, 0x78, 0x87};

// Camera indices of the default attached list.
constexpr int kMono120 = 0;
constexpr int kColour678 = 1;
constexpr int kCooled2600 = 2;
constexpr int kFull = 3;

}  // namespace simtest
