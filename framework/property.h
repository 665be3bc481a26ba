// Device properties: named values of three types with limits, allowed values,
// sequence storage and an action that calls back into the owning device.
//
// The host reaches a property only through its device (device_base.h); the
// device calls the virtual operations of MM::PropertyBase by their position in
// the table, so never reorder, insert or remove a virtual declaration here.
// Positions are written beside each declaration.
//
// Threading: a property has no lock of its own. Its device takes its property
// lock around every operation (see device_base.h); handlers receive the
// property while that lock is held.
#pragma once

#include <set>
#include <string>
#include <vector>

#include "framework/mm_device.h"

namespace MM {

class PropertyBase;

// The callback a property runs when it is read, written or sequenced.
class ActionFunctor {
 public:
  virtual ~ActionFunctor() = default;                                // 0, 1
  virtual int Execute(PropertyBase* property, ActionKind kind) = 0;  // 2
};

// Binds one member handler of the owning device: handler(property, kind).
template <class T>
class Action : public ActionFunctor {
 public:
  using Handler = int (T::*)(PropertyBase*, ActionKind);

  Action(T* owner, Handler handler) : owner_(owner), handler_(handler) {}

  int Execute(PropertyBase* property, ActionKind kind) override {
    return (owner_->*handler_)(property, kind);
  }

 private:
  T* owner_;
  Handler handler_;
};

// Abstract property interface; slots 0 to 19.
class PropertyBase {
 public:
  virtual ~PropertyBase() = default;                         // 0, 1
  virtual PropertyType GetType() const = 0;                  // 2
  virtual bool Set(double value) = 0;                        // 3
  virtual bool Set(long value) = 0;                          // 4
  virtual bool Set(const char* value) = 0;                   // 5
  virtual bool Get(double& value) const = 0;                 // 6
  virtual bool Get(long& value) const = 0;                   // 7
  virtual bool Get(std::string& value) const = 0;            // 8
  virtual bool HasLimits() const = 0;                        // 9
  virtual double GetLowerLimit() const = 0;                  // 10
  virtual double GetUpperLimit() const = 0;                  // 11
  virtual bool SetLimits(double lower, double upper) = 0;    // 12
  virtual void SetSequenceable(long maxLength) = 0;          // 13
  virtual long GetSequenceMaxLength() const = 0;             // 14
  virtual std::vector<std::string> GetSequence() const = 0;  // 15
  virtual int ClearSequence() = 0;                           // 16
  virtual int AddToSequence(const char* value) = 0;          // 17
  virtual int SendSequence() = 0;                            // 18
  virtual std::string GetName() const = 0;                   // 19
};

// Shared implementation of slots 9 to 19 plus the flags, the action and the
// allowed values. The concrete classes below supply slots 2 to 8.
class Property : public PropertyBase {
 public:
  explicit Property(const char* name);
  ~Property() override;
  Property(const Property&) = delete;
  Property& operator=(const Property&) = delete;

  bool HasLimits() const override;
  double GetLowerLimit() const override;
  double GetUpperLimit() const override;
  // Integer rule: no rounding; refused (false, no limits) for an empty,
  // inverted or non-finite range or when allowed values exist. The numbers
  // are stored in every case.
  bool SetLimits(double lower, double upper) override;
  void SetSequenceable(long maxLength) override;
  long GetSequenceMaxLength() const override;
  std::vector<std::string> GetSequence() const override;
  int ClearSequence() override;
  // 0; 1 for a null text; 39 when the list is now longer than the maximum
  // (the value stays stored).
  int AddToSequence(const char* value) override;
  // The action's result for SequenceLoaded; 0 without an action.
  int SendSequence() override;
  std::string GetName() const override;

  bool GetReadOnly() const { return readOnly_; }
  void SetReadOnly(bool readOnly) { readOnly_ = readOnly; }
  bool GetInitStatus() const { return preInit_; }
  void SetInitStatus(bool preInit) { preInit_ = preInit; }
  bool IsSequenceable() const { return sequenceable_; }

  ActionFunctor* GetAction() const { return action_; }
  // Takes ownership; deletes the previous action.
  void RegisterAction(ActionFunctor* action);
  // Runs the action with `kind`; 0 without an action.
  int Execute(ActionKind kind);

  // Replaces the whole set (duplicates kept once); a non-empty list clears
  // the limits.
  void SetAllowedValues(const std::vector<std::string>& values);
  // Adds one text to the set and clears the limits.
  void AddAllowedValue(const char* value);
  void ClearAllowedValues();
  // In set order: plain byte-wise comparison, not the order they were given.
  std::vector<std::string> GetAllowedValues() const;
  unsigned GetNumberOfAllowedValues() const;
  bool IsAllowed(const char* value) const;  // exact, case-sensitive

 protected:
  bool readOnly_ = false;
  ActionFunctor* action_ = nullptr;  // owned
  bool preInit_ = false;
  bool hasLimits_ = false;
  bool sequenceable_ = false;
  long sequenceMaxLength_ = 0;
  std::vector<std::string> sequence_;
  double lowerLimit_ = 0.0;
  double upperLimit_ = 0.0;
  std::set<std::string> allowedValues_;
  std::string name_;
};

class StringProperty : public Property {
 public:
  explicit StringProperty(const char* name) : Property(name) {}

  PropertyType GetType() const override { return String; }
  bool Set(double value) override;       // "%.2g"
  bool Set(long value) override;         // "%ld"
  bool Set(const char* value) override;  // stored unchanged; null stores ""
  bool Get(double& value) const override;
  // false (value clamped) when the text is a number outside the 64-bit range.
  bool Get(long& value) const override;
  bool Get(std::string& value) const override;
  bool SetLimits(double lower, double upper) override;  // always false

 private:
  std::string value_;
};

// Kept rounded to four decimals; halves round away from zero.
class FloatProperty : public Property {
 public:
  explicit FloatProperty(const char* name) : Property(name) {}

  PropertyType GetType() const override { return Float; }
  // Refuses NaN, infinity and magnitudes whose fixed-point text would not fit
  // the 59-character bound.
  bool Set(double value) override;
  bool Set(long value) override;
  bool Set(const char* value) override;  // unparsable text gives 0.0
  bool Get(double& value) const override;
  // Truncated toward zero; false (value clamped) outside the 64-bit range.
  bool Get(long& value) const override;
  bool Get(std::string& value) const override;  // fixed point, four decimals
  // Upper rounded down and lower rounded up to four decimals, then the
  // integer rule.
  bool SetLimits(double lower, double upper) override;

  int GetDecimalPlaces() const { return decimalPlaces_; }

 private:
  double value_ = 0.0;
  int decimalPlaces_ = 4;
  double scale_ = 10000.0;
};

class IntegerProperty : public Property {
 public:
  explicit IntegerProperty(const char* name) : Property(name) {}

  PropertyType GetType() const override { return Integer; }
  // Truncates toward zero; refuses NaN, infinity and values outside the
  // 64-bit range.
  bool Set(double value) override;
  bool Set(long value) override;
  // Base 10; unparsable text gives 0; refuses numbers outside the 64-bit range.
  bool Set(const char* value) override;
  bool Get(double& value) const override;
  bool Get(long& value) const override;
  bool Get(std::string& value) const override;  // "%ld"

 private:
  long value_ = 0;
};

}  // namespace MM
