#include "framework/property.h"

#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <new>

namespace MM {
namespace {

// Numbers are formatted into a work buffer of this size; a value whose text
// would not fit is refused rather than stored and shown cut.
constexpr size_t kNumberTextSize = 60;

// The 64-bit range as doubles: [-2^63, 2^63).
constexpr double kInt64Lowest = -9223372036854775808.0;
constexpr double kInt64Beyond = 9223372036854775808.0;

bool FitsInt64(double value) {
  return value >= kInt64Lowest && value < kInt64Beyond;
}

// Truncates toward zero; false with the nearest bound outside the range.
bool TruncateToInt64(double value, long& result) {
  if (std::isnan(value)) {
    result = 0;
    return false;
  }
  if (!FitsInt64(value)) {
    result = value < 0 ? LONG_MIN : LONG_MAX;
    return false;
  }
  result = static_cast<long>(value);
  return true;
}

// Base 10; unparsable text gives 0. False (value clamped) on overflow.
bool ParseInt64(const char* text, long& result) {
  errno = 0;
  result = std::strtol(text ? text : "", nullptr, 10);
  return errno != ERANGE;
}

double ParseDouble(const char* text) {
  return std::strtod(text ? text : "", nullptr);
}

template <class... Args>
std::string FormatNumber(const char* format, Args... args) {
  char text[kNumberTextSize];
  std::snprintf(text, sizeof text, format, args...);
  return text;
}

}  // namespace

// ---- Property -----------------------------------------------------------------

Property::Property(const char* name) : name_(name ? name : "") {}

Property::~Property() {
  delete action_;
}

bool Property::HasLimits() const {
  return hasLimits_;
}
double Property::GetLowerLimit() const {
  return hasLimits_ ? lowerLimit_ : 0.0;
}
double Property::GetUpperLimit() const {
  return hasLimits_ ? upperLimit_ : 0.0;
}

bool Property::SetLimits(double lower, double upper) {
  hasLimits_ = allowedValues_.empty();
  const bool validRange = std::isfinite(lower) && std::isfinite(upper) && lower < upper;
  if (!validRange) hasLimits_ = false;
  lowerLimit_ = lower;
  upperLimit_ = upper;
  return hasLimits_;
}

void Property::SetSequenceable(long maxLength) {
  sequenceMaxLength_ = maxLength;
  sequenceable_ = maxLength != 0;
}

long Property::GetSequenceMaxLength() const {
  return sequenceMaxLength_;
}
std::vector<std::string> Property::GetSequence() const {
  return sequence_;
}

int Property::ClearSequence() {
  sequence_.clear();
  return 0;
}

int Property::AddToSequence(const char* value) {
  if (!value) return 1;
  try {
    sequence_.emplace_back(value);
  } catch (const std::bad_alloc&) {
    return 1;
  }
  if (static_cast<long>(sequence_.size()) > sequenceMaxLength_) return 39;
  return 0;
}

int Property::SendSequence() {
  return Execute(SequenceLoaded);
}

std::string Property::GetName() const {
  return name_;
}

void Property::RegisterAction(ActionFunctor* action) {
  if (action == action_) return;
  delete action_;
  action_ = action;
}

int Property::Execute(ActionKind kind) {
  return action_ ? action_->Execute(this, kind) : 0;
}

void Property::SetAllowedValues(const std::vector<std::string>& values) {
  allowedValues_.clear();
  allowedValues_.insert(values.begin(), values.end());
  if (!values.empty()) hasLimits_ = false;
}

void Property::AddAllowedValue(const char* value) {
  allowedValues_.insert(value ? value : "");
  hasLimits_ = false;
}

void Property::ClearAllowedValues() {
  allowedValues_.clear();
}

std::vector<std::string> Property::GetAllowedValues() const {
  return {allowedValues_.begin(), allowedValues_.end()};
}

unsigned Property::GetNumberOfAllowedValues() const {
  return static_cast<unsigned>(allowedValues_.size());
}

bool Property::IsAllowed(const char* value) const {
  return value && allowedValues_.count(value) != 0;
}

// ---- StringProperty -----------------------------------------------------------

bool StringProperty::Set(double value) {
  value_ = FormatNumber("%.2g", value);
  return true;
}

bool StringProperty::Set(long value) {
  value_ = FormatNumber("%ld", value);
  return true;
}

bool StringProperty::Set(const char* value) {
  value_ = value ? value : "";
  return true;
}

bool StringProperty::Get(double& value) const {
  value = ParseDouble(value_.c_str());
  return true;
}

bool StringProperty::Get(long& value) const {
  return ParseInt64(value_.c_str(), value);
}

bool StringProperty::Get(std::string& value) const {
  value = value_;
  return true;
}

bool StringProperty::SetLimits(double, double) {
  return false;
}

// ---- FloatProperty ------------------------------------------------------------

bool FloatProperty::Set(double value) {
  if (!std::isfinite(value)) return false;
  // Halves round away from zero.
  const double rounded =
      value >= 0 ? std::floor(value * scale_ + 0.5) : std::ceil(value * scale_ - 0.5);
  double stored = rounded / scale_;
  if (!std::isfinite(stored)) return false;
  if (stored == 0.0) stored = 0.0;  // no "-0.0000" for tiny negatives
  char format[16];
  std::snprintf(format, sizeof format, "%%.%df", decimalPlaces_);
  if (static_cast<size_t>(std::snprintf(nullptr, 0, format, stored)) >= kNumberTextSize) {
    return false;
  }
  if (hasLimits_ && (stored < lowerLimit_ || stored > upperLimit_)) return false;
  value_ = stored;
  return true;
}

bool FloatProperty::Set(long value) {
  return Set(static_cast<double>(value));
}

bool FloatProperty::Set(const char* value) {
  return Set(ParseDouble(value));
}

bool FloatProperty::Get(double& value) const {
  value = value_;
  return true;
}

bool FloatProperty::Get(long& value) const {
  return TruncateToInt64(value_, value);
}

bool FloatProperty::Get(std::string& value) const {
  char format[16];
  std::snprintf(format, sizeof format, "%%.%df", decimalPlaces_);
  value = FormatNumber(format, value_);
  return true;
}

bool FloatProperty::SetLimits(double lower, double upper) {
  const double roundedUpper = std::floor(upper * scale_) / scale_;
  const double roundedLower = std::ceil(lower * scale_) / scale_;
  return Property::SetLimits(roundedLower, roundedUpper);
}

// ---- IntegerProperty ----------------------------------------------------------

bool IntegerProperty::Set(double value) {
  long truncated = 0;
  if (!TruncateToInt64(value, truncated)) return false;
  return Set(truncated);
}

bool IntegerProperty::Set(long value) {
  const double asDouble = static_cast<double>(value);
  if (hasLimits_ && (asDouble < lowerLimit_ || asDouble > upperLimit_)) return false;
  value_ = value;
  return true;
}

bool IntegerProperty::Set(const char* value) {
  long parsed = 0;
  if (!ParseInt64(value, parsed)) return false;
  return Set(parsed);
}

bool IntegerProperty::Get(double& value) const {
  value = static_cast<double>(value_);
  return true;
}

bool IntegerProperty::Get(long& value) const {
  value = value_;
  return true;
}

bool IntegerProperty::Get(std::string& value) const {
  value = FormatNumber("%ld", value_);
  return true;
}

}  // namespace MM
