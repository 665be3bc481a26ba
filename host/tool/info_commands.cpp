// Commands that look at devices and properties: devices, props, get, set, reference.
#include <cstdio>
#include <iostream>

#include "host/tool/command_line.h"
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

void RegisterDevices(CommandLine& line) {
  auto json = std::make_shared<bool>(false);
  CommonOptions& common = line.common();
  CLI::App* devices = line.add("devices", "list the devices the module offers",
                               [json, &common] { return RunDevices(common, *json); });
  devices->add_flag("--json", *json, "print JSON");
  AddExamples(devices,
              "  pyxon devices\n  pyxon devices --json\n  pyxon --model PX-FULL devices\n");
}

void RegisterProps(CommandLine& line) {
  auto json = std::make_shared<bool>(false);
  CommonOptions& common = line.common();
  CLI::App* props = line.add("props", "show every property of a camera",
                             [json, &common] { return RunProps(common, *json); });
  props->add_flag("--json", *json, "print JSON");
  AddSettingsOption(props, common, "before listing");
  AddExamples(props, "  pyxon props --camera PX-678C\n  pyxon props --json --set Binning=2\n");
}

void RegisterGet(CommandLine& line) {
  auto names = std::make_shared<std::vector<std::string>>();
  CommonOptions& common = line.common();
  CLI::App* get =
      line.add("get", "print property values", [names, &common] { return RunGet(common, *names); });
  get->add_option("NAME", *names, "property names")->required();
  AddSettingsOption(get, common, "before reading");
  AddExamples(get, "  pyxon get Exposure\n  pyxon get Exposure PixelType --camera PX-2600M-COOL\n");
}

void RegisterSet(CommandLine& line) {
  auto assignments = std::make_shared<std::vector<std::string>>();
  CommonOptions& common = line.common();
  CLI::App* set = line.add("set", "set properties and print the values that result",
                           [assignments, &common] { return RunSet(common, *assignments); });
  set->add_option("NAME=VALUE", *assignments, "properties to set, in order")->required();
  AddExamples(set,
              "  pyxon set Exposure=20\n  pyxon set \"Resolution=640 x 480\" PixelType=RAW12\n");
}

void RegisterReference(CommandLine& line) {
  auto markdown = std::make_shared<bool>(false);
  CommonOptions& common = line.common();
  CLI::App* reference =
      line.add("reference", "print the property reference of every simulated camera model",
               [markdown, &common] { return RunReference(common, *markdown); });
  reference->add_flag("--markdown", *markdown, "print Markdown tables");
  AddExamples(reference, "  pyxon reference\n  pyxon reference --markdown --model PX-120M\n");
}

}  // namespace pyxtool
