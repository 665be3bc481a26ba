// Library-wide state of the simulator: the attached cameras, the fault table,
// the call trace and the workers of closed sessions that still wait to be
// joined.
//
// Locks (all leaves except listMu_, which may be held while a camera's lock is
// taken; no camera lock is ever held while listMu_ is taken):
// - listMu_: attached list, known cameras, fail-open flag, application name;
// - FaultTable::mu_, TraceLog::mu_, retiredMu_: their own fields only.
#pragma once

#include <atomic>
#include <cstdint>
#include <deque>
#include <initializer_list>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "sim/sim_camera.h"
#include "sim/sim_control.h"
#include "vendor/pyxon_api.h"

namespace pyxsim {

// What the fault table decided for one call.
struct Intercept {
  enum class Kind { kNone, kFail, kScript } kind = Kind::kNone;
  int32_t value = 0;
};

class FaultTable {
 public:
  void Fail(int position, int32_t result, int count);
  void Script(int position, const int32_t* results, int n);
  void Delay(int position, uint32_t microseconds);
  void Clear();
  // Consumes one injected failure or scripted result of the position, and
  // sleeps the position's delay (without holding the lock).
  Intercept Check(int position);

 private:
  struct Failure {
    int32_t result;
    int remaining;  // -1: until cleared
  };
  void UpdateAnyLocked();

  std::mutex mu_;
  std::atomic<bool> any_{false};  // lets calls skip the lock when nothing is set
  std::map<int, Failure> failures_;
  std::map<int, std::deque<int32_t>> scripts_;
  std::map<int, uint32_t> delays_;
};

class TraceLog {
 public:
  static constexpr size_t kCapacity = 100000;

  void Record(int32_t camera, int32_t position, std::initializer_list<int64_t> args,
              const char* text, int32_t result);
  void Enable(bool on) { enabled_.store(on, std::memory_order_relaxed); }
  void Clear();
  size_t Count();
  bool Get(size_t i, PyxsimCall* out);

 private:
  std::atomic<bool> enabled_{true};
  std::mutex mu_;
  std::vector<PyxsimCall> ring_;
  size_t start_ = 0;
  size_t count_ = 0;
};

class Simulator {
 public:
  static Simulator& Instance();
  ~Simulator();

  FaultTable& faults() { return faults_; }
  TraceLog& trace() { return trace_; }

  // Entry points.
  int Enumerate(pyxon::CameraEntry* list);
  pyxon::CameraHandle* Open(const char* openText);
  void SetAppName(const char* name);

  // Control interface.
  void Reset();
  void DetachAll();
  int Attach(const char* model, const char* displayName, const char* id);
  int CameraCount();
  std::shared_ptr<SimCamera> Camera(int index);
  void SetFailOpen(bool fail) { failOpen_.store(fail); }
  int AppName(char* buffer, size_t size);

  // Takes a worker of a closed session; joins those that have ended.
  void Retire(RetiredWorker worker) noexcept;

 private:
  Simulator();
  Simulator(const Simulator&) = delete;
  Simulator& operator=(const Simulator&) = delete;

  // The default list: PYXSIM_CAMERAS when set, else one camera of each of the
  // first four models. Returns (model, display name) pairs.
  static std::vector<std::pair<const ModelProfile*, std::string>> DefaultList();
  void ReapRetired();
  int AttachLocked(const ModelProfile& profile, const std::string& displayName,
                   const std::string& id);

  FaultTable faults_;
  TraceLog trace_;
  std::atomic<bool> failOpen_{false};

  std::mutex listMu_;
  std::vector<std::shared_ptr<SimCamera>> attached_;
  std::vector<std::weak_ptr<SimCamera>> known_;  // every camera ever attached
  std::string appName_;
  bool hasAppName_ = false;

  std::mutex retiredMu_;
  std::vector<RetiredWorker> retired_;
};

}  // namespace pyxsim
