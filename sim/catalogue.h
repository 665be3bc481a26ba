// The simulated camera models: the static CameraModel records the library hands
// out (the adapter keeps pointers to them, so they live as long as the library)
// and, per model, everything a freshly powered camera holds: options, named
// values, ranges, identity texts and timing figures.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "vendor/pyxon_api.h"

namespace pyxsim {

enum class Access : uint8_t { kReadWrite, kReadOnly, kWriteOnly };

// Options whose value the camera computes from its state when read.
enum class Computed : uint8_t { kNo, kTecDrive, kMaxFrameRate };

struct OptionDef {
  uint32_t id;
  int32_t value;  // power-on value
  int32_t min;
  int32_t max;
  Access access = Access::kReadWrite;
  Computed computed = Computed::kNo;
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
  const pyxon::CameraModel* record;
  bool colour;
  bool hasGain;
  bool hasSkip;
  bool hasHueSaturation;  // colour ISP controls
  bool hasSerial;
  const char* serialPrefix;
  const char* firmware;
  const char* hardware;
  const char* productionDate;  // "" when the camera does not know it
  const char* fpga;
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

// Every model, in catalogue order.
const std::vector<ModelProfile>& Catalogue();
// Null for an unknown name.
const ModelProfile* FindModel(const char* name);

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
