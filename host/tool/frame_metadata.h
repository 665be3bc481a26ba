// Per-frame metadata of a recording, and JSON helpers shared by the commands.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>

#include <nlohmann/json.hpp>

namespace pyxtool {

// The device's serialised tag set ("<count>\n" then per tag "s\n<name>\n
// <device label>\n<read-only>\n<value>\n") as an object from qualified key
// (label "-" name, or the bare name for label "_") to value. Parsing stops at
// the first malformed record; what was read so far is kept.
nlohmann::json ParseDeviceMetadata(const std::string& text);

// One recorded frame.
struct FrameRecord {
  uint64_t index = 0;             // page index in the file
  std::optional<uint64_t> stamp;  // camera frame number, when readable
  double seconds = 0;             // host arrival time since the acquisition started
  std::string timestamp;          // host arrival time, ISO 8601 UTC
  std::string metadata;           // the text the device attached
};

nlohmann::json FrameRecordJson(const FrameRecord& record);

// "2026-04-01T12:34:56.123456Z"
std::string IsoUtc(std::chrono::system_clock::time_point time);
// "2026:04:01 12:34:56" (local time), the TIFF DateTime form.
std::string TiffDateTime(std::chrono::system_clock::time_point time);

// Writes `json` pretty-printed. Throws ToolError (kExitFailure) on failure.
void WriteJsonFile(const std::string& path, const nlohmann::json& json);

}  // namespace pyxtool
