// The generic half of a device: slots 0 to 43 of the host's device interface
// except Initialize and Shutdown (35, 36), left to the concrete device.
//
// U is the host interface (MM::Camera), T the concrete device class.
//
// Threads: the host calls in on its own thread(s); a vendor event thread may
// call OnPropertyChanged() at any time; the camera base's sequence thread reads
// the label, the callback and logs.
//
// Locks, in the order they may be taken (never the reverse):
//   1. property lock (recursive): the property map, every property value, the
//      recorded property name and the error-text table. Every property
//      operation takes it, host slots and protected services alike, and
//      actions (handlers) run while it is held, so a handler may call back
//      into any property service. A handler may take the device's own locks
//      (for example a camera's pull or image-ready lock); code holding such a
//      lock must never take the property lock. Never wait for another thread
//      (a join, a vendor call that waits for its event thread) while holding
//      it if that thread may take the property lock.
//   2. text lock (plain, leaf): label, module name, description, parent
//      identifier, reported name, module handle and delay. Nothing is called
//      while it is held.
// The host callback is called with neither lock held by this class, except
// from handlers (which run under the property lock).
#pragma once

#include <atomic>
#include <map>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "framework/error_codes.h"
#include "framework/host_text.h"
#include "framework/mm_device.h"
#include "framework/property_map.h"
#include "framework/sync.h"

template <class U, class T>
class CDeviceBase : public U {
 public:
  CDeviceBase(const CDeviceBase&) = delete;
  CDeviceBase& operator=(const CDeviceBase&) = delete;

  // ---- host slots 2 to 43 --------------------------------------------------
  unsigned GetNumberOfProperties() const override {
    PropertyLock lock(propertyLock_);
    return properties_.GetSize();
  }

  // Records the name before every read.
  int GetProperty(const char* name, char* value) const override {
    PropertyLock lock(propertyLock_);
    recordedName_ = NameText(name);
    std::string text;
    int result = NoThrow([&, &map = LockedProperties()] { return map.Get(name, text); });
    if (result == MM::Err::Ok) CopyToHostBuffer(value, text);
    return result;
  }

  int SetProperty(const char* name, const char* value) override {
    PropertyLock lock(propertyLock_);
    int result = NoThrow([&, &map = LockedProperties()] { return map.Set(name, value); });
    if (result != MM::Err::Ok) recordedName_ = NameText(name);
    return result;
  }

  bool HasProperty(const char* name) const override {
    PropertyLock lock(propertyLock_);
    return properties_.Find(name) != nullptr;
  }

  bool GetPropertyName(unsigned index, char* name) const override {
    PropertyLock lock(propertyLock_);
    std::string text;
    if (!properties_.GetName(index, text)) return false;
    CopyToHostBuffer(name, text);
    return true;
  }

  int GetPropertyReadOnly(const char* name, bool& readOnly) const override {
    PropertyLock lock(propertyLock_);
    MM::Property* property = FindOrRecord(name);
    if (!property) return MM::Err::InvalidPropertyName;
    readOnly = property->GetReadOnly();
    return MM::Err::Ok;
  }

  int GetPropertyInitStatus(const char* name, bool& preInit) const override {
    PropertyLock lock(propertyLock_);
    MM::Property* property = FindOrRecord(name);
    if (!property) return MM::Err::InvalidPropertyName;
    preInit = property->GetInitStatus();
    return MM::Err::Ok;
  }

  int HasPropertyLimits(const char* name, bool& hasLimits) const override {
    PropertyLock lock(propertyLock_);
    MM::Property* property = FindOrRecord(name);
    if (!property) return MM::Err::InvalidPropertyName;
    hasLimits = property->HasLimits();
    return MM::Err::Ok;
  }

  int GetPropertyLowerLimit(const char* name, double& lower) const override {
    PropertyLock lock(propertyLock_);
    MM::Property* property = FindOrRecord(name);
    if (!property) return MM::Err::InvalidPropertyName;
    lower = property->GetLowerLimit();
    return MM::Err::Ok;
  }

  int GetPropertyUpperLimit(const char* name, double& upper) const override {
    PropertyLock lock(propertyLock_);
    MM::Property* property = FindOrRecord(name);
    if (!property) return MM::Err::InvalidPropertyName;
    upper = property->GetUpperLimit();
    return MM::Err::Ok;
  }

  // Does not record the name.
  int GetPropertyType(const char* name, int& type) const override {
    PropertyLock lock(propertyLock_);
    MM::Property* property = properties_.Find(name);
    if (!property) return MM::Err::InvalidPropertyName;
    type = property->GetType();
    return MM::Err::Ok;
  }

  unsigned GetNumberOfPropertyValues(const char* name) const override {
    PropertyLock lock(propertyLock_);
    MM::Property* property = properties_.Find(name);
    return property ? property->GetNumberOfAllowedValues() : 0;
  }

  bool GetPropertyValueAt(const char* name, unsigned index, char* value) const override {
    PropertyLock lock(propertyLock_);
    MM::Property* property = properties_.Find(name);
    if (!property) return false;
    std::vector<std::string> values = property->GetAllowedValues();
    if (index >= values.size()) return false;
    CopyToHostBuffer(value, values[index]);
    return true;
  }

  // Runs QuerySequenceable (result ignored), then reads the flag.
  int IsPropertySequenceable(const char* name, bool& sequenceable) const override {
    PropertyLock lock(propertyLock_);
    MM::Property* property = FindOrRecord(name);
    if (!property) return MM::Err::InvalidPropertyName;
    NoThrow([&] { return property->Execute(MM::QuerySequenceable); });
    sequenceable = property->IsSequenceable();
    return MM::Err::Ok;
  }

  int GetPropertySequenceMaxLength(const char* name, long& maxLength) const override {
    PropertyLock lock(propertyLock_);
    MM::Property* property = nullptr;
    int result = SequenceableOrError(name, property);
    if (result == MM::Err::Ok) maxLength = property->GetSequenceMaxLength();
    return result;
  }

  int StartPropertySequence(const char* name) override {
    return RunSequenceAction(name, MM::SequenceStart);
  }

  int StopPropertySequence(const char* name) override {
    return RunSequenceAction(name, MM::SequenceStop);
  }

  int ClearPropertySequence(const char* name) override {
    PropertyLock lock(propertyLock_);
    MM::Property* property = nullptr;
    int result = StoredSequenceOrError(name, property);
    if (result != MM::Err::Ok) return result;
    return property->ClearSequence();
  }

  int AddToPropertySequence(const char* name, const char* value) override {
    PropertyLock lock(propertyLock_);
    MM::Property* property = nullptr;
    int result = StoredSequenceOrError(name, property);
    if (result != MM::Err::Ok) return result;
    return NoThrow([&] { return property->AddToSequence(value); });
  }

  int SendPropertySequence(const char* name) override {
    PropertyLock lock(propertyLock_);
    MM::Property* property = nullptr;
    int result = StoredSequenceOrError(name, property);
    if (result != MM::Err::Ok) return result;
    return NoThrow([&] { return property->SendSequence(); });
  }

  // Codes 2 to 5 get ": " and the recorded property name appended, which is
  // then cleared. Codes without a text give "Error code N (H hex)" and false.
  bool GetErrorText(int code, char* text) const override {
    PropertyLock lock(propertyLock_);
    auto entry = errorTexts_.find(code);
    if (entry == errorTexts_.end()) {
      CopyToHostBuffer(text, MM::UnknownErrorText(code));
      return false;
    }
    std::string message = entry->second;
    if (MM::ErrorTextNamesProperty(code)) message += ": " + recordedName_;
    recordedName_.clear();
    CopyToHostBuffer(text, message);
    return true;
  }

  bool Busy() override { return false; }

  double GetDelayMs() const override {
    TextLock lock(textLock_);
    return delayMs_;
  }
  void SetDelayMs(double delay) override {
    TextLock lock(textLock_);
    delayMs_ = delay;
  }
  bool UsesDelay() override { return false; }

  void* GetModuleHandle() const override {
    TextLock lock(textLock_);
    return moduleHandle_;
  }
  void SetModuleHandle(void* handle) override {
    TextLock lock(textLock_);
    moduleHandle_ = handle;
  }

  void SetLabel(const char* label) override { StoreText(&CDeviceBase::label_, label); }
  void GetLabel(char* label) const override { CopyText(&CDeviceBase::label_, label); }
  void SetModuleName(const char* name) override { StoreText(&CDeviceBase::moduleName_, name); }
  void GetModuleName(char* name) const override { CopyText(&CDeviceBase::moduleName_, name); }
  void SetDescription(const char* description) override {
    StoreText(&CDeviceBase::description_, description);
  }
  void GetDescription(char* description) const override {
    CopyText(&CDeviceBase::description_, description);
  }

  int GetType() const override { return MM::kCameraDeviceType; }
  // The text given to SetReportedName(); empty until then.
  void GetName(char* name) const override { CopyText(&CDeviceBase::reportedName_, name); }

  void SetCallback(HostCallback* callback) override { callback_.store(callback); }

  int AcquisitionBefore() override { return 0; }
  int AcquisitionAfter() override { return -2; }

  // Stores at most 1023 characters; when the device has a "HubID" property
  // it is set to them through slot 4.
  void SetParentID(const char* parentId) override {
    std::string text = parentId ? parentId : "";
    if (text.size() >= MM::kMaxHostText) text.resize(MM::kMaxHostText - 1);
    StoreText(&CDeviceBase::parentId_, text.c_str());
    PropertyLock lock(propertyLock_);
    if (!HasProperty(kHubIdName)) return;
    if (SetProperty(kHubIdName, text.c_str()) != MM::Err::Ok) recordedName_ = kHubIdName;
  }
  void GetParentID(char* parentId) const override { CopyText(&CDeviceBase::parentId_, parentId); }

 protected:
  using PropertyLock = pyx::RecursiveLock;

  CDeviceBase() : errorTexts_(MM::DefaultErrorTexts()) {}
  // Texts first, then the properties (each deleting its action).
  ~CDeviceBase() override = default;

  // ---- services for the concrete device -----------------------------------
  // See PropertyMap for the results. The action is owned by the device from
  // here on, also when the property is not created.
  int CreateProperty(const char* name, const char* value, MM::PropertyType type, bool readOnly,
                     MM::ActionFunctor* action = nullptr, bool preInit = false) {
    PropertyLock lock(propertyLock_);
    return properties_.CreateProperty(name, value, type, readOnly, action, preInit);
  }
  int CreateStringProperty(const char* name, const char* value, bool readOnly,
                           MM::ActionFunctor* action = nullptr) {
    return CreateProperty(name, value, MM::String, readOnly, action, false);
  }
  int CreateFloatProperty(const char* name, double value, bool readOnly,
                          MM::ActionFunctor* action = nullptr) {
    PropertyLock lock(propertyLock_);
    return properties_.CreateFloatProperty(name, value, readOnly, action);
  }
  int CreateIntegerProperty(const char* name, long value, MM::ActionFunctor* action = nullptr) {
    PropertyLock lock(propertyLock_);
    return properties_.CreateIntegerProperty(name, value, action);
  }

  // 0, or 2 for an unknown name.
  int SetAllowedValues(const char* name, const std::vector<std::string>& values) {
    PropertyLock lock(propertyLock_);
    return properties_.SetAllowedValues(name, values);
  }
  int AddAllowedValue(const char* name, const char* value) {
    PropertyLock lock(propertyLock_);
    return properties_.AddAllowedValue(name, value);
  }

  // 0; 2 for an unknown name (recorded); 24 when the property refuses the
  // range, logged as "Device adapter requests invalid values ( L, U) for
  // property: NAME" when a callback is set.
  int SetPropertyLimits(const char* name, double lower, double upper) {
    {
      PropertyLock lock(propertyLock_);
      MM::Property* property = FindOrRecord(name);
      if (!property) return MM::Err::InvalidPropertyName;
      if (property->SetLimits(lower, upper)) return MM::Err::Ok;
    }
    std::ostringstream text;
    text << "Device adapter requests invalid values ( " << lower << ", " << upper
         << ") for property: " << NameText(name);
    LogMessage(text.str());
    return MM::Err::InvalidLimits;
  }

  // Runs BeforeRead; 2 unknown, or the handler's non-zero result.
  int GetPropertyValue(const char* name, std::string& value) {
    PropertyLock lock(propertyLock_);
    return NoThrow([&, &map = LockedProperties()] { return map.Get(name, value); });
  }
  // Validates, stores and runs AfterWrite; see PropertyMap::Set.
  int SetPropertyValue(const char* name, const char* value) {
    PropertyLock lock(propertyLock_);
    return NoThrow([&, &map = LockedProperties()] { return map.Set(name, value); });
  }
  int RefreshProperty(const char* name) {
    PropertyLock lock(propertyLock_);
    return NoThrow([&, &map = LockedProperties()] { return map.Refresh(name); });
  }
  int RefreshAllProperties() {
    PropertyLock lock(propertyLock_);
    return NoThrow([&, &map = LockedProperties()] { return map.RefreshAll(); });
  }

  // Refreshes the property, reads it again and reports its text to the host
  // (callback position 15, outside the property lock). Safe from any thread.
  // 0, or the failure of the read (nothing reported then).
  int OnPropertyChanged(const char* name) {
    std::string text;
    {
      PropertyLock lock(propertyLock_);
      int result = ReadChanged(name, text);
      if (result != MM::Err::Ok) return result;
    }
    ReportChanged(name, text);
    return MM::Err::Ok;
  }

  // As OnPropertyChanged, for a thread that another thread may wait for while
  // holding the property lock (a vendor event thread while delivery is being
  // stopped). Instead of blocking on the lock, it tries it every 0.1 ms for
  // as long as `mayWait()` answers true; when it gives up nothing is done.
  enum class Notified { kReported, kReadFailed, kGaveUp };
  template <class MayWait>
  Notified NotifyPropertyChangedWhile(const char* name, MayWait mayWait) {
    if (!LockPropertiesWhile(mayWait)) return Notified::kGaveUp;
    std::string text;
    int result = ReadChanged(name, text);
    propertyLock_.unlock();
    if (result != MM::Err::Ok) return Notified::kReadFailed;
    ReportChanged(name, text);
    return Notified::kReported;
  }

  // The value a property holds now, without running its handler. False when
  // there is no such property.
  bool StoredPropertyValue(const char* name, std::string& value) const {
    PropertyLock lock(propertyLock_);
    MM::Property* property = properties_.Find(name);
    return property != nullptr && property->Get(value);
  }

  HostCallback* GetCallback() const { return callback_.load(); }

  // Callback position 2 with the flag false; nothing without a callback.
  void LogMessage(const std::string& text) const {
    if (HostCallback* callback = GetCallback()) callback->LogMessage(this, text.c_str(), false);
  }

  // The text the device-name slot (38) reports.
  void SetReportedName(const char* name) { StoreText(&CDeviceBase::reportedName_, name); }

  // Adds or replaces an entry of the error-text table.
  void SetErrorText(int code, const char* text) {
    PropertyLock lock(propertyLock_);
    errorTexts_[code] = text ? text : "";
  }

 private:
  using TextLock = pyx::MutexLock;
  static constexpr const char* kHubIdName = "HubID";
  // How long NotifyPropertyChangedWhile waits between two tries of the lock.
  static constexpr std::chrono::microseconds kNotifyLockRetry{100};

  // The map for handlers run through NoThrow: the analysis does not know that
  // a lambda runs while its creator holds the lock.
  PropertyMap& LockedProperties() const REQUIRES(propertyLock_) { return properties_; }

  // The refresh and read of a notification.
  int ReadChanged(const char* name, std::string& text) REQUIRES(propertyLock_) {
    NoThrow([&, &map = LockedProperties()] { return map.Refresh(name); });
    recordedName_ = NameText(name);
    return NoThrow([&, &map = LockedProperties()] { return map.Get(name, text); });
  }
  // Callback position 15, called without the property lock.
  void ReportChanged(const char* name, const std::string& text) {
    char buffer[MM::kMaxHostText];
    CopyToHostBuffer(buffer, text);
    if (HostCallback* callback = GetCallback()) callback->OnPropertyChanged(this, name, buffer);
  }
  template <class MayWait>
  bool LockPropertiesWhile(MayWait mayWait) TRY_ACQUIRE(true, propertyLock_) {
    for (;;) {
      if (propertyLock_.try_lock()) return true;
      if (!mayWait()) return false;
      std::this_thread::sleep_for(kNotifyLockRetry);
    }
  }

  static std::string NameText(const char* name) { return name ? name : ""; }

  // Host calls never see an exception from a handler: it becomes code 1.
  template <class F>
  static int NoThrow(F&& call) noexcept {
    try {
      return call();
    } catch (...) {
      return MM::Err::Unknown;
    }
  }

  MM::Property* FindOrRecord(const char* name) const REQUIRES(propertyLock_) {
    MM::Property* property = properties_.Find(name);
    if (!property) recordedName_ = NameText(name);
    return property;
  }

  // Slots 16 to 18: slot 15 first, then 38 (recorded) when not sequenceable.
  int SequenceableOrError(const char* name, MM::Property*& property) const REQUIRES(propertyLock_) {
    bool sequenceable = false;
    int result = IsPropertySequenceable(name, sequenceable);
    if (result != MM::Err::Ok) return result;
    if (!sequenceable) {
      recordedName_ = NameText(name);
      return MM::Err::NotSequenceable;
    }
    property = properties_.Find(name);
    return MM::Err::Ok;
  }

  int RunSequenceAction(const char* name, MM::ActionKind kind) {
    PropertyLock lock(propertyLock_);
    MM::Property* property = nullptr;
    int result = SequenceableOrError(name, property);
    if (result != MM::Err::Ok) return result;
    return NoThrow([&] { return property->Execute(kind); });
  }

  // Slots 19 to 21: QuerySequenceable (result ignored), then 0 with the
  // property when sequenceable; otherwise 2 or 38 with the name recorded.
  int StoredSequenceOrError(const char* name, MM::Property*& property) REQUIRES(propertyLock_) {
    property = FindOrRecord(name);
    if (!property) return MM::Err::InvalidPropertyName;
    NoThrow([&] { return property->Execute(MM::QuerySequenceable); });
    if (property->IsSequenceable()) return MM::Err::Ok;
    recordedName_ = NameText(name);
    return MM::Err::NotSequenceable;
  }

  // The fields are named by member pointer: the analysis would take a
  // reference to one as an access without the lock.
  using TextField = std::string CDeviceBase::*;
  void StoreText(TextField field, const char* text) {
    TextLock lock(textLock_);
    this->*field = NameText(text);
  }
  void CopyText(TextField field, char* buffer) const {
    TextLock lock(textLock_);
    CopyToHostBuffer(buffer, this->*field);
  }

  // Declared first so that it is destroyed last, after the texts.
  mutable PropertyMap properties_ GUARDED_BY(propertyLock_);
  void* moduleHandle_ GUARDED_BY(textLock_) = nullptr;
  std::string label_ GUARDED_BY(textLock_);
  std::string moduleName_ GUARDED_BY(textLock_);
  std::string description_ GUARDED_BY(textLock_);
  std::map<int, std::string> errorTexts_ GUARDED_BY(propertyLock_);
  double delayMs_ GUARDED_BY(textLock_) = 0.0;
  std::atomic<HostCallback*> callback_{nullptr};
  mutable std::string recordedName_ GUARDED_BY(propertyLock_);
  std::string parentId_ GUARDED_BY(textLock_);
  std::string reportedName_ GUARDED_BY(textLock_);
  mutable pyx::RecursiveMutex propertyLock_ ACQUIRED_BEFORE(textLock_);
  mutable pyx::Mutex textLock_;
};
