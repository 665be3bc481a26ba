// Small building blocks shared by the property-family sources (geometry,
// colour, sensor, trigger_io): reading an option with its preset, looking a
// text up in a value list, and turning a vendor number into a list entry
// without ever indexing outside the list.
//
// Vendor results are mostly not examined: an output variable is preset before
// the call and the preset stands when the call fails. The helpers here make
// that convention explicit (OptionRead carries both the value and whether the
// camera answered).
#pragma once

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "camera/conversions.h"
#include "framework/error_codes.h"
#include "framework/mm_device.h"
#include "vendor/pyxon_api.h"

namespace camera {

using TextList = std::vector<std::string>;

// What a handler answers when the camera is not open (before Initialize and
// after Shutdown): a read keeps the stored value, a write cannot reach the
// camera.
inline int WithoutCamera(MM::ActionKind kind) {
  return kind == MM::AfterWrite ? MM::Err::NoCommunication : MM::Err::Ok;
}

struct OptionRead {
  bool ok;        // the camera answered (result not negative)
  int32_t value;  // the answer, or the preset when the call failed
};

inline OptionRead ReadOption(pyxon::CameraHandle* handle, uint32_t option, int32_t preset) {
  int32_t value = preset;
  const bool ok = handle->GetOption(option, &value) >= 0;
  return {ok, value};
}

// One I/O read: IoControl(line, command, 0, &out) with out preset to `preset`.
inline OptionRead ReadIo(pyxon::CameraHandle* handle, int32_t line, uint32_t command,
                         int32_t preset = 0) {
  int32_t value = preset;
  const bool ok = handle->IoControl(static_cast<uint32_t>(line), command, 0, &value) >= 0;
  return {ok, value};
}

inline void WriteIo(pyxon::CameraHandle* handle, int32_t line, uint32_t command, int32_t value) {
  handle->IoControl(static_cast<uint32_t>(line), command, value, nullptr);
}

// Position of `text` in `list`, or -1.
inline int IndexOf(const TextList& list, const std::string& text) {
  for (size_t i = 0; i < list.size(); ++i) {
    if (list[i] == text) return static_cast<int>(i);
  }
  return -1;
}

// The entry at `index`, or null when the index lies outside the list.
inline const std::string* EntryAt(const TextList& list, int64_t index) {
  if (index < 0 || static_cast<uint64_t>(index) >= list.size()) return nullptr;
  return &list[static_cast<size_t>(index)];
}

// The entry at `index` clamped into the list: a negative index gives the first
// entry, one past the end the last. Empty list: empty text.
inline std::string ClampedEntry(const TextList& list, int64_t index) {
  if (list.empty()) return std::string();
  if (index < 0) return list.front();
  if (static_cast<uint64_t>(index) >= list.size()) return list.back();
  return list[static_cast<size_t>(index)];
}

inline std::string DecimalText(long value) {
  char text[32];
  std::snprintf(text, sizeof text, "%ld", value);
  return text;
}

inline std::string UnsignedText(unsigned long value) {
  char text[32];
  std::snprintf(text, sizeof text, "%lu", value);
  return text;
}

// Base-10 text-to-integer as the host's values are parsed (no error detection:
// unparsable text gives 0).
inline long ParseDecimal(const std::string& text) {
  return std::strtol(text.c_str(), nullptr, 10);
}

// value x scale truncated toward zero and saturated to To, for a value that a
// float property holds to four decimals. The product is formed from those
// decimals, so that 0.29 x 100 gives 29 and not 28 (0.29 has no exact binary
// form); -5.25 x 10 still truncates to -52.
template <typename To>
To ScaledTruncation(double value, double scale) {
  if (!std::isfinite(value)) return SaturateCast<To>(value);
  const double tenThousandths = std::round(value * 10000.0);
  return SaturateCast<To>(tenThousandths * scale / 10000.0);
}

// "ON" for a non-zero switch value.
inline const char* OnOffText(int32_t value) {
  return value != 0 ? "ON" : "OFF";
}

// The two 16-bit halves of a packed option word.
inline uint16_t HighHalf(int32_t word) {
  return static_cast<uint16_t>(static_cast<uint32_t>(word) >> 16);
}
inline uint16_t LowHalf(int32_t word) {
  return static_cast<uint16_t>(static_cast<uint32_t>(word));
}
inline int32_t WithHighHalf(int32_t word, uint16_t half) {
  return static_cast<int32_t>((static_cast<uint32_t>(half) << 16) |
                              (static_cast<uint32_t>(word) & 0xFFFFu));
}
inline int32_t WithLowHalf(int32_t word, uint16_t half) {
  return static_cast<int32_t>((static_cast<uint32_t>(word) & 0xFFFF0000u) | half);
}

}  // namespace camera
