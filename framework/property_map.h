// The properties of one device, ordered by name (plain byte-wise comparison).
//
// Not locked: the owning device (device_base.h) holds its property lock around
// every call, including the actions that Get, Set and the refreshes run.
#pragma once

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "framework/property.h"

class PropertyMap {
 public:
  // Makes a property of `type` (1 String, 2 Float, 3 Integer), stores the
  // initial value with set-from-text, the flags, and only then the action,
  // so the initial value reaches no handler.
  // Returns 0; 4 when the name exists (the first property stays); 5 for
  // another type code; 2 for a null name.
  // The map takes ownership of `action` in every case: when no property is
  // made, the action is deleted.
  int CreateProperty(const char* name, const char* value, MM::PropertyType type, bool readOnly,
                     MM::ActionFunctor* action, bool preInit);
  // The number in default stream formatting (six significant digits), type 2.
  int CreateFloatProperty(const char* name, double value, bool readOnly, MM::ActionFunctor* action);
  // Type 3, never read-only.
  int CreateIntegerProperty(const char* name, long value, MM::ActionFunctor* action);

  // 0, or 2 when the name is unknown.
  int SetAllowedValues(const char* name, const std::vector<std::string>& values);
  int AddAllowedValue(const char* name, const char* value);

  MM::Property* Find(const char* name) const;  // null for an unknown or null name
  unsigned GetSize() const;
  // False when index >= size.
  bool GetName(unsigned index, std::string& name) const;

  // 2 unknown; the BeforeRead result when it is not 0; else 0 with the text.
  int Get(const char* name, std::string& value);
  // 2 unknown; 0 for a read-only property (nothing stored, no action); 3 when
  // the text is not an allowed value or is refused; else the AfterWrite
  // result (the value stays stored even when it is not 0).
  int Set(const char* name, const char* value);
  // 2 unknown; the BeforeRead result; 0 without an action.
  int Refresh(const char* name);
  // BeforeRead on every property with an action, in name order; the first
  // non-zero result ends the walk and is returned.
  int RefreshAll();

 private:
  std::map<std::string, std::unique_ptr<MM::Property>> properties_;
};
