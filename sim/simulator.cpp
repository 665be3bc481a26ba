#include "sim/simulator.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <thread>

#include "sim/behaviour.h"

namespace pyxsim {
namespace {

constexpr const char* kDefaultModels[] = {"PX-120M", "PX-678C", "PX-2600M-COOL", "PX-FULL"};
constexpr auto kExitJoinTimeout = std::chrono::seconds(2);

void CopyText(char* out, size_t size, const std::string& text) {
  const size_t n = std::min(size, text.size());
  std::memcpy(out, text.data(), n);
  if (n < size) std::memset(out + n, 0, size - n);
}

std::string Trim(const std::string& text) {
  const size_t first = text.find_first_not_of(" \t");
  if (first == std::string::npos) return std::string();
  const size_t last = text.find_last_not_of(" \t");
  return text.substr(first, last - first + 1);
}

// A model's name as the display name of one more camera: two attached cameras
// of one model are told apart by the number of the later one ("PX-120M #2"),
// since a host that keys cameras by their name would otherwise see only one.
std::string UniqueDisplayName(const std::string& model, const std::vector<std::string>& taken) {
  auto isTaken = [&](const std::string& name) {
    return std::find(taken.begin(), taken.end(), name) != taken.end();
  };
  std::string name = model;
  for (int n = 2; isTaken(name); ++n) name = model + " #" + std::to_string(n);
  return name;
}

}  // namespace

// ---------------------------------------------------------------- FaultTable

void FaultTable::UpdateAnyLocked() {
  any_.store(!failures_.empty() || !scripts_.empty() || !delays_.empty(),
             std::memory_order_release);
}

void FaultTable::Fail(int position, int32_t result, int count) {
  pyx::MutexLock lock(mu_);
  if (count == 0) {
    failures_.erase(position);
  } else {
    failures_[position] = Failure{result, count < 0 ? -1 : count};
  }
  UpdateAnyLocked();
}

void FaultTable::Script(int position, const int32_t* results, int n) {
  pyx::MutexLock lock(mu_);
  std::deque<int32_t>& queue = scripts_[position];
  for (int i = 0; results != nullptr && i < n; ++i) queue.push_back(results[i]);
  if (queue.empty()) scripts_.erase(position);
  UpdateAnyLocked();
}

void FaultTable::Delay(int position, uint32_t microseconds) {
  pyx::MutexLock lock(mu_);
  if (microseconds == 0) {
    delays_.erase(position);
  } else {
    delays_[position] = microseconds;
  }
  UpdateAnyLocked();
}

void FaultTable::Clear() {
  pyx::MutexLock lock(mu_);
  failures_.clear();
  scripts_.clear();
  delays_.clear();
  UpdateAnyLocked();
}

Intercept FaultTable::Check(int position) {
  Intercept decision;
  if (!any_.load(std::memory_order_acquire)) return decision;
  uint32_t delay = 0;
  {
    pyx::MutexLock lock(mu_);
    auto delayIt = delays_.find(position);
    if (delayIt != delays_.end()) delay = delayIt->second;
    auto failIt = failures_.find(position);
    if (failIt != failures_.end()) {
      decision = {Intercept::Kind::kFail, failIt->second.result};
      if (failIt->second.remaining > 0 && --failIt->second.remaining == 0) failures_.erase(failIt);
    } else {
      auto scriptIt = scripts_.find(position);
      if (scriptIt != scripts_.end()) {
        decision = {Intercept::Kind::kScript, scriptIt->second.front()};
        scriptIt->second.pop_front();
        if (scriptIt->second.empty()) scripts_.erase(scriptIt);
      }
    }
    UpdateAnyLocked();
  }
  if (delay > 0) std::this_thread::sleep_for(std::chrono::microseconds(delay));
  return decision;
}

// ------------------------------------------------------------------ TraceLog

void TraceLog::Record(int32_t camera, int32_t position, std::initializer_list<int64_t> args,
                      const char* text, int32_t result) {
  if (!enabled_.load(std::memory_order_relaxed)) return;
  PyxsimCall call{};
  call.camera = camera;
  call.position = position;
  size_t i = 0;
  for (int64_t arg : args) {
    if (i == 6) break;
    call.args[i++] = arg;
  }
  if (text != nullptr) {
    std::strncpy(call.text, text, sizeof(call.text) - 1);
  }
  call.result = result;
  pyx::MutexLock lock(mu_);
  if (ring_.size() < kCapacity) {
    try {
      ring_.push_back(call);
    } catch (...) {  // out of memory: the call goes unrecorded
      return;
    }
    ++count_;
    return;
  }
  ring_[(start_ + count_) % kCapacity] = call;
  if (count_ == kCapacity) {
    start_ = (start_ + 1) % kCapacity;
  } else {
    ++count_;
  }
}

void TraceLog::Clear() {
  pyx::MutexLock lock(mu_);
  ring_.clear();
  start_ = 0;
  count_ = 0;
}

size_t TraceLog::Count() {
  pyx::MutexLock lock(mu_);
  return count_;
}

bool TraceLog::Get(size_t i, PyxsimCall* out) {
  pyx::MutexLock lock(mu_);
  if (out == nullptr || i >= count_) return false;
  *out = ring_[(start_ + i) % ring_.size()];
  return true;
}

// ----------------------------------------------------------------- Simulator

Simulator& Simulator::Instance() {
  static Simulator instance;
  return instance;
}

Simulator::Simulator() {
  Reset();
}

// Runs when the library is unloaded or the process exits: every session still
// open is ended and its worker joined, so that no thread runs code of an
// unmapped library. A worker stuck in a callback is left behind after a grace
// period rather than hanging the exit.
Simulator::~Simulator() {
  std::vector<std::shared_ptr<SimCamera>> cameras;
  {
    pyx::MutexLock lock(listMu_);
    for (const std::weak_ptr<SimCamera>& weak : known_) {
      if (auto camera = weak.lock()) cameras.push_back(camera);
    }
  }
  std::vector<RetiredWorker> workers;
  for (const auto& camera : cameras) {
    RetiredWorkers retired = camera->ForceClose();
    workers.push_back(std::move(retired.frames));
    workers.push_back(std::move(retired.values));
  }
  cameras.clear();
  {
    pyx::MutexLock lock(retiredMu_);
    for (RetiredWorker& worker : retired_) workers.push_back(std::move(worker));
    retired_.clear();
  }
  const auto deadline = Clock::now() + kExitJoinTimeout;
  for (RetiredWorker& worker : workers) {
    if (!worker.thread.joinable()) continue;
    while (!worker.exited->load() && Clock::now() < deadline) {
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    if (worker.exited->load()) {
      worker.thread.join();
    } else {
      worker.thread.detach();
    }
  }
}

std::vector<std::pair<const ModelProfile*, std::string>> Simulator::DefaultList() {
  std::vector<std::pair<const ModelProfile*, std::string>> list;
  const char* env = std::getenv("PYXSIM_CAMERAS");
  if (env != nullptr && *env != '\0') {
    std::string text(env);
    // Named first, so that a camera without a name never takes one given to
    // a later camera.
    std::vector<std::pair<const ModelProfile*, std::string>> items;
    std::vector<std::string> taken;
    size_t begin = 0;
    while (begin <= text.size()) {
      size_t end = text.find(',', begin);
      if (end == std::string::npos) end = text.size();
      const std::string item = Trim(text.substr(begin, end - begin));
      const size_t eq = item.find('=');
      const std::string model = Trim(item.substr(0, eq));
      const ModelProfile* profile = FindModel(model.c_str());
      if (profile != nullptr) {
        const std::string display = eq == std::string::npos ? "" : Trim(item.substr(eq + 1));
        if (!display.empty()) taken.push_back(display);
        items.emplace_back(profile, display);
      }
      begin = end + 1;
    }
    for (auto& [profile, display] : items) {
      if (display.empty()) {
        display = UniqueDisplayName(profile->record->name, taken);
        taken.push_back(display);
      }
      list.emplace_back(profile, display);
    }
    return list;
  }
  for (const char* model : kDefaultModels) list.emplace_back(FindModel(model), model);
  return list;
}

void Simulator::Reset() {
  faults_.Clear();
  CurrentBehaviour().Reset();
  trace_.Clear();
  trace_.Enable(true);
  failOpen_.store(false);
  std::vector<std::shared_ptr<SimCamera>> kept;
  {
    pyx::MutexLock lock(listMu_);
    std::vector<std::shared_ptr<SimCamera>> previous;
    previous.swap(attached_);
    for (const auto& camera : previous) camera->setIndex(-1);
    const auto list = DefaultList();
    for (size_t i = 0; i < list.size() && i < pyxon::kMaxCameras; ++i) {
      const std::string id = "SIM-" + std::to_string(i + 1);
      // An entry that matches a current camera keeps that camera, so that a
      // session the adapter holds stays attached.
      auto same = std::find_if(previous.begin(), previous.end(), [&](const auto& camera) {
        return camera->id() == id && &camera->profile() == list[i].first &&
               camera->displayName() == list[i].second;
      });
      if (same != previous.end()) {
        (*same)->setIndex(static_cast<int>(attached_.size()));
        attached_.push_back(*same);
        kept.push_back(*same);
      } else {
        AttachLocked(*list[i].first, list[i].second, id);
      }
    }
  }
  for (const auto& camera : kept) camera->ResetFromControl();
  ReapRetired();
}

void Simulator::DetachAll() {
  pyx::MutexLock lock(listMu_);
  for (const auto& camera : attached_) camera->setIndex(-1);
  attached_.clear();
}

int Simulator::AttachLocked(const ModelProfile& profile, const std::string& displayName,
                            const std::string& id) {
  if (attached_.size() >= pyxon::kMaxCameras) return -1;
  for (const auto& camera : attached_) {
    if (camera->id() == id) return -1;
  }
  auto camera = std::make_shared<SimCamera>(profile, displayName, id);
  const int index = static_cast<int>(attached_.size());
  camera->setIndex(index);
  attached_.push_back(camera);
  known_.erase(std::remove_if(known_.begin(), known_.end(),
                              [](const std::weak_ptr<SimCamera>& w) { return w.expired(); }),
               known_.end());
  known_.push_back(camera);
  return index;
}

int Simulator::Attach(const char* model, const char* displayName, const char* id) {
  const ModelProfile* profile = FindModel(model);
  if (profile == nullptr) return -1;
  pyx::MutexLock lock(listMu_);
  std::string display;
  if (displayName != nullptr) {
    display = displayName;
  } else {
    std::vector<std::string> taken;
    for (const auto& camera : attached_) taken.push_back(camera->displayName());
    display = UniqueDisplayName(profile->record->name, taken);
  }
  const std::string identifier = id != nullptr ? id : "SIM-" + std::to_string(attached_.size() + 1);
  return AttachLocked(*profile, display, identifier);
}

int Simulator::CameraCount() {
  pyx::MutexLock lock(listMu_);
  return static_cast<int>(attached_.size());
}

std::shared_ptr<SimCamera> Simulator::Camera(int index) {
  pyx::MutexLock lock(listMu_);
  if (index < 0 || static_cast<size_t>(index) >= attached_.size()) return nullptr;
  return attached_[static_cast<size_t>(index)];
}

int Simulator::Enumerate(pyxon::CameraEntry* list) {
  if (list == nullptr) return 0;
  pyx::MutexLock lock(listMu_);
  int n = 0;
  for (const auto& camera : attached_) {
    if (n == static_cast<int>(pyxon::kMaxCameras)) break;
    pyxon::CameraEntry& entry = list[n++];
    // Like the real records, a 64-character text fills its field without a
    // terminating zero.
    CopyText(entry.displayName, sizeof(entry.displayName), camera->displayName());
    CopyText(entry.id, sizeof(entry.id), camera->id());
    entry.model = camera->profile().record;
  }
  return n;
}

// Open text: "@<id>" optionally followed by ";key=value" parts, of which "ini"
// names the settings file.
pyxon::CameraHandle* Simulator::Open(const char* openText) {
  ReapRetired();
  pyxon::CameraHandle* handle = nullptr;
  int index = -1;
  if (openText != nullptr && openText[0] == '@' && !failOpen_.load()) {
    const std::string text(openText + 1);
    const size_t semicolon = text.find(';');
    const std::string id = text.substr(0, semicolon);
    std::string ini;
    size_t at = semicolon;
    while (at != std::string::npos) {
      const size_t next = text.find(';', at + 1);
      const std::string part =
          text.substr(at + 1, next == std::string::npos ? std::string::npos : next - at - 1);
      if (part.compare(0, 4, "ini=") == 0) ini = part.substr(4);
      at = next;
    }
    std::shared_ptr<SimCamera> camera;
    {
      pyx::MutexLock lock(listMu_);
      for (const auto& candidate : attached_) {
        if (!id.empty() && candidate->id() == id) camera = candidate;
      }
    }
    if (camera != nullptr) {
      index = camera->index();
      handle = camera->Open(ini);
    }
  }
  trace_.Record(index, -1, {}, openText, handle != nullptr ? 0 : -1);
  return handle;
}

void Simulator::SetAppName(const char* name) {
  pyx::MutexLock lock(listMu_);
  hasAppName_ = name != nullptr;
  appName_ = name != nullptr ? name : "";
}

int Simulator::AppName(char* buffer, size_t size) {
  pyx::MutexLock lock(listMu_);
  if (!hasAppName_) return -1;
  if (buffer != nullptr && size > 0) {
    const size_t n = std::min(size - 1, appName_.size());
    std::memcpy(buffer, appName_.data(), n);
    buffer[n] = '\0';
  }
  return static_cast<int>(appName_.size());
}

void Simulator::Retire(RetiredWorker worker) noexcept {
  if (worker.thread.joinable()) {
    pyx::MutexLock lock(retiredMu_);
    try {
      retired_.push_back(std::move(worker));
    } catch (...) {  // no room to keep it for joining: let it end on its own
      worker.thread.detach();
    }
  }
  try {
    ReapRetired();
  } catch (...) {  // reaped next time
  }
}

void Simulator::ReapRetired() {
  std::vector<RetiredWorker> done;
  {
    pyx::MutexLock lock(retiredMu_);
    auto split = std::partition(retired_.begin(), retired_.end(),
                                [](const RetiredWorker& w) { return !w.exited->load(); });
    std::move(split, retired_.end(), std::back_inserter(done));
    retired_.erase(split, retired_.end());
  }
  // A worker never reaps itself: it is not marked exited while it runs.
  for (RetiredWorker& worker : done) worker.thread.join();
}

}  // namespace pyxsim
