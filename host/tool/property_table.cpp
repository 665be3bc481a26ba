// Rendering of property lists.
#include "host/tool/property_table.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <sstream>

namespace pyxtool {

namespace {

std::string Join(const std::vector<std::string>& items, const std::string& separator) {
  std::string out;
  for (size_t i = 0; i < items.size(); ++i) {
    if (i > 0) out += separator;
    out += items[i];
  }
  return out;
}

// Markdown cells must not contain a bare '|' or a line break.
std::string MarkdownCell(const std::string& text) {
  std::string out;
  for (const char c : text) {
    if (c == '|')
      out += "\\|";
    else if (c == '\n')
      out += ' ';
    else
      out += c;
  }
  return out;
}

std::string DisplayValue(const PropertyInfo& property) {
  return property.readError != 0 ? "(unreadable: " + property.readErrorText + ")" : property.value;
}

}  // namespace

std::vector<PropertyInfo> ReadProperties(pyxhost::Camera& camera) {
  std::vector<PropertyInfo> properties;
  for (const std::string& name : camera.PropertyNames()) {
    PropertyInfo info;
    info.name = name;
    info.value = camera.GetProperty(name, &info.readError);
    if (info.readError != 0) info.readErrorText = camera.ErrorText(info.readError);
    info.type = camera.PropertyType(name);
    info.readOnly = camera.IsReadOnly(name);
    info.hasLimits = camera.Limits(name, &info.lower, &info.upper);
    info.allowed = camera.AllowedValues(name);
    properties.push_back(std::move(info));
  }
  return properties;
}

std::string TypeName(int type) {
  switch (type) {
    case MM::String:
      return "String";
    case MM::Float:
      return "Float";
    case MM::Integer:
      return "Integer";
    default:
      return "Undefined";
  }
}

std::string FormatNumber(double value) {
  char text[32];
  for (int precision = 6; precision <= 17; ++precision) {
    std::snprintf(text, sizeof text, "%.*g", precision, value);
    if (std::strtod(text, nullptr) == value) break;
  }
  return text;
}

std::string DescribeRange(const PropertyInfo& property) {
  if (!property.allowed.empty()) return Join(property.allowed, ", ");
  if (property.hasLimits)
    return FormatNumber(property.lower) + " .. " + FormatNumber(property.upper);
  return std::string();
}

std::string RenderPropertyTable(const std::vector<PropertyInfo>& properties) {
  const std::vector<std::string> headings = {"NAME", "VALUE", "TYPE", "ACCESS", "ALLOWED / LIMITS"};
  std::vector<std::vector<std::string>> rows;
  for (const PropertyInfo& property : properties) {
    rows.push_back({property.name, DisplayValue(property), TypeName(property.type),
                    property.readOnly ? "read-only" : "read-write", DescribeRange(property)});
  }
  std::vector<size_t> widths(headings.size(), 0);
  for (size_t c = 0; c < headings.size(); ++c) widths[c] = headings[c].size();
  for (const auto& row : rows)
    for (size_t c = 0; c + 1 < row.size(); ++c) widths[c] = std::max(widths[c], row[c].size());

  std::ostringstream out;
  auto printRow = [&](const std::vector<std::string>& row) {
    std::string line;
    for (size_t c = 0; c < row.size(); ++c) {
      line += row[c];
      if (c + 1 < row.size()) line += std::string(widths[c] - row[c].size() + 2, ' ');
    }
    while (!line.empty() && line.back() == ' ') line.pop_back();
    out << line << '\n';
  };
  printRow(headings);
  for (const auto& row : rows) printRow(row);
  return out.str();
}

nlohmann::json PropertiesJson(const std::vector<PropertyInfo>& properties) {
  nlohmann::json json = nlohmann::json::object();
  for (const PropertyInfo& property : properties) {
    nlohmann::json entry;
    entry["value"] = property.value;
    if (property.readError != 0) entry["error"] = property.readErrorText;
    entry["type"] = TypeName(property.type);
    entry["readOnly"] = property.readOnly;
    if (!property.allowed.empty()) entry["allowed"] = property.allowed;
    if (property.hasLimits) entry["limits"] = {property.lower, property.upper};
    json[property.name] = entry;
  }
  return json;
}

std::string RenderMarkdownTable(const std::vector<PropertyInfo>& properties) {
  std::ostringstream out;
  out << "| Property | Type | Read-only | Values or limits | Initial value |\n"
      << "|---|---|---|---|---|\n";
  for (const PropertyInfo& property : properties) {
    out << "| " << MarkdownCell(property.name) << " | " << TypeName(property.type) << " | "
        << (property.readOnly ? "yes" : "no") << " | " << MarkdownCell(DescribeRange(property))
        << " | " << MarkdownCell(DisplayValue(property)) << " |\n";
  }
  return out.str();
}

std::vector<std::pair<std::string, std::string>> SettingsOf(
    const std::vector<PropertyInfo>& properties) {
  std::vector<std::pair<std::string, std::string>> settings;
  for (const PropertyInfo& property : properties)
    if (property.readError == 0) settings.emplace_back(property.name, property.value);
  return settings;
}

}  // namespace pyxtool
