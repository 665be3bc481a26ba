// Commands that look at devices and properties: devices, props, get, set, reference.
#include <cstdio>
#include <iostream>

#include "host/tool/commands.h"
#include "host/tool/property_table.h"
#include "host/tool/text_safety.h"
#include "host/tool/tool_error.h"

namespace pyxtool {

namespace {

// Readings of a working sensor: their value right after initialisation is an
// accident of timing, so the reference names them instead of quoting a number
// that would change with every run.
const char* const kLiveReadings[] = {"Temperature", "TECPower"};

void MarkLiveReadings(std::vector<PropertyInfo>& properties) {
  for (PropertyInfo& property : properties) {
    for (const char* reading : kLiveReadings)
      if (property.readOnly && property.name == reading) property.value = "(live reading)";
  }
}

std::string TypeText(int type) {
  return type == MM::kCameraDeviceType ? "camera" : std::to_string(type);
}

}  // namespace

int RunDevices(const CommonOptions& options, bool json) {
  ModuleSession session(options.module);
  if (options.verbose) std::fprintf(stderr, "pyxon: module %s\n", session.modulePath().c_str());
  if (json) {
    nlohmann::json list = nlohmann::json::array();
    for (const auto& device : session.devices())
      list.push_back({{"name", device.name},
                      {"type", TypeText(device.type)},
                      {"description", device.description}});
    std::cout << DumpJson(list) << '\n';
    return kExitOk;
  }
  size_t width = 4;
  for (const auto& device : session.devices()) width = std::max(width, device.name.size());
  std::printf("%-*s  %-6s  %s\n", static_cast<int>(width), "NAME", "TYPE", "DESCRIPTION");
  for (const auto& device : session.devices()) {
    std::printf("%-*s  %-6s  %s\n", static_cast<int>(width), ValidUtf8(device.name).c_str(),
                TypeText(device.type).c_str(), ValidUtf8(device.description).c_str());
  }
  return kExitOk;
}

int RunProps(const CommonOptions& options, bool json) {
  CameraContext context(options);
  const std::vector<PropertyInfo> properties = ReadProperties(context.camera().access());
  if (json) {
    std::cout << DumpJson(PropertiesJson(properties)) << '\n';
  } else {
    std::cout << ValidUtf8(RenderPropertyTable(properties));
  }
  return kExitOk;
}

int RunGet(const CommonOptions& options, const std::vector<std::string>& names) {
  CameraContext context(options);
  // Read everything first so a bad name fails before anything is printed.
  std::vector<std::string> values;
  for (const std::string& name : names) values.push_back(context.camera().get(name));
  for (size_t i = 0; i < names.size(); ++i) {
    if (names.size() == 1)
      std::cout << ValidUtf8(values[i]) << '\n';
    else
      std::cout << names[i] << '=' << ValidUtf8(values[i]) << '\n';
  }
  return kExitOk;
}

int RunSet(const CommonOptions& options, const std::vector<std::string>& assignments) {
  for (const std::string& assignment : assignments) SplitAssignment(assignment);  // syntax first
  CameraContext context(options);
  for (const std::string& assignment : assignments) {
    const auto [name, value] = SplitAssignment(assignment);
    const std::string result = context.camera().set(name, value);
    std::cout << name << '=' << ValidUtf8(result) << '\n';
  }
  return kExitOk;
}

int RunReference(const CommonOptions& options, bool markdown) {
  ModuleOptions moduleOptions = options.module;
  // The reference covers every simulated model unless one was chosen.
  moduleOptions.everyModel = moduleOptions.model.empty();
  ModuleSession session(moduleOptions);
  bool first = true;
  for (const auto& device : session.devices()) {
    CameraSession camera(session, device.name);
    std::vector<PropertyInfo> properties = ReadProperties(camera.access());
    MarkLiveReadings(properties);
    if (!first) std::cout << '\n';
    first = false;
    if (markdown) {
      std::cout << "### " << ValidUtf8(device.name) << "\n\n"
                << ValidUtf8(RenderMarkdownTable(properties));
    } else {
      std::cout << ValidUtf8(device.name) << " (" << properties.size() << " properties)\n"
                << ValidUtf8(RenderPropertyTable(properties));
    }
  }
  return kExitOk;
}

}  // namespace pyxtool
