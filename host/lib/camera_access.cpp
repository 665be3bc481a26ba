// Typed access to a camera device through the host's slots (pyxhost::Camera).
#include "host/lib/host.h"

namespace pyxhost {

namespace {

// Every text the device writes goes into a host-sized buffer; the last byte is
// forced to zero so that a device that fails to terminate cannot make us read on.
struct HostText {
  char text[MM::kMaxHostText] = {};
  std::string str() {
    text[sizeof text - 1] = '\0';
    return text;
  }
};

}  // namespace

std::string Camera::GetProperty(const std::string& name, int* error) const {
  HostText value;
  const int result = camera_->GetProperty(name.c_str(), value.text);
  if (error != nullptr) *error = result;
  return result == 0 ? value.str() : std::string();
}

int Camera::SetProperty(const std::string& name, const std::string& value) {
  return camera_->SetProperty(name.c_str(), value.c_str());
}

bool Camera::HasProperty(const std::string& name) const {
  return camera_->HasProperty(name.c_str());
}

bool Camera::IsReadOnly(const std::string& name) const {
  bool readOnly = false;
  return camera_->GetPropertyReadOnly(name.c_str(), readOnly) == 0 && readOnly;
}

int Camera::PropertyType(const std::string& name) const {
  int type = MM::Undef;
  if (camera_->GetPropertyType(name.c_str(), type) != 0) return MM::Undef;
  return type;
}

bool Camera::Limits(const std::string& name, double* lower, double* upper) const {
  bool hasLimits = false;
  if (camera_->HasPropertyLimits(name.c_str(), hasLimits) != 0 || !hasLimits) return false;
  double low = 0.0;
  double high = 0.0;
  if (camera_->GetPropertyLowerLimit(name.c_str(), low) != 0) return false;
  if (camera_->GetPropertyUpperLimit(name.c_str(), high) != 0) return false;
  if (lower != nullptr) *lower = low;
  if (upper != nullptr) *upper = high;
  return true;
}

std::vector<std::string> Camera::PropertyNames() const {
  std::vector<std::string> names;
  const unsigned count = camera_->GetNumberOfProperties();
  for (unsigned i = 0; i < count; ++i) {
    HostText name;
    if (camera_->GetPropertyName(i, name.text)) names.push_back(name.str());
  }
  return names;
}

std::vector<std::string> Camera::AllowedValues(const std::string& name) const {
  std::vector<std::string> values;
  const unsigned count = camera_->GetNumberOfPropertyValues(name.c_str());
  for (unsigned i = 0; i < count; ++i) {
    HostText value;
    if (camera_->GetPropertyValueAt(name.c_str(), i, value.text)) values.push_back(value.str());
  }
  return values;
}

std::string Camera::ErrorText(int code) const {
  HostText text;
  camera_->GetErrorText(code, text.text);
  return text.str();
}

std::string Camera::Name() const {
  HostText name;
  camera_->GetName(name.text);
  return name.str();
}

std::string Camera::Description() const {
  HostText description;
  camera_->GetDescription(description.text);
  return description.str();
}

}  // namespace pyxhost
