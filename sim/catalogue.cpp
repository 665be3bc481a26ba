#include "sim/catalogue.h"

#include <sys/stat.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <nlohmann/json.hpp>
#include <set>
#include <utility>

#include "framework/sync.h"
#include "sim/builtin_models.h"

namespace pyxsim {
namespace {

using nlohmann::json;

// A model file is a few kilobytes; anything far larger is not one.
constexpr uint64_t kMaxFileBytes = 1 << 20;
constexpr uint64_t kMaxPixels = 64ull << 20;  // frames the host can hold several of
constexpr size_t kMaxTextLength = 31;         // the 32-byte text fields of the interfaces
constexpr size_t kMaxSerialPrefix = 22;       // "PREFIX-XXXXXXXX" in 32 bytes
constexpr size_t kMaxNameLength = 63;         // the 64-byte name fields of the camera list

struct Named64 {
  const char* name;
  uint64_t value;
};

constexpr Named64 kCapabilities[] = {
    {"cmos", pyxon::cap::kCmos},
    {"ccdProgressive", pyxon::cap::kCcdProgressive},
    {"ccdInterlaced", pyxon::cap::kCcdInterlaced},
    {"mono", pyxon::cap::kMono},
    {"usb30", pyxon::cap::kUsb30},
    {"usb30OverUsb20", pyxon::cap::kUsb30OverUsb20},
    {"temperature", pyxon::cap::kTemperature},
    {"fan", pyxon::cap::kFan},
    {"tec", pyxon::cap::kTec},
    {"isp", pyxon::cap::kIsp},
    {"ddr", pyxon::cap::kDdr},
    {"conversionGain", pyxon::cap::kConversionGain},
    {"conversionGainHdr", pyxon::cap::kConversionGainHdr},
    {"globalShutter", pyxon::cap::kGlobalShutter},
    {"frameRateControl", pyxon::cap::kFrameRateControl},
    {"heater", pyxon::cap::kHeater},
    {"lowNoise", pyxon::cap::kLowNoise},
    {"gige", pyxon::cap::kGige},
    {"gige10", pyxon::cap::kGige10},
    {"gige5", pyxon::cap::kGige5},
    {"gige40", pyxon::cap::kGige40},
    {"cameraLink", pyxon::cap::kCameraLink},
    {"coaXPress", pyxon::cap::kCoaXPress},
    {"conversionGain3", pyxon::cap::kConversionGain3},
    {"usb32", pyxon::cap::kUsb32},
    {"usb32OverUsb30", pyxon::cap::kUsb32OverUsb30},
    {"gige25", pyxon::cap::kGige25},
};

constexpr Named64 kOptions[] = {
    {"tecOn", pyxon::opt::kTecOn},
    {"toneMapping", pyxon::opt::kToneMapping},
    {"triggerMode", pyxon::opt::kTriggerMode},
    {"outputFormat", pyxon::opt::kOutputFormat},
    {"autoExposurePolicy", pyxon::opt::kAutoExposurePolicy},
    {"binning", pyxon::opt::kBinning},
    {"rotate", pyxon::opt::kRotate},
    {"conversionGain", pyxon::opt::kConversionGain},
    {"pixelFormat", pyxon::opt::kPixelFormat},
    {"sharpening", pyxon::opt::kSharpening},
    {"factoryReset", pyxon::opt::kFactoryReset},
    {"tecDrive", pyxon::opt::kTecDrive},
    {"tecDriveMax", pyxon::opt::kTecDriveMax},
    {"colourMode", pyxon::opt::kColourMode},
    {"maxFrameRate", pyxon::opt::kMaxFrameRate},
    {"frameRate", pyxon::opt::kFrameRate},
    {"bandwidth", pyxon::opt::kBandwidth},
    {"denoise", pyxon::opt::kDenoise},
    {"heaterMax", pyxon::opt::kHeaterMax},
    {"heater", pyxon::opt::kHeater},
    {"lowNoise", pyxon::opt::kLowNoise},
    {"powerConsumption", pyxon::opt::kPowerConsumption},
    {"globalReset", pyxon::opt::kGlobalReset},
    {"autoExposurePeak", pyxon::opt::kAutoExposurePeak},
    {"antiShutterEffect", pyxon::opt::kAntiShutterEffect},
    {"dynamicDefect", pyxon::opt::kDynamicDefect},
    {"hdrKB", pyxon::opt::kHdrKB},
    {"hdrThreshold", pyxon::opt::kHdrThreshold},
    {"lowPower", pyxon::opt::kLowPower},
    {"readoutMode", pyxon::opt::kReadoutMode},
    {"whiteBalanceInterval", pyxon::opt::kWhiteBalanceInterval},
    {"tecTargetRange", pyxon::opt::kTecTargetRange},
    {"cds", pyxon::opt::kCds},
    {"mechanicalShutter", pyxon::opt::kMechanicalShutter},
    {"lane", pyxon::opt::kLane},
    {"voltageBias", pyxon::opt::kVoltageBias},
    {"voltageBiasRange", pyxon::opt::kVoltageBiasRange},
    {"antiBlooming", pyxon::opt::kAntiBlooming},
    {"antiBloomingMax", pyxon::opt::kAntiBloomingMax},
};

// A field that cannot be used: where it is and what is wrong with it.
struct FieldError {
  std::string field;
  std::string problem;
};

[[noreturn]] void Fail(const std::string& field, const std::string& problem) {
  throw FieldError{field, problem};
}

std::string Join(const std::string& where, const std::string& key) {
  return where.empty() ? key : where + "." + key;
}

std::string Index(const std::string& where, size_t i) {
  return where + "[" + std::to_string(i) + "]";
}

const char* TypeName(const json& value) {
  if (value.is_number_integer()) return "an integer";
  if (value.is_number()) return "a fractional number";
  if (value.is_string()) return "a text";
  if (value.is_boolean()) return "true or false";
  if (value.is_array()) return "a list";
  if (value.is_object()) return "an object";
  return "null";
}

// An object of the given fields; `required` are needed, `optional` may be
// there, anything else is refused so that a misspelt field is not ignored.
void CheckObject(const json& value, const std::string& where,
                 std::initializer_list<const char*> required,
                 std::initializer_list<const char*> optional) {
  if (!value.is_object()) {
    Fail(where.empty() ? "(model)" : where,
         std::string("must be an object, not ") + TypeName(value));
  }
  for (const auto& item : value.items()) {
    bool known = false;
    for (const char* key : required) known = known || item.key() == key;
    for (const char* key : optional) known = known || item.key() == key;
    if (!known) Fail(Join(where, item.key()), "is not a known field");
  }
  for (const char* key : required) {
    if (!value.contains(key)) Fail(Join(where, key), "is missing");
  }
}

// An object whose keys are names the caller checks.
void CheckMap(const json& value, const std::string& field) {
  if (!value.is_object()) Fail(field, std::string("must be an object, not ") + TypeName(value));
}

int64_t Integer(const json& value, const std::string& field, int64_t lo, int64_t hi) {
  if (!value.is_number_integer()) {
    Fail(field, std::string("must be an integer, not ") + TypeName(value));
  }
  int64_t v = 0;
  if (value.is_number_unsigned()) {
    const uint64_t u = value.get<uint64_t>();
    v = u > static_cast<uint64_t>(INT64_MAX) ? INT64_MAX : static_cast<int64_t>(u);
  } else {
    v = value.get<int64_t>();
  }
  if (v < lo || v > hi) {
    const std::string what = v < 0 && lo >= 0 ? "must not be negative: " : "is out of range: ";
    Fail(field, what + std::to_string(v) + " is not within " + std::to_string(lo) + " to " +
                    std::to_string(hi));
  }
  return v;
}

double Number(const json& value, const std::string& field, double lo, double hi) {
  if (!value.is_number()) Fail(field, std::string("must be a number, not ") + TypeName(value));
  const double v = value.get<double>();
  if (!(v >= lo && v <= hi)) {
    Fail(field,
         "is out of range: must be within " + std::to_string(lo) + " to " + std::to_string(hi));
  }
  return v;
}

std::string Text(const json& value, const std::string& field, size_t maxLength) {
  if (!value.is_string()) Fail(field, std::string("must be a text, not ") + TypeName(value));
  std::string text = value.get<std::string>();
  if (text.size() > maxLength) {
    Fail(field, "is too long: at most " + std::to_string(maxLength) + " characters");
  }
  if (text.find('\0') != std::string::npos) Fail(field, "must not hold a null character");
  return text;
}

bool Boolean(const json& value, const std::string& field) {
  if (!value.is_boolean())
    Fail(field, std::string("must be true or false, not ") + TypeName(value));
  return value.get<bool>();
}

const json& List(const json& value, const std::string& field, size_t minCount, size_t maxCount) {
  if (!value.is_array()) Fail(field, std::string("must be a list, not ") + TypeName(value));
  if (value.size() < minCount || value.size() > maxCount) {
    Fail(field, "must hold " + std::to_string(minCount) + " to " + std::to_string(maxCount) +
                    " entries, not " + std::to_string(value.size()));
  }
  return value;
}

// A range object {min, max, default} with min <= default <= max.
template <typename T>
T MinMaxDefault(const json& value, const std::string& where, int64_t lo, int64_t hi) {
  CheckObject(value, where, {"min", "max", "default"}, {});
  const int64_t min = Integer(value["min"], Join(where, "min"), lo, hi);
  const int64_t max = Integer(value["max"], Join(where, "max"), min, hi);
  const int64_t def = Integer(value["default"], Join(where, "default"), min, max);
  return T{static_cast<decltype(T::min)>(min), static_cast<decltype(T::min)>(max),
           static_cast<decltype(T::min)>(def)};
}

// An option value: an integer, or two signed 16-bit halves {low, high}.
int32_t OptionValue(const json& value, const std::string& field) {
  if (value.is_object()) {
    CheckObject(value, field, {"low", "high"}, {});
    const int64_t low = Integer(value["low"], Join(field, "low"), INT16_MIN, UINT16_MAX);
    const int64_t high = Integer(value["high"], Join(field, "high"), INT16_MIN, UINT16_MAX);
    return PackHalves(static_cast<int32_t>(low), static_cast<int32_t>(high));
  }
  return static_cast<int32_t>(Integer(value, field, INT32_MIN, INT32_MAX));
}

uint32_t OptionNumber(const std::string& key, const std::string& field) {
  for (const Named64& option : kOptions) {
    if (key == option.name) return static_cast<uint32_t>(option.value);
  }
  // An option the adapter has no name for is given by its number.
  if (!key.empty() && key.size() <= 4 && key.find_first_not_of("0123456789") == std::string::npos) {
    return static_cast<uint32_t>(std::stoul(key));
  }
  Fail(field, "is not a known option name or number");
}

std::vector<int32_t> Values(const json& value, const std::string& field, int64_t lo, int64_t hi) {
  const json& list = List(value, field, 1, 64);
  std::vector<int32_t> values;
  for (size_t i = 0; i < list.size(); ++i) {
    values.push_back(static_cast<int32_t>(Integer(list[i], Index(field, i), lo, hi)));
  }
  return values;
}

HalfRule ParseHalf(const json& value, const std::string& where) {
  CheckObject(value, where, {}, {"min", "max", "values"});
  HalfRule half;
  half.set = true;
  if (value.contains("min")) {
    half.min = static_cast<int32_t>(Integer(value["min"], Join(where, "min"), 0, 0xFFFF));
  }
  if (value.contains("max")) {
    half.max = static_cast<int32_t>(Integer(value["max"], Join(where, "max"), half.min, 0xFFFF));
  }
  if (value.contains("values"))
    half.values = Values(value["values"], Join(where, "values"), 0, 0xFFFF);
  return half;
}

OptionDef ParseOption(uint32_t id, const json& value, const std::string& where) {
  CheckObject(value, where, {"default"},
              {"min", "max", "values", "valuesOf", "off", "maxFrom", "rangeFrom", "low", "high",
               "access", "computed"});
  OptionDef def{};
  def.id = id;
  def.value = OptionValue(value["default"], Join(where, "default"));
  def.min = INT32_MIN;
  def.max = INT32_MAX;
  if (value.contains("min")) {
    def.min = static_cast<int32_t>(Integer(value["min"], Join(where, "min"), INT32_MIN, INT32_MAX));
  }
  if (value.contains("max")) {
    def.max = static_cast<int32_t>(Integer(value["max"], Join(where, "max"), def.min, INT32_MAX));
  }
  OptionRule& rule = def.rule;
  if (value.contains("values")) {
    rule.values = Values(value["values"], Join(where, "values"), INT32_MIN, INT32_MAX);
  }
  if (value.contains("valuesOf")) {
    const std::string of = Text(value["valuesOf"], Join(where, "valuesOf"), kMaxTextLength);
    if (of != "pixelFormats")
      Fail(Join(where, "valuesOf"), "must be pixelFormats, not \"" + of + "\"");
    rule.pixelFormats = true;
  }
  if (value.contains("off")) {
    rule.hasOff = true;
    rule.off =
        static_cast<int32_t>(Integer(value["off"], Join(where, "off"), INT32_MIN, INT32_MAX));
  }
  if (value.contains("maxFrom")) {
    const std::string field = Join(where, "maxFrom");
    rule.maxFrom = OptionNumber(Text(value["maxFrom"], field, kMaxTextLength), field);
  }
  if (value.contains("rangeFrom")) {
    const std::string field = Join(where, "rangeFrom");
    rule.rangeFrom = OptionNumber(Text(value["rangeFrom"], field, kMaxTextLength), field);
  }
  if (value.contains("low")) rule.low = ParseHalf(value["low"], Join(where, "low"));
  if (value.contains("high")) rule.high = ParseHalf(value["high"], Join(where, "high"));
  if (value.contains("access")) {
    const std::string access = Text(value["access"], Join(where, "access"), kMaxTextLength);
    if (access == "readWrite") {
      def.access = Access::kReadWrite;
    } else if (access == "readOnly") {
      def.access = Access::kReadOnly;
    } else if (access == "writeOnly") {
      def.access = Access::kWriteOnly;
    } else {
      Fail(Join(where, "access"),
           "must be readWrite, readOnly or writeOnly, not \"" + access + "\"");
    }
  }
  if (value.contains("computed")) {
    const std::string computed = Text(value["computed"], Join(where, "computed"), kMaxTextLength);
    if (computed == "tecDrive") {
      def.computed = Computed::kTecDrive;
    } else if (computed == "maxFrameRate") {
      def.computed = Computed::kMaxFrameRate;
    } else {
      Fail(Join(where, "computed"), "must be tecDrive or maxFrameRate, not \"" + computed + "\"");
    }
  }
  return def;
}

std::unique_ptr<ModelProfile> ParseModel(const json& m, const std::string& where) {
  CheckObject(m, where,
              {"name", "capabilities", "speed", "fan", "ioLines", "pixelSize", "resolutions",
               "rawFormat", "pixelFormats", "exposure", "gain", "timing", "texts", "options"},
              {"features", "cooling", "lanes", "named"});
  auto p = std::make_unique<ModelProfile>();
  ModelProfile& profile = *p;
  pyxon::CameraModel& model = profile.model;

  profile.name = Text(m["name"], Join(where, "name"), kMaxNameLength);
  if (profile.name.empty()) Fail(Join(where, "name"), "must not be empty");

  const std::string caps = Join(where, "capabilities");
  const json& capList = List(m["capabilities"], caps, 0, 64);
  for (size_t i = 0; i < capList.size(); ++i) {
    const std::string name = Text(capList[i], Index(caps, i), kMaxTextLength);
    bool found = false;
    for (const Named64& cap : kCapabilities) {
      if (name == cap.name) {
        model.flags |= cap.value;
        found = true;
      }
    }
    if (!found) Fail(Index(caps, i), "\"" + name + "\" is not a known capability");
  }
  profile.colour = (model.flags & pyxon::cap::kMono) == 0;

  const std::string speed = Join(where, "speed");
  CheckObject(m["speed"], speed, {"max", "default"}, {});
  model.maxSpeed = static_cast<uint32_t>(Integer(m["speed"]["max"], Join(speed, "max"), 0, 255));
  profile.defaultSpeed = static_cast<uint16_t>(
      Integer(m["speed"]["default"], Join(speed, "default"), 0, model.maxSpeed));

  const std::string fan = Join(where, "fan");
  CheckObject(m["fan"], fan, {"max", "default"}, {});
  model.maxFanSpeed = static_cast<uint32_t>(Integer(m["fan"]["max"], Join(fan, "max"), 0, 255));
  profile.defaultFan = static_cast<uint16_t>(
      Integer(m["fan"]["default"], Join(fan, "default"), 0, model.maxFanSpeed));

  model.ioLineCount = static_cast<uint32_t>(Integer(m["ioLines"], Join(where, "ioLines"), 0, 16));

  const std::string pixel = Join(where, "pixelSize");
  CheckObject(m["pixelSize"], pixel, {"x", "y"}, {});
  model.pixelSizeX = static_cast<float>(Number(m["pixelSize"]["x"], Join(pixel, "x"), 0.01, 1000));
  model.pixelSizeY = static_cast<float>(Number(m["pixelSize"]["y"], Join(pixel, "y"), 0.01, 1000));

  const std::string res = Join(where, "resolutions");
  const json& resList = List(m["resolutions"], res, 1, pyxon::kMaxResolutions);
  model.resolutionCount = static_cast<uint32_t>(resList.size());
  for (size_t i = 0; i < resList.size(); ++i) {
    const std::string at = Index(res, i);
    CheckObject(resList[i], at, {"width", "height"}, {});
    // Sizes a single frame buffer of 32-bit samples can hold.
    model.resolutions[i].width =
        static_cast<uint32_t>(Integer(resList[i]["width"], Join(at, "width"), 1, 16384));
    model.resolutions[i].height =
        static_cast<uint32_t>(Integer(resList[i]["height"], Join(at, "height"), 1, 16384));
    const pyxon::Resolution& r = model.resolutions[i];
    if (static_cast<uint64_t>(r.width) * r.height > kMaxPixels) {
      Fail(at, "is more than " + std::to_string(kMaxPixels) + " pixels");
    }
    // The first is the full sensor; the others are read from it.
    if (r.width > model.resolutions[0].width || r.height > model.resolutions[0].height) {
      Fail(at, "is larger than the first resolution, the full sensor");
    }
  }

  const std::string raw = Text(m["rawFormat"], Join(where, "rawFormat"), 4);
  if (raw.size() != 4) Fail(Join(where, "rawFormat"), "must be four characters");
  profile.fourcc = FourCc(raw[0], raw[1], raw[2], raw[3]);

  const std::string formats = Join(where, "pixelFormats");
  const json& formatList = List(m["pixelFormats"], formats, 1, 21);
  for (size_t i = 0; i < formatList.size(); ++i) {
    const int32_t format = static_cast<int32_t>(Integer(formatList[i], Index(formats, i), 0, 20));
    for (int32_t seen : profile.pixelFormats) {
      if (seen == format) Fail(Index(formats, i), "repeats pixel format " + std::to_string(format));
    }
    profile.pixelFormats.push_back(format);
  }

  profile.exposure = MinMaxDefault<Range32>(m["exposure"], Join(where, "exposure"), 1, UINT32_MAX);

  const std::string gain = Join(where, "gain");
  CheckObject(m["gain"], gain, {"supported", "min", "max", "default"}, {});
  profile.hasGain = Boolean(m["gain"]["supported"], Join(gain, "supported"));
  json gainRange = m["gain"];
  gainRange.erase("supported");
  profile.gain = MinMaxDefault<Range16>(gainRange, gain, 1, UINT16_MAX);

  if (m.contains("features")) {
    const std::string features = Join(where, "features");
    const json& featureList = List(m["features"], features, 0, 8);
    for (size_t i = 0; i < featureList.size(); ++i) {
      const std::string name = Text(featureList[i], Index(features, i), kMaxTextLength);
      if (name == "skip") {
        profile.hasSkip = true;
      } else if (name == "hueSaturation") {
        profile.hasHueSaturation = true;
      } else {
        Fail(Index(features, i), "\"" + name + "\" is not skip or hueSaturation");
      }
    }
  }

  if (m.contains("cooling")) {
    const std::string cooling = Join(where, "cooling");
    CheckObject(m["cooling"], cooling, {"defaultTarget", "maxDelta"}, {});
    profile.defaultTecTarget = static_cast<int32_t>(
        Integer(m["cooling"]["defaultTarget"], Join(cooling, "defaultTarget"), -1000, 1000));
    profile.maxCoolingDelta =
        static_cast<int32_t>(Integer(m["cooling"]["maxDelta"], Join(cooling, "maxDelta"), 0, 1000));
  }

  const std::string timing = Join(where, "timing");
  CheckObject(m["timing"], timing, {"fullReadoutUs", "linkBytesPerSecond"}, {});
  profile.fullReadoutUs = static_cast<uint32_t>(
      Integer(m["timing"]["fullReadoutUs"], Join(timing, "fullReadoutUs"), 1, 10000000));
  profile.linkBytesPerSecond = static_cast<uint64_t>(
      Integer(m["timing"]["linkBytesPerSecond"], Join(timing, "linkBytesPerSecond"), 1, INT64_MAX));

  const std::string texts = Join(where, "texts");
  CheckObject(m["texts"], texts, {"serialPrefix", "firmware", "hardware", "productionDate", "fpga"},
              {});
  const json& t = m["texts"];
  // A camera without a serial number answers no serial interface.
  profile.hasSerial = !t["serialPrefix"].is_null();
  if (profile.hasSerial) {
    profile.serialPrefix = Text(t["serialPrefix"], Join(texts, "serialPrefix"), kMaxSerialPrefix);
  }
  profile.firmware = Text(t["firmware"], Join(texts, "firmware"), kMaxTextLength);
  profile.hardware = Text(t["hardware"], Join(texts, "hardware"), kMaxTextLength);
  profile.productionDate = Text(t["productionDate"], Join(texts, "productionDate"), kMaxTextLength);
  profile.fpga = Text(t["fpga"], Join(texts, "fpga"), kMaxTextLength);

  const std::string options = Join(where, "options");
  CheckMap(m["options"], options);
  for (const auto& item : m["options"].items()) {
    const std::string at = Join(options, item.key());
    const uint32_t id = OptionNumber(item.key(), at);
    for (const OptionDef& seen : profile.options) {
      if (seen.id == id) Fail(at, "names option " + std::to_string(id) + " a second time");
    }
    if (id == pyxon::opt::kLane) Fail(at, "is set by the field lanes");
    profile.options.push_back(ParseOption(id, item.value(), at));
  }

  if (m.contains("lanes")) {
    const std::string lanes = Join(where, "lanes");
    CheckObject(m["lanes"], lanes, {"values", "defaultIndex"}, {});
    const json& values = List(m["lanes"]["values"], Join(lanes, "values"), 1, 16);
    for (size_t i = 0; i < values.size(); ++i) {
      profile.lanes.push_back(
          static_cast<int32_t>(Integer(values[i], Index(Join(lanes, "values"), i), 0, INT32_MAX)));
    }
    profile.defaultLane =
        static_cast<int32_t>(Integer(m["lanes"]["defaultIndex"], Join(lanes, "defaultIndex"), 0,
                                     static_cast<int64_t>(values.size()) - 1));
  }

  if (m.contains("named")) {
    const std::string named = Join(where, "named");
    CheckMap(m["named"], named);
    for (const auto& item : m["named"].items()) {
      const std::string at = Join(named, item.key());
      if (item.key().empty() || item.key().size() > kMaxNameLength) {
        Fail(at, "must be a name of 1 to " + std::to_string(kMaxNameLength) + " characters");
      }
      CheckObject(item.value(), at, {"value", "min", "max"}, {"writable"});
      NamedDef def;
      def.name = item.key();
      def.min =
          static_cast<int32_t>(Integer(item.value()["min"], Join(at, "min"), INT32_MIN, INT32_MAX));
      def.max =
          static_cast<int32_t>(Integer(item.value()["max"], Join(at, "max"), def.min, INT32_MAX));
      def.value =
          static_cast<int32_t>(Integer(item.value()["value"], Join(at, "value"), def.min, def.max));
      def.writable = item.value().contains("writable") &&
                     Boolean(item.value()["writable"], Join(at, "writable"));
      profile.named.push_back(def);
    }
  }
  return p;
}

// Fixes the record's self-references once the profile has its final address.
void Seal(ModelProfile* profile) {
  profile->model.name = profile->name.c_str();
  profile->record = &profile->model;
}

std::vector<std::unique_ptr<ModelProfile>> LoadBuiltin() {
  std::vector<std::unique_ptr<ModelProfile>> models;
  for (size_t i = 0; i < kBuiltinModelFileCount; ++i) {
    std::vector<const ModelProfile*> known;
    for (const auto& model : models) known.push_back(model.get());
    std::vector<std::unique_ptr<ModelProfile>> loaded;
    std::string error;
    if (!ParseModels(kBuiltinModelFiles[i].text, known, &loaded, &error)) {
      std::fprintf(stderr, "libPyxon: built-in model file %s: %s\n", kBuiltinModelFiles[i].name,
                   error.c_str());
      continue;
    }
    for (auto& model : loaded) models.push_back(std::move(model));
  }
  return models;
}

// Never destroyed: the adapter and cameras may read a record during exit.
const std::vector<std::unique_ptr<ModelProfile>>& Builtin() {
  static const auto* models = new std::vector<std::unique_ptr<ModelProfile>>(LoadBuiltin());
  return *models;
}

// The models of the user's file. Every model once loaded is kept, since
// cameras and the adapter may still refer to it after the file changed.
struct UserModels {
  pyx::Mutex mu;
  std::string path GUARDED_BY(mu);
  std::string text GUARDED_BY(mu);
  bool tried GUARDED_BY(mu) = false;
  std::vector<const ModelProfile*> current GUARDED_BY(mu);
  std::vector<std::unique_ptr<ModelProfile>> kept GUARDED_BY(mu);
};

UserModels& User() {
  static UserModels* user = new UserModels();  // never destroyed, as Builtin()
  return *user;
}

// The file's text, or false with the reason.
bool ReadFile(const std::string& path, std::string* text, std::string* error) {
  struct stat info;
  if (stat(path.c_str(), &info) != 0) {
    *error = std::string("cannot be read: ") + std::strerror(errno);
    return false;
  }
  if (!S_ISREG(info.st_mode)) {
    *error = "is not a regular file";
    return false;
  }
  if (static_cast<uint64_t>(info.st_size) > kMaxFileBytes) {
    *error = "is " + std::to_string(info.st_size) + " bytes, more than the " +
             std::to_string(kMaxFileBytes) + " a model file may have";
    return false;
  }
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    *error = std::string("cannot be read: ") + std::strerror(errno);
    return false;
  }
  text->assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  if (in.bad() || text->size() > kMaxFileBytes) {
    *error = "cannot be read whole";
    return false;
  }
  return true;
}

}  // namespace

bool ParseModels(const std::string& text, const std::vector<const ModelProfile*>& known,
                 std::vector<std::unique_ptr<ModelProfile>>* models, std::string* error) {
  json doc;
  try {
    doc = json::parse(text);
  } catch (const json::parse_error& e) {
    *error = "not JSON: syntax error at byte " + std::to_string(e.byte);
    return false;
  }
  std::vector<std::unique_ptr<ModelProfile>> parsed;
  try {
    if (doc.is_array()) {
      if (doc.empty()) Fail("", "holds no model");
      for (size_t i = 0; i < doc.size(); ++i) parsed.push_back(ParseModel(doc[i], Index("", i)));
    } else {
      parsed.push_back(ParseModel(doc, ""));
    }
    std::set<std::string> names;
    for (const ModelProfile* model : known) names.insert(model->name);
    for (size_t i = 0; i < parsed.size(); ++i) {
      if (!names.insert(parsed[i]->name).second) {
        Fail(doc.is_array() ? Index("", i) + ".name" : "name",
             "\"" + parsed[i]->name + "\" is already a model");
      }
    }
  } catch (const FieldError& e) {
    *error = e.field.empty() ? e.problem : e.field + ": " + e.problem;
    return false;
  } catch (const std::exception& e) {
    *error = std::string("cannot be used: ") + e.what();
    return false;
  }
  for (auto& model : parsed) {
    Seal(model.get());
    models->push_back(std::move(model));
  }
  return true;
}

namespace {

void ReloadLocked(UserModels& user, const std::string& path) REQUIRES(user.mu) {
  if (path.empty()) {
    user.current.clear();
    user.path.clear();
    user.tried = false;
    return;
  }
  std::string text;
  std::string error;
  const bool read = ReadFile(path, &text, &error);
  if (user.tried && path == user.path && text == user.text) return;  // told already, or loaded
  user.path = path;
  user.text = text;
  user.tried = true;
  user.current.clear();
  std::vector<std::unique_ptr<ModelProfile>> loaded;
  if (read) {
    std::vector<const ModelProfile*> known;
    for (const auto& model : Builtin()) known.push_back(model.get());
    if (!ParseModels(text, known, &loaded, &error)) loaded.clear();
  }
  if (!error.empty()) {
    std::fprintf(stderr, "libPyxon: model file %s: %s; no camera from this file\n", path.c_str(),
                 error.c_str());
    return;
  }
  for (auto& model : loaded) {
    user.current.push_back(model.get());
    user.kept.push_back(std::move(model));
  }
}

}  // namespace

void ReloadUserModels() {
  UserModels& user = User();
  const char* env = std::getenv("PYXSIM_MODELS");
  const std::string path = env != nullptr ? env : "";
  pyx::MutexLock lock(user.mu);
  try {
    ReloadLocked(user, path);
  } catch (const std::exception& e) {
    user.current.clear();
    std::fprintf(stderr,
                 "libPyxon: model file %s: cannot be loaded: %s; no camera from this file\n",
                 path.c_str(), e.what());
  }
}

std::vector<const ModelProfile*> Models() {
  std::vector<const ModelProfile*> models;
  for (const auto& model : Builtin()) models.push_back(model.get());
  UserModels& user = User();
  pyx::MutexLock lock(user.mu);
  models.insert(models.end(), user.current.begin(), user.current.end());
  return models;
}

const ModelProfile* FindModel(const char* name) {
  if (name == nullptr) return nullptr;
  for (const ModelProfile* model : Models()) {
    if (model->name == name) return model;
  }
  return nullptr;
}

uint32_t PixelFormatBits(int32_t index) {
  static constexpr uint32_t kBits[] = {8, 10, 12, 14, 16, 8,  8,  8,  8,  8, 12,
                                       8, 12, 11, 16, 16, 16, 16, 16, 10, 14};
  if (index < 0 || index >= static_cast<int32_t>(sizeof(kBits) / sizeof(kBits[0]))) return 8;
  return kBits[index];
}

}  // namespace pyxsim
