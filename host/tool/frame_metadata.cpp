// Frame metadata and JSON output.
#include "host/tool/frame_metadata.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fstream>
#include <sstream>

#include "host/tool/text_safety.h"
#include "host/tool/tool_error.h"

namespace pyxtool {

nlohmann::json ParseDeviceMetadata(const std::string& text) {
  nlohmann::json tags = nlohmann::json::object();
  std::istringstream in(text);
  std::string line;
  if (!std::getline(in, line)) return tags;
  long count = 0;
  try {
    count = std::stol(line);
  } catch (const std::exception&) {
    return tags;
  }
  for (long i = 0; i < count; ++i) {
    std::string type, name, label, readOnly, value;
    if (!std::getline(in, type) || type != "s") break;
    if (!std::getline(in, name) || !std::getline(in, label) || !std::getline(in, readOnly) ||
        !std::getline(in, value)) {
      break;
    }
    tags[label == "_" ? name : label + "-" + name] = value;
  }
  return tags;
}

nlohmann::json FrameRecordJson(const FrameRecord& record) {
  nlohmann::json json;
  json["index"] = record.index;
  json["stamp"] = record.stamp ? nlohmann::json(*record.stamp) : nlohmann::json(nullptr);
  json["time_s"] = record.seconds;
  json["timestamp"] = record.timestamp;
  json["metadata"] = record.metadata;
  json["tags"] = ParseDeviceMetadata(record.metadata);
  return json;
}

std::string IsoUtc(std::chrono::system_clock::time_point time) {
  const auto micros =
      std::chrono::duration_cast<std::chrono::microseconds>(time.time_since_epoch()).count();
  const std::time_t seconds = static_cast<std::time_t>(micros / 1000000);
  std::tm utc{};
  gmtime_r(&seconds, &utc);
  char text[64];
  std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%06lldZ", utc.tm_year + 1900,
                utc.tm_mon + 1, utc.tm_mday, utc.tm_hour, utc.tm_min, utc.tm_sec,
                static_cast<long long>(micros % 1000000));
  return text;
}

std::string TiffDateTime(std::chrono::system_clock::time_point time) {
  const std::time_t seconds = std::chrono::system_clock::to_time_t(time);
  std::tm local{};
  localtime_r(&seconds, &local);
  char text[32];
  std::strftime(text, sizeof text, "%Y:%m:%d %H:%M:%S", &local);
  return text;
}

void WriteJsonFile(const std::string& path, const nlohmann::json& json) {
  std::ofstream out(path, std::ios::trunc);
  if (out) out << DumpJson(json) << '\n';
  out.close();
  if (!out) throw ToolError(kExitFailure, "cannot write " + path + ": " + std::strerror(errno));
}

}  // namespace pyxtool
