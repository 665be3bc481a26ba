// Module loading, simulator set-up and camera sessions.
#include "host/tool/session.h"

#include <limits.h>
#include <stdlib.h>
#include <strings.h>
#include <unistd.h>

#include <dirent.h>

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdio>
#include <cstdlib>

#include "host/tool/library_check.h"
#include "host/tool/property_table.h"
#include "host/tool/text_safety.h"
#include "host/tool/tool_error.h"
#include "sim/sim_client.h"

namespace pyxtool {

namespace {

constexpr const char* kModuleFileName = "vuzezod_dal_Pyxon.so";
constexpr const char* kLibraryFileName = "libPyxon.so";

std::string DirectoryOf(const std::string& path) {
  const size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

std::string CanonicalPath(const std::string& path) {
  char resolved[PATH_MAX];
  return realpath(path.c_str(), resolved) != nullptr ? std::string(resolved) : path;
}

bool Exists(const std::string& path) {
  return access(path.c_str(), F_OK) == 0;
}

std::string Lower(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return text;
}

std::string JoinNames(const std::vector<std::string>& names) {
  std::string out;
  for (const std::string& name : names) out += (out.empty() ? "" : ", ") + name;
  return out;
}

size_t EditDistance(const std::string& a, const std::string& b) {
  std::vector<size_t> row(b.size() + 1);
  for (size_t j = 0; j <= b.size(); ++j) row[j] = j;
  for (size_t i = 1; i <= a.size(); ++i) {
    size_t diagonal = row[0];
    row[0] = i;
    for (size_t j = 1; j <= b.size(); ++j) {
      const size_t above = row[j];
      row[j] = std::min({row[j] + 1, row[j - 1] + 1, diagonal + (a[i - 1] == b[j - 1] ? 0 : 1)});
      diagonal = above;
    }
  }
  return row[b.size()];
}

// Names a user probably meant, best first: the same letters ignoring case,
// then names within two edits, then names containing the text.
std::vector<std::string> SimilarNames(const std::string& wanted,
                                      const std::vector<std::string>& names) {
  const std::string key = Lower(wanted);
  std::vector<std::pair<size_t, std::string>> ranked;
  for (const std::string& name : names) {
    const std::string candidate = Lower(name);
    const size_t distance = EditDistance(candidate, key);
    if (candidate == key)
      ranked.emplace_back(0, name);
    else if (distance <= 2)
      ranked.emplace_back(distance, name);
    else if (key.size() >= 3 && candidate.find(key) != std::string::npos)
      ranked.emplace_back(3, name);
  }
  std::stable_sort(ranked.begin(), ranked.end(),
                   [](const auto& a, const auto& b) { return a.first < b.first; });
  // Near misses (a slip of case or of a letter or two) hide mere containment.
  const bool nearMiss = !ranked.empty() && ranked.front().first < 3;
  std::vector<std::string> similar;
  for (const auto& entry : ranked) {
    if (similar.size() == 4 || (nearMiss && entry.first >= 3)) break;
    similar.push_back(entry.second);
  }
  return similar;
}

// The camera library the module will load: the file in the module's folder
// named like the module without its prefix, matched ignoring case as the
// module matches it. Empty when there is none.
std::string CameraLibraryBeside(const std::string& directory) {
  DIR* folder = opendir(directory.c_str());
  if (folder == nullptr) return std::string();
  std::string found;
  while (const dirent* entry = readdir(folder)) {
    if (strcasecmp(entry->d_name, kLibraryFileName) == 0) {
      found = directory + "/" + entry->d_name;
      break;
    }
  }
  closedir(folder);
  return found;
}

// True when the camera holds what was asked for: the same text, or the same
// number written another way ("20" and "20.0000").
bool SameValue(const std::string& asked, const std::string& held) {
  if (asked == held) return true;
  char* askedEnd = nullptr;
  char* heldEnd = nullptr;
  const double a = std::strtod(asked.c_str(), &askedEnd);
  const double h = std::strtod(held.c_str(), &heldEnd);
  return !asked.empty() && !held.empty() && *askedEnd == '\0' && *heldEnd == '\0' &&
         std::isfinite(a) && a == h;
}

std::string RangeHint(pyxhost::Camera& camera, const std::string& property) {
  const std::vector<std::string> allowed = camera.AllowedValues(property);
  if (!allowed.empty()) return " (allowed: " + JoinNames(allowed) + ")";
  double lower = 0;
  double upper = 0;
  if (camera.Limits(property, &lower, &upper))
    return " (limits: " + FormatNumber(lower) + " .. " + FormatNumber(upper) + ")";
  return std::string();
}

}  // namespace

std::string DefaultModulePathForTool() {
  char executable[PATH_MAX];
  const ssize_t length = readlink("/proc/self/exe", executable, sizeof executable - 1);
  if (length > 0) {
    executable[length] = '\0';
    const std::string installed =
        DirectoryOf(executable) + "/../lib/" + std::string(kModuleFileName);
    if (Exists(installed)) return CanonicalPath(installed);
  }
  return pyxhost::DefaultModulePath();
}

std::string DeviceErrorText(pyxhost::Camera& camera, int code) {
  const std::string text = camera.ErrorText(code);
  if (text.size() + 1 < MM::kMaxHostText) return text;
  return text + "... (cut at " + std::to_string(text.size()) + " characters)";
}

std::pair<std::string, std::string> SplitAssignment(const std::string& assignment) {
  const size_t equals = assignment.find('=');
  if (equals == std::string::npos || equals == 0) {
    throw ToolError(kExitUsage, "expected NAME=VALUE, got \"" + assignment + "\"");
  }
  return {assignment.substr(0, equals), assignment.substr(equals + 1)};
}

// --- ModuleSession ---

ModuleSession::ModuleSession(const ModuleOptions& options) {
  modulePath_ = options.modulePath.empty() ? DefaultModulePathForTool() : options.modulePath;
  if (!Exists(modulePath_)) {
    throw ToolError(kExitNoModule,
                    "no module at " + modulePath_ +
                        (options.modulePath.empty() ? " (give its path with --module PATH)" : ""));
  }
  // The loader maps a truncated file as its headers describe it and dies of
  // SIGBUS on the missing pages: look at the files first, the module's own
  // and the camera library the module would load.
  const std::string moduleProblem = SharedObjectProblem(modulePath_);
  if (!moduleProblem.empty()) {
    throw ToolError(kExitNoModule, "cannot load the module " + modulePath_ + ": " + moduleProblem);
  }
  libraryPath_ = DirectoryOf(CanonicalPath(modulePath_)) + "/" + kLibraryFileName;
  const std::string library = CameraLibraryBeside(DirectoryOf(CanonicalPath(modulePath_)));
  if (!library.empty()) {
    const std::string problem = SharedObjectProblem(library);
    if (!problem.empty()) {
      throw ToolError(kExitNoModule, "cannot load the camera library " + library + ": " + problem);
    }
  }
  if (!options.model.empty() || options.everyModel) attachModels(options);

  std::string error;
  module_ = pyxhost::Module::Load(modulePath_, &error);
  if (module_ == nullptr) {
    throw ToolError(kExitNoModule, "cannot load the module " + modulePath_ + ": " + error);
  }
  module_->InitializeModuleData();
  devices_ = module_->ListDevices();
  if (devices_.empty()) failWithoutDevices();
  if (simulator_ == nullptr) {
    // Reach the simulator the module loaded, if the camera library is the simulated one.
    auto client = std::make_unique<pyxsim::Client>(libraryPath_);
    if (client->ok()) simulator_ = std::move(client);
  }
}

ModuleSession::~ModuleSession() = default;

// The simulator reads its attached list when the module enumerates, so the
// models are attached before the module is initialised.
void ModuleSession::attachModels(const ModuleOptions& options) {
  simulator_ = std::make_unique<pyxsim::Client>(libraryPath_);
  if (!simulator_->ok() && options.model.empty()) {
    simulator_.reset();  // not the simulator: every camera it offers is listed instead
    return;
  }
  if (!simulator_->ok()) {
    throw ToolError(kExitNoModule,
                    "--model needs the simulated camera library beside the module (" +
                        libraryPath_ + "): " + simulator_->error());
  }
  std::vector<std::string> models;
  for (int i = 0; i < simulator_->model_count(); ++i) {
    if (const char* name = simulator_->model_name(i)) models.emplace_back(name);
  }
  if (!options.model.empty() &&
      std::find(models.begin(), models.end(), options.model) == models.end()) {
    throw ToolError(kExitUsage,
                    "unknown model \"" + options.model + "\" (models: " + JoinNames(models) + ")");
  }
  simulator_->detach_all();
  for (const std::string& model : models) {
    if (options.everyModel || model == options.model) simulator_->attach(model.c_str());
  }
}

void ModuleSession::failWithoutDevices() const {
  const std::string directory = DirectoryOf(CanonicalPath(modulePath_));
  if (!Exists(libraryPath_)) {
    throw ToolError(kExitNoModule,
                    "the module found no camera library: " + std::string(kLibraryFileName) +
                        " is missing from " + directory);
  }
  throw ToolError(kExitNoModule,
                  "the module offers no camera (camera library " + libraryPath_ + ")");
}

std::string ModuleSession::chooseCamera(const std::string& requested) const {
  std::vector<std::string> names;
  for (const auto& device : devices_) names.push_back(device.name);
  if (requested.empty()) return names.front();
  if (std::find(names.begin(), names.end(), requested) != names.end()) return requested;
  std::string message = "unknown camera \"" + requested + "\"";
  const std::vector<std::string> similar = SimilarNames(requested, names);
  if (!similar.empty()) message += " (did you mean \"" + similar.front() + "\"?)";
  message += "; the module offers: " + JoinNames(names);
  throw ToolError(kExitUsage, message);
}

int ModuleSession::simulatorIndex(const std::string& deviceName) const {
  for (size_t i = 0; i < devices_.size(); ++i)
    if (devices_[i].name == deviceName) return static_cast<int>(i);
  return -1;
}

// --- CameraSession ---

CameraSession::CameraSession(ModuleSession& module, const std::string& deviceName)
    : name_(deviceName) {
  device_ = module.module().Create(deviceName);
  if (device_ == nullptr) {
    throw ToolError(kExitFailure, "the module created no device for \"" + deviceName + "\"");
  }
  device_->SetCallback(&host_);
  camera_ = pyxhost::Camera(pyxhost::AsCamera(device_.get()));
  const int result = device_->Initialize();
  if (result != 0) {
    throw ToolError(kExitFailure, "cannot initialise camera " + deviceName + ": " +
                                      DeviceErrorText(camera_, result));
  }
}

CameraSession::~CameraSession() {
  if (device_ == nullptr) return;
  if (camera_.get()->IsCapturing()) camera_.get()->StopSequenceAcquisition();
  device_->Shutdown();
  device_.reset();
}

std::string CameraSession::get(const std::string& property) {
  int result = 0;
  const std::string value = camera_.GetProperty(property, &result);
  if (result != 0) {
    const std::string text = DeviceErrorText(camera_, result);
    throw ToolError(
        kExitFailure,
        "cannot read " + property + ": " + text +
            (camera_.HasProperty(property) ? std::string() : unknownPropertyHint(property)));
  }
  return value;
}

std::string CameraSession::set(const std::string& property, const std::string& value) {
  if (!camera_.HasProperty(property)) {
    const int result = camera_.SetProperty(property, value);
    const std::string text = result != 0 ? DeviceErrorText(camera_, result) : "no such property";
    throw ToolError(kExitFailure,
                    "cannot set " + property + ": " + text + unknownPropertyHint(property));
  }
  if (camera_.IsReadOnly(property)) {
    throw ToolError(kExitFailure, property + " is read-only (it reads \"" + get(property) + "\")");
  }
  const int result = camera_.SetProperty(property, value);
  if (result != 0) {
    const std::string text = DeviceErrorText(camera_, result);
    throw ToolError(kExitFailure, "cannot set " + property + " to \"" + value + "\": " + text +
                                      RangeHint(camera_, property));
  }
  const std::string held = get(property);
  // A camera may round to its own steps or keep a value it does not support
  // while answering success: the write did not fail, but the user should know.
  if (!SameValue(value, held)) {
    std::fprintf(stderr, "pyxon: note: the camera kept %s at \"%s\" (asked for \"%s\")\n",
                 property.c_str(), ValidUtf8(held).c_str(), ValidUtf8(value).c_str());
  }
  return held;
}

void CameraSession::applySettings(const std::vector<std::string>& assignments) {
  for (const std::string& assignment : assignments) {
    const auto [property, value] = SplitAssignment(assignment);
    set(property, value);
  }
}

std::string CameraSession::unknownPropertyHint(const std::string& property) {
  const std::vector<std::string> similar = SimilarNames(property, camera_.PropertyNames());
  if (similar.size() == 1) return " (did you mean \"" + similar.front() + "\"?)";
  if (!similar.empty()) return " (did you mean one of: " + JoinNames(similar) + "?)";
  return " (list the properties with: pyxon props)";
}

}  // namespace pyxtool
