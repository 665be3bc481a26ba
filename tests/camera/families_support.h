// Helpers of the property-family tests: the simulator's call trace rendered as
// short texts, so that a test can state the vendor calls a property read or
// write must produce, in order.
//
//   "93(23,130)"          SetOption(23, 130)
//   "94(126,0xff000000)"  GetOption(126) with the output preset to 0xFF000000
//   "109(2,10,1)"         IoControl(line 2, command 10, value 1)
//   "196(AwbOff,1)"       SetNamedValue("AwbOff", 1)
#pragma once

#include <cinttypes>
#include <cstdio>
#include <set>
#include <string>
#include <vector>

#include "tests/camera/camera_fixture.h"

namespace camtest {

// Integer arguments a position records that the tests look at.
inline int ArgumentCount(int position) {
  switch (position) {
    case 25:
    case 109:
      return 3;
    case 80:
      return 4;
    case 14:
    case 93:
      return 2;
    case 94:
      return 2;
    case 5:
    case 27:
    case 29:
    case 31:
    case 40:
    case 42:
    case 46:
    case 48:
    case 52:
    case 54:
    case 83:
    case 88:
    case 116:
    case 159:
    case 196:
      return 1;
    default:
      return 0;
  }
}

inline std::string Render(const PyxsimCall& call) {
  std::string text = std::to_string(call.position) + "(";
  bool first = true;
  auto add = [&](const std::string& part) {
    if (!first) text += ",";
    text += part;
    first = false;
  };
  if (call.position == 189 || call.position == 195 || call.position == 196) add(call.text);
  const int count = ArgumentCount(call.position);
  for (int i = 0; i < count; ++i) {
    char number[32];
    // GetOption's second argument is a preset; large ones read better in hex.
    if (call.position == 94 && i == 1 && (call.args[i] < -65536 || call.args[i] > 65536)) {
      std::snprintf(number, sizeof number, "0x%08" PRIx32, static_cast<uint32_t>(call.args[i]));
    } else {
      std::snprintf(number, sizeof number, "%" PRId64, call.args[i]);
    }
    add(number);
  }
  return text + ")";
}

// The traced calls of the given positions, rendered, oldest first.
inline std::vector<std::string> Rendered(const pyxsim::Client& sim, std::set<int> positions) {
  std::vector<std::string> calls;
  for (const PyxsimCall& call : sim.trace()) {
    if (positions.empty() || positions.count(call.position) != 0) calls.push_back(Render(call));
  }
  return calls;
}

// The frame statistics text: a total count alone ("7"), or a rate with one
// decimal and the total ("25.0, 1200"). False for anything else; *rate is
// negative when there is no rate.
inline bool ParseStatistics(const std::string& text, double* rate, unsigned long* total) {
  auto digits = [](const std::string& part) {
    return !part.empty() && part.find_first_not_of("0123456789") == std::string::npos;
  };
  const size_t comma = text.find(", ");
  if (comma == std::string::npos) {
    if (!digits(text)) return false;
    *rate = -1.0;
    *total = std::stoul(text);
    return true;
  }
  const std::string rateText = text.substr(0, comma);
  const std::string totalText = text.substr(comma + 2);
  const size_t point = rateText.find('.');
  if (point == std::string::npos || !digits(rateText.substr(0, point)) ||
      rateText.size() != point + 2 || !digits(rateText.substr(point + 1)) || !digits(totalText)) {
    return false;
  }
  *rate = std::stod(rateText);
  *total = std::stoul(totalText);
  return true;
}

// GetOption reads and SetOption writes of one option.
inline std::vector<std::string> OptionCalls(const pyxsim::Client& sim, uint32_t option) {
  std::vector<std::string> calls;
  for (const PyxsimCall& call : sim.trace()) {
    if ((call.position == 93 || call.position == 94) && call.args[0] == option) {
      calls.push_back(Render(call));
    }
  }
  return calls;
}

}  // namespace camtest
