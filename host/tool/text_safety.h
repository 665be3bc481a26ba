// Device texts on their way out of the tool: into JSON, XML, TIFF tags and
// onto the terminal. A camera may hand over bytes that are not UTF-8 (a
// display name in another encoding, a corrupted read); none of the outputs may
// fail on them, and none may carry them on unmarked.
#pragma once

#include <string>

#include <nlohmann/json.hpp>

namespace pyxtool {

// `text` with every byte that does not belong to a well-formed UTF-8 sequence
// (overlong forms, surrogates and code points above U+10FFFF included)
// replaced by U+FFFD. Valid text comes back unchanged.
std::string ValidUtf8(const std::string& text);

// JSON text of `json` (indented by `indent`), invalid UTF-8 in any string
// replaced by U+FFFD instead of failing.
template <class Json>
std::string DumpJson(const Json& json, int indent = 2) {
  return json.dump(indent, ' ', false, nlohmann::json::error_handler_t::replace);
}

}  // namespace pyxtool
