// Checks of option values whose failures should read as plain sentences
// ("--count: must be at least 1") rather than as the parser's generic texts.
#pragma once

#include <CLI/CLI.hpp>

#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <string>

namespace pyxtool {

// A count of frames: a whole number, at least 1.
inline CLI::Validator AtLeastOne() {
  return CLI::Validator(
      [](std::string& text) -> std::string {
        const bool digits =
            !text.empty() && text.find_first_not_of("0123456789") == std::string::npos;
        if (!digits) return "must be a whole number, at least 1 (got \"" + text + "\")";
        if (text.find_first_not_of('0') == std::string::npos) return "must be at least 1";
        return std::string();
      },
      "POSITIVE");
}

// A duration in seconds: finite, 0 or more.
inline CLI::Validator FiniteSeconds() {
  return CLI::Validator(
      [](std::string& text) -> std::string {
        char* end = nullptr;
        errno = 0;
        const double value = std::strtod(text.c_str(), &end);
        if (text.empty() || *end != '\0' || !std::isfinite(value) || errno == ERANGE || value < 0)
          return "must be a finite number of seconds, 0 or more (got \"" + text + "\")";
        return std::string();
      },
      "NONNEGATIVE");
}

// A whole number within [low, high].
inline CLI::Validator IntegerFrom(long low, long high) {
  return CLI::Validator(
      [low, high](std::string& text) -> std::string {
        char* end = nullptr;
        errno = 0;
        const long value = std::strtol(text.c_str(), &end, 10);
        if (text.empty() || *end != '\0' || errno == ERANGE || value < low || value > high) {
          return "must be an integer from " + std::to_string(low) + " to " + std::to_string(high) +
                 " (got \"" + text + "\")";
        }
        return std::string();
      },
      "INT in [" + std::to_string(low) + " - " + std::to_string(high) + "]");
}

inline CLI::Validator NotEmpty() {
  return CLI::Validator(
      [](std::string& text) -> std::string {
        return text.empty() ? "must not be empty" : std::string();
      },
      "");
}

// The preview is a PNG; a name that promises another format is refused.
inline CLI::Validator PngFileName() {
  return CLI::Validator(
      [](std::string& text) -> std::string {
        std::string lower = text;
        for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        const std::string suffix = ".png";
        if (lower.size() > suffix.size() &&
            lower.compare(lower.size() - suffix.size(), suffix.size(), suffix) == 0)
          return std::string();
        return "the preview is written as PNG: give a file name ending in .png (got \"" + text +
               "\")";
      },
      "");
}

}  // namespace pyxtool
