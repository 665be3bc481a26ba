// The simulated camera models, read from model files (sim/models/, built into
// the library, and a user's file named by PYXSIM_MODELS): the CameraModel
// record the library hands out and, per model, everything a freshly powered
// camera holds: options, named values, ranges, identity texts and timing
// figures. A loaded model is never freed: the adapter keeps pointers to its
// record, and a camera refers to its profile, as long as the library lives.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "vendor/pyxon_api.h"

namespace pyxsim {

enum class Access : uint8_t { kReadWrite, kReadOnly, kWriteOnly };

// Options whose value the camera computes from its state when read.
enum class Computed : uint8_t { kNo, kTecDrive, kMaxFrameRate };

// A limit on one unsigned 16-bit half of a packed option value.
struct HalfRule {
  bool set = false;
  int32_t min = 0;
  int32_t max = 0xFFFF;
  std::vector<int32_t> values;  // when not empty, the only values allowed
};

// What a write of an option must satisfy besides min and max; every part that
// is set applies.
struct OptionRule {
  std::vector<int32_t> values;  // when not empty, the only values allowed
  bool pixelFormats = false;    // only the model's pixel formats
  bool hasOff = false;          // `off` is allowed besides the range
  int32_t off = 0;
  std::optional<uint32_t> maxFrom;    // the maximum is this option's value, when it exists
  std::optional<uint32_t> rangeFrom;  // the range is this option's unsigned halves (min low)
  HalfRule low;                       // bits 0-15
  HalfRule high;                      // bits 16-31
};

struct OptionDef {
  uint32_t id;
  int32_t value;  // power-on value
  int32_t min;
  int32_t max;
  Access access = Access::kReadWrite;
  Computed computed = Computed::kNo;
  OptionRule rule;
};

struct NamedDef {
  std::string name;
  int32_t value;
  bool writable;
  int32_t min;
  int32_t max;
};

struct Range32 {
  uint32_t min, max, def;
};

struct Range16 {
  uint16_t min, max, def;
};

struct ModelProfile {
  const pyxon::CameraModel* record;  // points at `model`
  pyxon::CameraModel model;
  std::string name;  // model.name points here
  bool colour;       // the model has no mono flag
  bool hasGain;
  bool hasSkip;
  bool hasHueSaturation;  // colour ISP controls
  bool hasSerial;
  std::string serialPrefix;
  std::string firmware;
  std::string hardware;
  std::string productionDate;  // "" when the camera does not know it
  std::string fpga;
  uint32_t fourcc;                    // raw format code reported by 137
  std::vector<int32_t> pixelFormats;  // indices into the pixel-format table, camera order
  Range32 exposure;                   // microseconds
  Range16 gain;                       // 100 = unity
  uint16_t defaultSpeed;
  uint16_t defaultFan;
  int32_t defaultTecTarget;  // tenths of a degree
  int32_t maxCoolingDelta;   // tenths of a degree below the warm sensor
  uint32_t fullReadoutUs;    // sensor readout of the full first resolution
  uint64_t linkBytesPerSecond;
  std::vector<OptionDef> options;
  std::vector<NamedDef> named;
  std::vector<int32_t> lanes;  // lane settings; empty: no lane option
  int32_t defaultLane;
};

// Every model: the built-in ones in catalogue order, then those of the user's
// file as last loaded by ReloadUserModels.
std::vector<const ModelProfile*> Models();
// Null for an unknown name.
const ModelProfile* FindModel(const char* name);

// Reads the file PYXSIM_MODELS names (no models from it when unset). A file
// that cannot be used is reported on stderr, naming the file, the field and
// the problem, and gives no model. The same unchanged file is not read again.
void ReloadUserModels();

// Parses the text of one model file: one model object, or an array of them.
// On failure returns false with `error` as "field: problem"; `models` is then
// untouched. Names already used by `known` are refused.
bool ParseModels(const std::string& text, const std::vector<const ModelProfile*>& known,
                 std::vector<std::unique_ptr<ModelProfile>>* models, std::string* error);

// Bits per sample of a pixel-format index; 8 for an index outside the table.
uint32_t PixelFormatBits(int32_t index);

// Packs two signed 16-bit halves: low in bits 0-15, high in bits 16-31.
constexpr int32_t PackHalves(int32_t low, int32_t high) {
  return static_cast<int32_t>((static_cast<uint32_t>(high & 0xFFFF) << 16) |
                              static_cast<uint32_t>(low & 0xFFFF));
}

constexpr uint32_t FourCc(char a, char b, char c, char d) {
  return static_cast<uint32_t>(static_cast<uint8_t>(a)) |
         static_cast<uint32_t>(static_cast<uint8_t>(b)) << 8 |
         static_cast<uint32_t>(static_cast<uint8_t>(c)) << 16 |
         static_cast<uint32_t>(static_cast<uint8_t>(d)) << 24;
}

}  // namespace pyxsim
