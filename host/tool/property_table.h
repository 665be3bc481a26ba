// A camera's properties as the tool shows them: plain text, JSON and Markdown.
#pragma once

#include <string>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

#include "host/lib/host.h"

namespace pyxtool {

struct PropertyInfo {
  std::string name;
  std::string value;  // empty when the read failed
  int type = 0;       // MM::PropertyType
  bool readOnly = false;
  bool hasLimits = false;
  double lower = 0;
  double upper = 0;
  std::vector<std::string> allowed;
  int readError = 0;  // non-zero: the device's code for a failed read
  std::string readErrorText;
};

// Every property of the camera in the device's (name) order, each value read
// through the device, as the host reads it.
std::vector<PropertyInfo> ReadProperties(pyxhost::Camera& camera);

// "String", "Float", "Integer".
std::string TypeName(int type);
// "OFF, ON", "16 .. 220", or "" for a free value.
std::string DescribeRange(const PropertyInfo& property);
// Limits in the shortest form that reads back exactly ("0.1", "5000").
std::string FormatNumber(double value);

// An aligned table: NAME VALUE TYPE ACCESS ALLOWED/LIMITS.
std::string RenderPropertyTable(const std::vector<PropertyInfo>& properties);
// {"Name": {"value": ..., "type": ..., "readOnly": ..., "limits"|"allowed": ...}, ...}
nlohmann::json PropertiesJson(const std::vector<PropertyInfo>& properties);
// One Markdown table (Property | Type | Read-only | Values or limits | Initial value).
std::string RenderMarkdownTable(const std::vector<PropertyInfo>& properties);

// name -> value of every readable property.
std::vector<std::pair<std::string, std::string>> SettingsOf(
    const std::vector<PropertyInfo>& properties);

}  // namespace pyxtool
