#include "framework/property_map.h"

#include <sstream>

#include "framework/error_codes.h"

namespace {

std::unique_ptr<MM::Property> MakeProperty(const char* name, MM::PropertyType type) {
  switch (type) {
    case MM::String:
      return std::make_unique<MM::StringProperty>(name);
    case MM::Float:
      return std::make_unique<MM::FloatProperty>(name);
    case MM::Integer:
      return std::make_unique<MM::IntegerProperty>(name);
    default:
      return nullptr;
  }
}

}  // namespace

int PropertyMap::CreateProperty(const char* name, const char* value, MM::PropertyType type,
                                bool readOnly, MM::ActionFunctor* action, bool preInit) {
  // Owned from here on, so that a refused creation does not leak it.
  std::unique_ptr<MM::ActionFunctor> ownedAction(action);
  if (!name) return MM::Err::InvalidPropertyName;
  if (properties_.count(name) != 0) return MM::Err::DuplicateProperty;
  std::unique_ptr<MM::Property> property = MakeProperty(name, type);
  if (!property) return MM::Err::InvalidPropertyType;
  property->Set(value ? value : "");
  property->SetReadOnly(readOnly);
  property->SetInitStatus(preInit);
  property->RegisterAction(ownedAction.release());
  properties_.emplace(name, std::move(property));
  return MM::Err::Ok;
}

int PropertyMap::CreateFloatProperty(const char* name, double value, bool readOnly,
                                     MM::ActionFunctor* action) {
  std::ostringstream text;
  text << value;
  return CreateProperty(name, text.str().c_str(), MM::Float, readOnly, action, false);
}

int PropertyMap::CreateIntegerProperty(const char* name, long value, MM::ActionFunctor* action) {
  std::ostringstream text;
  text << value;
  return CreateProperty(name, text.str().c_str(), MM::Integer, false, action, false);
}

int PropertyMap::SetAllowedValues(const char* name, const std::vector<std::string>& values) {
  MM::Property* property = Find(name);
  if (!property) return MM::Err::InvalidPropertyName;
  property->SetAllowedValues(values);
  return MM::Err::Ok;
}

int PropertyMap::AddAllowedValue(const char* name, const char* value) {
  MM::Property* property = Find(name);
  if (!property) return MM::Err::InvalidPropertyName;
  property->AddAllowedValue(value);
  return MM::Err::Ok;
}

MM::Property* PropertyMap::Find(const char* name) const {
  if (!name) return nullptr;
  auto entry = properties_.find(name);
  return entry == properties_.end() ? nullptr : entry->second.get();
}

unsigned PropertyMap::GetSize() const {
  return static_cast<unsigned>(properties_.size());
}

bool PropertyMap::GetName(unsigned index, std::string& name) const {
  if (index >= properties_.size()) return false;
  auto entry = properties_.begin();
  std::advance(entry, index);
  name = entry->first;
  return true;
}

int PropertyMap::Get(const char* name, std::string& value) {
  MM::Property* property = Find(name);
  if (!property) return MM::Err::InvalidPropertyName;
  int result = property->Execute(MM::BeforeRead);
  if (result != MM::Err::Ok) return result;
  property->Get(value);
  return MM::Err::Ok;
}

int PropertyMap::Set(const char* name, const char* value) {
  MM::Property* property = Find(name);
  if (!property) return MM::Err::InvalidPropertyName;
  if (property->GetReadOnly()) return MM::Err::Ok;
  if (property->GetNumberOfAllowedValues() > 0 && !property->IsAllowed(value)) {
    return MM::Err::InvalidPropertyValue;
  }
  if (!property->Set(value ? value : "")) return MM::Err::InvalidPropertyValue;
  return property->Execute(MM::AfterWrite);
}

int PropertyMap::Refresh(const char* name) {
  MM::Property* property = Find(name);
  if (!property) return MM::Err::InvalidPropertyName;
  return property->Execute(MM::BeforeRead);
}

int PropertyMap::RefreshAll() {
  for (auto& entry : properties_) {
    int result = entry.second->Execute(MM::BeforeRead);
    if (result != MM::Err::Ok) return result;
  }
  return MM::Err::Ok;
}
