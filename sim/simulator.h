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
#include <string>
#include <vector>

#include "framework/sync.h"
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
  void Fail(int position, int32_t result, int count) EXCLUDES(mu_);
  void Script(int position, const int32_t* results, int n) EXCLUDES(mu_);
  void Delay(int position, uint32_t microseconds) EXCLUDES(mu_);
  void Clear() EXCLUDES(mu_);
  // Consumes one injected failure or scripted result of the position, and
  // sleeps the position's delay (without holding the lock).
  Intercept Check(int position) EXCLUDES(mu_);

 private:
  struct Failure {
    int32_t result;
    int remaining;  // -1: until cleared
  };
  void UpdateAnyLocked() REQUIRES(mu_);

  pyx::Mutex mu_;
  std::atomic<bool> any_{false};  // lets calls skip the lock when nothing is set
  std::map<int, Failure> failures_ GUARDED_BY(mu_);
  std::map<int, std::deque<int32_t>> scripts_ GUARDED_BY(mu_);
  std::map<int, uint32_t> delays_ GUARDED_BY(mu_);
};

class TraceLog {
 public:
  static constexpr size_t kCapacity = 100000;

  void Record(int32_t camera, int32_t position, std::initializer_list<int64_t> args,
              const char* text, int32_t result) EXCLUDES(mu_);
  void Enable(bool on) { enabled_.store(on, std::memory_order_relaxed); }
  void Clear() EXCLUDES(mu_);
  size_t Count() EXCLUDES(mu_);
  bool Get(size_t i, PyxsimCall* out) EXCLUDES(mu_);

 private:
  std::atomic<bool> enabled_{true};
  pyx::Mutex mu_;
  std::vector<PyxsimCall> ring_ GUARDED_BY(mu_);
  size_t start_ GUARDED_BY(mu_) = 0;
  size_t count_ GUARDED_BY(mu_) = 0;
};

class Simulator {
 public:
  static Simulator& Instance();
  ~Simulator();

  FaultTable& faults() { return faults_; }
  TraceLog& trace() { return trace_; }

  // Entry points.
  int Enumerate(pyxon::CameraEntry* list) EXCLUDES(listMu_);
  pyxon::CameraHandle* Open(const char* openText) EXCLUDES(listMu_, retiredMu_);
  void SetAppName(const char* name) EXCLUDES(listMu_);

  // Control interface.
  void Reset() EXCLUDES(listMu_, retiredMu_);
  void DetachAll() EXCLUDES(listMu_);
  int Attach(const char* model, const char* displayName, const char* id) EXCLUDES(listMu_);
  int CameraCount() EXCLUDES(listMu_);
  std::shared_ptr<SimCamera> Camera(int index) EXCLUDES(listMu_);
  void SetFailOpen(bool fail) { failOpen_.store(fail); }
  int AppName(char* buffer, size_t size) EXCLUDES(listMu_);

  // Takes a worker of a closed session; joins those that have ended.
  void Retire(RetiredWorker worker) noexcept EXCLUDES(retiredMu_);

 private:
  Simulator();
  Simulator(const Simulator&) = delete;
  Simulator& operator=(const Simulator&) = delete;

  // The default list: PYXSIM_CAMERAS when set, else one camera of each of the
  // first four models. Returns (model, display name) pairs.
  static std::vector<std::pair<const ModelProfile*, std::string>> DefaultList();
  void ReapRetired() EXCLUDES(retiredMu_);
  int AttachLocked(const ModelProfile& profile, const std::string& displayName,
                   const std::string& id) REQUIRES(listMu_);

  FaultTable faults_;
  TraceLog trace_;
  std::atomic<bool> failOpen_{false};

  pyx::Mutex listMu_;
  std::vector<std::shared_ptr<SimCamera>> attached_ GUARDED_BY(listMu_);
  std::vector<std::weak_ptr<SimCamera>> known_ GUARDED_BY(listMu_);  // every camera ever attached
  std::string appName_ GUARDED_BY(listMu_);
  bool hasAppName_ GUARDED_BY(listMu_) = false;

  pyx::Mutex retiredMu_;
  std::vector<RetiredWorker> retired_ GUARDED_BY(retiredMu_);
};

}  // namespace pyxsim
