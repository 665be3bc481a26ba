// Property compliance on every simulated model: for every property of an
// initialised camera, through the host's raw slots:
//   - limits are ordered and the value lies within them;
//   - the lower limit, the upper limit and the current value can be set and
//     read back; just below and just above the range are refused and leave
//     the value unchanged;
//   - every allowed value can be set and reads back; a value outside the list
//     is refused and leaves the value unchanged;
//   - read-only properties do not change;
//   - non-numeric, empty, huge, NaN, infinite and very long texts are refused
//     or leave a value that the property allows.
// Where the camera legitimately answers with another value than was written,
// the answer is recorded; the properties that may do so are listed below.
#include <gtest/gtest.h>

#include <cctype>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "tests/reliability/reliability_support.h"

namespace reltest {
namespace {

// Properties whose written value the camera may answer differently, and why.
// Most are the camera refusing a setting it does not have: the adapter shows
// what the camera reports, not what was asked.
const std::map<std::string, std::string>& LegitimatelyMapped() {
  static const std::map<std::string, std::string> mapped = {
      // A camera without continuous white balance keeps no mode and always
      // reads "Once".
      {"AutoWhiteBalance", "camera without continuous white balance reads Once"},
      {"AutoWhiteBalanceInterval", "camera without an interval shows the preset 1000"},
      // The percentage reaches the camera only while peak mode is on, and a
      // camera without peak mode (option 74) always reads "OFF".
      {"AutoExposure Peak Mode", "camera without peak mode reads OFF"},
      {"AutoExposure Percent", "stored only while peak mode is on"},
      // The camera caps the maximum at its own gain range.
      {"AutoExposure Maximum Gain", "camera caps at its gain range"},
      // Lines that cannot change direction keep it.
      {"IO:GPIO Mode", "line without both capabilities keeps its direction"},
      // Cameras without hue or saturation control show the presets.
      {"Hue", "camera without hue control shows 0"},
      {"Saturation", "camera without saturation control shows 128"},
      // The reload starts on any accepted value; the property then reads "Click".
      {"FactorySettings", "the reload reads back as Click"},
  };
  return mapped;
}

// Action properties: what they read after acting is not one of the values
// that start the action.
const std::map<std::string, std::string>& ActionAnswers() {
  static const std::map<std::string, std::string> answers = {{"FactorySettings", "Click"}};
  return answers;
}

constexpr const char* kSentinel = "reliability-sentinel-9";

struct Observed {
  std::vector<std::string> problems;
  std::map<std::string, std::string> mapped;  // property -> what the camera answered
  int propertiesChecked = 0;
  int writes = 0;
};

std::string NumberText(int type, double value) {
  char text[64];
  if (type == MM::Integer) {
    std::snprintf(text, sizeof text, "%ld", static_cast<long>(value));
  } else {
    std::snprintf(text, sizeof text, "%.4f", value);
  }
  return text;
}

bool SameNumber(const std::string& a, const std::string& b) {
  char* endA = nullptr;
  char* endB = nullptr;
  const double x = std::strtod(a.c_str(), &endA);
  const double y = std::strtod(b.c_str(), &endB);
  if (endA == a.c_str() || endB == b.c_str()) return a == b;
  return std::fabs(x - y) <= 1e-4 * std::max(1.0, std::fabs(y));
}

class PropertyChecker {
 public:
  PropertyChecker(MM::Camera* camera, const std::string& name, Observed* observed)
      : camera_(camera), name_(name), observed_(observed) {}

  void Run();

 private:
  void Problem(const std::string& text) { observed_->problems.push_back(name_ + ": " + text); }
  std::string Read() {
    int error = 0;
    std::string value = GetProperty(camera_, name_, &error);
    if (error != 0) Problem("read failed with " + std::to_string(error));
    return value;
  }
  int Write(const std::string& value) {
    ++observed_->writes;
    return SetProperty(camera_, name_, value);
  }
  // Writes a value that must be accepted and should read back.
  void WriteAccepted(const std::string& value, bool numeric);
  // Writes a value that must be refused and must leave the value alone.
  void WriteRefused(const std::string& value, const char* what);
  // Writes a hostile text: refused, or a value the property allows.
  void WriteHostile(const std::string& value);
  void CheckValueAllowed(const std::string& value, const std::string& context);

  MM::Camera* camera_;
  std::string name_;
  Observed* observed_;
  int type_ = 0;
  bool readOnly_ = false;
  bool hasLimits_ = false;
  double lower_ = 0.0;
  double upper_ = 0.0;
  std::vector<std::string> allowed_;
};

void PropertyChecker::Run() {
  ++observed_->propertiesChecked;
  EXPECT_EQ(Slot<int(const char*, int&)>(camera_, slot::kType, name_.c_str(), type_), 0);
  EXPECT_EQ(Slot<int(const char*, bool&)>(camera_, slot::kReadOnly, name_.c_str(), readOnly_), 0);
  Slot<int(const char*, bool&)>(camera_, slot::kHasLimits, name_.c_str(), hasLimits_);
  Slot<int(const char*, double&)>(camera_, slot::kLowerLimit, name_.c_str(), lower_);
  Slot<int(const char*, double&)>(camera_, slot::kUpperLimit, name_.c_str(), upper_);
  allowed_ = AllowedValues(camera_, name_);
  const std::string original = Read();

  if (hasLimits_ && !(lower_ < upper_)) Problem("limits not ordered");
  CheckValueAllowed(original, "initial value");

  if (readOnly_) {
    const int result = Write(kSentinel);
    if (result != 0) Problem("read-only write answered " + std::to_string(result));
    if (Read() == kSentinel) Problem("read-only property changed");
    return;
  }

  const bool numeric = type_ == MM::Integer || type_ == MM::Float;
  if (hasLimits_ && numeric) {
    WriteAccepted(NumberText(type_, lower_), true);
    WriteAccepted(NumberText(type_, upper_), true);
    WriteAccepted(original, true);
    const double step = type_ == MM::Integer ? 1.0 : 0.001;
    WriteRefused(NumberText(type_, lower_ - step), "just below the range");
    WriteRefused(NumberText(type_, upper_ + step), "just above the range");
  }
  if (!allowed_.empty()) {
    for (const std::string& value : allowed_) WriteAccepted(value, false);
    if (ActionAnswers().count(name_) == 0) WriteAccepted(original, false);
    WriteRefused(std::string(kSentinel), "a value outside the list");
  }
  for (const std::string& hostile :
       {std::string(), std::string("abc"), std::string("12abc"), std::string("nan"),
        std::string("NaN"), std::string("inf"), std::string("-inf"), std::string("1e308"),
        std::string("-1e308"), std::string("99999999999999999999999"),
        std::string("-99999999999999999999999"), std::string(" 5"), std::string("0x10"),
        std::string(100000, '9'), std::string(100000, 'x'), std::string("\x01\xff\n\t", 4)}) {
    WriteHostile(hostile);
  }
  const auto action = ActionAnswers().find(name_);
  if (action != ActionAnswers().end() && original == action->second) return;
  const int restored = Write(original);
  if (restored != 0) Problem("restoring " + original + " answered " + std::to_string(restored));
}

void PropertyChecker::WriteAccepted(const std::string& value, bool numeric) {
  const int result = Write(value);
  if (result != 0) {
    Problem("writing " + value + " answered " + std::to_string(result));
    return;
  }
  const std::string back = Read();
  const bool same = numeric ? SameNumber(back, value) : back == value;
  if (!same) observed_->mapped[name_] += "wrote " + value + ", read " + back + "; ";
  CheckValueAllowed(back, "after writing " + value);
}

void PropertyChecker::WriteRefused(const std::string& value, const char* what) {
  const std::string before = Read();
  const int result = Write(value);
  if (result != 3) {
    Problem(std::string(what) + " (" + value + ") answered " + std::to_string(result));
  }
  const std::string after = Read();
  if (after != before) {
    Problem(std::string(what) + " changed the value from " + before + " to " + after);
  }
}

void PropertyChecker::WriteHostile(const std::string& value) {
  const int result = Write(value);
  const std::string shown = value.size() > 24 ? value.substr(0, 24) + "..." : value;
  if (result != 0 && result != 3) {
    Problem("hostile text \"" + shown + "\" answered " + std::to_string(result));
  }
  CheckValueAllowed(Read(), "after the hostile text \"" + shown + "\"");
}

void PropertyChecker::CheckValueAllowed(const std::string& value, const std::string& context) {
  const auto action = ActionAnswers().find(name_);
  if (!allowed_.empty() && (action == ActionAnswers().end() || value != action->second)) {
    bool member = false;
    for (const std::string& entry : allowed_) member = member || entry == value;
    if (!member) Problem(context + ": " + value + " is not an allowed value");
  }
  if (type_ == MM::Integer || type_ == MM::Float) {
    char* end = nullptr;
    const double number = std::strtod(value.c_str(), &end);
    if (end == value.c_str() || !std::isfinite(number)) {
      Problem(context + ": " + value + " is not a finite number");
      return;
    }
    // Float limits are kept to four decimals; the value is rounded the same way.
    const double slack = type_ == MM::Float ? 1e-4 : 0.0;
    if (hasLimits_ && (number < lower_ - slack || number > upper_ + slack)) {
      std::ostringstream text;
      text << context << ": " << value << " outside " << lower_ << " to " << upper_;
      Problem(text.str());
    }
  }
}

class PropertyComplianceTest : public ReliabilityTest,
                               public ::testing::WithParamInterface<std::string> {};

TEST_P(PropertyComplianceTest, EveryPropertyKeepsItsContract) {
  const std::string model = GetParam();
  sim_.detach_all();
  ASSERT_EQ(sim_.attach(model.c_str()), 0);
  MM::Camera* camera = devices_.Open(model, &host_);
  ASSERT_NE(camera, nullptr);

  Observed observed;
  const std::vector<std::string> names = PropertyNames(camera);
  ASSERT_GT(names.size(), 10u);
  for (const std::string& name : names) PropertyChecker(camera, name, &observed).Run();

  for (const std::string& problem : observed.problems) ADD_FAILURE() << model << ": " << problem;
  for (const auto& entry : observed.mapped) {
    const bool known = LegitimatelyMapped().count(entry.first) != 0;
    EXPECT_TRUE(known) << model << ": " << entry.first
                       << " does not read back what was written: " << entry.second;
    if (known)
      std::printf("[mapped] %s %s: %s\n", model.c_str(), entry.first.c_str(), entry.second.c_str());
  }
  std::printf("[figures] %s: %d properties, %d writes\n", model.c_str(), observed.propertiesChecked,
              observed.writes);

  // The walk restored every value; the camera still delivers intact frames.
  EXPECT_EQ(Snap(camera), 0);
  EXPECT_NE(SnappedStamp(camera), 0u);
  EXPECT_EQ(PropertyNames(camera), names) << "the walk created or removed properties";
}

std::vector<std::string> CatalogueModels() {
  pyxsim::Client sim;
  std::vector<std::string> models;
  for (int i = 0; i < sim.model_count(); ++i) models.emplace_back(sim.model_name(i));
  return models;
}

INSTANTIATE_TEST_SUITE_P(Catalogue, PropertyComplianceTest, ::testing::ValuesIn(CatalogueModels()),
                         [](const ::testing::TestParamInfo<std::string>& model) {
                           std::string name;
                           for (char c : model.param) {
                             if (std::isalnum(static_cast<unsigned char>(c))) name += c;
                           }
                           return name;
                         });

}  // namespace
}  // namespace reltest
